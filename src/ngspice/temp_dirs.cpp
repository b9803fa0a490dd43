#include "ngspice/temp_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

}  // namespace morva::ngspice
