#pragma once
// Data sources and data links: how controls, dialogs and detail tables observe a table.
// A data source names one dataset; its state is the dataset's state while it is enabled
// and names one, else inactive. Every data event of the dataset reaches every link of
// every data source of that dataset at once.

#include <string>
#include <vector>

#include "engine/table/db_types.h"

namespace tapir::engine {

class TDataSource;
class TField;
class TSQLMemDataSet;

// Observer of one data source. Controls and master-detail links derive from it.
// Requires: a link is removed from its data source (SetDataSource(nullptr) or destruction)
// before the data source goes away.
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
    virtual void ActiveChanged() {}               // opened or closed
    virtual void EditingChanged() {}              // entered or left edit/insert state
    virtual void StateChanged() {}                // any state change relayed
    virtual void RecordChanged(TField* /*field*/) {}  // a field (or the whole row: nullptr)
    virtual void DataSetChanged() {}              // rows added/removed/re-read
    virtual void DataSetScrolled() {}             // the current row moved
    virtual void LayoutChanged() {}               // fields or display properties changed
    virtual void UpdateData() {}                  // take pending control input into the row
    virtual void CheckBrowseMode() {}             // the dataset is about to leave edit mode

private:
    friend class TDataSource;
    TDataSource* data_source_ = nullptr;
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

    std::string name_;
    TSQLMemDataSet* dataset_ = nullptr;
    bool enabled_ = true;
    std::vector<TDataLink*> links_;
};

}  // namespace tapir::engine
