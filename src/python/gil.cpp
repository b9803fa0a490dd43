#include "python/gil.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace morva::python {
namespace {

// Threads of this module taking the interpreter lock back after native work.
// At exit (atexit runs before the interpreter starts finalising) no new one
// may start, and the ones under way finish first: a thread that got the lock
// only once finalising had begun would be ended by unwinding C++ frames.
struct ExitGate {
    std::mutex mutex;
    std::condition_variable idle;
    bool closed = false;
    int reacquiring = 0;
};

ExitGate& exit_gate() {
    static ExitGate* gate = new ExitGate();  // outlives every thread
    return *gate;
}

void close_exit_gate() {
    ExitGate& gate = exit_gate();
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.closed = true;
    if (gate.reacquiring == 0) return;
    // The threads under way need the interpreter lock to finish.
    PyThreadState* saved = PyEval_SaveThread();
    gate.idle.wait(lock, [&] { return gate.reacquiring == 0; });
    lock.unlock();
    PyEval_RestoreThread(saved);
}

[[noreturn]] void wait_for_process_end() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

bool on_main_thread() {
    nb::module_ threading = nb::module_::import_("threading");
    return threading.attr("main_thread")().attr("ident").equal(threading.attr("get_ident")());
}

bool interpreter_exiting() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

void install_exit_gate() {
    // Registered at import so that it runs after the exit hooks the program
    // registers later (they run last-in, first-out) and may still wait on
    // threads of ours.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(close_exit_gate));
}

LockReleased::LockReleased(bool main_thread) : main_thread_(main_thread) {
    saved_ = PyEval_SaveThread();
}

LockReleased::~LockReleased() {
    if (main_thread_) {
        PyEval_RestoreThread(saved_);
        return;
    }
    ExitGate& gate = exit_gate();
    bool exiting;
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        exiting = gate.closed || interpreter_exiting();
        if (!exiting) ++gate.reacquiring;
    }
    if (exiting) wait_for_process_end();  // not holding the gate's mutex
    PyEval_RestoreThread(saved_);
    std::lock_guard<std::mutex> lock(gate.mutex);
    if (--gate.reacquiring == 0) gate.idle.notify_all();
}

bool interrupted() {
    nb::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

}  // namespace morva::python
