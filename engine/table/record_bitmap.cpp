#include "engine/table/record_bitmap.h"

#include <algorithm>
#include <string>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

std::string IdText(TSQLMemRecordID id, const char* separator) {
    return std::to_string(id.PageNo) + separator + std::to_string(id.PageItemNo);
}

[[noreturn]] void ThrowMissing(int code, TSQLMemRecordID id) {
    throw ESQLMemException::Formatted(code, "Record does not exist, ID = " + IdText(id, ", "));
}

}  // namespace

void TSQLMemRecordBitmap::Clear() {
    active_ = false;
    indexed_ = false;
    sorted_by_id_ = true;
    EngineVector<TSQLMemRecordID>().swap(ids_);
    EngineVector<int32_t>().swap(places_);
    places_built_ = false;
}

TSQLMemRecordID TSQLMemRecordBitmap::Item(int64_t item_no) const {
    if (item_no < 0 || item_no >= Count()) {
        throw ESQLMemException::Formatted(
            11326, "Invalid item number - ItemNo = " + std::to_string(item_no) +
                       ", ItemCount = " + std::to_string(Count()));
    }
    return ids_[static_cast<size_t>(item_no)];
}

void TSQLMemRecordBitmap::Reserve(int64_t count) {
    ids_.reserve(ids_.size() + static_cast<size_t>(count));
}

void TSQLMemRecordBitmap::Append(TSQLMemRecordID id) {
    if (!ids_.empty()) {
        const TSQLMemRecordID last = ids_.back();
        if (id.PageNo == last.PageNo) {
            throw ESQLMemException::Formatted(
                11328,
                "Error adding record to record map - duplicate record ID = " + IdText(id, " "));
        }
        if (sorted_by_id_ && id.PageNo < last.PageNo) {
            sorted_by_id_ = false;
        }
    }
    ids_.push_back(id);
    if (places_built_) {
        Renumber(Count() - 1);
    }
}

void TSQLMemRecordBitmap::InsertAt(int64_t item_no, TSQLMemRecordID id) {
    const auto at = static_cast<size_t>(item_no);
    if (sorted_by_id_) {
        const bool after_previous = at == 0 || ids_[at - 1].PageNo < id.PageNo;
        const bool before_next = at == ids_.size() || id.PageNo < ids_[at].PageNo;
        sorted_by_id_ = after_previous && before_next;
    }
    ids_.insert(ids_.begin() + static_cast<std::ptrdiff_t>(at), id);
    if (places_built_) {
        Renumber(item_no);
    }
}

void TSQLMemRecordBitmap::InsertAfter(TSQLMemRecordID after, TSQLMemRecordID id) {
    const int64_t found = Find(after);
    if (found < 0) {
        ThrowMissing(11332, after);
    }
    InsertAt(found + 1, id);
}

void TSQLMemRecordBitmap::Remove(TSQLMemRecordID id) {
    const int64_t found = Find(id);
    if (found < 0) {
        ThrowMissing(11327, id);
    }
    ids_.erase(ids_.begin() + found);
    if (places_built_) {
        places_[static_cast<size_t>(id.PageNo)] = 0;
        Renumber(found);
    }
}

void TSQLMemRecordBitmap::Renumber(int64_t from) const {
    for (size_t i = static_cast<size_t>(from); i < ids_.size(); ++i) {
        const auto slot = static_cast<size_t>(ids_[i].PageNo);
        if (slot >= places_.size()) {
            places_.resize(std::max(slot + 1, places_.size() * 2), 0);
        }
        places_[slot] = static_cast<int32_t>(i + 1);
    }
}

void TSQLMemRecordBitmap::EnsurePlaces() const {
    if (places_built_) {
        return;
    }
    int32_t highest = -1;
    for (const TSQLMemRecordID& id : ids_) {
        highest = std::max(highest, id.PageNo);
    }
    places_.assign(static_cast<size_t>(highest + 1), 0);
    places_built_ = true;
    Renumber(0);
}

int64_t TSQLMemRecordBitmap::Find(TSQLMemRecordID id) const {
    if (id.PageNo < 0) {
        return -1;
    }
    if (sorted_by_id_) {
        const auto it = std::lower_bound(
            ids_.begin(), ids_.end(), id,
            [](const TSQLMemRecordID& a, const TSQLMemRecordID& b) { return a.PageNo < b.PageNo; });
        return it != ids_.end() && it->PageNo == id.PageNo ? it - ids_.begin() : -1;
    }
    EnsurePlaces();
    const auto slot = static_cast<size_t>(id.PageNo);
    return slot < places_.size() ? places_[slot] - 1 : -1;
}

}  // namespace tapir::engine
