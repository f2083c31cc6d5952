#pragma once
// TSQLMemDataSet: the dataset layer of the engine. States, the current row and its
// buffers, field objects, events in their fixed order, calculated fields, data-source
// notification and the row operations (open, append, insert, edit, post, cancel, delete,
// navigation). Not thread-safe: one dataset is used from one thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/db_types.h"
#include "engine/table/field.h"

namespace tapir::engine {

class TDataSource;

class TSQLMemDataSet {
public:
    using TDataSetNotifyEvent = std::function<void(TSQLMemDataSet&)>;
    using TDataSetErrorEvent =
        std::function<void(TSQLMemDataSet&, const EDatabaseError&, TDataAction&)>;

    // component_name prefixes dataset-layer error messages ("Timers: ...") when not empty.
    explicit TSQLMemDataSet(std::string component_name = {});
    TSQLMemDataSet(const TSQLMemDataSet&) = delete;
    TSQLMemDataSet& operator=(const TSQLMemDataSet&) = delete;
    virtual ~TSQLMemDataSet();

    const std::string& Name() const { return component_name_; }
    // "3.06 "
    std::string CurrentVersion() const;

    // --- Open / close ---
    void Open();
    void Close();
    bool Active() const;
    void SetActive(bool active);
    TDataSetState State() const;

    // --- Row operations (order of events as documented in the .cpp) ---
    void Append();
    void Insert();
    void Edit();
    void Post();
    void Cancel();
    void Delete();
    void First();
    void Last();
    void Next();
    void Prior();
    int MoveBy(int distance);
    bool Eof() const;
    bool Bof() const;
    bool IsEmpty() const;
    bool Modified() const;
    // Rows visible through this component (range and filter applied); 0 when closed.
    int RecordCount() const;
    // 1-based position of the current row among the visible rows; 0 when none.
    int RecNo() const;
    void SetRecNo(int rec_no);

    // --- Fields ---
    // Declares a persistent field before the table opens (as a form does). Data fields
    // missing from the table's definitions are added to them at open.
    TField& DeclareField(const std::string& name, TFieldType type, int size = 0,
                         TFieldKind kind = fkData);
    // The field whose name equals `name` without regard to case;
    // EDatabaseError "Field '%s' not found" (prefixed) when none.
    TField& FieldByName(std::string_view name) const;
    TField* FindField(std::string_view name) const;
    const std::vector<TField*>& Fields() const;
    int FieldCount() const;

    // Reads a visible row other than the current one without moving and without events:
    // for the duration of `visit`, the field accessors read row `rec_no` (1-based, in the
    // current order) with its calculated fields computed. Returns false when there is no
    // such row. Used by grids.
    bool ReadRowAt(int rec_no, const std::function<void()>& visit);

    // Locate: options.
    struct LocateOptions {
        bool case_insensitive = false;
        bool partial_key = false;
    };
    // Finds the first visible row whose fields (";"-separated names) equal the texts.
    bool Locate(const std::string& field_names, const std::vector<std::string>& values,
                LocateOptions options = {});

    bool AutoCalcFields() const { return auto_calc_fields_; }
    void SetAutoCalcFields(bool value) { auto_calc_fields_ = value; }
    bool ReadOnly() const { return read_only_; }
    void SetReadOnly(bool value) { read_only_ = value; }

    // --- Events: replaceable handlers; an empty handler is skipped ---
    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
    TDataSetNotifyEvent OnCalcFields, OnNewRecord;
    TDataSetErrorEvent OnDeleteError, OnEditError, OnPostError;

protected:
    // Implementation detail hooks for TSQLMemTable live in the .cpp/private section.
    bool auto_calc_fields_ = true;
    bool read_only_ = false;

private:
    friend class TDataSource;
    friend class TField;
    std::string component_name_;
    // The implementation adds its private state below (rows, buffers, cursor, links...).
};

}  // namespace tapir::engine
