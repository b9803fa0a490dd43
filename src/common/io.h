// I/O errors and small RAII helpers for files and descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"

namespace morva {

// An I/O failure. Operating-system failures keep their errno and display as
// "{description} (os error {errno})" unless a message says more; others
// display their message alone. `path` names the file, when one is known.
struct IoError {
    int os_code = 0;
    std::string message;
    std::string path;

    static IoError from_errno(int code);
    static IoError from_message(std::string message) { return IoError{0, std::move(message), {}}; }
    std::string text() const;
};

// An owned file descriptor, closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// The system reads a path only up to its first NUL, so a path holding one
// would name another file: such paths are refused with this error.
bool path_has_nul(std::string_view path);
IoError nul_in_path_error();

// Reads a whole file into memory.
Result<std::string, IoError> read_file(const std::string& path);

// What a file is at a moment, as far as telling that it changed goes: its
// size, modification time, inode and mode (a chmod, a replacement, an edit),
// or that there is none at the path. Taken before a file is read, a stamp
// that still matches says the file read is the one there now.
struct FileStamp {
    std::string path;
    bool exists = false;
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::uint64_t inode = 0;
    std::uint32_t mode = 0;

    bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at `path` now (following links).
FileStamp file_stamp(const std::string& path);

// Whether every file of `stamps` is still what its stamp says.
bool stamps_hold(const std::vector<FileStamp>& stamps);

// Writes all of `data` to `fd`, retrying after interruptions and short writes.
Result<void, IoError> write_all(int fd, std::string_view data);

// The process's working directory (up to 1 MiB of path).
Result<std::string, IoError> current_directory();

// The directory joined with the name by one "/"; an empty directory gives the name.
std::string join_path(std::string_view dir, std::string_view name);

}  // namespace morva
