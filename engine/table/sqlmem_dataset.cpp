#include "engine/table/sqlmem_dataset.h"

// Order of events and notifications of the row operations. "notify X" goes to every
// data source of the dataset and from there to every link; "leave-edit" is
// CheckBrowseMode(): notify check-browse-mode (details leave edit mode), then a pending
// insert/edit is posted when Modified, else cancelled.
//   Open:    BeforeOpen, open cursor/fields/index/filter/range, read the first row,
//            state browse (notify update-state), AfterOpen.
//   Close:   BeforeClose, state inactive (a pending row is dropped without cancel events),
//            cursor and fields made at open released, AfterClose.
//   Append/Insert: leave-edit, read-only check, BeforeInsert, BeforeScroll, new row with
//            autoinc numbers, state insert, master values + OnNewRecord, Modified false,
//            notify data-set-changed, AfterInsert, AfterScroll.
//   Edit:    (insert on an empty view) leave-edit, read-only check, BeforeEdit, keep the
//            old values, calculated fields, state edit, notify record-changed, AfterEdit.
//   Post:    notify update-record, notify check-browse-mode, BeforePost, store (OnPostError),
//            state browse, re-read (notify data-set-changed), AfterPost.
//   Cancel:  notify check-browse-mode, BeforeCancel, [BeforeScroll when inserting], state
//            browse, re-read, AfterCancel, [AfterScroll when inserting].
//   Delete:  (cancel in insert state) notify check-browse-mode, BeforeDelete, BeforeScroll,
//            remove (OnDeleteError), state browse, re-read, AfterDelete, AfterScroll.
//   First/Last: leave-edit, BeforeScroll, move, notify data-set-changed, AfterScroll.
//   Next/Prior/MoveBy: leave-edit, BeforeScroll; unless already at Eof/Bof: move, notify
//            data-set-scrolled when moved, AfterScroll.
// Setting a field: Modified, OnCalcFields again (AutoCalcFields), notify field-changed.
// Temporary states (set-key, calculating fields, filtering) hold every notification back.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "engine/record/field_types.h"
#include "engine/record/record_buffer.h"
#include "engine/table/data_source.h"
#include "engine/table/dataset_guards.h"
#include "engine/table/field_value_conversion.h"
#include "engine/table/filter_compiler.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

namespace {

constexpr const char* kNotEditing = "Dataset not in edit or insert mode";

std::unique_ptr<TField> MakeField(TSQLMemDataSet& dataset, const std::string& name, TFieldType type,
                                  int size, TFieldKind kind) {
    switch (type) {
        case ftString:
        case ftFixedChar:
        case ftWideString:
            return std::make_unique<TStringField>(dataset, name, type, size, kind);
        case ftSmallint:
            return std::make_unique<TSmallintField>(dataset, name, type, 0, kind);
        case ftInteger:
            return std::make_unique<TIntegerField>(dataset, name, type, 0, kind);
        case ftWord:
            return std::make_unique<TWordField>(dataset, name, type, 0, kind);
        case ftAutoInc:
            return std::make_unique<TAutoIncField>(dataset, name, type, 0, kind);
        case ftLargeint:
            return std::make_unique<TLargeintField>(dataset, name, type, 0, kind);
        case ftFloat:
        case ftCurrency:
        case ftBCD:
        case ftFMTBcd:
            return std::make_unique<TFloatField>(dataset, name, type, 0, kind);
        case ftDate:
        case ftTime:
        case ftDateTime:
        case ftTimeStamp:
            return std::make_unique<TDateTimeField>(dataset, name, type, 0, kind);
        case ftBoolean:
            return std::make_unique<TBooleanField>(dataset, name, type, 0, kind);
        case ftMemo:
        case ftFmtMemo:
        case ftOraClob:
            return std::make_unique<TMemoField>(dataset, name, type, size, kind);
        case ftBlob:
        case ftGraphic:
        case ftParadoxOle:
        case ftDBaseOle:
        case ftTypedBinary:
        case ftOraBlob:
            return std::make_unique<TBlobField>(dataset, name, type, size, kind);
        default:
            return std::make_unique<TField>(dataset, name, type, size, kind);
    }
}

}  // namespace

using dataset_detail::ReadOverride;

TSQLMemDataSet::TSQLMemDataSet(std::string component_name)
    : component_name_(std::move(component_name)) {}

TSQLMemDataSet::~TSQLMemDataSet() {
    CloseQuietly();  // never throws
    DetachBlobStreams();
    const std::vector<TDataSource*> sources = data_sources_;
    for (TDataSource* source : sources) {
        source->dataset_ = nullptr;
        source->DataEvent(TDataEvent::UpdateState, nullptr);
    }
}

std::string TSQLMemDataSet::CurrentVersion() const {
    // The engine version with two decimals and a point, whatever the process locale.
    return "3.06 ";
}

// --- Errors and checks ----------------------------------------------------------------------

void TSQLMemDataSet::ComponentError(const std::string& message) const {
    throw EDatabaseError::ForComponent(component_name_, message);
}

void TSQLMemDataSet::CheckActive() const {
    if (state_ == dsInactive || !cursor_) {
        ComponentError("Cannot perform this operation on a closed dataset");
    }
}

void TSQLMemDataSet::CheckInactive() const {
    if (state_ != dsInactive) {
        ComponentError("Cannot perform this operation on an open dataset");
    }
}

bool TSQLMemDataSet::GetCanModify() const {
    return !read_only_ && !(cursor_ && cursor_->ReadOnly());
}

void TSQLMemDataSet::CheckCanModify() const {
    if (!GetCanModify()) {
        ComponentError("Cannot modify a read-only dataset");
    }
}

bool TSQLMemDataSet::CheckOperation(const std::function<void()>& operation,
                                    const TDataSetErrorEvent& handler) {
    for (;;) {
        try {
            operation();
            return true;
        } catch (const EDatabaseError& error) {
            if (!handler) {
                throw;
            }
            TDataAction action = daFail;
            const TDataSetErrorEvent call = handler;
            call(*this, error, action);
            if (action == daFail) {
                throw;
            }
            if (action == daAbort) {
                return false;
            }
        }
    }
}

// --- State and notification -----------------------------------------------------------------

TDataSetState TSQLMemDataSet::State() const { return state_; }

bool TSQLMemDataSet::Active() const { return state_ != dsInactive; }

void TSQLMemDataSet::SetState(TDataSetState state) {
    if (state_ == state) {
        return;
    }
    state_ = state;
    relayed_state_ = state;
    modified_ = false;
    ++edit_serial_;
    NotifyDataSources(TDataEvent::UpdateState);
}

void TSQLMemDataSet::NotifyDataSources(TDataEvent event, TField* field) {
    if (state_ == dsSetKey || state_ == dsCalcFields || state_ == dsFilter) {
        return;
    }
    const std::vector<TDataSource*> sources = data_sources_;
    for (TDataSource* source : sources) {
        if (std::find(data_sources_.begin(), data_sources_.end(), source) != data_sources_.end()) {
            source->DataEvent(event, field);
        }
    }
}

void TSQLMemDataSet::FireEvent(const TDataSetNotifyEvent& event) {
    if (event) {
        // A handler may replace or clear itself while it runs: call a copy.
        const TDataSetNotifyEvent call = event;
        call(*this);
    }
}

void TSQLMemDataSet::AddDataSource(TDataSource* source) { data_sources_.push_back(source); }

void TSQLMemDataSet::RemoveDataSource(TDataSource* source) {
    data_sources_.erase(std::remove(data_sources_.begin(), data_sources_.end(), source),
                        data_sources_.end());
}

// --- Open and close -------------------------------------------------------------------------

void TSQLMemDataSet::Open() { SetActive(true); }

void TSQLMemDataSet::Close() { SetActive(false); }

void TSQLMemDataSet::SetActive(bool active) {
    if (active == Active()) {
        return;
    }
    if (active) {
        DoOpen();
    } else {
        DoClose();
    }
}

void TSQLMemDataSet::OpenCursor() {
    CreateHandle();
    InternalOpen();
}

void TSQLMemDataSet::CreateHandle() {
    // A bare dataset has no table to open; TSQLMemTable creates its cursor here.
    ComponentError("Missing TableName property");
}

void TSQLMemDataSet::DestroyHandle() { cursor_.reset(); }

void TSQLMemDataSet::InternalOpen() {
    PrepareCursor();
    BindFields();
    ApplyFilter();
}

void TSQLMemDataSet::InternalClose() {
    FreeOpenFields();
    range_values_.reset();
    ResetKeys();
}

std::unique_ptr<TSQLMemSearchExpression> TSQLMemDataSet::CompileFilterText(
    bool filtered, const std::string& text, TFilterOptions options) const {
    if (!filtered || text.empty()) {
        return nullptr;
    }
    return RequireFilterCompiler().CompileFilter(cursor_->FieldDefs(), text,
                                                 options.Contains(foCaseInsensitive),
                                                 !options.Contains(foNoPartialCompare));
}

std::unique_ptr<TSQLMemSearchExpression> TSQLMemDataSet::CompileSQLFilter(
    const std::string& text) const {
    if (text.empty()) {
        return nullptr;
    }
    return RequireFilterCompiler().CompileCondition(cursor_->FieldDefs(), text);
}

void TSQLMemDataSet::ApplyFilter() {
    // Both compile before either is installed: a text that does not compile changes
    // nothing.
    std::unique_ptr<TSQLMemSearchExpression> text_filter =
        CompileFilterText(filtered_, filter_text_, filter_options_);
    std::unique_ptr<TSQLMemSearchExpression> sql_filter = CompileSQLFilter(sql_filter_text_);
    cursor_->ActivateFilters(std::move(text_filter));
    cursor_->SetSQLFilter(std::move(sql_filter));
    if (!filtered_) {
        cursor_->ClearRowFilter();
        return;
    }
    cursor_->SetRowFilter([this](const std::byte* stored) {
        if (!OnFilterRecord) {
            return true;
        }
        RowBuffer row;
        row.bytes.assign(static_cast<size_t>(cursor_->RecordSize()), std::byte{0});
        std::copy(stored, stored + cursor_->DataSize(), row.bytes.begin());
        row.calc.assign(static_cast<size_t>(calc_field_count_), std::monostate{});
        TempState temp(*this, dsFilter);
        ReadOverride over(read_override_, &row);
        bool accept = true;
        const TFilterRecordEvent call = OnFilterRecord;
        call(*this, accept);
        return accept;
    });
}

void TSQLMemDataSet::ChangeFilter(bool filtered, std::string text, TFilterOptions options) {
    CheckBrowseMode();
    // Compiled first so that a text in error leaves the filter in force as it was.
    CompileFilterText(filtered, text, options);
    filtered_ = filtered;
    filter_text_ = std::move(text);
    filter_options_ = options;
    ApplyFilter();
    First();
}

void TSQLMemDataSet::SetFiltered(bool filtered) {
    if (filtered == filtered_) {
        return;
    }
    if (!Active()) {
        filtered_ = filtered;
        return;
    }
    ChangeFilter(filtered, filter_text_, filter_options_);
}

void TSQLMemDataSet::SetFilter(std::string text) {
    if (text == filter_text_) {
        return;
    }
    if (!Active() || !filtered_) {
        filter_text_ = std::move(text);
        return;
    }
    ChangeFilter(filtered_, std::move(text), filter_options_);
}

void TSQLMemDataSet::SetFilterOptions(TFilterOptions options) {
    if (options == filter_options_) {
        return;
    }
    if (!Active() || !filtered_ || filter_text_.empty()) {
        filter_options_ = options;
        return;
    }
    ChangeFilter(filtered_, filter_text_, options);
}

void TSQLMemDataSet::SetSQLFilter(std::string text) {
    if (text == sql_filter_text_) {
        return;
    }
    if (!Active()) {
        sql_filter_text_ = std::move(text);
        return;
    }
    CheckBrowseMode();
    CompileSQLFilter(text);
    sql_filter_text_ = std::move(text);
    ApplyFilter();
    First();
}

void TSQLMemDataSet::InternalRefresh() { ApplyFilter(); }

void TSQLMemDataSet::Refresh() {
    CheckActive();
    CheckBrowseMode();
    FireEvent(BeforeRefresh);
    InternalRefresh();
    Resync();
    FireEvent(AfterRefresh);
}

TSQLMemBookmark TSQLMemDataSet::GetBookmark() const {
    if (!Active() || !has_row_ || current_.bytes.empty()) {
        return TSQLMemBookmark{};
    }
    return {GetRecordID(current_.bytes.data(), cursor_->DataSize()), current_.generation};
}

bool TSQLMemDataSet::BookmarkValid(const TSQLMemBookmark& bookmark) {
    if (!Active() || bookmark.RecordID.PageNo < 0) {
        return false;
    }
    const TSQLMemCursor::Position position = cursor_->SavePosition();
    const bool valid = cursor_->GotoRecordID(bookmark.RecordID, bookmark.Generation);
    cursor_->RestorePosition(position);
    return valid;
}

bool TSQLMemDataSet::InternalGotoBookmark(const TSQLMemBookmark& bookmark) {
    return bookmark.RecordID.PageNo >= 0 &&
           cursor_->GotoRecordID(bookmark.RecordID, bookmark.Generation);
}

void TSQLMemDataSet::GotoBookmark(const TSQLMemBookmark& bookmark) {
    CheckActive();
    CheckBrowseMode();
    FireEvent(BeforeScroll);
    if (!InternalGotoBookmark(bookmark)) {
        ComponentError("Record not found");
    }
    Resync();
    FireEvent(AfterScroll);
}

void TSQLMemDataSet::CloseCursor() {
    InternalClose();
    DestroyHandle();
}

void TSQLMemDataSet::DoOpen() {
    FireEvent(BeforeOpen);
    try {
        OpenCursor();
        InitRowBuffer(current_);
        InternalFirst();
        RowBuffer row;
        InitRowBuffer(row);
        has_row_ = GetRecord(row, static_cast<int>(grmNext));
        if (has_row_) {
            current_ = std::move(row);
        }
    } catch (...) {
        CloseCursor();
        has_row_ = false;
        state_ = dsInactive;
        throw;
    }
    bof_ = true;
    eof_ = !has_row_;
    SetState(dsBrowse);
    modified_ = false;
    FireEvent(AfterOpen);
}

void TSQLMemDataSet::DoClose() {
    // BeforeClose may refuse: the dataset is then still open and unchanged. Past it the
    // close always completes, so that the state never says inactive while the cursor is
    // still registered with the table; an error raised while telling the data sources
    // is passed on after that.
    FireEvent(BeforeClose);
    std::exception_ptr failure;
    try {
        SetState(dsInactive);
    } catch (...) {
        failure = std::current_exception();
        state_ = relayed_state_ = dsInactive;
    }
    ReleaseCursor();
    modified_ = false;
    if (failure) {
        std::rethrow_exception(failure);
    }
    FireEvent(AfterClose);
}

void TSQLMemDataSet::ReleaseCursor() noexcept {
    try {
        CloseCursor();
    } catch (...) {
        // Releasing the fields and the cursor cannot fail in this class; a derived
        // CloseCursor that does still leaves no cursor behind.
    }
    cursor_.reset();
    DetachBlobStreams();
    ++edit_serial_;
    has_row_ = false;
    eof_ = bof_ = true;
}

void TSQLMemDataSet::CloseQuietly() noexcept {
    if (state_ == dsInactive && !cursor_) {
        return;
    }
    try {
        SetState(dsInactive);
    } catch (...) {
        // Destruction goes on regardless of what a data source's handler raised.
        state_ = relayed_state_ = dsInactive;
    }
    ReleaseCursor();
}

void TSQLMemDataSet::DiscardPendingRow() {
    if (state_ == dsSetKey) {
        EndKeyEdit(false);
        return;
    }
    if (state_ != dsEdit && state_ != dsInsert) {
        return;
    }
    InternalCancel();
    SetState(dsBrowse);
    Resync();
}

void TSQLMemDataSet::FreeOpenFields() {
    std::erase_if(fields_, [](TField* field) { return field->created_at_open_; });
    std::erase_if(owned_fields_,
                  [](const std::unique_ptr<TField>& field) { return field->created_at_open_; });
    for (TField* field : fields_) {
        field->binding_ = -1;
    }
    calc_field_count_ = 0;
}

// --- Fields ---------------------------------------------------------------------------------

TField& TSQLMemDataSet::DeclareField(const std::string& name, TFieldType type, int size,
                                     TFieldKind kind) {
    CheckInactive();
    if (FindField(name) != nullptr) {
        ComponentError("Duplicate field name '" + name + "'");
    }
    owned_fields_.push_back(MakeField(*this, name, type, size, kind));
    fields_.push_back(owned_fields_.back().get());
    return *owned_fields_.back();
}

TField* TSQLMemDataSet::FindField(std::string_view name) const {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (TField* field : fields_) {
        const std::string& candidate = field->FieldName();
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(),
                       [&](char a, char b) { return lower(a) == lower(b); })) {
            return field;
        }
    }
    return nullptr;
}

TField& TSQLMemDataSet::FieldByName(std::string_view name) const {
    TField* field = FindField(name);
    if (field == nullptr) {
        ComponentError("Field '" + std::string(name) + "' not found");
    }
    return *field;
}

const std::vector<TField*>& TSQLMemDataSet::Fields() const { return fields_; }

int TSQLMemDataSet::FieldCount() const { return static_cast<int>(fields_.size()); }

void TSQLMemDataSet::BindFields() {
    const TSQLMemFieldDefs& defs = cursor_->FieldDefs();
    if (fields_.empty()) {
        const TableDefinition stored = cursor_->StoredDefinition();
        for (int32_t column = 0; column < defs.Count(); ++column) {
            const TSQLMemFieldDef& def = defs[column];
            auto field =
                MakeField(*this, def.Name, AdvancedToFieldType(def.AdvancedType), def.Size, fkData);
            field->created_at_open_ = true;
            if (static_cast<size_t>(column) < stored.fields.size()) {
                field->SetRequired(stored.fields[column].required);
            }
            fields_.push_back(field.get());
            owned_fields_.push_back(std::move(field));
        }
    }
    int calc_slot = 0;
    for (TField* field : fields_) {
        if (field->Calculated() || field->FieldKind() == fkAggregate) {
            field->binding_ = calc_slot++;
            continue;
        }
        const int32_t column = defs.IndexOf(field->FieldName());
        if (column < 0) {
            ComponentError("Field '" + field->FieldName() + "' not found");
        }
        field->binding_ = column;
    }
    calc_field_count_ = calc_slot;
}

TSQLMemDataSet::RowBuffer& TSQLMemDataSet::ActiveBuffer() {
    if (read_override_ != nullptr) {
        return *read_override_;
    }
    if (state_ == dsSetKey) {
        return edited_key_ != nullptr ? edited_key_->row : key_;
    }
    return current_;
}

FieldValue TSQLMemDataSet::ReadColumn(int column, const std::byte* buffer) const {
    const TSQLMemFieldDefs& defs = cursor_->FieldDefs();
    const TSQLMemBaseFieldType type = defs[column].BaseType;
    if (IsFieldNull(buffer, column)) {
        return std::monostate{};
    }
    if (IsTextColumn(type)) {
        auto text = GetText(defs, column, buffer);
        return text ? FieldValue(std::move(*text)) : FieldValue(std::monostate{});
    }
    if (IsDateTimeColumn(type)) {
        auto value = GetDateTime(defs, column, buffer);
        return value ? FieldValue(*value) : FieldValue(std::monostate{});
    }
    if (IsFloatColumn(type)) {
        auto value = GetFloat(defs, column, buffer);
        return value ? FieldValue(*value) : FieldValue(std::monostate{});
    }
    if (type == bftLogical) {
        auto value = GetInteger(defs, column, buffer);
        return value ? FieldValue(*value != 0) : FieldValue(std::monostate{});
    }
    if (IsNumericType(type)) {
        auto value = GetInteger(defs, column, buffer);
        return value ? FieldValue(*value) : FieldValue(std::monostate{});
    }
    // Types without a value form here (BLOBs, bytes, wide text) read as null.
    return std::monostate{};
}

void TSQLMemDataSet::WriteColumn(int column, const FieldValue& value, std::byte* buffer) const {
    const TSQLMemFieldDefs& defs = cursor_->FieldDefs();
    if (std::holds_alternative<std::monostate>(value)) {
        cursor_->SetFieldData(column, nullptr, buffer);
        return;
    }
    const TSQLMemBaseFieldType type = defs[column].BaseType;
    if (IsTextColumn(type)) {
        SetText(defs, column, ValueToText(value), buffer);
    } else if (IsDateTimeColumn(type)) {
        SetDateTime(defs, column, ValueToDouble(value), buffer);
    } else if (IsFloatColumn(type)) {
        SetFloat(defs, column, ValueToDouble(value), buffer);
    } else if (type == bftLogical) {
        SetInteger(defs, column, ValueToInteger(value) != 0 ? 1 : 0, buffer);
    } else if (IsNumericType(type)) {
        SetInteger(defs, column, ValueToInteger(value), buffer);
    } else {
        throw ESQLMemException::Formatted(
            30047, "Unknown DataType: '" + std::string(BaseTypeName(type)) + "'");
    }
}

FieldValue TSQLMemDataSet::ReadFieldValue(const TField& field) const {
    if (field.binding_ < 0 || !cursor_) {
        ComponentError("Cannot perform this operation on a closed dataset");
    }
    const RowBuffer& row = const_cast<TSQLMemDataSet*>(this)->ActiveBuffer();
    if (field.Calculated() || field.FieldKind() == fkAggregate) {
        if (static_cast<size_t>(field.binding_) >= row.calc.size()) {
            return std::monostate{};
        }
        return row.calc[field.binding_];
    }
    if (row.bytes.empty()) {
        return std::monostate{};
    }
    if (IsBlobColumn(field.binding_)) {
        return ReadBlobValue(field.binding_, row);
    }
    return ReadColumn(field.binding_, row.bytes.data());
}

void TSQLMemDataSet::WriteFieldValue(TField& field, const FieldValue& value) {
    if (field.binding_ < 0 || !cursor_) {
        ComponentError("Cannot perform this operation on a closed dataset");
    }
    if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey && state_ != dsCalcFields &&
        state_ != dsFilter) {
        throw ESQLMemException(10007, kNotEditing);
    }
    RowBuffer& row = ActiveBuffer();
    if (field.Calculated() || field.FieldKind() == fkAggregate) {
        if (static_cast<size_t>(field.binding_) < row.calc.size()) {
            row.calc[field.binding_] = value;
        }
        NotifyDataSources(TDataEvent::FieldChange, &field);
        return;
    }
    if (state_ == dsSetKey) {
        if (edited_key_ != nullptr) {
            WriteKeyColumn(*edited_key_, field.binding_, value);
            return;
        }
        WriteColumn(field.binding_, value, row.bytes.data());
        KeyTrailer trailer = GetKeyTrailer(row.bytes.data(), cursor_->DataSize());
        trailer.modified = true;
        SetKeyTrailer(row.bytes.data(), cursor_->DataSize(), trailer);
        return;
    }
    if ((state_ == dsEdit || state_ == dsInsert) && IsBlobColumn(field.binding_)) {
        WriteBlobValue(field, value);
        return;
    }
    WriteColumn(field.binding_, value, row.bytes.data());
    if (state_ == dsEdit || state_ == dsInsert) {
        modified_ = true;
        if (HasCalcFields() && auto_calc_fields_) {
            CalculateFields(current_);
        }
        NotifyDataSources(TDataEvent::FieldChange, &field);
    }
}

// --- Row buffers ----------------------------------------------------------------------------

void TSQLMemDataSet::InitRowBuffer(RowBuffer& row) const {
    row.bytes.assign(static_cast<size_t>(cursor_->RecordSize()), std::byte{0});
    SetAllNull(row.bytes.data(), cursor_->FieldDefs().Count());
    SetRecordID(row.bytes.data(), cursor_->DataSize(), TSQLMemRecordID{});
    SetBookmarkFlag(row.bytes.data(), cursor_->DataSize(), bfCurrent);
    row.calc.assign(static_cast<size_t>(calc_field_count_), std::monostate{});
    row.blobs.clear();
}

void TSQLMemDataSet::ClearCalcFields(RowBuffer& row) const {
    row.calc.assign(static_cast<size_t>(calc_field_count_), std::monostate{});
}

void TSQLMemDataSet::InternalInitRecord(RowBuffer& row) {
    InitRowBuffer(row);
    cursor_->InitNewRecord(row.bytes.data());
}

void TSQLMemDataSet::InitRecord(RowBuffer& row) {
    InternalInitRecord(row);
    ClearCalcFields(row);
    SetBookmarkFlag(row.bytes.data(), cursor_->DataSize(), bfInserted);
}

void TSQLMemDataSet::InternalFirst() { cursor_->First(); }

void TSQLMemDataSet::InternalLast() { cursor_->Last(); }

bool TSQLMemDataSet::GetRecord(RowBuffer& row, int mode) {
    const TSQLMemGetRecordResult result =
        cursor_->GetRecord(static_cast<TSQLMemGetRecordMode>(mode), row.bytes.data());
    if (result != grrOK) {
        return false;
    }
    row.blobs.clear();
    row.generation = cursor_->CurrentGeneration();
    CalculateFields(row);
    return true;
}

void TSQLMemDataSet::CalculateFields(RowBuffer& row) {
    if (!HasCalcFields()) {
        return;
    }
    TempState temp(*this, dsCalcFields);
    ReadOverride over(read_override_, &row);
    ClearCalcFields(row);
    FireEvent(OnCalcFields);
}

void TSQLMemDataSet::Resync() {
    RowBuffer row;
    InitRowBuffer(row);
    has_row_ = GetRecord(row, static_cast<int>(grmCurrent));
    if (!has_row_) {
        has_row_ = GetRecord(row, static_cast<int>(grmNext));
    }
    if (!has_row_) {
        has_row_ = GetRecord(row, static_cast<int>(grmPrior));
    }
    if (!has_row_) {
        cursor_->First();
        has_row_ = GetRecord(row, static_cast<int>(grmNext));
    }
    if (has_row_) {
        current_ = std::move(row);
    } else {
        InitRowBuffer(current_);
    }
    eof_ = bof_ = !has_row_;
    NotifyDataSources(TDataEvent::DataSetChange);
}

bool TSQLMemDataSet::SetRangeValues(const std::optional<std::vector<FieldValue>>& values) {
    if (values == range_values_) {
        return false;
    }
    if (!values) {
        cursor_->ResetRange();
        range_values_.reset();
        return true;
    }
    const std::vector<int32_t>& index_fields = cursor_->IndexFieldNos();
    const size_t count = std::min(values->size(), index_fields.size());
    key_.bytes.assign(static_cast<size_t>(cursor_->KeyBufferSize()), std::byte{0});
    key_.calc.assign(static_cast<size_t>(calc_field_count_), std::monostate{});
    cursor_->InitKeyBuffer(key_.bytes.data());
    {
        TempState temp(*this, dsSetKey);
        for (size_t i = 0; i < count; ++i) {
            WriteColumn(index_fields[i], (*values)[i], key_.bytes.data());
        }
        SetKeyTrailer(key_.bytes.data(), cursor_->DataSize(),
                      KeyTrailer{true, false, static_cast<int32_t>(count)});
    }
    cursor_->ApplyRange(key_.bytes.data(), key_.bytes.data(), false, false,
                        static_cast<int32_t>(count), static_cast<int32_t>(count));
    range_values_ = values;
    return true;
}

// --- Editing --------------------------------------------------------------------------------

void TSQLMemDataSet::CheckBrowseMode() {
    CheckActive();
    NotifyDataSources(TDataEvent::CheckBrowseMode);
    switch (state_) {
        case dsEdit:
        case dsInsert:
            UpdateRecord();
            if (modified_) {
                Post();
            } else {
                Cancel();
            }
            break;
        case dsSetKey:
            Post();
            break;
        default:
            break;
    }
}

void TSQLMemDataSet::UpdateRecord() {
    if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey && state_ != dsCalcFields &&
        state_ != dsFilter) {
        ComponentError(kNotEditing);
    }
    NotifyDataSources(TDataEvent::UpdateRecord);
}

void TSQLMemDataSet::Append() { BeginInsertAppend(true); }

void TSQLMemDataSet::Insert() { BeginInsertAppend(false); }

void TSQLMemDataSet::BeginInsertAppend(bool append) {
    CheckActive();
    CheckBrowseMode();
    CheckCanModify();
    FireEvent(BeforeInsert);
    FireEvent(BeforeScroll);
    const TSQLMemCursor::Position position = cursor_->SavePosition();
    RowBuffer fresh;
    try {
        if (append) {
            // A cancelled append comes back to the last row.
            InternalLast();
            RowBuffer last;
            InitRowBuffer(last);
            if (cursor_->GetRecord(grmPrior, last.bytes.data()) != grrOK) {
                InternalFirst();
            }
        }
        InitRecord(fresh);
        InternalInsert();
    } catch (...) {
        // No new row (a sequence ran out): stay on the row shown.
        cursor_->RestorePosition(position);
        throw;
    }
    current_ = std::move(fresh);
    has_row_ = true;
    if (append) {
        eof_ = true;
        bof_ = false;
    }
    SetState(dsInsert);
    try {
        DoOnNewRecord();
    } catch (...) {
        SetState(dsBrowse);
        Resync();
        throw;
    }
    modified_ = false;
    NotifyDataSources(TDataEvent::DataSetChange);
    FireEvent(AfterInsert);
    FireEvent(AfterScroll);
}

void TSQLMemDataSet::DoOnNewRecord() { FireEvent(OnNewRecord); }

void TSQLMemDataSet::InternalInsert() {}

void TSQLMemDataSet::InternalEdit() {
    // Take the stored values again: another component may have changed the row.
    RowBuffer row;
    InitRowBuffer(row);
    if (cursor_->GetRecord(grmCurrent, row.bytes.data()) == grrOK) {
        row.calc = current_.calc;
        row.generation = cursor_->CurrentGeneration();
        current_ = std::move(row);
    }
    old_ = current_;
}

void TSQLMemDataSet::InternalCancel() {
    if (state_ == dsEdit && !old_.bytes.empty()) {
        current_ = old_;
    }
}

void TSQLMemDataSet::InternalPost() {
    if (!cursor_) {
        throw ESQLMemException(10029, "Dataset is not opened");
    }
    if (state_ != dsEdit && state_ != dsInsert) {
        throw ESQLMemException(10030, "Dataset is not in insert or edit mode");
    }
    if (!GetCanModify()) {
        throw ESQLMemException(10032, "Dataset is in read only mode");
    }
    TSQLMemCursor::PostResult result;
    if (state_ == dsInsert) {
        result = cursor_->InsertRecord(current_.bytes.data(), &current_.blobs);
        if (!result.Ok() && result.message.empty()) {
            result.message = "Error adding record";
        }
        if (result.Ok()) {
            current_.generation =
                cursor_->RowGeneration(GetRecordID(current_.bytes.data(), cursor_->DataSize()));
        }
    } else {
        result = cursor_->UpdateRecord(old_.bytes.data(), current_.bytes.data(),
                                       current_.generation, &current_.blobs);
        if (!result.Ok() && result.message.empty()) {
            result.message = "Error updating record";
        }
    }
    if (!result.Ok()) {
        throw EDatabaseError(result.message);
    }
    current_.blobs.clear();
}

void TSQLMemDataSet::InternalDelete() {
    if (!GetCanModify()) {
        throw ESQLMemException(10032, "Dataset is in read only mode");
    }
    const TSQLMemCursor::PostResult result =
        cursor_->DeleteRecord(current_.bytes.data(), current_.generation);
    if (!result.Ok()) {
        throw EDatabaseError(result.message.empty() ? "Error deleting record" : result.message);
    }
}

void TSQLMemDataSet::Edit() {
    CheckActive();
    if (state_ == dsEdit || state_ == dsInsert) {
        return;
    }
    if (!has_row_) {
        Insert();
        return;
    }
    CheckBrowseMode();
    CheckCanModify();
    FireEvent(BeforeEdit);
    const bool done = CheckOperation([this] { InternalEdit(); }, OnEditError);
    if (!done) {
        return;
    }
    CalculateFields(current_);
    SetState(dsEdit);
    NotifyDataSources(TDataEvent::RecordChange);
    FireEvent(AfterEdit);
}

void TSQLMemDataSet::Post() {
    CheckActive();
    if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey) {
        ComponentError(kNotEditing);
    }
    UpdateRecord();
    if (state_ == dsSetKey) {
        EndKeyEdit(true);
        return;
    }
    NotifyDataSources(TDataEvent::CheckBrowseMode);
    FireEvent(BeforePost);
    const bool done = CheckOperation([this] { InternalPost(); }, OnPostError);
    if (!done) {
        return;
    }
    SetState(dsBrowse);
    Resync();
    FireEvent(AfterPost);
}

void TSQLMemDataSet::Cancel() {
    CheckActive();
    if (state_ == dsSetKey) {
        EndKeyEdit(false);
        return;
    }
    if (state_ != dsEdit && state_ != dsInsert) {
        return;
    }
    NotifyDataSources(TDataEvent::CheckBrowseMode);
    FireEvent(BeforeCancel);
    const bool was_insert = state_ == dsInsert;
    if (was_insert) {
        FireEvent(BeforeScroll);
    }
    InternalCancel();
    SetState(dsBrowse);
    Resync();
    FireEvent(AfterCancel);
    if (was_insert) {
        FireEvent(AfterScroll);
    }
}

void TSQLMemDataSet::Delete() {
    CheckActive();
    if (state_ == dsInsert || state_ == dsSetKey) {
        Cancel();
        return;
    }
    if (!has_row_) {
        ComponentError("Cannot perform this operation on an empty dataset");
    }
    NotifyDataSources(TDataEvent::CheckBrowseMode);
    FireEvent(BeforeDelete);
    FireEvent(BeforeScroll);
    const bool done = CheckOperation([this] { InternalDelete(); }, OnDeleteError);
    if (!done) {
        return;
    }
    SetState(dsBrowse);
    Resync();
    FireEvent(AfterDelete);
    FireEvent(AfterScroll);
}

// --- Navigation -----------------------------------------------------------------------------

void TSQLMemDataSet::First() { MoveToEnd(true); }

void TSQLMemDataSet::Last() { MoveToEnd(false); }

void TSQLMemDataSet::MoveToEnd(bool to_first) {
    CheckActive();
    CheckBrowseMode();
    FireEvent(BeforeScroll);
    if (to_first) {
        InternalFirst();
    } else {
        InternalLast();
    }
    RowBuffer row;
    InitRowBuffer(row);
    has_row_ = GetRecord(row, static_cast<int>(to_first ? grmNext : grmPrior));
    if (has_row_) {
        current_ = std::move(row);
    } else {
        InitRowBuffer(current_);
    }
    // The end moved to is reached; the other end only when no row is visible.
    bof_ = to_first || !has_row_;
    eof_ = !to_first || !has_row_;
    NotifyDataSources(TDataEvent::DataSetChange);
    FireEvent(AfterScroll);
}

void TSQLMemDataSet::Next() { MoveBy(1); }

void TSQLMemDataSet::Prior() { MoveBy(-1); }

int TSQLMemDataSet::MoveBy(int distance) {
    CheckActive();
    CheckBrowseMode();
    FireEvent(BeforeScroll);
    int moved = 0;
    if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
        eof_ = false;
        bof_ = false;
        const int step = distance > 0 ? 1 : -1;
        while (distance != 0) {
            if (!has_row_) {
                eof_ = bof_ = true;
                break;
            }
            const TSQLMemCursor::Position position = cursor_->SavePosition();
            // The spare buffer takes the row and then trades places with the current
            // one, so that stepping allocates nothing.
            RowBuffer& row = spare_;
            InitRowBuffer(row);
            if (GetRecord(row, static_cast<int>(step > 0 ? grmNext : grmPrior))) {
                std::swap(current_, row);
                moved += step;
                distance -= step;
            } else {
                // Stay on the last (first) row; the cursor goes back onto it.
                cursor_->RestorePosition(position);
                (step > 0 ? eof_ : bof_) = true;
                break;
            }
        }
        if (moved != 0) {
            NotifyDataSources(TDataEvent::DataSetScroll);
        }
        FireEvent(AfterScroll);
    }
    return moved;
}

bool TSQLMemDataSet::Eof() const { return eof_; }

bool TSQLMemDataSet::Bof() const { return bof_; }

bool TSQLMemDataSet::IsEmpty() const { return !Active() || !has_row_; }

bool TSQLMemDataSet::Modified() const { return modified_; }

int TSQLMemDataSet::GetRecordCount() const { return static_cast<int>(cursor_->RecordCount()); }

int TSQLMemDataSet::RecordCount() const {
    if (!Active() || !IsCursorOpen()) {
        return 0;
    }
    return GetRecordCount();
}

int TSQLMemDataSet::GetRecNo() const {
    const int64_t rec_no = cursor_->RecNo();
    return rec_no < 0 ? 0 : static_cast<int>(rec_no);
}

int TSQLMemDataSet::RecNo() const {
    if (!Active() || !IsCursorOpen() || state_ == dsInsert || !has_row_) {
        return 0;
    }
    return GetRecNo();
}

void TSQLMemDataSet::SetRecNo(int rec_no) {
    CheckActive();
    CheckBrowseMode();
    if (rec_no == RecNo()) {
        return;
    }
    FireEvent(BeforeScroll);
    if (cursor_->SetRecNo(rec_no)) {
        Resync();
        FireEvent(AfterScroll);
    }
}

bool TSQLMemDataSet::ReadRowAt(int rec_no, const std::function<void()>& visit) {
    if (!Active() || !cursor_ || rec_no < 1) {
        return false;
    }
    RowBuffer row;
    InitRowBuffer(row);
    {
        const TSQLMemCursor::Position position = cursor_->SavePosition();
        bool found = false;
        try {
            found = cursor_->SetRecNo(rec_no) &&
                    cursor_->GetRecord(grmCurrent, row.bytes.data()) == grrOK;
        } catch (...) {
            cursor_->RestorePosition(position);
            throw;
        }
        cursor_->RestorePosition(position);
        if (!found) {
            return false;
        }
    }
    CalculateFields(row);
    ReadOverride over(read_override_, &row);
    visit();
    return true;
}

}  // namespace tapir::engine
