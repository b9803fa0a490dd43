#include "common/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "common/memory.h"
#include "common/text.h"

namespace morva {

IoError IoError::from_errno(int code) { return IoError{code, {}, {}}; }

std::string IoError::text() const {
    return os_code != 0 && message.empty() ? os_error_text(os_code) : message;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool path_has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

IoError nul_in_path_error() { return IoError::from_message("file name contained an unexpected NUL byte"); }

namespace {

Result<std::string, IoError> read_whole_file(const std::string& path) {
    // Non-blocking, so that opening a FIFO does not wait for a writer; only
    // regular files are read (a FIFO could block forever, a device never end).
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return err(IoError::from_errno(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return err(IoError::from_errno(errno));
    if (S_ISDIR(st.st_mode)) return err(IoError::from_errno(EISDIR));
    if (!S_ISREG(st.st_mode)) return err(IoError::from_message("not a regular file"));
    std::string data;
    // A file larger than memory (or a pseudo-file claiming to be) cannot be
    // held: refused rather than read until the process is killed.
    if (st.st_size > 0 && !fits_in_memory(static_cast<std::uint64_t>(st.st_size), 1))
        return err(IoError::from_message("file too large to read into memory"));
    if (st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return err(IoError::from_errno(errno));
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    return data;
}

}  // namespace

Result<std::string, IoError> read_file(const std::string& path) {
    if (path_has_nul(path)) return err(nul_in_path_error());
    auto data = read_whole_file(path);
    if (!data) {
        IoError e = std::move(data).error();
        e.path = path;
        return err(std::move(e));
    }
    return data;
}

FileStamp file_stamp(const std::string& path) {
    FileStamp stamp;
    stamp.path = path;
    struct stat st {};
    if (path_has_nul(path) || ::stat(path.c_str(), &st) != 0) return stamp;
    stamp.exists = true;
    stamp.size = static_cast<std::int64_t>(st.st_size);
    stamp.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    stamp.inode = static_cast<std::uint64_t>(st.st_ino);
    stamp.mode = static_cast<std::uint32_t>(st.st_mode);
    return stamp;
}

bool stamps_hold(const std::vector<FileStamp>& stamps) {
    for (const FileStamp& stamp : stamps) {
        if (file_stamp(stamp.path) != stamp) return false;
    }
    return true;
}

Result<void, IoError> write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return err(IoError::from_errno(errno));
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

Result<std::string, IoError> current_directory() {
    std::string cwd(256, '\0');
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE || cwd.size() > (std::size_t{1} << 20)) return err(IoError::from_errno(errno));
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::char_traits<char>::length(cwd.c_str()));
    return cwd;
}

std::string join_path(std::string_view dir, std::string_view name) {
    std::string out(dir);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

}  // namespace morva
