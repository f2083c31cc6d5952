#pragma once
// TSQLMemBlobStream: the content of one BLOB field of a dataset's active row as an engine
// stream, made by TSQLMemDataSet::CreateBlobStream and owned by the caller. It works on
// its own copy of the content; a stream opened for writing hands what was written to the
// row being inserted or edited when it is freed (the row then holds it as pending content
// until Post stores it or Cancel drops it). A stream that outlives the row's edit (the
// dataset posted, cancelled, moved or closed in between) hands nothing over.
// Not thread-safe: it belongs to the dataset's thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/pages/sqlmem_stream.h"

namespace tapir::engine {

class TSQLMemDataSet;

enum class TBlobStreamMode : int { bmRead = 0, bmWrite, bmReadWrite };
using enum TBlobStreamMode;

class TSQLMemBlobStream final : public TSQLMemStream {
  public:
    // Starts with `content` (empty for bmWrite, which replaces the content even when
    // nothing is written). `dataset` may be nullptr for a stream
    // that is never handed back; otherwise the stream registers with it.
    TSQLMemBlobStream(TSQLMemDataSet* dataset, int column, TBlobStreamMode mode,
                      std::vector<std::byte> content, uint64_t edit_serial);
    ~TSQLMemBlobStream() override;

    size_t Read(std::span<std::byte> bytes) override;
    // Writes nothing (a short write) on a stream opened with bmRead.
    size_t Write(std::span<const std::byte> bytes) override;
    int64_t Position() const override { return static_cast<int64_t>(position_); }
    int64_t Size() const override { return static_cast<int64_t>(content_.size()); }
    [[nodiscard]] bool SetPosition(int64_t position) override;
    // False on a stream opened with bmRead.
    [[nodiscard]] bool SetSize(int64_t size) override;

    TBlobStreamMode Mode() const { return mode_; }
    bool Modified() const { return modified_; }

  private:
    friend class TSQLMemDataSet;

    TSQLMemDataSet* dataset_;
    int column_;
    TBlobStreamMode mode_;
    std::vector<std::byte> content_;
    uint64_t edit_serial_;
    size_t position_ = 0;
    bool modified_ = false;
};

}  // namespace tapir::engine
