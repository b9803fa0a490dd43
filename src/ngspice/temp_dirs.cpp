#include "ngspice/temp_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace morva::ngspice {

namespace {

// A worker makes its directory and one per request inside it; more levels
// than this are nothing of ours.
constexpr int kMaxDepth = 4;

// Empties the directory open as `dir_fd` (which this takes over).
void remove_entries(int dir_fd, int depth) {
    DIR* dir = ::fdopendir(dir_fd);
    if (!dir) {
        ::close(dir_fd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    for (const std::string& name : names) {
        if (::unlinkat(dirfd(dir), name.c_str(), 0) == 0 || errno == ENOENT) continue;
        // A directory (Linux says EISDIR, others EPERM): emptied through a
        // descriptor opened without following a link, then removed.
        if (depth >= kMaxDepth) continue;
        const int sub = ::openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) continue;
        remove_entries(sub, depth + 1);
        ::unlinkat(dirfd(dir), name.c_str(), AT_REMOVEDIR);
    }
    ::closedir(dir);
}

// The directory claimed as this process's own, set once before any handler
// that removes it is installed, then only read: a signal handler cannot take
// it as an argument.
struct OwnDir {
    int parent_fd = -1;
    char name[NAME_MAX + 1] = {};
    dev_t dev = 0;
    ino_t ino = 0;
    uid_t owner = 0;
};
OwnDir own_dir;
volatile sig_atomic_t own_dir_removal_started = 0;

bool is_private_dir_name(std::string_view name) {
    constexpr std::string_view kPrefix = "morva-";
    if (name.size() != kPrefix.size() + 6 || !name.starts_with(kPrefix)) return false;
    for (const char c : name.substr(kPrefix.size())) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return true;
}

// A directory entry as getdents64 writes it.
struct LinuxDirent64 {
    std::uint64_t ino;
    std::int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

// Empties the directory open as `dir_fd` with calls a signal handler may
// make: getdents64 into a buffer on the stack rather than readdir (which
// allocates). Names are read again from the start until a pass removes
// nothing, as removing entries while reading may skip some.
void empty_dir_signal_safe(int dir_fd, int depth) {
#ifdef SYS_getdents64
    alignas(8) char buffer[4096];
    for (int pass = 0; pass < 64; ++pass) {
        if (::lseek(dir_fd, 0, SEEK_SET) != 0) return;
        bool removed = false;
        for (;;) {
            const long n = ::syscall(SYS_getdents64, dir_fd, buffer, sizeof buffer);
            if (n <= 0) break;
            for (long at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
                at += entry->reclen;
                const char* name = entry->name;
                if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
                // A link, the kit's folder's among them, goes without being followed.
                if (::unlinkat(dir_fd, name, 0) == 0) {
                    removed = true;
                    continue;
                }
                if ((errno != EISDIR && errno != EPERM) || depth >= kMaxDepth) continue;
                const int sub = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub < 0) continue;
                struct stat st {};
                if (::fstat(sub, &st) == 0 && st.st_dev == own_dir.dev && st.st_uid == own_dir.owner)
                    empty_dir_signal_safe(sub, depth + 1);
                ::close(sub);
                if (::unlinkat(dir_fd, name, AT_REMOVEDIR) == 0) removed = true;
            }
        }
        if (!removed) return;
    }
#else
    (void)dir_fd;
    (void)depth;
#endif
}

}  // namespace

std::string system_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

Result<std::string, IoError> make_private_dir(std::string_view base) {
    std::string pattern = join_path(base, "morva-XXXXXX");
    if (path_has_nul(pattern)) return err(nul_in_path_error());
    if (!::mkdtemp(pattern.data())) return err(IoError::from_errno(errno));
    return pattern;
}

void remove_tree(const std::string& path) {
    if (path.empty() || path_has_nul(path)) return;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Not a directory (or a link to one): the name alone goes.
        if (errno == ENOTDIR || errno == ELOOP) ::unlink(path.c_str());
        return;
    }
    remove_entries(fd, 1);
    ::rmdir(path.c_str());
}

bool claim_own_dir(std::string_view path) {
    if (own_dir.parent_fd >= 0 || path.empty() || path_has_nul(path)) return false;
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (!is_private_dir_name(name)) return false;
    const std::string parent = slash == std::string_view::npos ? std::string(".")
                               : slash == 0                    ? std::string("/")
                                                               : std::string(path.substr(0, slash));
#ifdef O_PATH
    const int parent_fd = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (parent_fd < 0) return false;
    const std::string name_text(name);
    struct stat st {};
    const bool ours = ::fstatat(parent_fd, name_text.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
    if (!ours) {
        ::close(parent_fd);
        return false;
    }
    std::memcpy(own_dir.name, name_text.c_str(), name_text.size() + 1);
    own_dir.dev = st.st_dev;
    own_dir.ino = st.st_ino;
    own_dir.owner = st.st_uid;
    own_dir.parent_fd = parent_fd;
    return true;
}

void remove_own_dir() {
    if (own_dir.parent_fd < 0 || own_dir_removal_started) return;
    own_dir_removal_started = 1;
    const int saved = errno;
    const int fd = ::openat(own_dir.parent_fd, own_dir.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        const bool same = ::fstat(fd, &st) == 0 && st.st_dev == own_dir.dev && st.st_ino == own_dir.ino;
        if (same) empty_dir_signal_safe(fd, 1);
        ::close(fd);
        if (same) ::unlinkat(own_dir.parent_fd, own_dir.name, AT_REMOVEDIR);
    }
    errno = saved;
}

}  // namespace morva::ngspice
