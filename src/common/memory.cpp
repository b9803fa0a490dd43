#include "common/memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

#ifdef __linux__
#include <sys/sysinfo.h>
#endif

#include "common/io.h"

namespace morva {
namespace {

constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();

// A limit written in a control-group file; nothing when the file is absent
// or says "max". (Read here without read_file, which asks this file's
// functions how much it may read.)
std::optional<std::uint64_t> cgroup_limit(const char* path) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return std::nullopt;
    char text[64];
    ssize_t n;
    do {
        n = ::read(fd.get(), text, sizeof text);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return std::nullopt;
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text, text + n, v);
    if (ec != std::errc() || end == text || v == 0) return std::nullopt;
    return v;
}

std::uint64_t cgroup_memory_limit() {
    std::uint64_t limit = kUnknown;
    for (const char* path : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        if (const auto v = cgroup_limit(path)) limit = std::min(limit, *v);
    }
    return limit;
}

std::uint64_t times(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? kUnknown : product;
}

// RAM and swap in bytes; kUnknown where they cannot be told.
struct Installed {
    std::uint64_t ram = kUnknown;
    std::uint64_t swap = 0;
};

Installed installed() {
    Installed out;
#ifdef __linux__
    struct sysinfo info {};
    if (::sysinfo(&info) == 0) {
        const std::uint64_t unit = info.mem_unit ? info.mem_unit : 1;
        out.ram = times(info.totalram, unit);
        out.swap = times(info.totalswap, unit);
        return out;
    }
#endif
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0)
        out.ram = times(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size));
    return out;
}

}  // namespace

std::uint64_t physical_memory() { return std::min(installed().ram, cgroup_memory_limit()); }

std::uint64_t memory_ceiling() {
    const Installed m = installed();
    std::uint64_t total = 0;
    if (__builtin_add_overflow(m.ram, m.swap, &total)) total = kUnknown;
    return std::min(total, cgroup_memory_limit());
}

bool fits_in_memory(std::uint64_t count, std::uint64_t item_bytes, std::uint64_t extra_bytes) {
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(count, item_bytes, &bytes)) return false;
    if (__builtin_add_overflow(bytes, extra_bytes, &bytes)) return false;
    return bytes <= memory_ceiling();
}

}  // namespace morva
