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

// A file that cannot be opened, or a kit that ngspice would follow without
// end; other failures are left to the checks that name them.
std::optional<ModelFileProblem> reading_problem(const bsim4::Bsim4Error& e, const std::string& path) {
    if (e.kind == bsim4::Bsim4Error::Kind::Io && e.io.os_code != 0) return unreadable(e.io, path);
    if (auto cycle = spice::model_parser::kit_cycle_of(e))
        return ModelFileProblem{std::move(*cycle), std::nullopt};
    return std::nullopt;
}

// A section looked for in an include, or (with `text`) the section read.
std::optional<ModelFileProblem> library_problem(const std::string& path, const std::string& section,
                                                std::optional<spice::model_parser::KitText>* text) {
    if (text) {
        auto read = spice::model_parser::read_kit_text(path, section);
        if (!read) return reading_problem(read.error(), path);
        if (!read->section_found)
            return ModelFileProblem{spice::model_parser::section_not_found(section, path), std::nullopt};
        text->emplace(std::move(*read));
        return std::nullopt;
    }
    auto found = spice::model_parser::has_section(path, std::string_view(section));
    if (!found) return reading_problem(found.error(), path);
    if (!*found) return ModelFileProblem{spice::model_parser::section_not_found(section, path), std::nullopt};
    return std::nullopt;
}

// The model file read whole, its section looked for in the text read.
std::optional<ModelFileProblem> model_file_text_problem(const std::string& path,
                                                        const std::optional<std::string>& section,
                                                        std::optional<KitTextReading>& text) {
    if (auto io = open_problem(path)) return unreadable(std::move(*io), path);
    text.emplace(spice::model_parser::read_kit_text(path, section));
    if (!*text) return reading_problem(text->error(), path);
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
        if (auto problem = model_file_text_problem(*config.model_file, config.model_section, text))
            return problem;
    }
    for (const auto& [path, section] : config.model_includes) {
        std::optional<spice::model_parser::KitText>* read = nullptr;
        if (includes) read = &includes->emplace_back();
        if (auto problem = library_problem(path, section, read)) return problem;
    }
    return std::nullopt;
}

}  // namespace morva::lut
