// Private temporary directories of worker processes. The pool makes one for
// each worker it starts and names it in the worker's environment; the worker
// loads each netlist through a directory of its own inside it. Both remove
// the whole tree: the worker when it ends on its own or finds its host gone
// (end of input, a broken pipe, re-parented, a signal to end), the pool
// after reaping one it killed (a worker killed by SIGKILL cannot clean up).
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

// Takes `path` as this process's own directory, to be removed by
// `remove_own_dir`: true only for a directory (not a link to one) named
// "morva-XXXXXX", owned by this user and closed to everyone else. The name
// is held by a descriptor of the directory holding it, so that a change of
// working directory does not redirect it. Called once, before any signal
// handler that removes it is installed.
bool claim_own_dir(std::string_view path);

// Removes the claimed directory, once: only if its name still leads to the
// very directory claimed, emptied without following a link, leaving
// anything on another file system alone, at most a few levels deep. Makes
// no call a signal handler may not make (no allocation, no stdio, no
// locks), so that a worker ending on a signal can clean up.
void remove_own_dir();

}  // namespace morva::ngspice
