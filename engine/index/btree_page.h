#pragma once
// TSQLMemBTreePage: typed access to one pinned B-tree page of a page store. The layout is
// stored byte for byte in table streams. Not thread-safe; the page belongs to the
// connection that borrowed it.
//
// Page (PageSize bytes, little-endian):
//   OFFSET            SIZE                    DESCRIPTION
//   0                 1                       IsRoot: 1 on the root page, else 0
//   1                 1                       IsLeaf: 1 on leaves, 0 on inner nodes
//   2                 4                       LeftPageNo (int32): left neighbour on the
//                                             same level, -1 if none
//   6                 4                       RightPageNo (int32): right neighbour, -1 none
//   10                1                       HasKeys: 1 from root initialisation on,
//                                             inherited by every page split off it
//   11                1                       HasSuffixes: always 0
//   12                2                       KeyPrefixSize (uint16): key size of entries
//   14                2                       EntryCount (uint16)
//   16                2                       PagePrefixSize (uint16): always 0
//   18+PagePrefixSize EntryCount * entry size entries
//
// Entry:
//   OFFSET            SIZE                    DESCRIPTION
//   0                 KeyPrefixSize           the key (TSQLMemBTreeKeyRef layout)
//   KeyPrefixSize     6 (leaf)                record identifier: int32 then uint16
//   KeyPrefixSize     4 (node)                int32 page number of child i
// Entry 0 of the leftmost node of each level carries an all-zero key that is never
// compared.

#include <cstdint>
#include <cstring>

#include "engine/pages/byte_stream.h"
#include "engine/pages/sqlmem_page.h"

namespace tapir::engine {

inline constexpr int32_t kIsRootOffset = 0;
inline constexpr int32_t kIsLeafOffset = 1;
inline constexpr int32_t kLeftPageNoOffset = 2;
inline constexpr int32_t kRightPageNoOffset = 6;
inline constexpr int32_t kHasKeysOffset = 10;
inline constexpr int32_t kHasSuffixesOffset = 11;
inline constexpr int32_t kKeyPrefixSizeOffset = 12;
inline constexpr int32_t kEntryCountOffset = 14;
inline constexpr int32_t kPagePrefixSizeOffset = 16;
inline constexpr int32_t kBTreePageHeaderSize = 18;
inline constexpr int32_t kLeafReferenceSize = 6;
inline constexpr int32_t kNodeReferenceSize = 4;

class TSQLMemBTreePage : public TSQLMemPageController {
  public:
    TSQLMemBTreePage() = default;
    explicit TSQLMemBTreePage(PageHandle page) : TSQLMemPageController(std::move(page)) {}

    std::byte* Bytes() const { return GetPageBuffer(); }

    bool IsRoot() const { return Bytes()[kIsRootOffset] != std::byte{0}; }
    void SetIsRoot(bool value) {
        Bytes()[kIsRootOffset] = std::byte{value ? uint8_t{1} : uint8_t{0}};
    }
    bool IsLeaf() const { return Bytes()[kIsLeafOffset] != std::byte{0}; }
    void SetIsLeaf(bool value) {
        Bytes()[kIsLeafOffset] = std::byte{value ? uint8_t{1} : uint8_t{0}};
    }
    int32_t LeftPageNo() const {
        return static_cast<int32_t>(LoadLE32(Bytes() + kLeftPageNoOffset));
    }
    void SetLeftPageNo(int32_t no) {
        StoreLE32(Bytes() + kLeftPageNoOffset, static_cast<uint32_t>(no));
    }
    int32_t RightPageNo() const {
        return static_cast<int32_t>(LoadLE32(Bytes() + kRightPageNoOffset));
    }
    void SetRightPageNo(int32_t no) {
        StoreLE32(Bytes() + kRightPageNoOffset, static_cast<uint32_t>(no));
    }
    int32_t KeyPrefixSize() const { return LoadLE16(Bytes() + kKeyPrefixSizeOffset); }
    int32_t EntryCount() const { return LoadLE16(Bytes() + kEntryCountOffset); }
    void SetEntryCount(int32_t count) {
        StoreLE16(Bytes() + kEntryCountOffset, static_cast<uint16_t>(count));
    }
    int32_t PagePrefixSize() const { return LoadLE16(Bytes() + kPagePrefixSizeOffset); }

    int32_t GetReferenceSize() const { return IsLeaf() ? kLeafReferenceSize : kNodeReferenceSize; }
    int32_t GetEntrySize() const { return KeyPrefixSize() + GetReferenceSize(); }
    int32_t GetEntriesOffset() const { return kBTreePageHeaderSize + PagePrefixSize(); }
    std::byte* GetPKey(int32_t i) const {
        return Bytes() + GetEntriesOffset() + i * GetEntrySize();
    }
    std::byte* GetPReference(int32_t i) const { return GetPKey(i) + KeyPrefixSize(); }
    int32_t ChildPageNo(int32_t i) const {
        return static_cast<int32_t>(LoadLE32(GetPReference(i)));
    }

    // Header to zero, links to -1.
    void Init() {
        std::memset(Bytes(), 0, kBTreePageHeaderSize);
        SetLeftPageNo(-1);
        SetRightPageNo(-1);
    }
    void InitAsRoot(int32_t key_size) {
        Init();
        SetIsRoot(true);
        SetIsLeaf(true);
        Bytes()[kHasKeysOffset] = std::byte{1};
        StoreLE16(Bytes() + kKeyPrefixSizeOffset, static_cast<uint16_t>(key_size));
    }
    // This page takes `source`'s header and its `count` entries from `from` on.
    void CopyFrom(const TSQLMemBTreePage& source, int32_t from, int32_t count) {
        std::memcpy(Bytes(), source.Bytes(), static_cast<size_t>(source.GetEntriesOffset()));
        std::memcpy(GetPKey(0), source.GetPKey(from), static_cast<size_t>(count * GetEntrySize()));
        SetEntryCount(count);
    }
    // Appends `source`'s entries behind this page's own.
    void AppendFrom(const TSQLMemBTreePage& source) {
        const int32_t count = source.EntryCount();
        std::memcpy(GetPKey(EntryCount()), source.GetPKey(0),
                    static_cast<size_t>(count * GetEntrySize()));
        SetEntryCount(EntryCount() + count);
    }
    // Puts `source`'s entries in front of this page's own.
    void InsertFrom(const TSQLMemBTreePage& source) {
        const int32_t count = source.EntryCount();
        std::memmove(GetPKey(count), GetPKey(0),
                     static_cast<size_t>(EntryCount() * GetEntrySize()));
        std::memcpy(GetPKey(0), source.GetPKey(0), static_cast<size_t>(count * GetEntrySize()));
        SetEntryCount(EntryCount() + count);
    }
    void UpdateKey(int32_t i, const std::byte* key) {
        std::memcpy(GetPKey(i), key, static_cast<size_t>(KeyPrefixSize()));
    }
    void MarkDirty() { SetIsDirty(true); }
};

}  // namespace tapir::engine
