#include "lut/kit_files.h"

#include <sys/stat.h>

#include <deque>
#include <set>
#include <string_view>

#include "common/format.h"
#include "common/io.h"
#include "common/text.h"
#include "lut/cache.h"
#include "spice/spice_expr.h"

namespace morva::lut {
namespace {

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The files a line names, when it includes one or redirects to one.
std::optional<std::string_view> named_file(std::string_view line) {
    if (const auto redirect = spice::spice_expr::redirect_target(line)) return redirect->file;
    return spice::spice_expr::include_target(line);
}

}  // namespace

std::string kit_identity(const LutConfig& config) {
    std::deque<std::string> pending;
    std::string anchor;  // the model file's directory, where the worker loads the netlist
    if (config.model_file) {
        const std::string path = cache::resolve(*config.model_file);
        anchor = directory_of(path);
        pending.push_back(path);
    }
    for (const auto& [path, section] : config.model_includes) pending.push_back(cache::resolve(path));
    std::set<std::string> seen;
    std::string out;
    while (!pending.empty() && seen.size() < kMaxKitFiles) {
        std::string path = std::move(pending.front());
        pending.pop_front();
        if (!seen.insert(path).second) continue;
        struct stat st {};
        if (path_has_nul(path) || ::stat(path.c_str(), &st) != 0) {
            out += fmt::cat(path, " none\n");
            continue;
        }
        out += fmt::cat(path, " ", static_cast<long long>(st.st_size), " ",
                        static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec, " ",
                        static_cast<unsigned long long>(st.st_ino), "\n");
        if (!S_ISREG(st.st_mode)) continue;
        auto text = read_file(path);
        if (!text) continue;
        const std::string folder = directory_of(path);
        bool control = false;
        std::string_view rest = *text;
        while (!rest.empty()) {
            const std::size_t nl = rest.find('\n');
            const std::string_view line = trim_whitespace(rest.substr(0, nl));
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
            if (ascii_istarts_with(line, ".control")) control = true;
            if (ascii_istarts_with(line, ".endc")) control = false;
            if (control || line.empty() || line.front() != '.') continue;
            const std::optional<std::string_view> name = named_file(line);
            if (!name || name->empty()) continue;
            if (name->front() == '/') {
                pending.emplace_back(*name);
                continue;
            }
            // ngspice looks beside the including file and where the netlist
            // is read from.
            pending.push_back(join_path(folder, *name));
            if (!anchor.empty() && anchor != folder) pending.push_back(join_path(anchor, *name));
        }
    }
    return out;
}

}  // namespace morva::lut
