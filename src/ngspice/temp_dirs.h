// Private temporary directories of worker processes. The pool makes one for
// each worker it starts and names it in the worker's environment; the worker
// loads each netlist through a directory of its own inside it. Whoever ends
// the worker last removes the whole tree: the worker at the end of its input,
// the pool after reaping one it killed (a killed worker cannot clean up).
#pragma once

#include <string>
#include <string_view>

#include "common/io.h"
#include "common/result.h"

namespace morva::ngspice {

// The environment variable that names a worker's directory.
inline constexpr char kWorkerTempDirVar[] = "MORVA_WORKER_TMPDIR";

// $TMPDIR when set and not empty, else /tmp.
std::string system_temp_dir();

// A new directory "morva-XXXXXX" under `base` that only this user can enter.
Result<std::string, IoError> make_private_dir(std::string_view base);

// Removes `path` and everything under it, best effort. Symbolic links are
// removed, never followed: a link to a kit's directory leaves the kit alone.
// Goes at most a few levels deep, which is all a worker makes.
void remove_tree(const std::string& path);

}  // namespace morva::ngspice
