#include "lut/model_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include "common/format.h"
#include "common/text.h"
#include "spice/model_parser.h"

namespace morva::lut {
namespace {

ModelFileProblem unreadable(IoError io, const std::string& path) {
    io.path = path;
    io.message = fmt::cat("reading model file ", utf8_lossy(path), ": ", io.text());
    std::string message = io.message;
    return ModelFileProblem{std::move(message), std::move(io)};
}

// Opened and closed only: the generators read the file themselves.
std::optional<IoError> open_problem(const std::string& path) {
    if (path_has_nul(path)) return std::nullopt;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return IoError::from_errno(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return IoError::from_errno(errno);
    if (S_ISDIR(st.st_mode)) return IoError::from_errno(EISDIR);
    return std::nullopt;
}

// The kit at `path` (of `section`, when given) read into `text`, or why it
// cannot serve: a file that cannot be opened, a kit that ngspice would follow
// without end, a section it does not hold, looked for in the text read; other
// failures are left to the checks that name them.
std::optional<ModelFileProblem> read_problem(const std::string& path, std::optional<std::string_view> section,
                                             std::optional<KitTextReading>& text) {
    text.emplace(spice::model_parser::read_kit_text(path, section));
    if (!*text) {
        const bsim4::Bsim4Error& e = text->error();
        if (e.kind == bsim4::Bsim4Error::Kind::Io && e.io.os_code != 0) return unreadable(e.io, path);
        if (auto cycle = spice::model_parser::kit_cycle_of(e))
            return ModelFileProblem{std::move(*cycle), std::nullopt};
        return std::nullopt;
    }
    if (section && !(*text)->section_found)
        return ModelFileProblem{spice::model_parser::section_not_found(*section, path), std::nullopt};
    return std::nullopt;
}

}  // namespace

NgspiceError ModelFileProblem::error() const {
    return io ? NgspiceError::refused(*io) : NgspiceError::refused(message);
}

std::optional<ModelFileProblem> model_file_problem(
    const LutConfig& config, std::optional<KitTextReading>& text,
    std::vector<std::optional<spice::model_parser::KitText>>* includes) {
    if (config.model_file) {
        const std::string& path = *config.model_file;
        if (auto io = open_problem(path)) return unreadable(std::move(*io), path);
        if (auto problem = read_problem(path, config.model_section, text)) return problem;
    }
    for (const auto& [path, section] : config.model_includes) {
        std::optional<KitTextReading> read;
        if (auto problem = read_problem(path, section, read)) return problem;
        if (!includes) continue;
        std::optional<spice::model_parser::KitText>& kept = includes->emplace_back();
        if (*read) kept.emplace(std::move(**read));
    }
    return std::nullopt;
}

}  // namespace morva::lut
