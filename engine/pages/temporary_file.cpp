#include "engine/pages/temporary_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "engine/record/db_types.h"

namespace tapir::engine {

std::string TemporaryFile::Directory() {
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && *dir != '\0') {
        return dir;
    }
    return "/tmp";
}

TemporaryFile::TemporaryFile() {
    std::string pattern = Directory();
    if (pattern.back() != '/') {
        pattern += '/';
    }
    pattern += "SQLMemXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) {
        throw ESQLMemException::Formatted(10127, "Cannot create temporary file " + pattern);
    }
    path_ = name.data();
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
    other.path_.clear();
}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
        other.path_.clear();
    }
    return *this;
}

TemporaryFile::~TemporaryFile() { Close(); }

void TemporaryFile::Close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
        fd_ = -1;
    }
}

namespace {

// Repeats a positioned read or write until all of `size` bytes moved, the call fails or
// nothing more moves; interrupted calls are tried again. Returns the bytes moved.
template <typename Transfer>
size_t WholeTransfer(size_t size, int64_t offset, Transfer transfer) {
    size_t done = 0;
    while (done < size) {
        const ssize_t step =
            transfer(done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (step < 0 && errno == EINTR) {
            continue;
        }
        if (step <= 0) {
            break;
        }
        done += static_cast<size_t>(step);
    }
    return done;
}

}  // namespace

size_t TemporaryFile::ReadAt(int64_t offset, std::span<std::byte> bytes) const {
    return WholeTransfer(bytes.size(), offset, [&](size_t done, off_t at) {
        return ::pread(fd_, bytes.data() + done, bytes.size() - done, at);
    });
}

size_t TemporaryFile::WriteAt(int64_t offset, std::span<const std::byte> bytes) {
    return WholeTransfer(bytes.size(), offset, [&](size_t done, off_t at) {
        return ::pwrite(fd_, bytes.data() + done, bytes.size() - done, at);
    });
}

int64_t TemporaryFile::Size() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        return 0;
    }
    return static_cast<int64_t>(info.st_size);
}

bool TemporaryFile::Resize(int64_t size) { return ::ftruncate(fd_, static_cast<off_t>(size)) == 0; }

}  // namespace tapir::engine
