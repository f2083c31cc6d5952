#pragma once
// Data sources and data links: how controls, dialogs and detail tables observe a table.
// A data source names one dataset; its state is the dataset's state while it is enabled
// and names one, else inactive. Every data event of the dataset reaches every link of
// every data source of that dataset at once.

#include <string>
#include <vector>

#include "engine/record/db_types.h"

namespace tapir::engine {

class TDataSource;
class TField;
class TSQLMemDataSet;

// What a dataset tells its data sources. Each reaches every link of every data source of
// the dataset; see TDataLink for the notification each one becomes.
enum class TDataEvent : int {
    FieldChange = 0,  // a field of the active row was set      -> RecordChanged(field)
    RecordChange,     // the whole row changed (Edit)           -> RecordChanged(nullptr)
    DataSetChange,    // rows added/removed/re-read             -> DataSetChanged()
    DataSetScroll,    // the current row moved by Next/Prior    -> DataSetScrolled()
    LayoutChange,     // fields changed                         -> LayoutChanged()
    UpdateRecord,     // take pending control input             -> UpdateData()
    UpdateState,      // the state changed                      -> ActiveChanged(),
                      //   EditingChanged() when those changed, then StateChanged()
    CheckBrowseMode,  // about to leave edit mode or move       -> CheckBrowseMode()
};

// Observer of one data source. Controls and master-detail links derive from it.
// Notifications are independent: the default implementations do nothing and do not call
// one another, so a control overrides every one it needs (a grid typically
// DataSetChanged, DataSetScrolled, RecordChanged and StateChanged). Handlers may run
// dataset operations; a link may be removed from its data source inside a notification.
// Requires: a link is removed from its data source (SetDataSource(nullptr) or destruction)
// before the data source goes away; a data source may be destroyed with links still
// attached (they are detached first).
class TDataLink {
public:
    TDataLink() = default;
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;
    virtual ~TDataLink();

    TDataSource* DataSource() const { return data_source_; }
    void SetDataSource(TDataSource* source);
    // The observed dataset, or nullptr.
    TSQLMemDataSet* DataSet() const;
    // True while the data source is enabled and its dataset is open.
    bool Active() const;

    // Notifications, all on the thread that runs the dataset operation.
    virtual void ActiveChanged() {}                   // opened or closed
    virtual void EditingChanged() {}                  // entered or left edit/insert state
    virtual void StateChanged() {}                    // any state change relayed
    virtual void RecordChanged(TField* /*field*/) {}  // a field (or the whole row: nullptr)
    virtual void DataSetChanged() {}                  // rows added/removed/re-read
    virtual void DataSetScrolled() {}                 // the current row moved
    virtual void LayoutChanged() {}                   // fields or display properties changed
    virtual void UpdateData() {}                      // take pending control input into the row
    virtual void CheckBrowseMode() {}                 // the dataset is about to leave edit mode

    // True while the observed dataset is in edit or insert state.
    bool Editing() const { return editing_; }

private:
    friend class TDataSource;
    // Re-evaluates Active()/Editing() and fires ActiveChanged/EditingChanged on a change.
    void UpdateState();
    void Dispatch(TDataEvent event, TField* field);

    TDataSource* data_source_ = nullptr;
    bool active_ = false;
    bool editing_ = false;
};

class TDataSource {
public:
    explicit TDataSource(std::string name = {});
    TDataSource(const TDataSource&) = delete;
    TDataSource& operator=(const TDataSource&) = delete;
    ~TDataSource();

    const std::string& Name() const { return name_; }
    TSQLMemDataSet* DataSet() const { return dataset_; }
    // Requires: dataset outlives this data source or is reset to nullptr first.
    void SetDataSet(TSQLMemDataSet* dataset);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    // The dataset's state while enabled and attached, else dsInactive.
    TDataSetState State() const;

    const std::vector<TDataLink*>& Links() const { return links_; }

private:
    friend class TDataLink;
    friend class TSQLMemDataSet;
    void AddLink(TDataLink* link);
    void RemoveLink(TDataLink* link);
    // Passes a dataset event to every link (a link removed meanwhile is skipped).
    void DataEvent(TDataEvent event, TField* field);

    std::string name_;
    TSQLMemDataSet* dataset_ = nullptr;
    bool enabled_ = true;
    std::vector<TDataLink*> links_;
};

}  // namespace tapir::engine
