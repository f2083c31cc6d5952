// Changes of TSQLMemDataSet to every visible row at once: the rows are taken once, each is
// changed through the table as a post or delete of one row would change it, and the view
// is rebuilt once at the end.

#include <cstddef>
#include <string>
#include <vector>

#include "engine/record/record_buffer.h"
#include "engine/table/dataset_guards.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_dataset.h"

namespace tapir::engine {

namespace {

// Copies the null flag and the data of each column in `columns` from `from` to `to`.
void CopyColumns(const TSQLMemFieldDefs& defs, const std::vector<int>& columns,
                 const std::byte* from, std::byte* to) {
    for (const int column : columns) {
        const TSQLMemFieldDef& def = defs[column];
        SetFieldNull(to, column, IsFieldNull(from, column));
        std::copy(from + def.MemoryOffset, from + def.MemoryOffset + def.MemoryDataSize,
                  to + def.MemoryOffset);
    }
}

}  // namespace

int64_t TSQLMemDataSet::UpdateVisibleRecords(const std::vector<std::string>& field_names,
                                             const std::vector<FieldValue>& values, int64_t* done) {
    if (done != nullptr) {
        *done = 0;
    }
    CheckActive();
    if (field_names.size() != values.size()) {
        ComponentError("Field and value lists differ in length");
    }
    CheckBrowseMode();
    CheckCanModify();
    // The new values, written once into a template row as the columns store them; BLOB
    // fields take theirs as content handed to the table with every row.
    const TSQLMemFieldDefs& defs = cursor_->FieldDefs();
    RowBuffer values_row;
    InitRowBuffer(values_row);
    std::vector<int> columns;
    BlobChanges blobs;
    for (size_t i = 0; i < field_names.size(); ++i) {
        const TField* field = FindField(field_names[i]);
        if (field == nullptr || field->binding_ < 0 || field->FieldKind() != fkData) {
            ComponentError("Field '" + field_names[i] + "' not found");
        }
        const int column = field->binding_;
        if (IsBlobColumn(column)) {
            std::vector<std::byte> content = BlobContentOf(column, values[i]);
            SetFieldNull(values_row.bytes.data(), column, content.empty());
            blobs.resize(static_cast<size_t>(defs.Count()));
            blobs[static_cast<size_t>(column)] = std::move(content);
        } else {
            WriteColumn(column, values[i], values_row.bytes.data());
        }
        columns.push_back(column);
    }
    const std::byte* from = values_row.bytes.data();
    return RunUpdatePass([&](std::byte* row) { CopyColumns(defs, columns, from, row); },
                         blobs.empty() ? nullptr : &blobs, done);
}

int64_t TSQLMemDataSet::UpdateVisibleRecords(const std::function<void()>& assign, int64_t* done) {
    if (done != nullptr) {
        *done = 0;
    }
    CheckActive();
    CheckBrowseMode();
    CheckCanModify();
    RowBuffer copy;
    InitRowBuffer(copy);
    const size_t size = static_cast<size_t>(cursor_->DataSize());
    return RunUpdatePass(
        [&](std::byte* row) {
            std::copy(row, row + size, copy.bytes.begin());
            {
                // The fields read and write the copy, as a filter handler reads its row.
                TempState temp(*this, dsFilter);
                dataset_detail::ReadOverride<RowBuffer> over(read_override_, &copy);
                assign();
            }
            std::copy(copy.bytes.begin(), copy.bytes.begin() + static_cast<std::ptrdiff_t>(size),
                      row);
        },
        nullptr, done);
}

int64_t TSQLMemDataSet::RunUpdatePass(const std::function<void(std::byte* row)>& change,
                                      const BlobChanges* blobs, int64_t* done) {
    const std::vector<TSQLMemCursor::RowRef> rows = cursor_->VisibleRows();
    int64_t changed = 0;
    TSQLMemCursor::PostResult result;
    try {
        result = cursor_->UpdateRecords(rows, change, blobs, changed);
    } catch (...) {
        if (done != nullptr) {
            *done = changed;
        }
        Resync();
        throw;
    }
    if (done != nullptr) {
        *done = changed;
    }
    Resync();
    if (!result.Ok()) {
        throw EDatabaseError(result.message.empty() ? "Error updating record" : result.message);
    }
    return changed;
}

int64_t TSQLMemDataSet::DeleteVisibleRecords(int64_t* done) {
    int64_t deleted = 0;
    if (done != nullptr) {
        *done = 0;
    }
    CheckActive();
    CheckBrowseMode();
    CheckCanModify();
    const std::vector<TSQLMemCursor::RowRef> rows = cursor_->VisibleRows();
    const TSQLMemCursor::PostResult result = cursor_->DeleteRecords(rows, deleted);
    if (done != nullptr) {
        *done = deleted;
    }
    Resync();
    if (!result.Ok()) {
        throw EDatabaseError(result.message.empty() ? "Error deleting record" : result.message);
    }
    return deleted;
}

}  // namespace tapir::engine
