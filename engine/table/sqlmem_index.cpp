#include "engine/table/sqlmem_index.h"

#include <algorithm>

#include "engine/table/sqlmem_memory_record_manager.h"

namespace tapir::engine {

TSQLMemIndex::TSQLMemIndex(const TSQLMemIndexDef& def, const TSQLMemFieldDefs& fields,
                           const TSQLMemMemoryRecordManager& records)
    : def_(def), records_(records) {
    for (const TSQLMemIndexColumn& column : def.Columns) {
        const int32_t field_no = fields.IndexOf(column.FieldName);
        SortedIndexKeyPart part;
        part.FieldNo = field_no;
        part.RecordOffset = fields[field_no].MemoryOffset;
        part.DataType = fields[field_no].BaseType;
        part.Descending = column.Descending;
        part.CaseInsensitive = column.CaseInsensitive;
        parts_.push_back(part);
    }
}

const std::byte* TSQLMemIndex::Row(int32_t slot) const { return records_.RecordPointer({slot, 0}); }

int TSQLMemIndex::CompareRecordBuffersByIndex(const std::byte* a, const std::byte* b,
                                              int32_t part_count) const {
    const size_t count =
        part_count <= 0 ? parts_.size() : std::min(parts_.size(), size_t(part_count));
    for (size_t i = 0; i < count; ++i) {
        const SortedIndexKeyPart& part = parts_[i];
        const CompareOutcome outcome =
            CompareValues(a + part.RecordOffset, part.DataType, IsFieldNull(a, part.FieldNo),
                          b + part.RecordOffset, part.DataType, IsFieldNull(b, part.FieldNo),
                          part.CaseInsensitive);
        int sign = OutcomeSign(outcome);
        if (sign != 0) {
            return part.Descending ? -sign : sign;
        }
    }
    return 0;
}

int64_t TSQLMemIndex::LowerBound(const std::byte* key, int32_t part_count) const {
    auto it = std::partition_point(order_.begin(), order_.end(), [&](int32_t slot) {
        return CompareRecordBuffersByIndex(Row(slot), key, part_count) < 0;
    });
    return it - order_.begin();
}

int64_t TSQLMemIndex::UpperBound(const std::byte* key, int32_t part_count) const {
    auto it = std::partition_point(order_.begin(), order_.end(), [&](int32_t slot) {
        return CompareRecordBuffersByIndex(Row(slot), key, part_count) <= 0;
    });
    return it - order_.begin();
}

bool TSQLMemIndex::CanInsertRecord(const std::byte* row) const {
    if (!def_.Unique && !def_.Primary) {
        return true;
    }
    const int64_t position = LowerBound(row);
    return position >= Count() || CompareRecordBuffersByIndex(Row(order_[position]), row) != 0;
}

bool TSQLMemIndex::CanUpdateRecord(TSQLMemRecordID id, const std::byte* new_row) const {
    if (!def_.Unique && !def_.Primary) {
        return true;
    }
    for (int64_t position = LowerBound(new_row); position < Count(); ++position) {
        const int32_t slot = order_[position];
        if (CompareRecordBuffersByIndex(Row(slot), new_row) != 0) {
            break;
        }
        if (slot != id.PageNo) {
            return false;
        }
    }
    return true;
}

void TSQLMemIndex::InsertRecord(TSQLMemRecordID id, const std::byte* row) {
    // After the rows with an equal key: equal keys keep the order of filing.
    order_.insert(order_.begin() + UpperBound(row), id.PageNo);
}

int64_t TSQLMemIndex::PositionOf(TSQLMemRecordID id, const std::byte* row) const {
    for (int64_t position = LowerBound(row); position < Count(); ++position) {
        const int32_t slot = order_[position];
        if (slot == id.PageNo) {
            return position;
        }
        if (CompareRecordBuffersByIndex(Row(slot), row) != 0) {
            break;
        }
    }
    // The key in `row` may not be the stored one (a caller out of step): search by id.
    const auto it = std::find(order_.begin(), order_.end(), id.PageNo);
    return it == order_.end() ? -1 : it - order_.begin();
}

void TSQLMemIndex::DeleteRecord(TSQLMemRecordID id, const std::byte* row) {
    const int64_t position = PositionOf(id, row);
    if (position >= 0) {
        order_.erase(order_.begin() + position);
    }
}

void TSQLMemIndex::UpdateRecord(TSQLMemRecordID id, const std::byte* old_row,
                                const std::byte* new_row) {
    if (CompareRecordBuffersByIndex(old_row, new_row) == 0) {
        return;
    }
    DeleteRecord(id, old_row);
    // The stored row is rewritten after the indexes, so compare against new_row while
    // the slot still holds the old values.
    auto it = std::partition_point(order_.begin(), order_.end(), [&](int32_t slot) {
        return CompareRecordBuffersByIndex(Row(slot), new_row) <= 0;
    });
    order_.insert(it, id.PageNo);
}

TSQLMemRecordID TSQLMemIndex::At(int64_t position) const {
    return {order_[static_cast<size_t>(position)], 0};
}

}  // namespace tapir::engine
