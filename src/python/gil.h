// Releasing the interpreter lock around native work, safely at interpreter
// exit, and checking for Ctrl-C meanwhile.
#pragma once

#include <nanobind/nanobind.h>

namespace morva::python {

namespace nb = nanobind;

// Whether the calling thread is the one that runs Python's signal handlers
// (Ctrl-C). Runs no Python code.
bool on_main_thread();
// Records which thread that is; called once, at import.
void remember_main_thread();

bool interpreter_exiting();

// The interpreter lock released for a wait or a computation. While the
// interpreter exits, Python ends a daemon thread that takes the lock back by
// unwinding its stack, which C++ frames cannot survive: such a thread waits
// for the process to end instead, and an exit hook lets the threads already
// taking the lock back finish before finalising starts. (The main thread
// exits the interpreter itself, so it always takes the lock back.) Use this
// instead of nb::gil_scoped_release in every binding.
// Registers the exit hook LockReleased relies on; called once, at import.
void install_exit_gate();

class LockReleased {
public:
    LockReleased() : LockReleased(on_main_thread()) {}
    explicit LockReleased(bool main_thread);
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased();

private:
    bool main_thread_;
    PyThreadState* saved_ = nullptr;
};

// Whether a signal handler (Ctrl-C) asks the caller to stop; called with the
// interpreter lock released, it takes the lock for the check. The exception
// stays pending for the caller to raise.
bool interrupted();

}  // namespace morva::python
