#include "engine/table/sqlmem_cursor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/table/condition_search.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table_data.h"

namespace tapir::engine {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The locks a change of rows takes. Once the database holds foreign keys, a change may
// check or change rows of other tables: it takes the database lock before its table's,
// so every thread takes the database lock first and tables never wait on each other in
// opposite orders.
class ChangeLock {
  public:
    ChangeLock(TSQLMemDatabaseData& database, TSQLMemTableData& table)
        : database_(database.HasForeignKeys()
                        ? std::unique_lock<std::recursive_mutex>(database.Mutex())
                        : std::unique_lock<std::recursive_mutex>()),
          table_(table.Mutex()) {}

  private:
    std::unique_lock<std::recursive_mutex> database_;
    Lock table_;
};

constexpr const char* kRowGoneMessage = "Record was changed or deleted by another dataset";

std::vector<std::byte> CopyKey(const std::byte* key, int32_t size) {
    return std::vector<std::byte>(key, key + size);
}

[[noreturn]] void ThrowInvalidFieldNo(int code, int32_t field_no, int32_t count) {
    throw ESQLMemException::Formatted(
        code, "Invalid field number - FieldNo = " + std::to_string(field_no) +
                  ", FieldCount = " + std::to_string(count));
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names) {
        if (!joined.empty()) {
            joined += ';';
        }
        joined += name;
    }
    return joined;
}

}  // namespace

TSQLMemCursor::TSQLMemCursor(const OpenParams& params)
    : read_only_(params.read_only), exclusive_(params.exclusive) {
    TSQLMemSession& session = TSQLMemEngine::Instance().Session(params.session_name);
    database_component_ = &session.Database(params.database_name);
    try {
        session_ = &database_component_->AddUser(this, params.data_set);
    } catch (...) {
        session.DropIfUnused(*database_component_);
        throw;
    }
    database_ = &session_->Database();
    try {
        Lock database_lock(database_->Mutex());
        table_ = &database_->FindOrCreateTable(params.definition);
        Lock table_lock(table_->Mutex());
        table_name_ = table_->Name();
        field_defs_ = table_->FieldDefs();
        index_defs_ = table_->IndexDefs();
        constraint_defs_ = table_->ConstraintDefs();
        scratch_.resize(static_cast<size_t>(RecordSize()));
        // Last, so that a cursor that failed to construct is never left registered.
        table_->RegisterCursor(this);
    } catch (...) {
        database_component_->RemoveUser(this);
        throw;
    }
}

TSQLMemCursor::~TSQLMemCursor() {
    {
        Lock lock(table_->Mutex());
        table_->UnregisterCursor(this);
    }
    try {
        database_component_->RemoveUser(this);
    } catch (...) {
        // Disconnecting the last user cannot be refused from a destructor.
    }
}

int32_t TSQLMemCursor::ConnectionID() const { return session_->ConnectionID(); }

TableDefinition TSQLMemCursor::StoredDefinition() const {
    Lock lock(table_->Mutex());
    TableDefinition definition;
    definition.name = table_->Name();
    definition.alloc_by = table_->AllocBy();
    for (int32_t field_no = 0; field_no < field_defs_.Count(); ++field_no) {
        const TSQLMemFieldDef& def = field_defs_[field_no];
        TableFieldSpec column_spec;
        column_spec.name = def.Name;
        column_spec.data_type = AdvancedToFieldType(def.AdvancedType);
        column_spec.size = def.Size;
        column_spec.increment = def.Increment;
        column_spec.initial_value = def.InitialValue;
        column_spec.min_value = def.MinValue;
        column_spec.max_value = def.MaxValue;
        column_spec.cycled = def.Cycled;
        if (AdvancedToFieldType(def.AdvancedType) == ftUnknown ||
            FieldTypeToAdvancedType(column_spec.data_type) != def.AdvancedType) {
            column_spec.advanced_type = def.AdvancedType;
        }
        column_spec.blob_compression_algorithm = def.BlobCompressionAlgorithm;
        column_spec.blob_compression_mode = def.BlobCompressionMode;
        column_spec.blob_block_size = def.BlobBlockSize;
        for (const TSQLMemConstraintDef& constraint : constraint_defs_) {
            if (constraint.FieldNo != field_no) {
                continue;
            }
            if (constraint.Kind == ConstraintKind::NotNull) {
                column_spec.required = true;
            } else if (constraint.Kind == ConstraintKind::Check) {
                column_spec.check_min = constraint.MinValue;
                column_spec.check_max = constraint.MaxValue;
            }
        }
        definition.fields.push_back(std::move(column_spec));
    }
    for (const TSQLMemIndexDef& def : index_defs_) {
        TableIndexSpec column_spec;
        column_spec.name = def.Name;
        column_spec.primary = def.Primary;
        column_spec.unique = def.Unique && !def.Primary;
        std::vector<std::string> names, desc, case_ins;
        for (const TSQLMemIndexColumn& column : def.Columns) {
            names.push_back(column.FieldName);
            if (column.Descending) {
                desc.push_back(column.FieldName);
            }
            if (column.CaseInsensitive) {
                case_ins.push_back(column.FieldName);
            }
        }
        column_spec.fields = JoinNames(names);
        if (!desc.empty() && desc.size() == names.size()) {
            column_spec.descending = true;
        } else {
            column_spec.desc_fields = JoinNames(desc);
        }
        if (!case_ins.empty() && case_ins.size() == names.size()) {
            column_spec.case_insensitive = true;
        } else {
            column_spec.case_ins_fields = JoinNames(case_ins);
        }
        definition.indexes.push_back(std::move(column_spec));
    }
    return definition;
}

// --- Index ---

bool TSQLMemCursor::SetIndexName(const std::string& name) {
    Lock lock(table_->Mutex());
    index_no_ = -1;
    for (int32_t i = 0; i < static_cast<int32_t>(index_defs_.size()); ++i) {
        if (!name.empty() && SameName(index_defs_[i].Name, name)) {
            index_no_ = i;
            break;
        }
    }
    index_field_nos_.clear();
    if (index_no_ >= 0) {
        for (const TSQLMemIndexColumn& column : index_defs_[index_no_].Columns) {
            index_field_nos_.push_back(field_defs_.IndexOf(column.FieldName));
        }
    }
    DeactivateVisibleList();
    return index_no_ >= 0;
}

std::string TSQLMemCursor::IndexName() const {
    return index_no_ >= 0 ? index_defs_[index_no_].Name : std::string();
}

int32_t TSQLMemCursor::IndexObjectID() const {
    return index_no_ >= 0 ? index_defs_[index_no_].ObjectID : -1;
}

int TSQLMemCursor::CompareByIndex(const std::byte* a, const std::byte* b,
                                  int32_t field_count) const {
    Lock lock(table_->Mutex());
    return CurrentIndex().CompareRecordBuffersByIndex(a, b, field_count);
}

// --- Row generations ---

TSQLMemCursor::Position TSQLMemCursor::OnRow(TSQLMemRecordID id) {
    const std::byte* row = table_->Records().RecordPointer(id);
    if (row == nullptr) {
        position_row_.clear();
    } else {
        position_row_.assign(row, row + field_defs_.DataSize());
    }
    return {id, false, false, table_->Records().Generation(id)};
}

uint64_t TSQLMemCursor::RowGeneration(TSQLMemRecordID id) const {
    Lock lock(table_->Mutex());
    return table_->Records().Generation(id);
}

bool TSQLMemCursor::IsSameRow(TSQLMemRecordID id, std::optional<uint64_t> generation) const {
    const uint64_t stored = table_->Records().Generation(id);
    if (stored == 0) {
        return false;
    }
    if (!generation && !position_.at_beginning && !position_.at_end && position_.record_id == id) {
        generation = position_.generation;
    }
    return !generation || *generation == stored;
}

// --- Visibility ---

bool TSQLMemCursor::Restricted() const {
    return HasRange() || static_cast<bool>(filter_) || filter_expression_ != nullptr ||
           sql_filter_ != nullptr || distinct_count_ > 0;
}

TSQLMemBTreeIndex& TSQLMemCursor::CurrentIndex() const { return table_->Index(index_no_); }

bool TSQLMemCursor::InRange(const std::byte* row) const {
    if (index_no_ < 0) {
        return true;
    }
    TSQLMemBTreeIndex& index = CurrentIndex();
    if (start_key_) {
        const int compared =
            index.CompareRecordBuffersByIndex(row, start_key_->data(), start_count_);
        if (compared < 0 || (compared == 0 && start_exclusive_)) {
            return false;
        }
    }
    if (end_key_) {
        const int compared = index.CompareRecordBuffersByIndex(row, end_key_->data(), end_count_);
        if (compared > 0 || (compared == 0 && end_exclusive_)) {
            return false;
        }
    }
    return true;
}

bool TSQLMemCursor::IsVisible(const std::byte* row) const {
    return InRange(row) &&
           (filter_expression_ == nullptr || filter_expression_->IsRecordMatch(row)) &&
           (sql_filter_ == nullptr || sql_filter_->IsRecordMatch(row)) &&
           (!filter_ || filter_(row));
}

void TSQLMemCursor::DeactivateVisibleList() {
    visible_.Clear();
    path_valid_ = false;
}

void TSQLMemCursor::OnTableChangedElsewhere() { DeactivateVisibleList(); }

TSQLMemSearchView TSQLMemCursor::View() const {
    TSQLMemSearchView view;
    view.Connection = ConnectionID();
    view.IndexNo = index_no_;
    view.Position = position_.record_id;
    view.AtBeginning = position_.at_beginning;
    view.AtEnd = position_.at_end;
    if (!position_.at_beginning && !position_.at_end &&
        position_row_.size() == static_cast<size_t>(field_defs_.DataSize())) {
        view.PositionRow = position_row_.data();
        view.PositionGone =
            table_->Records().Generation(position_.record_id) != position_.generation;
    }
    if (index_no_ >= 0) {
        view.StartKey = start_key_ ? start_key_->data() : nullptr;
        view.EndKey = end_key_ ? end_key_->data() : nullptr;
        view.StartExclusive = start_exclusive_;
        view.EndExclusive = end_exclusive_;
        view.StartCount = start_count_;
        view.EndCount = end_count_;
        view.DistinctCount = distinct_count_;
    }
    view.Filter = filter_ ? &filter_ : nullptr;
    view.FilterExpression = filter_expression_.get();
    view.SQLFilterExpression = sql_filter_.get();
    return view;
}

void TSQLMemCursor::EnsureVisibleList() {
    if (!Restricted() || visible_.Active()) {
        return;
    }
    visible_.Clear();
    visible_.SetIndexed(index_no_ >= 0);
    if (table_->RecordCount() > 0) {
        // Every visible row, marked from the first one in the cursor's order.
        TSQLMemSearchView view = View();
        view.AtBeginning = true;
        view.AtEnd = false;
        view.PositionRow = nullptr;
        view.PositionGone = false;
        view.DistinctCount = 0;
        TSQLMemSearchRequest request;
        request.Mode = TSQLMemSearchMode::Bitmap;
        request.Bitmap = &visible_;
        request.RowsRead = &rows_read_;
        TSQLMemRecordID found;
        FindRecord(*table_, view, request, found);
        if (distinct_count_ > 0 && index_no_ >= 0) {
            ApplyDistinct();
        }
    }
    visible_.SetActive(true);
}

void TSQLMemCursor::ApplyDistinct() {
    // The list is in index order: keep the first row of every run of equal leading keys.
    TSQLMemRecordBitmap distinct;
    distinct.SetIndexed(true);
    const std::byte* previous = nullptr;
    for (int64_t i = 0; i < visible_.Count(); ++i) {
        const TSQLMemRecordID id = visible_.Item(i);
        const std::byte* row = table_->Records().RecordPointer(id);
        if (previous == nullptr ||
            CurrentIndex().CompareRecordBuffersByIndex(previous, row, distinct_count_) != 0) {
            distinct.Append(id);
        }
        previous = row;
    }
    visible_ = std::move(distinct);
}

int64_t TSQLMemCursor::FindInVisibleList(TSQLMemRecordID id) const { return visible_.Find(id); }

void TSQLMemCursor::InsertIntoVisibleList(TSQLMemRecordID id, const std::byte* row) {
    if (index_no_ < 0) {
        visible_.InsertAt(visible_.Count(), id);
        return;
    }
    // Step back through the index from the new row to the nearest row that is in the
    // list; the new row goes right after it. Rows before the range's start cannot be.
    TSQLMemBTreeIndex& index = CurrentIndex();
    const tapir::engine::ConnectionID connection = ConnectionID();
    TSQLMemKeyPath path;
    if (index.GetIndexPosition(connection, {id.PageNo, 0}, row, path)) {
        while (index.GetPriorPosition(connection, path)) {
            const IndexRecordId entry = index.GetRecordID(connection, path);
            const TSQLMemRecordID before{entry.PageNo, 0};
            if (visible_.Contains(before)) {
                visible_.InsertAfter(before, id);
                return;
            }
            if (start_key_) {
                const int compared = index.CompareRecordBuffersByIndex(
                    table_->Records().RecordPointer(before), start_key_->data(), start_count_);
                if (compared < 0 || (compared == 0 && start_exclusive_)) {
                    break;
                }
            }
        }
    }
    visible_.InsertAt(0, id);
}

void TSQLMemCursor::RemoveFromVisibleList(TSQLMemRecordID id) { visible_.Remove(id); }

// --- Navigation ---

void TSQLMemCursor::First() {
    Lock lock(table_->Mutex());
    position_ = {TSQLMemRecordID{}, true, false};
}

void TSQLMemCursor::Last() {
    Lock lock(table_->Mutex());
    position_ = {TSQLMemRecordID{}, false, true};
}

void TSQLMemCursor::RestorePosition(const Position& position) {
    Lock lock(table_->Mutex());
    position_ = position;
}

void TSQLMemCursor::CopyOut(TSQLMemRecordID id, std::byte* buffer) const {
    const std::byte* row = table_->Records().RecordPointer(id);
    std::memcpy(buffer, row, static_cast<size_t>(field_defs_.DataSize()));
    SetRecordID(buffer, field_defs_.DataSize(), id);
    SetBookmarkFlag(buffer, field_defs_.DataSize(), bfCurrent);
}

TSQLMemGetRecordResult TSQLMemCursor::ReadRestricted(TSQLMemGetRecordMode mode,
                                                     TSQLMemRecordID& found) {
    EnsureVisibleList();
    if (visible_.Empty()) {
        return grrEOF;
    }
    if (position_.at_beginning) {
        if (mode != grmNext) {
            return grrBOF;
        }
        found = visible_.Front();
        return grrOK;
    }
    if (position_.at_end) {
        if (mode != grmPrior) {
            return grrEOF;
        }
        found = visible_.Back();
        return grrOK;
    }
    const int64_t at = FindInVisibleList(position_.record_id);
    if (at < 0) {
        return grrError;
    }
    switch (mode) {
        case grmCurrent:
            found = visible_.Item(at);
            return grrOK;
        case grmNext:
            if (at + 1 >= visible_.Count()) {
                return grrEOF;
            }
            found = visible_.Item(at + 1);
            return grrOK;
        case grmPrior:
            if (at == 0) {
                return grrBOF;
            }
            found = visible_.Item(at - 1);
            return grrOK;
    }
    return grrError;
}

bool TSQLMemCursor::PathUsable() const {
    return path_valid_ && path_index_no_ == index_no_ &&
           path_change_count_ == table_->ChangeCount();
}

bool TSQLMemCursor::PathOnPosition() const {
    return PathUsable() && path_id_ == position_.record_id && !position_.at_beginning &&
           !position_.at_end;
}

void TSQLMemCursor::KeepPath(TSQLMemRecordID id, int64_t rec_no) {
    path_valid_ = true;
    path_index_no_ = index_no_;
    path_change_count_ = table_->ChangeCount();
    path_id_ = id;
    path_rec_no_ = rec_no;
    if (rec_no > 0) {
        NoteRecNo(id, rec_no);
    }
}

int64_t TSQLMemCursor::KnownRecNo(TSQLMemRecordID id) const {
    if (PathUsable() && path_id_ == id && path_rec_no_ > 0) {
        return path_rec_no_;
    }
    const RecNoNote& note = rec_no_note_;
    if (note.rec_no > 0 && note.id == id && note.index_no == index_no_ &&
        note.change_count == table_->ChangeCount()) {
        return note.rec_no;
    }
    return 0;
}

void TSQLMemCursor::NoteRecNo(TSQLMemRecordID id, int64_t rec_no) {
    rec_no_note_ = {id, rec_no, index_no_, table_->ChangeCount()};
}

TSQLMemGetRecordResult TSQLMemCursor::ReadByIndex(TSQLMemGetRecordMode mode,
                                                  TSQLMemRecordID& found) {
    TSQLMemBTreeIndex& index = CurrentIndex();
    const tapir::engine::ConnectionID connection = ConnectionID();
    const bool next = mode == grmNext;
    bool on = false;
    int64_t rec_no = 0;
    if (position_.at_beginning) {
        if (!next) {
            return grrBOF;
        }
        on = index.GetFirstPosition(connection, path_);
        rec_no = 1;
    } else if (position_.at_end) {
        if (next) {
            return grrEOF;
        }
        on = index.GetLastPosition(connection, path_);
        rec_no = table_->RecordCount();
    } else if (table_->Records().Generation(position_.record_id) != position_.generation &&
               position_row_.size() == static_cast<size_t>(field_defs_.DataSize())) {
        // Another component deleted the row the cursor stood on (its slot may hold a new
        // row by now): go on from where its key stood in the order.
        on = index.FindByCondition(connection, next,
                                   {next ? scGreater : scLower, position_row_.data(), 0}, path_);
    } else {
        const int64_t known = KnownRecNo(position_.record_id);
        rec_no = known > 0 ? known + (next ? 1 : -1) : 0;
        if (!PathOnPosition()) {
            path_valid_ = false;
            const std::byte* row = table_->Records().RecordPointer(position_.record_id);
            if (row == nullptr ||
                !index.GetIndexPosition(connection, {position_.record_id.PageNo, 0}, row, path_)) {
                return grrError;
            }
        }
        on = next ? index.GetNextPosition(connection, path_)
                  : index.GetPriorPosition(connection, path_);
    }
    if (!on) {
        path_valid_ = false;
        return next ? grrEOF : grrBOF;
    }
    const IndexRecordId entry = index.GetRecordID(connection, path_);
    found = {entry.PageNo, 0};
    KeepPath(found, rec_no);
    return grrOK;
}

TSQLMemGetRecordResult TSQLMemCursor::ReadUnrestricted(TSQLMemGetRecordMode mode,
                                                       TSQLMemRecordID& found) {
    const TSQLMemMemoryRecordManager& records = table_->Records();
    if (mode == grmCurrent) {
        if (position_.at_beginning) {
            return grrBOF;
        }
        if (position_.at_end) {
            return grrEOF;
        }
        if (!records.RecordExists(position_.record_id)) {
            return grrError;
        }
        found = position_.record_id;
        return grrOK;
    }
    if (index_no_ >= 0) {
        return ReadByIndex(mode, found);
    }
    TSQLMemNavigationInfo info;
    info.ConnectionID = ConnectionID();
    info.GetRecordMode = mode;
    info.RecordID = position_.record_id;
    info.AtBeginning = position_.at_beginning;
    info.AtEnd = position_.at_end;
    records.GetRecord(info);
    if (info.GetRecordResult == grrOK) {
        found = info.RecordID;
    }
    return info.GetRecordResult;
}

TSQLMemGetRecordResult TSQLMemCursor::GetRecord(TSQLMemGetRecordMode mode, std::byte* buffer) {
    Lock lock(table_->Mutex());
    TSQLMemGetRecordResult result = grrEOF;
    TSQLMemRecordID found;
    if (mode == grmCurrent && !position_.at_beginning && !position_.at_end &&
        table_->Records().Generation(position_.record_id) != position_.generation) {
        // The row the cursor was on is gone; a row now in its slot is another row.
        result = grrError;
    } else if (table_->RecordCount() > 0) {
        result = Restricted() ? ReadRestricted(mode, found) : ReadUnrestricted(mode, found);
    }
    switch (result) {
        case grrOK:
            if (buffer != nullptr) {
                CopyOut(found, buffer);
            }
            position_ = OnRow(found);
            break;
        case grrBOF:
            position_.at_beginning = true;
            position_.at_end = false;
            break;
        case grrEOF:
            position_.at_beginning = false;
            position_.at_end = true;
            break;
        case grrError:
            break;
    }
    return result;
}

bool TSQLMemCursor::GotoRecordID(TSQLMemRecordID id, std::optional<uint64_t> generation) {
    Lock lock(table_->Mutex());
    const std::byte* row = table_->Records().RecordPointer(id);
    if (row == nullptr || (generation && *generation != table_->Records().Generation(id))) {
        return false;
    }
    if (Restricted()) {
        EnsureVisibleList();
        if (FindInVisibleList(id) < 0) {
            return false;
        }
    }
    position_ = OnRow(id);
    return true;
}

int64_t TSQLMemCursor::RecordCount() {
    Lock lock(table_->Mutex());
    if (Restricted()) {
        EnsureVisibleList();
        return visible_.Count();
    }
    return table_->RecordCount();
}

int64_t TSQLMemCursor::RecNo() {
    Lock lock(table_->Mutex());
    if (position_.at_beginning || position_.at_end || table_->RecordCount() == 0) {
        return -1;
    }
    if (Restricted()) {
        EnsureVisibleList();
        const int64_t at = FindInVisibleList(position_.record_id);
        return at < 0 ? -1 : at + 1;
    }
    const std::byte* row = table_->Records().RecordPointer(position_.record_id);
    if (row == nullptr) {
        return -1;
    }
    if (index_no_ >= 0) {
        const int64_t known = KnownRecNo(position_.record_id);
        if (known > 0) {
            return known;
        }
        // The index counts the entries up to the row's, leaf by leaf; kept for the next ask.
        const int64_t rec_no =
            CurrentIndex().GetRecNoByRecordID(ConnectionID(), {position_.record_id.PageNo, 0}, row);
        if (rec_no > 0) {
            NoteRecNo(position_.record_id, rec_no);
        }
        return rec_no;
    }
    return table_->Records().RowsUpTo(position_.record_id.PageNo);
}

bool TSQLMemCursor::SetRecNo(int64_t rec_no) {
    Lock lock(table_->Mutex());
    if (rec_no < 1) {
        return false;
    }
    TSQLMemRecordID id;
    if (Restricted()) {
        EnsureVisibleList();
        if (rec_no > visible_.Count()) {
            return false;
        }
        id = visible_.Item(rec_no - 1);
    } else if (index_no_ >= 0) {
        if (rec_no > table_->RecordCount()) {
            return false;
        }
        id = RowAtRecNo(rec_no);
    } else {
        if (rec_no > table_->RecordCount()) {
            return false;
        }
        id = {table_->Records().SlotOfRow(rec_no - 1), 0};
    }
    position_ = OnRow(id);
    return true;
}

TSQLMemRecordID TSQLMemCursor::RowAtRecNo(int64_t rec_no) {
    TSQLMemBTreeIndex& index = CurrentIndex();
    const tapir::engine::ConnectionID connection = ConnectionID();
    // Near the row the kept path stands on (a grid reads its rows one after the other),
    // stepping costs less than counting from the first leaf.
    if (PathUsable() && path_rec_no_ > 0) {
        const int64_t distance = rec_no - path_rec_no_;
        if (std::abs(distance) <= 64 + rec_no / 8) {
            bool on = true;
            for (int64_t step = 0; on && step < std::abs(distance); ++step) {
                on = distance > 0 ? index.GetNextPosition(connection, path_)
                                  : index.GetPriorPosition(connection, path_);
            }
            if (on) {
                const TSQLMemRecordID id{index.GetRecordID(connection, path_).PageNo, 0};
                KeepPath(id, rec_no);
                return id;
            }
            path_valid_ = false;
        }
    }
    const IndexRecordId entry = index.GetRecordIDByRecNo(connection, static_cast<uint64_t>(rec_no));
    const TSQLMemRecordID id{entry.PageNo, 0};
    if (index.GetIndexPosition(connection, entry, table_->Records().RecordPointer(id), path_)) {
        KeepPath(id, rec_no);
    } else {
        path_valid_ = false;
    }
    return id;
}

// --- Range and filter ---

void TSQLMemCursor::ApplyRange(const std::byte* start_key, const std::byte* end_key,
                               bool start_exclusive, bool end_exclusive, int32_t start_count,
                               int32_t end_count) {
    Lock lock(table_->Mutex());
    const int32_t size = field_defs_.KeyBufferSize();
    start_key_.reset();
    end_key_.reset();
    if (start_key != nullptr) {
        start_key_ = CopyKey(start_key, size);
    }
    if (end_key != nullptr) {
        end_key_ = CopyKey(end_key, size);
    }
    start_exclusive_ = start_exclusive;
    end_exclusive_ = end_exclusive;
    start_count_ = start_count;
    end_count_ = end_count;
    DeactivateVisibleList();
}

void TSQLMemCursor::ResetRange() {
    Lock lock(table_->Mutex());
    start_key_.reset();
    end_key_.reset();
    start_exclusive_ = false;
    end_exclusive_ = false;
    start_count_ = 0;
    end_count_ = 0;
    DeactivateVisibleList();
}

bool TSQLMemCursor::IsSameRange(const std::byte* start_key, const std::byte* end_key,
                                bool start_exclusive, bool end_exclusive, int32_t start_count,
                                int32_t end_count) const {
    const auto same_key = [&](const std::optional<std::vector<std::byte>>& held,
                              const std::byte* key) {
        if (!held.has_value() || key == nullptr) {
            return !held.has_value() && key == nullptr;
        }
        // The field data decides; the trailer's modified byte is bookkeeping.
        return std::memcmp(held->data(), key, static_cast<size_t>(field_defs_.DataSize())) == 0;
    };
    return same_key(start_key_, start_key) && same_key(end_key_, end_key) &&
           start_exclusive_ == start_exclusive && end_exclusive_ == end_exclusive &&
           start_count_ == start_count && end_count_ == end_count;
}

void TSQLMemCursor::SetRowFilter(RowPredicate filter) {
    Lock lock(table_->Mutex());
    filter_ = std::move(filter);
    DeactivateVisibleList();
}

void TSQLMemCursor::ClearRowFilter() { SetRowFilter(nullptr); }

void TSQLMemCursor::ActivateFilters(std::unique_ptr<TSQLMemSearchExpression> filter_text) {
    Lock lock(table_->Mutex());
    filter_expression_ = std::move(filter_text);
    DeactivateVisibleList();
}

void TSQLMemCursor::DeactivateFilters() { ActivateFilters(nullptr); }

void TSQLMemCursor::SetSQLFilter(std::unique_ptr<TSQLMemSearchExpression> sql_filter) {
    Lock lock(table_->Mutex());
    sql_filter_ = std::move(sql_filter);
    DeactivateVisibleList();
}

void TSQLMemCursor::SetDistinct(int32_t field_count) {
    Lock lock(table_->Mutex());
    distinct_count_ = index_no_ >= 0 ? std::max<int32_t>(field_count, 0) : 0;
    DeactivateVisibleList();
}

bool TSQLMemCursor::SearchFirst(TSQLMemSearchRequest& request, std::byte* buffer) {
    request.Mode = TSQLMemSearchMode::First;
    request.Forward = true;
    request.RowsRead = &rows_read_;
    if (distinct_count_ > 0) {
        // Distinct views hide rows that the conditions alone would find: search the list.
        EnsureVisibleList();
        for (int64_t i = 0; i < visible_.Count(); ++i) {
            const TSQLMemRecordID id = visible_.Item(i);
            const std::byte* row = table_->Records().RecordPointer(id);
            ++rows_read_;
            const bool match =
                (request.Condition == nullptr ||
                 IsRecordMatchCondition(CurrentIndex(), row, *request.Condition)) &&
                (request.Expression == nullptr || request.Expression->IsRecordMatch(row)) &&
                (request.Callback == nullptr || !*request.Callback || (*request.Callback)(row));
            if (match) {
                if (buffer != nullptr) {
                    CopyOut(id, buffer);
                }
                position_ = OnRow(id);
                return true;
            }
        }
        return false;
    }
    TSQLMemRecordID found;
    bool path_set = false;
    request.Path = &path_;
    request.PathSet = &path_set;
    path_valid_ = false;
    if (!FindRecord(*table_, View(), request, found)) {
        return false;
    }
    if (buffer != nullptr) {
        CopyOut(found, buffer);
    }
    position_ = OnRow(found);
    if (path_set) {
        KeepPath(found, 0);
    }
    return true;
}

bool TSQLMemCursor::Locate(const RowPredicate& matches, std::byte* buffer) {
    return Locate(nullptr, matches, buffer);
}

bool TSQLMemCursor::Locate(TSQLMemSearchExpression* expression, const RowPredicate& matches,
                           std::byte* buffer) {
    Lock lock(table_->Mutex());
    if (expression == nullptr && !matches) {
        throw ESQLMemException(11375, "Nil pointer occured");
    }
    TSQLMemSearchRequest request;
    request.Expression = expression;
    request.Callback = matches ? &matches : nullptr;
    return SearchFirst(request, buffer);
}

bool TSQLMemCursor::FindKey(const std::byte* key, int32_t field_count, KeySearch search,
                            std::byte* buffer) {
    Lock lock(table_->Mutex());
    if (index_no_ < 0) {
        throw ESQLMemException(20057, "Invalid index for search");
    }
    TSQLMemSearchBound bound;
    switch (search) {
        case KeySearch::Exact:
            bound.Condition = scEqual;
            break;
        case KeySearch::Nearest:
            bound.Condition = scGreaterEqual;
            break;
        case KeySearch::NearestAfter:
            bound.Condition = scGreater;
            break;
    }
    bound.Key.assign(key, key + field_defs_.KeyBufferSize());
    bound.KeyFieldCount = field_count;
    bound.IndexNo = index_no_;
    TSQLMemSearchRequest request;
    request.Condition = &bound;
    if (SearchFirst(request, buffer)) {
        return true;
    }
    if (search != KeySearch::Exact) {
        position_ = {TSQLMemRecordID{}, false, true};
    }
    return false;
}

std::vector<std::string> TSQLMemCursor::CheckIntegrity() {
    Lock lock(table_->Mutex());
    return table_->CheckIntegrity();
}

// --- Row buffers ---

void TSQLMemCursor::InitNewRecord(std::byte* buffer) {
    Lock lock(table_->Mutex());
    SetRecordID(buffer, field_defs_.DataSize(), TSQLMemRecordID{});
    SetBookmarkFlag(buffer, field_defs_.DataSize(), bfInserted);
    table_->InitNewRow(buffer, *session_);
}

void TSQLMemCursor::InitKeyBuffer(std::byte* key) const {
    tapir::engine::InitKeyBuffer(key, field_defs_.DataSize(), field_defs_.Count());
}

bool TSQLMemCursor::GetFieldData(int32_t field_no, void* dest, const std::byte* buffer) const {
    if (field_no < 0 || field_no >= field_defs_.Count()) {
        ThrowInvalidFieldNo(10005, field_no, field_defs_.Count());
    }
    return tapir::engine::GetFieldData(field_defs_, field_no, dest, buffer);
}

void TSQLMemCursor::SetFieldData(int32_t field_no, const void* source, std::byte* buffer) const {
    if (field_no < 0 || field_no >= field_defs_.Count()) {
        ThrowInvalidFieldNo(10006, field_no, field_defs_.Count());
    }
    tapir::engine::SetFieldData(field_defs_, field_no, source, buffer);
}

void TSQLMemCursor::SetKeyFieldData(int32_t field_no, const void* source, std::byte* key) const {
    if (field_no < 0 || field_no >= field_defs_.Count()) {
        ThrowInvalidFieldNo(10006, field_no, field_defs_.Count());
    }
    const std::vector<int32_t>& index_fields = IndexFieldNos();
    if (std::find(index_fields.begin(), index_fields.end(), field_no) == index_fields.end()) {
        throw ESQLMemException::Formatted(
            20019, "Field " + field_defs_[field_no].Name + " is not in the current index");
    }
    tapir::engine::SetFieldData(field_defs_, field_no, source, key);
    KeyTrailer trailer = GetKeyTrailer(key, field_defs_.DataSize());
    trailer.modified = true;
    SetKeyTrailer(key, field_defs_.DataSize(), trailer);
}

// --- Changes ---

TSQLMemCursor::PostResult TSQLMemCursor::InsertRecord(std::byte* buffer, const BlobChanges* blobs) {
    ChangeLock lock(*database_, *table_);
    std::string failure = table_->CheckConstraints(buffer, nullptr, this);
    if (!failure.empty()) {
        return {-8, std::move(failure)};
    }
    const bool restricted = Restricted();
    if (restricted) {
        EnsureVisibleList();
        // Room for the new row first: past the memory limit nothing is stored.
        visible_.Reserve(1);
    }
    const TSQLMemRecordID id = table_->InsertRow(buffer, this, blobs);
    TakeStoredBlobs(id, buffer);
    SetRecordID(buffer, field_defs_.DataSize(), id);
    SetBookmarkFlag(buffer, field_defs_.DataSize(), bfInserted);
    if (!restricted) {
        position_ = OnRow(id);
    } else if (IsVisible(buffer)) {
        InsertIntoVisibleList(id, buffer);
        position_ = OnRow(id);
    }
    return {};
}

std::optional<TSQLMemRecordID> TSQLMemCursor::NeighbourInView(TSQLMemRecordID id) {
    if (Restricted()) {
        EnsureVisibleList();
        const int64_t at = FindInVisibleList(id);
        if (at < 0) {
            return std::nullopt;
        }
        if (at + 1 < visible_.Count()) {
            return visible_.Item(at + 1);
        }
        if (at > 0) {
            return visible_.Item(at - 1);
        }
        return std::nullopt;
    }
    const TSQLMemMemoryRecordManager& records = table_->Records();
    const std::byte* row = records.RecordPointer(id);
    if (row == nullptr) {
        return std::nullopt;
    }
    if (index_no_ >= 0) {
        TSQLMemBTreeIndex& index = CurrentIndex();
        const tapir::engine::ConnectionID connection = ConnectionID();
        TSQLMemKeyPath path;
        if (PathOnPosition() && id == position_.record_id) {
            path = path_;
        } else if (!index.GetIndexPosition(connection, {id.PageNo, 0}, row, path)) {
            return std::nullopt;
        }
        TSQLMemKeyPath other = path;
        if (index.GetNextPosition(connection, other)) {
            return TSQLMemRecordID{index.GetRecordID(connection, other).PageNo, 0};
        }
        if (index.GetPriorPosition(connection, path)) {
            return TSQLMemRecordID{index.GetRecordID(connection, path).PageNo, 0};
        }
        return std::nullopt;
    }
    for (TSQLMemGetRecordMode mode : {grmNext, grmPrior}) {
        TSQLMemNavigationInfo info;
        info.GetRecordMode = mode;
        info.RecordID = id;
        records.GetRecord(info);
        if (info.GetRecordResult == grrOK) {
            return info.RecordID;
        }
    }
    return std::nullopt;
}

TSQLMemCursor::PostResult TSQLMemCursor::UpdateRecord(const std::byte* old_buffer,
                                                      std::byte* new_buffer,
                                                      std::optional<uint64_t> generation,
                                                      const BlobChanges* blobs) {
    ChangeLock lock(*database_, *table_);
    if (database_->Temporary()) {
        return {-9, "Cannot update record in temporary mode"};
    }
    const TSQLMemRecordID id = GetRecordID(new_buffer, field_defs_.DataSize());
    if (!IsSameRow(id, generation)) {
        return {-4, kRowGoneMessage};
    }
    std::string failure = table_->CheckConstraints(new_buffer, old_buffer, this);
    if (!failure.empty()) {
        return {-8, std::move(failure)};
    }
    const bool restricted = Restricted();
    std::optional<TSQLMemRecordID> neighbour;
    bool was_listed = false;
    if (restricted) {
        EnsureVisibleList();
        was_listed = FindInVisibleList(id) >= 0;
        neighbour = NeighbourInView(id);
    }
    if (!table_->UpdateRow(id, new_buffer, this, blobs)) {
        return {-2, "Error updating record"};
    }
    TakeStoredBlobs(id, new_buffer);
    if (!restricted) {
        position_ = OnRow(id);
        return {};
    }
    const bool visible = IsVisible(new_buffer);
    if (!visible_.Active()) {
        // Foreign-key actions changed rows of this table as well: the list is built
        // afresh on the next read.
        position_ = visible     ? OnRow(id)
                    : neighbour ? OnRow(*neighbour)
                                : Position{TSQLMemRecordID{}, true, false};
        return {};
    }
    const bool key_changed = index_no_ >= 0 && CurrentIndex().CompareRecordBuffersByIndex(
                                                   old_buffer, new_buffer, 0) != 0;
    if (visible) {
        if (was_listed && key_changed) {
            RemoveFromVisibleList(id);
            was_listed = false;
        }
        if (!was_listed) {
            InsertIntoVisibleList(id, new_buffer);
        }
        position_ = OnRow(id);
    } else {
        if (was_listed) {
            RemoveFromVisibleList(id);
        }
        position_ = neighbour ? OnRow(*neighbour) : Position{TSQLMemRecordID{}, true, false};
    }
    return {};
}

TSQLMemCursor::PostResult TSQLMemCursor::DeleteRecord(const std::byte* buffer,
                                                      std::optional<uint64_t> generation) {
    ChangeLock lock(*database_, *table_);
    if (database_->Temporary()) {
        return {-10, "Cannot delete record in temporary mode"};
    }
    const TSQLMemRecordID id = GetRecordID(buffer, field_defs_.DataSize());
    if (!IsSameRow(id, generation)) {
        return {-4, kRowGoneMessage};
    }
    const std::optional<TSQLMemRecordID> neighbour = NeighbourInView(id);
    const bool listed = visible_.Active() && FindInVisibleList(id) >= 0;
    if (!table_->DeleteRow(id, this)) {
        return {-3, "Error deleting record"};
    }
    // Foreign-key actions that changed rows of this table too have let go of the list.
    if (listed && visible_.Active()) {
        RemoveFromVisibleList(id);
    }
    position_ = neighbour ? OnRow(*neighbour) : Position{TSQLMemRecordID{}, true, false};
    return {};
}

std::vector<TSQLMemCursor::RowRef> TSQLMemCursor::VisibleRows() {
    Lock lock(table_->Mutex());
    const TSQLMemMemoryRecordManager& records = table_->Records();
    std::vector<RowRef> rows;
    if (Restricted()) {
        EnsureVisibleList();
        rows.reserve(static_cast<size_t>(visible_.Count()));
        for (int64_t i = 0; i < visible_.Count(); ++i) {
            const TSQLMemRecordID id = visible_.Item(i);
            rows.push_back({id, records.Generation(id)});
        }
        return rows;
    }
    rows.reserve(static_cast<size_t>(table_->RecordCount()));
    if (index_no_ >= 0) {
        TSQLMemBTreeIndex& index = CurrentIndex();
        const tapir::engine::ConnectionID connection = ConnectionID();
        TSQLMemKeyPath path;
        for (bool more = index.GetFirstPosition(connection, path); more;
             more = index.GetNextPosition(connection, path)) {
            const TSQLMemRecordID id{index.GetRecordID(connection, path).PageNo, 0};
            rows.push_back({id, records.Generation(id)});
        }
        return rows;
    }
    TSQLMemNavigationInfo info;
    info.GetRecordMode = grmNext;
    info.AtBeginning = true;
    for (records.GetRecord(info); info.GetRecordResult == grrOK; records.GetRecord(info)) {
        rows.push_back({info.RecordID, records.Generation(info.RecordID)});
    }
    return rows;
}

TSQLMemCursor::PostResult TSQLMemCursor::UpdateRecords(
    const std::vector<RowRef>& rows, const std::function<void(std::byte* row)>& change,
    const BlobChanges* blobs, int64_t& done) {
    ChangeLock lock(*database_, *table_);
    done = 0;
    if (database_->Temporary()) {
        return {-9, "Cannot update record in temporary mode"};
    }
    const size_t size = static_cast<size_t>(field_defs_.DataSize());
    std::vector<std::byte> old_row(size);
    std::vector<std::byte> new_row(size);
    PostResult result;
    try {
        for (const RowRef& row : rows) {
            const std::byte* stored = table_->Records().RecordPointer(row.id);
            if (stored == nullptr || table_->Records().Generation(row.id) != row.generation) {
                continue;
            }
            std::copy(stored, stored + size, old_row.begin());
            std::copy(stored, stored + size, new_row.begin());
            change(new_row.data());
            std::string failure = table_->CheckConstraints(new_row.data(), old_row.data(), this);
            if (!failure.empty()) {
                result = {-8, std::move(failure)};
                break;
            }
            if (!table_->UpdateRow(row.id, new_row.data(), this, blobs)) {
                result = {-2, "Error updating record"};
                break;
            }
            ++done;
        }
    } catch (...) {
        DeactivateVisibleList();
        position_ = Position{TSQLMemRecordID{}, true, false};
        throw;
    }
    DeactivateVisibleList();
    position_ = Position{TSQLMemRecordID{}, true, false};
    return result;
}

TSQLMemCursor::PostResult TSQLMemCursor::DeleteRecords(const std::vector<RowRef>& rows,
                                                       int64_t& done) {
    ChangeLock lock(*database_, *table_);
    done = 0;
    if (database_->Temporary()) {
        return {-10, "Cannot delete record in temporary mode"};
    }
    PostResult result;
    for (const RowRef& row : rows) {
        if (table_->Records().Generation(row.id) != row.generation) {
            continue;
        }
        if (!table_->DeleteRow(row.id, this)) {
            result = {-3, "Error deleting record"};
            break;
        }
        ++done;
    }
    DeactivateVisibleList();
    position_ = Position{TSQLMemRecordID{}, true, false};
    return result;
}

void TSQLMemCursor::TakeStoredBlobs(TSQLMemRecordID id, std::byte* buffer) const {
    if (!field_defs_.HasBlobOrVarText()) {
        return;
    }
    const std::byte* stored = table_->Records().RecordPointer(id);
    for (int32_t field_no = 0; stored != nullptr && field_no < field_defs_.Count(); ++field_no) {
        if (IsBlobType(field_defs_[field_no].BaseType)) {
            SetBlobReference(field_defs_, field_no, GetBlobReference(field_defs_, field_no, stored),
                             buffer);
        }
    }
}

std::vector<std::byte> TSQLMemCursor::ReadBlob(int32_t field_no, const std::byte* buffer) const {
    if (field_no < 0 || field_no >= field_defs_.Count()) {
        ThrowInvalidFieldNo(10005, field_no, field_defs_.Count());
    }
    const uint64_t reference = GetBlobReference(field_defs_, field_no, buffer);
    if (!IsBlobType(field_defs_[field_no].BaseType) || reference == 0) {
        return {};
    }
    return table_->ReadBlob(reference);
}

// --- Sequences ---

int64_t TSQLMemCursor::LastAutoincValue(int32_t field_no) const {
    Lock lock(table_->Mutex());
    return table_->LastAutoincValue(field_no, *session_);
}

void TSQLMemCursor::SetAutoincValue(int32_t field_no, int64_t value) {
    Lock lock(table_->Mutex());
    table_->SetAutoincValue(field_no, value);
}

}  // namespace tapir::engine
