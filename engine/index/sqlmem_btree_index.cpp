#include "engine/index/sqlmem_btree_index.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

using Reference = std::array<std::byte, kLeafReferenceSize>;

Reference EncodeId(IndexRecordId id) {
    Reference bytes{};
    StoreLE32(bytes.data(), static_cast<uint32_t>(id.PageNo));
    StoreLE16(bytes.data() + 4, id.PageItemNo);
    return bytes;
}

IndexRecordId DecodeId(const std::byte* at) {
    return {static_cast<int32_t>(LoadLE32(at)), LoadLE16(at + 4)};
}

std::array<std::byte, kNodeReferenceSize> EncodeChild(int32_t page_no) {
    std::array<std::byte, kNodeReferenceSize> bytes{};
    StoreLE32(bytes.data(), static_cast<uint32_t>(page_no));
    return bytes;
}

// Narrows the key comparison to a condition's leading fields for one search and
// restores all parts afterwards, also when the search fails.
class ComparePartCountScope {
  public:
    ComparePartCountScope(TSQLMemBTreeKeyRef& key_ref, int32_t count) : key_ref_(key_ref) {
        key_ref_.SetComparePartCount(count);
    }
    ComparePartCountScope(const ComparePartCountScope&) = delete;
    ComparePartCountScope& operator=(const ComparePartCountScope&) = delete;
    ~ComparePartCountScope() { key_ref_.SetComparePartCount(0); }

  private:
    TSQLMemBTreeKeyRef& key_ref_;
};

bool AllZero(const std::byte* bytes, int32_t size) {
    return std::all_of(bytes, bytes + size, [](std::byte b) { return b == std::byte{0}; });
}

}  // namespace

TSQLMemBTreeIndex::TSQLMemBTreeIndex(TSQLMemPageManager& store, BTreeIndexDef definition)
    : store_(store), def_(std::move(definition)), page_size_(store.PageSize()) {
    key_ref_.Assign(def_.Columns);
    key_.resize(static_cast<size_t>(key_ref_.KeySize()));
    other_key_.resize(key_.size());
    first_key_.resize(key_.size());
}

TSQLMemBTreePage TSQLMemBTreeIndex::Fetch(ConnectionID connection, int32_t page_no) {
    TSQLMemBTreePage page(store_.GetPage(connection, page_no));
    // Pages may come from a loaded stream: their header must describe entries of this
    // index that lie inside the page before any entry is read.
    const std::byte is_leaf = page.Bytes()[kIsLeafOffset];
    const bool sound = (is_leaf == std::byte{0} || is_leaf == std::byte{1}) &&
                       page.KeyPrefixSize() == key_ref_.KeySize() && page.PagePrefixSize() == 0 &&
                       page.GetEntriesOffset() + page.EntryCount() * page.GetEntrySize() <=
                           page.Handle()->BufferSize();
    if (!sound) {
        ThrowDamagedPage(page_no);
    }
    return page;
}

void TSQLMemBTreeIndex::ThrowDamagedPage(int32_t page_no) {
    throw ESQLMemException::Formatted(
        kDamagedPageCode, "Index error: damaged page, pageNo = " + std::to_string(page_no));
}

void TSQLMemBTreeIndex::CountLinkStep(int64_t& steps, int32_t page_no) const {
    // A level has at most as many pages as the store holds; more steps mean a cycle.
    if (++steps > static_cast<int64_t>(store_.GetPageCount()) + 1) {
        ThrowDamagedPage(page_no);
    }
}

TSQLMemBTreePage TSQLMemBTreeIndex::Add(ConnectionID connection) {
    return TSQLMemBTreePage(store_.AddPage(connection));
}

int32_t TSQLMemBTreeIndex::CreateRoot(ConnectionID connection) {
    if (def_.RootPageNo == -1) {
        TSQLMemBTreePage root = Add(connection);
        root.InitAsRoot(key_ref_.KeySize());
        root.MarkDirty();
        def_.RootPageNo = root.GetPageNo();
    }
    return def_.RootPageNo;
}

int32_t TSQLMemBTreeIndex::CreateIndex(ConnectionID connection, IndexRecordSource& records) {
    CreateRoot(connection);
    IndexRecordId id;
    const std::byte* record = nullptr;
    while (records.Next(id, record)) {
        InsertRecord(connection, record, id);
    }
    return def_.RootPageNo;
}

void TSQLMemBTreeIndex::FreeSubtree(ConnectionID connection, int32_t page_no, int32_t level) {
    if (level >= TSQLMemKeyPath::kMaxLevels) {
        ThrowDamagedPage(page_no);
    }
    std::vector<int32_t> children;
    {
        TSQLMemBTreePage page = Fetch(connection, page_no);
        if (!page.IsLeaf()) {
            for (int32_t i = 0; i < page.EntryCount(); ++i) {
                children.push_back(page.ChildPageNo(i));
            }
        }
    }
    for (const int32_t child : children) {
        FreeSubtree(connection, child, level + 1);
    }
    store_.RemovePage(connection, page_no);
}

void TSQLMemBTreeIndex::DropIndex(ConnectionID connection) {
    if (def_.RootPageNo != -1) {
        FreeSubtree(connection, def_.RootPageNo, 0);
        def_.RootPageNo = -1;
    }
}

// --- Searching ---

TSQLMemBTreeIndex::KeyPosition TSQLMemBTreeIndex::GetKeyPosition(const TSQLMemBTreePage& page,
                                                                 const std::byte* key, int32_t low,
                                                                 TSQLMemKeySearchType type) const {
    const int32_t count = page.EntryCount();
    if (count == 0) {
        return {0, kppEOF};
    }
    if (type == kstFirst || type == kstLast) {
        // Bisection to the first entry not below the key (kstFirst) or above it (kstLast):
        // a run of equal keys costs no walk along it.
        int32_t lo = low;
        int32_t hi = count;
        while (lo < hi) {
            const int32_t mid = lo + (hi - lo) / 2;
            const int result = key_ref_.CompareKeys(key, page.GetPKey(mid));
            if (type == kstFirst ? result <= 0 : result < 0) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        if (type == kstFirst) {
            if (lo < count && key_ref_.CompareKeys(key, page.GetPKey(lo)) == 0) {
                return {lo, kppOnKey};
            }
            return {lo, kppBeforeKey};
        }
        if (lo > low && key_ref_.CompareKeys(key, page.GetPKey(lo - 1)) == 0) {
            return {lo - 1, kppOnKey};
        }
        return {lo, kppBeforeKey};
    }
    int32_t lo = low;
    int32_t hi = count - 1;
    while (lo <= hi) {
        const int32_t mid = (lo + hi) / 2;
        const int result = key_ref_.CompareKeys(key, page.GetPKey(mid));
        if (result < 0) {
            hi = mid - 1;
        } else if (result > 0) {
            lo = mid + 1;
        } else {
            return {mid, kppOnKey};
        }
    }
    return {lo, kppBeforeKey};
}

TSQLMemBTreeIndex::ChildRange TSQLMemBTreeIndex::GetChildPagesToCheck(
    const TSQLMemBTreePage& node, const std::byte* key, TSQLMemSearchCondition condition) const {
    const int32_t count = node.EntryCount();
    if (key == nullptr || condition == scNone) {
        return {0, count - 1};
    }
    switch (condition) {
        case scEqual: {
            const KeyPosition first = GetKeyPosition(node, key, 1, kstFirst);
            if (first.where != kppOnKey) {
                return {first.position - 1, first.position - 1};
            }
            // The run of equal separators is short as a rule: walk it.
            int32_t last = first.position;
            while (last + 1 < count && key_ref_.CompareKeys(key, node.GetPKey(last + 1)) == 0) {
                ++last;
            }
            return {first.position - 1, last};
        }
        case scLower:
            return {0, GetKeyPosition(node, key, 1, kstFirst).position - 1};
        case scGreater: {
            const KeyPosition last = GetKeyPosition(node, key, 1, kstLast);
            return {last.where == kppOnKey ? last.position : last.position - 1, count - 1};
        }
        case scLowerEqual: {
            const KeyPosition last = GetKeyPosition(node, key, 1, kstLast);
            return {0, last.where == kppOnKey ? last.position : last.position - 1};
        }
        case scGreaterEqual:
            return {GetKeyPosition(node, key, 1, kstFirst).position - 1, count - 1};
        case scNone:
            break;
    }
    return {0, count - 1};
}

bool TSQLMemBTreeIndex::FindInSubtree(ConnectionID connection, int32_t page_no, bool first,
                                      TSQLMemSearchCondition condition, const std::byte* key,
                                      TSQLMemKeyPath& path) {
    TSQLMemBTreePage page = Fetch(connection, page_no);
    const int32_t count = page.EntryCount();
    if (count == 0) {
        return false;
    }
    if (page.IsLeaf()) {
        int32_t entry = -1;
        switch (condition) {
            case scNone:
                entry = first ? 0 : count - 1;
                break;
            case scEqual: {
                const KeyPosition found = GetKeyPosition(page, key, 0, first ? kstFirst : kstLast);
                entry = found.where == kppOnKey ? found.position : -1;
                break;
            }
            case scLower: {
                const int32_t position = GetKeyPosition(page, key, 0, kstFirst).position;
                entry = first ? (position > 0 ? 0 : -1) : position - 1;
                break;
            }
            case scGreater: {
                const KeyPosition found = GetKeyPosition(page, key, 0, kstLast);
                const int32_t position =
                    found.where == kppOnKey ? found.position + 1 : found.position;
                entry = position < count ? (first ? position : count - 1) : -1;
                break;
            }
            case scLowerEqual: {
                const KeyPosition found = GetKeyPosition(page, key, 0, kstLast);
                const int32_t position =
                    found.where == kppOnKey ? found.position : found.position - 1;
                entry = position >= 0 ? (first ? 0 : position) : -1;
                break;
            }
            case scGreaterEqual:
                if (first) {
                    const int32_t position = GetKeyPosition(page, key, 0, kstFirst).position;
                    entry = position < count ? position : -1;
                } else {
                    entry = GetKeyPosition(page, key, 0, kstAny).position < count ? count - 1 : -1;
                }
                break;
        }
        if (entry < 0) {
            return false;
        }
        path.AddItem(page_no, entry, count);
        return true;
    }
    const ChildRange range = GetChildPagesToCheck(page, key, condition);
    for (int32_t step = 0; step <= range.last - range.first; ++step) {
        const int32_t child = first ? range.first + step : range.last - step;
        path.AddItem(page_no, child, count);
        if (FindInSubtree(connection, page.ChildPageNo(child), first, condition, key, path)) {
            return true;
        }
        path.DeleteLastItem();
    }
    return false;
}

bool TSQLMemBTreeIndex::FindByCondition(ConnectionID connection, bool first,
                                        const TSQLMemScanSearchCondition& condition,
                                        TSQLMemKeyPath& path) {
    path.Clear();
    if (def_.RootPageNo == -1) {
        return false;
    }
    const std::byte* key = nullptr;
    if (condition.Condition != scNone && condition.RecordBuffer != nullptr) {
        key_ref_.MakeKey(condition.RecordBuffer, key_.data());
        key = key_.data();
    }
    ComparePartCountScope scope(key_ref_, condition.KeyFieldCount);
    const TSQLMemSearchCondition kind = key == nullptr ? scNone : condition.Condition;
    return FindInSubtree(connection, def_.RootPageNo, first, kind, key, path);
}

bool TSQLMemBTreeIndex::LocateInSubtree(ConnectionID connection, int32_t page_no,
                                        const std::byte* key, const std::byte* reference,
                                        TSQLMemKeyPath& path) {
    TSQLMemBTreePage page = Fetch(connection, page_no);
    const int32_t count = page.EntryCount();
    if (page.IsLeaf()) {
        int32_t entry = 0;
        if (key != nullptr) {
            const KeyPosition found = GetKeyPosition(page, key, 0, kstFirst);
            if (found.where != kppOnKey) {
                return false;
            }
            entry = found.position;
        }
        for (; entry < count; ++entry) {
            if (key != nullptr && key_ref_.CompareKeys(key, page.GetPKey(entry)) != 0) {
                return false;
            }
            if (std::memcmp(page.GetPReference(entry), reference, kLeafReferenceSize) == 0) {
                path.AddItem(page_no, entry, count);
                return true;
            }
        }
        return false;
    }
    const ChildRange range = GetChildPagesToCheck(page, key, key ? scEqual : scNone);
    for (int32_t child = range.first; child <= range.last; ++child) {
        path.AddItem(page_no, child, count);
        if (LocateInSubtree(connection, page.ChildPageNo(child), key, reference, path)) {
            return true;
        }
        path.DeleteLastItem();
    }
    return false;
}

bool TSQLMemBTreeIndex::GetIndexPosition(ConnectionID connection, IndexRecordId id,
                                         const std::byte* record, TSQLMemKeyPath& path) {
    path.Clear();
    if (def_.RootPageNo == -1) {
        return false;
    }
    const std::byte* key = nullptr;
    if (record != nullptr) {
        key_ref_.MakeKey(record, key_.data());
        key = key_.data();
    }
    const Reference reference = EncodeId(id);
    return LocateInSubtree(connection, def_.RootPageNo, key, reference.data(), path);
}

void TSQLMemBTreeIndex::LeftmostLeaf(ConnectionID connection, TSQLMemKeyPath& path,
                                     bool rightmost) {
    path.Clear();
    int32_t page_no = def_.RootPageNo;
    while (true) {
        TSQLMemBTreePage page = Fetch(connection, page_no);
        const int32_t count = page.EntryCount();
        const int32_t entry = rightmost ? std::max(count - 1, 0) : 0;
        path.AddItem(page_no, entry, count);
        if (page.IsLeaf() || count == 0) {
            return;
        }
        page_no = page.ChildPageNo(entry);
    }
}

bool TSQLMemBTreeIndex::GetFirstPosition(ConnectionID connection, TSQLMemKeyPath& path) {
    path.Clear();
    if (def_.RootPageNo == -1) {
        return false;
    }
    LeftmostLeaf(connection, path, false);
    return path.Last().EntryCount > 0 || GetNextPosition(connection, path);
}

bool TSQLMemBTreeIndex::GetLastPosition(ConnectionID connection, TSQLMemKeyPath& path) {
    path.Clear();
    if (def_.RootPageNo == -1) {
        return false;
    }
    LeftmostLeaf(connection, path, true);
    return path.Last().EntryCount > 0 || GetPriorPosition(connection, path);
}

bool TSQLMemBTreeIndex::GetNextPosition(ConnectionID connection, TSQLMemKeyPath& path) {
    if (path.ItemCount() == 0) {
        throw ESQLMemException(20069, "Index error: invalid position");
    }
    do {
        int32_t level = path.ItemCount() - 1;
        while (level >= 0 && path.Item(level).EntryNo >= path.Item(level).EntryCount - 1) {
            --level;
        }
        if (level < 0) {
            return false;
        }
        ++path.Item(level).EntryNo;
        for (int32_t deeper = level + 1; deeper < path.ItemCount(); ++deeper) {
            KeyPathItem& item = path.Item(deeper);
            const int32_t right = Fetch(connection, item.PageNo).RightPageNo();
            if (right == -1) {
                throw ESQLMemException(20070, "Index error: invalid page number");
            }
            item = {right, 0, Fetch(connection, right).EntryCount()};
        }
    } while (path.Last().EntryCount == 0);
    return true;
}

bool TSQLMemBTreeIndex::GetPriorPosition(ConnectionID connection, TSQLMemKeyPath& path) {
    if (path.ItemCount() == 0) {
        throw ESQLMemException(20069, "Index error: invalid position");
    }
    do {
        int32_t level = path.ItemCount() - 1;
        while (level >= 0 && path.Item(level).EntryNo <= 0) {
            --level;
        }
        if (level < 0) {
            return false;
        }
        --path.Item(level).EntryNo;
        for (int32_t deeper = level + 1; deeper < path.ItemCount(); ++deeper) {
            KeyPathItem& item = path.Item(deeper);
            const int32_t left = Fetch(connection, item.PageNo).LeftPageNo();
            if (left == -1) {
                throw ESQLMemException(20071, "Index error: invalid page number");
            }
            const int32_t count = Fetch(connection, left).EntryCount();
            item = {left, count - 1, count};
        }
    } while (path.Last().EntryCount == 0);
    return true;
}

void TSQLMemBTreeIndex::VisitEntries(
    ConnectionID connection,
    const std::function<bool(IndexRecordId id, const std::byte* key)>& visit) {
    TSQLMemKeyPath path;
    if (!GetFirstPosition(connection, path)) {
        return;
    }
    for (int32_t page_no = path.Last().PageNo; page_no != -1;) {
        const TSQLMemBTreePage leaf = Fetch(connection, page_no);
        if (!leaf.IsLeaf()) {
            throw ESQLMemException(20070, "Index error: invalid page number");
        }
        for (int32_t i = 0; i < leaf.EntryCount(); ++i) {
            if (!visit(DecodeId(leaf.GetPReference(i)), leaf.GetPKey(i))) {
                return;
            }
        }
        page_no = leaf.RightPageNo();
    }
}

IndexRecordId TSQLMemBTreeIndex::GetRecordID(ConnectionID connection, const TSQLMemKeyPath& path) {
    if (path.ItemCount() == 0) {
        throw ESQLMemException(20068, "Index error: invalid position");
    }
    const KeyPathItem& item = path.Last();
    TSQLMemBTreePage page = Fetch(connection, item.PageNo);
    if (!page.IsLeaf() || item.EntryNo < 0 || item.EntryNo >= page.EntryCount()) {
        throw ESQLMemException(20068, "Index error: invalid position");
    }
    return DecodeId(page.GetPReference(item.EntryNo));
}

int TSQLMemBTreeIndex::CompareRecordPositionsInIndex(const TSQLMemKeyPath* first,
                                                     const TSQLMemKeyPath* second) {
    if (first == nullptr) {
        throw ESQLMemException(10384, "Nil pointer occured");
    }
    if (second == nullptr) {
        throw ESQLMemException(10385, "Nil pointer occured");
    }
    return first->Compare(*second);
}

// --- Insert ---

void TSQLMemBTreeIndex::InsertRecord(ConnectionID connection, const std::byte* record,
                                     IndexRecordId id) {
    key_ref_.MakeKey(record, key_.data());
    const Reference reference = EncodeId(id);
    InsertKey(connection, key_.data(), reference.data());
}

void TSQLMemBTreeIndex::InsertKey(ConnectionID connection, const std::byte* key,
                                  const std::byte* reference) {
    CreateRoot(connection);
    path_.Clear();
    int32_t page_no = def_.RootPageNo;
    for (int32_t level = 0;; ++level) {
        TSQLMemBTreePage page = Fetch(connection, page_no);
        if (page.IsLeaf()) {
            const int32_t position = GetKeyPosition(page, key, 0, kstAny).position;
            InsertEntry(connection, path_, level, page, position, key, reference);
            return;
        }
        const KeyPosition found = GetKeyPosition(page, key, 1, kstAny);
        const int32_t child = found.where == kppOnKey ? found.position : found.position - 1;
        path_.AddItem(page_no, child, page.EntryCount());
        page_no = page.ChildPageNo(child);
    }
}

void TSQLMemBTreeIndex::InsertEntry(ConnectionID connection, TSQLMemKeyPath& path, int32_t level,
                                    TSQLMemBTreePage& page, int32_t position, const std::byte* key,
                                    const std::byte* reference) {
    if (page.IsLeaf() && reference == nullptr) {
        throw ESQLMemException(20020, "Internal index error");
    }
    const int32_t count = page.EntryCount();
    const int32_t entry_size = page.GetEntrySize();
    const int32_t needed = page.GetEntriesOffset() + (count + 1) * entry_size;
    if (needed > page_size_ && page.Handle()->BufferSize() < needed) {
        page.EnlargePageBuffer(needed);
    }
    std::memmove(page.GetPKey(position + 1), page.GetPKey(position),
                 static_cast<size_t>((count - position) * entry_size));
    std::memset(page.GetPKey(position), 0, static_cast<size_t>(page.KeyPrefixSize()));
    if (key != nullptr) {
        std::memcpy(page.GetPKey(position), key, static_cast<size_t>(page.KeyPrefixSize()));
    }
    std::memcpy(page.GetPReference(position), reference,
                static_cast<size_t>(page.GetReferenceSize()));
    page.SetEntryCount(count + 1);
    page.MarkDirty();
    if (needed > page_size_) {
        Split(connection, path, level, page);
    }
}

void TSQLMemBTreeIndex::Split(ConnectionID connection, TSQLMemKeyPath& path, int32_t level,
                              TSQLMemBTreePage& page) {
    const int32_t count = page.EntryCount();
    const int32_t half = count / 2;
    if (page.IsRoot()) {
        TSQLMemBTreePage first = Add(connection);
        TSQLMemBTreePage second = Add(connection);
        first.CopyFrom(page, 0, half);
        second.CopyFrom(page, half, count - half);
        first.SetIsRoot(false);
        second.SetIsRoot(false);
        first.SetRightPageNo(second.GetPageNo());
        second.SetLeftPageNo(first.GetPageNo());
        first.MarkDirty();
        second.MarkDirty();
        page.SetIsLeaf(false);
        page.SetEntryCount(2);
        std::memset(page.GetPKey(0), 0, static_cast<size_t>(page.KeyPrefixSize()));
        StoreLE32(page.GetPReference(0), static_cast<uint32_t>(first.GetPageNo()));
        page.UpdateKey(1, second.GetPKey(0));
        StoreLE32(page.GetPReference(1), static_cast<uint32_t>(second.GetPageNo()));
        page.MarkDirty();
        return;
    }
    TSQLMemBTreePage split_off = Add(connection);
    split_off.CopyFrom(page, half, count - half);
    split_off.SetIsRoot(false);
    split_off.SetLeftPageNo(page.GetPageNo());
    split_off.SetRightPageNo(page.RightPageNo());
    if (page.RightPageNo() != -1) {
        TSQLMemBTreePage right = Fetch(connection, page.RightPageNo());
        right.SetLeftPageNo(split_off.GetPageNo());
        right.MarkDirty();
    }
    page.SetRightPageNo(split_off.GetPageNo());
    page.SetEntryCount(half);
    page.MarkDirty();
    split_off.MarkDirty();

    const KeyPathItem& parent_item = path.Item(level - 1);
    TSQLMemBTreePage parent = Fetch(connection, parent_item.PageNo);
    const int32_t position = parent.EntryCount() == 0 ? 0 : parent_item.EntryNo + 1;
    const auto child = EncodeChild(split_off.GetPageNo());
    InsertEntry(connection, path, level - 1, parent, position, split_off.GetPKey(0), child.data());
}

// --- Delete ---

void TSQLMemBTreeIndex::DeleteRecord(ConnectionID connection, const std::byte* record,
                                     IndexRecordId id) {
    key_ref_.MakeKey(record, key_.data());
    const Reference reference = EncodeId(id);
    DeleteKey(connection, key_.data(), reference.data());
}

void TSQLMemBTreeIndex::DeleteKey(ConnectionID connection, const std::byte* key,
                                  const std::byte* reference) {
    path_.Clear();
    if (def_.RootPageNo == -1 ||
        !LocateInSubtree(connection, def_.RootPageNo, key, reference, path_)) {
        throw ESQLMemException(20027, "Index error: cannot delete entry. Entry not found");
    }
    const int32_t level = path_.ItemCount() - 1;
    TSQLMemBTreePage leaf = Fetch(connection, path_.Item(level).PageNo);
    if (!leaf.IsLeaf()) {
        throw ESQLMemException(20024, "Internal index error");
    }
    RemoveEntry(leaf, path_.Item(level).EntryNo);
    AfterRemove(connection, path_, level, leaf);
}

void TSQLMemBTreeIndex::RemoveEntry(TSQLMemBTreePage& page, int32_t entry) {
    const int32_t count = page.EntryCount();
    if (count == 0) {
        throw ESQLMemException(20025, "Index error: page is empty");
    }
    const int32_t entry_size = page.GetEntrySize();
    std::memmove(page.GetPKey(entry), page.GetPKey(entry + 1),
                 static_cast<size_t>((count - entry - 1) * entry_size));
    page.SetEntryCount(count - 1);
}

bool TSQLMemBTreeIndex::Underflows(const TSQLMemBTreePage& page) const {
    return page.EntryCount() * page.GetEntrySize() <
           (page_size_ - page.PagePrefixSize() - kBTreePageHeaderSize) / 2;
}

bool TSQLMemBTreeIndex::CanMergeWithPage(const TSQLMemBTreePage& page,
                                         const TSQLMemBTreePage& other) const {
    return (page.EntryCount() + other.EntryCount()) * page.GetEntrySize() + kBTreePageHeaderSize +
               page.PagePrefixSize() <
           other.GetPageSize();
}

void TSQLMemBTreeIndex::AfterRemove(ConnectionID connection, TSQLMemKeyPath& path, int32_t level,
                                    TSQLMemBTreePage& page) {
    page.MarkDirty();
    if (!page.IsRoot() && Underflows(page)) {
        TryMerge(connection, path, level, page);
    }
}

void TSQLMemBTreeIndex::GetFirstKey(ConnectionID connection, const TSQLMemBTreePage& page,
                                    std::byte* key) {
    std::memset(key, 0, static_cast<size_t>(key_ref_.KeySize()));
    if (page.EntryCount() == 0) {
        return;
    }
    if (page.IsLeaf()) {
        std::memcpy(key, page.GetPKey(0), static_cast<size_t>(key_ref_.KeySize()));
        return;
    }
    int32_t page_no = page.ChildPageNo(0);
    while (true) {
        TSQLMemBTreePage child = Fetch(connection, page_no);
        if (child.EntryCount() == 0) {
            return;
        }
        if (child.IsLeaf()) {
            std::memcpy(key, child.GetPKey(0), static_cast<size_t>(key_ref_.KeySize()));
            return;
        }
        page_no = child.ChildPageNo(0);
    }
}

bool TSQLMemBTreeIndex::TryMerge(ConnectionID connection, TSQLMemKeyPath& path, int32_t level,
                                 TSQLMemBTreePage& page) {
    const int32_t page_no = page.GetPageNo();
    const int32_t left_no = page.LeftPageNo();
    const int32_t right_no = page.RightPageNo();
    if (left_no != -1) {
        TSQLMemBTreePage left = Fetch(connection, left_no);
        if (CanMergeWithPage(page, left)) {
            if (right_no != -1) {
                TSQLMemBTreePage right = Fetch(connection, right_no);
                right.SetLeftPageNo(left_no);
                right.MarkDirty();
            }
            if (!page.IsLeaf() && page.EntryCount() > 0) {
                GetFirstKey(connection, page, first_key_.data());
                page.UpdateKey(0, first_key_.data());
            }
            left.AppendFrom(page);
            left.SetRightPageNo(right_no);
            left.MarkDirty();
            DeleteNodeEntry(connection, path, level - 1, Repair::Left);
            store_.RemovePage(connection, page_no);
            return true;
        }
    }
    if (right_no != -1) {
        TSQLMemBTreePage right = Fetch(connection, right_no);
        if (CanMergeWithPage(page, right)) {
            if (left_no != -1) {
                TSQLMemBTreePage left = Fetch(connection, left_no);
                left.SetRightPageNo(right_no);
                left.MarkDirty();
            }
            if (!right.IsLeaf() && right.EntryCount() > 0) {
                GetFirstKey(connection, right, first_key_.data());
                right.UpdateKey(0, first_key_.data());
            }
            right.InsertFrom(page);
            right.SetLeftPageNo(left_no);
            if (left_no == -1 && !right.IsLeaf() && right.EntryCount() > 0) {
                // The right neighbour becomes the leftmost node of its level (an emptied
                // leftmost node brought no all-zero first key along).
                std::memset(right.GetPKey(0), 0, static_cast<size_t>(right.KeyPrefixSize()));
            }
            right.MarkDirty();
            DeleteNodeEntry(connection, path, level - 1, Repair::Right);
            store_.RemovePage(connection, page_no);
            return true;
        }
    }
    return false;
}

void TSQLMemBTreeIndex::DeleteNodeEntry(ConnectionID connection, TSQLMemKeyPath& path,
                                        int32_t level, Repair repair) {
    const KeyPathItem item = path.Item(level);
    TSQLMemBTreePage node = Fetch(connection, item.PageNo);
    if (node.IsLeaf()) {
        throw ESQLMemException(20024, "Internal index error");
    }
    const int32_t entry = item.EntryNo;
    if (repair == Repair::Left && entry == 0 && node.EntryCount() > 1) {
        // The node loses its smallest subtree: the separator above it rises to entry 1.
        for (int32_t up = level - 1; up >= 0; --up) {
            const KeyPathItem& ancestor_item = path.Item(up);
            if (ancestor_item.EntryNo > 0) {
                TSQLMemBTreePage ancestor = Fetch(connection, ancestor_item.PageNo);
                ancestor.UpdateKey(ancestor_item.EntryNo, node.GetPKey(1));
                ancestor.MarkDirty();
                break;
            }
        }
    }
    if (repair == Repair::Right) {
        // The right neighbour took the entries: its separator falls to the deleted one's.
        int32_t up = level;
        while (up >= 0 && path.Item(up).EntryNo == path.Item(up).EntryCount - 1) {
            --up;
        }
        if (up == level) {
            node.UpdateKey(entry + 1, node.GetPKey(entry));
        } else if (up >= 0) {
            TSQLMemBTreePage ancestor = Fetch(connection, path.Item(up).PageNo);
            ancestor.UpdateKey(path.Item(up).EntryNo + 1, node.GetPKey(entry));
            ancestor.MarkDirty();
        }
    }
    RemoveEntry(node, entry);
    if (entry == 0 && node.LeftPageNo() == -1 && node.EntryCount() > 0) {
        // The leftmost node of a level keeps its all-zero first key.
        std::memset(node.GetPKey(0), 0, static_cast<size_t>(node.KeyPrefixSize()));
    }
    node.MarkDirty();
    if (!node.IsRoot()) {
        if (Underflows(node)) {
            TryMerge(connection, path, level, node);
        }
        return;
    }
    while (!node.IsLeaf() && node.EntryCount() == 1) {
        // The root's only child takes its place; the root keeps its page number.
        const int32_t child_no = node.ChildPageNo(0);
        {
            TSQLMemBTreePage child = Fetch(connection, child_no);
            std::memcpy(node.Bytes(), child.Bytes(),
                        static_cast<size_t>(child.GetEntriesOffset() +
                                            child.EntryCount() * child.GetEntrySize()));
        }
        node.SetIsRoot(true);
        node.SetLeftPageNo(-1);
        node.SetRightPageNo(-1);
        node.MarkDirty();
        store_.RemovePage(connection, child_no);
    }
}

// --- Update and checks ---

void TSQLMemBTreeIndex::UpdateRecord(ConnectionID connection, const std::byte* old_record,
                                     const std::byte* new_record, IndexRecordId id) {
    key_ref_.MakeKey(old_record, other_key_.data());
    key_ref_.MakeKey(new_record, key_.data());
    if (key_ref_.CompareKeys(other_key_.data(), key_.data()) == 0) {
        return;
    }
    const Reference reference = EncodeId(id);
    DeleteKey(connection, other_key_.data(), reference.data());
    path_.Clear();
    InsertKey(connection, key_.data(), reference.data());
}

bool TSQLMemBTreeIndex::CanInsertRecord(ConnectionID connection, const std::byte* record) {
    if ((!def_.Unique && !def_.Primary) || def_.RootPageNo == -1) {
        return true;
    }
    TSQLMemKeyPath path;
    return !FindByCondition(connection, true, {scEqual, record, 0}, path);
}

bool TSQLMemBTreeIndex::CanUpdateRecord(ConnectionID connection, const std::byte* old_record,
                                        const std::byte* new_record) {
    if (CompareRecordBuffersByIndex(old_record, new_record, 0) == 0) {
        return true;
    }
    return CanInsertRecord(connection, new_record);
}

int TSQLMemBTreeIndex::CompareRecordBuffersByIndex(const std::byte* left, const std::byte* right,
                                                   int32_t key_field_count) {
    key_ref_.MakeKey(left, key_.data());
    key_ref_.MakeKey(right, other_key_.data());
    ComparePartCountScope scope(key_ref_, key_field_count);
    return key_ref_.CompareKeys(key_.data(), other_key_.data());
}

int TSQLMemBTreeIndex::CompareConditions(const TSQLMemScanSearchCondition& first,
                                         const TSQLMemScanSearchCondition&) {
    switch (first.Condition) {
        case scGreater:
        case scGreaterEqual:
            return -1;
        case scLower:
        case scLowerEqual:
            return 1;
        default:
            return 0;
    }
}

// --- Record numbers, distinct, ranges ---

int64_t TSQLMemBTreeIndex::GetRecNoByRecordID(ConnectionID connection, IndexRecordId id,
                                              const std::byte* record,
                                              const RecordVisibility* visible) {
    TSQLMemKeyPath path;
    if (!GetIndexPosition(connection, id, record, path)) {
        return -1;
    }
    const KeyPathItem& item = path.Last();
    int64_t rank = 0;
    int32_t page_no = item.PageNo;
    int32_t upto = item.EntryNo + 1;
    int64_t link_steps = 0;
    while (page_no != -1) {
        TSQLMemBTreePage leaf = Fetch(connection, page_no);
        const int32_t count = upto < 0 ? leaf.EntryCount() : upto;
        if (visible == nullptr) {
            rank += count;
        } else {
            for (int32_t i = 0; i < count; ++i) {
                rank += visible->IsVisible(DecodeId(leaf.GetPReference(i))) ? 1 : 0;
            }
        }
        page_no = leaf.LeftPageNo();
        CountLinkStep(link_steps, page_no);
        upto = -1;
    }
    return rank;
}

IndexRecordId TSQLMemBTreeIndex::GetRecordIDByRecNo(ConnectionID connection, uint64_t rec_no,
                                                    const RecordVisibility* visible) {
    TSQLMemKeyPath path;
    if (!GetFirstPosition(connection, path)) {
        throw ESQLMemException(20074, "Cannot retreive record from empty index");
    }
    uint64_t remaining = rec_no;
    int32_t page_no = path.Last().PageNo;
    int64_t link_steps = 0;
    while (remaining > 0 && page_no != -1) {
        TSQLMemBTreePage leaf = Fetch(connection, page_no);
        const auto count = static_cast<uint64_t>(leaf.EntryCount());
        if (visible == nullptr) {
            if (remaining <= count) {
                return DecodeId(leaf.GetPReference(static_cast<int32_t>(remaining - 1)));
            }
            remaining -= count;
        } else {
            for (int32_t i = 0; i < leaf.EntryCount(); ++i) {
                const IndexRecordId id = DecodeId(leaf.GetPReference(i));
                if (visible->IsVisible(id) && --remaining == 0) {
                    return id;
                }
            }
        }
        page_no = leaf.RightPageNo();
        CountLinkStep(link_steps, page_no);
    }
    throw ESQLMemException(20075, "Cannot set RecNo greater than RecordCount");
}

void TSQLMemBTreeIndex::ApplyDistinctToRecordBitmap(ConnectionID connection,
                                                    RecordVisibility* visible) {
    if (visible == nullptr) {
        throw ESQLMemException(20076, "Pointer is nil");
    }
    TSQLMemKeyPath path;
    if (!GetFirstPosition(connection, path)) {
        return;
    }
    bool have_last = false;
    int32_t page_no = path.Last().PageNo;
    int64_t link_steps = 0;
    while (page_no != -1) {
        TSQLMemBTreePage leaf = Fetch(connection, page_no);
        for (int32_t i = 0; i < leaf.EntryCount(); ++i) {
            const IndexRecordId id = DecodeId(leaf.GetPReference(i));
            if (!visible->IsVisible(id)) {
                continue;
            }
            if (have_last && key_ref_.CompareKeys(leaf.GetPKey(i), other_key_.data()) == 0) {
                visible->Hide(id);
            } else {
                std::memcpy(other_key_.data(), leaf.GetPKey(i), other_key_.size());
                have_last = true;
            }
        }
        page_no = leaf.RightPageNo();
        CountLinkStep(link_steps, page_no);
    }
}

bool TSQLMemBTreeIndex::FindRecord(ConnectionID connection, bool get_first, bool forward,
                                   const TSQLMemScanSearchCondition* start,
                                   const TSQLMemScanSearchCondition* end, const std::byte* record,
                                   IndexRecordId& id, TSQLMemBTreeSearchInfo* info) {
    if (info == nullptr) {
        throw ESQLMemException(20077, "Pointer is nil");
    }
    if (get_first && info->Started) {
        throw ESQLMemException(20078, "Index error: invalid params");
    }
    bool land_on_current = false;
    if (get_first || !info->Started) {
        if (start != nullptr) {
            if (!FindByCondition(connection, forward, *start, info->CurrentPath)) {
                return false;
            }
            if (!get_first) {
                TSQLMemKeyPath own;
                if (GetIndexPosition(connection, id, record, own)) {
                    const int order = own.Compare(info->CurrentPath);
                    if (forward ? order < 0 : order > 0) {
                        // Step back once so that the step below lands on the match.
                        // When the match is the index's first (last) entry there is no
                        // step back; an impossible step leaves the path on the match.
                        land_on_current =
                            !(forward ? GetPriorPosition(connection, info->CurrentPath)
                                      : GetNextPosition(connection, info->CurrentPath));
                    } else {
                        info->CurrentPath = own;
                    }
                }
            }
        } else if (get_first) {
            if (!(forward ? GetFirstPosition(connection, info->CurrentPath)
                          : GetLastPosition(connection, info->CurrentPath))) {
                return false;
            }
        } else if (!GetIndexPosition(connection, id, record, info->CurrentPath)) {
            return false;
        }
        if (!info->Started && start != nullptr) {
            const TSQLMemScanSearchCondition& bound = end != nullptr ? *end : *start;
            if (!FindByCondition(connection, !forward, bound, info->EndPath)) {
                throw ESQLMemException(20079, "Index error: invalid params");
            }
            info->HasEndPath = true;
        }
    }
    if (!get_first) {
        if (!land_on_current && !(forward ? GetNextPosition(connection, info->CurrentPath)
                                          : GetPriorPosition(connection, info->CurrentPath))) {
            return false;
        }
        if (info->HasEndPath) {
            const int order = info->CurrentPath.Compare(info->EndPath);
            if (forward ? order > 0 : order < 0) {
                return false;
            }
        }
    }
    id = GetRecordID(connection, info->CurrentPath);
    if (!info->Started) {
        info->Forward = forward;
        info->Started = true;
    }
    return true;
}

int64_t TSQLMemBTreeIndex::GetApproxRangeRecordCount(ConnectionID connection,
                                                     uint64_t table_record_count,
                                                     const TSQLMemScanSearchCondition& first,
                                                     const TSQLMemScanSearchCondition& second) {
    if (def_.RootPageNo == -1) {
        return 0;
    }
    const bool first_is_lower = CompareConditions(first, second) <= 0;
    const TSQLMemScanSearchCondition& lower = first_is_lower ? first : second;
    const TSQLMemScanSearchCondition& upper = first_is_lower ? second : first;
    TSQLMemKeyPath upper_path;
    TSQLMemKeyPath lower_path;
    if (!FindByCondition(connection, false, upper, upper_path) ||
        !FindByCondition(connection, true, lower, lower_path)) {
        return 0;
    }
    const double fraction =
        upper_path.GetApproxRecNoInPercents() - lower_path.GetApproxRecNoInPercents();
    const auto total = static_cast<int64_t>(table_record_count);
    const auto estimate = static_cast<int64_t>(std::llround(fraction * static_cast<double>(total)));
    return std::clamp<int64_t>(estimate, 0, total);
}

// --- Integrity ---

void TSQLMemBTreeIndex::CheckSubtree(ConnectionID connection, int32_t page_no, int32_t level,
                                     const std::byte* lower, const std::byte* upper,
                                     std::vector<std::vector<int32_t>>& levels, int32_t& leaf_depth,
                                     std::vector<std::string>& problems) {
    const std::string where = "page " + std::to_string(page_no) + ": ";
    if (level >= TSQLMemKeyPath::kMaxLevels) {
        problems.push_back(where + "tree deeper than 32 levels");
        return;
    }
    TSQLMemBTreePage page = Fetch(connection, page_no);
    if (static_cast<size_t>(level) >= levels.size()) {
        levels.resize(static_cast<size_t>(level) + 1);
    }
    levels[static_cast<size_t>(level)].push_back(page_no);
    if (page.IsRoot() != (level == 0)) {
        problems.push_back(where + "root flag wrong");
    }
    if (page.KeyPrefixSize() != key_ref_.KeySize() || page.PagePrefixSize() != 0) {
        problems.push_back(where + "key size or prefix wrong");
        return;
    }
    const int32_t count = page.EntryCount();
    if (page.GetEntriesOffset() + count * page.GetEntrySize() > page_size_) {
        problems.push_back(where + "entries overflow the page");
        return;
    }
    if (count == 0 && level > 0) {
        problems.push_back(where + "empty non-root page");
    }
    const int32_t first_compared = page.IsLeaf() ? 0 : 1;
    bool ordered = true;
    for (int32_t i = first_compared + 1; i < count; ++i) {
        if (key_ref_.CompareKeys(page.GetPKey(i - 1), page.GetPKey(i)) > 0) {
            problems.push_back(where + "keys out of order at entry " + std::to_string(i));
            ordered = false;
        }
    }
    // With the keys in order, the first and the last tell whether all lie between the
    // separators; out of order, every key is compared so that the report names each one.
    if (page.IsLeaf() && count > 0) {
        for (int32_t i = 0; i < count; ++i) {
            const bool first = i == 0;
            const bool last = i + 1 == count;
            if (ordered && !first && !last) {
                continue;
            }
            if ((lower != nullptr && (first || !ordered) &&
                 key_ref_.CompareKeys(lower, page.GetPKey(i)) > 0) ||
                (upper != nullptr && (last || !ordered) &&
                 key_ref_.CompareKeys(page.GetPKey(i), upper) > 0)) {
                problems.push_back(where + "key outside its separators at entry " +
                                   std::to_string(i));
            }
        }
    }
    if (page.IsLeaf()) {
        if (leaf_depth == -1) {
            leaf_depth = level;
        } else if (leaf_depth != level) {
            problems.push_back(where + "leaf at depth " + std::to_string(level) + ", others at " +
                               std::to_string(leaf_depth));
        }
        return;
    }
    if (page.LeftPageNo() == -1 && count > 0 && !AllZero(page.GetPKey(0), page.KeyPrefixSize())) {
        problems.push_back(where + "leftmost node without a zero first key");
    }
    for (int32_t i = 0; i < count; ++i) {
        const std::byte* child_lower = i == 0 ? lower : page.GetPKey(i);
        const std::byte* child_upper = i + 1 < count ? page.GetPKey(i + 1) : upper;
        CheckSubtree(connection, page.ChildPageNo(i), level + 1, child_lower, child_upper, levels,
                     leaf_depth, problems);
    }
}

std::vector<std::string> TSQLMemBTreeIndex::CheckIntegrity(ConnectionID connection) {
    std::vector<std::string> problems;
    if (def_.RootPageNo == -1) {
        return problems;
    }
    std::vector<std::vector<int32_t>> levels;
    int32_t leaf_depth = -1;
    CheckSubtree(connection, def_.RootPageNo, 0, nullptr, nullptr, levels, leaf_depth, problems);
    for (size_t level = 0; level < levels.size(); ++level) {
        const std::vector<int32_t>& pages = levels[level];
        for (size_t i = 0; i < pages.size(); ++i) {
            TSQLMemBTreePage page = Fetch(connection, pages[i]);
            const int32_t left = i == 0 ? -1 : pages[i - 1];
            const int32_t right = i + 1 == pages.size() ? -1 : pages[i + 1];
            if (page.LeftPageNo() != left || page.RightPageNo() != right) {
                problems.push_back("page " + std::to_string(pages[i]) + ": level links wrong");
            }
        }
    }
    return problems;
}

}  // namespace tapir::engine
