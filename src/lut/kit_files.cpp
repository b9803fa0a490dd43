#include "lut/kit_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string_view>

#include "common/format.h"
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

// The files kit_identity names, in its order, each stamped before it was
// read.
std::vector<FileStamp> kit_stamps(const LutConfig& config) {
    std::deque<std::string> pending;
    std::string anchor;  // the model file's directory, where the worker loads the netlist
    if (config.model_file) {
        const std::string path = cache::resolve(*config.model_file);
        anchor = directory_of(path);
        pending.push_back(path);
    }
    for (const auto& [path, section] : config.model_includes) pending.push_back(cache::resolve(path));
    std::set<std::string> seen;
    std::vector<FileStamp> out;
    while (!pending.empty() && seen.size() < kMaxKitFiles) {
        std::string path = std::move(pending.front());
        pending.pop_front();
        if (!seen.insert(path).second) continue;
        out.push_back(file_stamp(path));
        if (!out.back().exists || !S_ISREG(out.back().mode)) continue;
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

std::string identity_text(const std::vector<FileStamp>& stamps) {
    std::string out;
    for (const FileStamp& s : stamps) {
        if (!s.exists) {
            out += fmt::cat(s.path, " none\n");
            continue;
        }
        out += fmt::cat(s.path, " ", static_cast<long long>(s.size), " ", static_cast<long long>(s.mtime_ns),
                        " ", static_cast<unsigned long long>(s.inode), "\n");
    }
    return out;
}

}  // namespace

std::string kit_identity(const LutConfig& config) { return identity_text(kit_stamps(config)); }

namespace {

// Where kit_identity starts from.
std::string identity_key(const LutConfig& config) {
    std::string key;
    if (config.model_file) key = cache::resolve(*config.model_file);
    for (const auto& [path, section] : config.model_includes) {
        key += '\n';
        key += cache::resolve(path);
    }
    return key;
}

}  // namespace

std::string KitMemo::identity(const LutConfig& config) {
    std::string key = identity_key(config);
    std::optional<std::vector<FileStamp>> stamps;
    {
        std::lock_guard lock(mutex_);
        stamps = find(identities_, key);
    }
    if (stamps && stamps_hold(*stamps)) return identity_text(*stamps);
    std::vector<FileStamp> fresh = kit_stamps(config);
    std::string text = identity_text(fresh);
    std::lock_guard lock(mutex_);
    keep(identities_, std::move(key), std::move(fresh));
    return text;
}

bool KitMemo::passed(const std::string& key) const {
    std::optional<std::vector<FileStamp>> files;
    {
        std::lock_guard lock(mutex_);
        files = find(passed_, key);
    }
    return files && stamps_hold(*files);
}

void KitMemo::keep_passed(std::string key, std::vector<FileStamp> files) {
    std::lock_guard lock(mutex_);
    keep(passed_, std::move(key), std::move(files));
}

void KitMemo::forget(const LutConfig& config, const std::string& passed_key) {
    const std::string key = identity_key(config);
    std::lock_guard lock(mutex_);
    std::erase_if(identities_, [&](const auto& entry) { return entry.first == key; });
    std::erase_if(passed_, [&](const auto& entry) { return entry.first == passed_key; });
}

std::optional<std::vector<FileStamp>> KitMemo::find(const Entries& entries, const std::string& key) const {
    for (const auto& [k, files] : entries) {
        if (k == key) return files;
    }
    return std::nullopt;
}

void KitMemo::keep(Entries& entries, std::string key, std::vector<FileStamp> files) {
    std::erase_if(entries, [&](const auto& entry) { return entry.first == key; });
    entries.emplace_back(std::move(key), std::move(files));
    while (entries.size() > kEntries) entries.pop_front();
}

}  // namespace morva::lut
