// The model files a characterisation reads, checked before any work: a file
// that cannot be read or a section it lacks is the user's to mend, and would
// otherwise surface late, through ngspice and its retries, as a failed
// simulation.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/io.h"
#include "common/result.h"
#include "lut/config.h"
#include "ngspice/error.h"
#include "spice/model_parser.h"

namespace morva::lut {

struct ModelFileProblem {
    std::string message;
    // Set when the file cannot be opened for reading: its errno and path.
    std::optional<IoError> io;

    NgspiceError error() const;
};

// The model file's text (of `model_section`, else whole) as a generation
// reads it once, or why the reader could not follow it.
using KitTextReading = Result<spice::model_parser::KitText, bsim4::Bsim4Error>;

// The first problem of `model_file` (with `model_section`), then of each of
// `model_includes` in order: a file the system refuses to open for reading
// (missing, a directory, no permission), a section that it does not hold,
// looked for as ngspice looks for it, or includes and redirects that ngspice
// would follow without end (a file or section reached again through them,
// named in the message). Other troubles (a file that is not a
// regular one, a path holding a NUL) are left to the checks that already
// name them. `model_file`, which the generation reads anyway, is read into
// `text` on the way, and, when given, the text of each include into
// `includes` (nothing where it could not be read).
std::optional<ModelFileProblem> model_file_problem(
    const LutConfig& config, std::optional<KitTextReading>& text,
    std::vector<std::optional<spice::model_parser::KitText>>* includes = nullptr);

}  // namespace morva::lut
