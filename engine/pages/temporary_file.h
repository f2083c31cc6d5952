#pragma once
// TemporaryFile: move-only owner of one temporary file made with mkstemp, named with the
// "SQLMem" prefix in $TMPDIR (else /tmp); the file is deleted when the owner goes.
// Not thread-safe; its store's lock applies.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tapir::engine {

class TemporaryFile {
  public:
    // Creates the file. Throws ESQLMemException 10127 "Cannot create temporary file %s"
    // when the system refuses.
    TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    TemporaryFile(TemporaryFile&& other) noexcept;
    TemporaryFile& operator=(TemporaryFile&& other) noexcept;
    ~TemporaryFile();

    const std::string& Path() const { return path_; }
    // Bytes moved; fewer than asked when the system moved fewer.
    size_t ReadAt(int64_t offset, std::span<std::byte> bytes) const;
    size_t WriteAt(int64_t offset, std::span<const std::byte> bytes);
    int64_t Size() const;
    // Returns false when the system refuses.
    bool Resize(int64_t size);

    // The directory temporary files go to: $TMPDIR when set and not empty, else /tmp.
    static std::string Directory();

  private:
    void Close() noexcept;

    int fd_ = -1;
    std::string path_;
};

}  // namespace tapir::engine
