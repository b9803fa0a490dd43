#include "python/gil.h"

#include <atomic>
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

// The main thread's identifier, so that telling threads apart runs no Python
// code: while the interpreter exits, a daemon thread running Python code is
// ended there, unwinding C++ frames that still hold Python objects.
std::atomic<unsigned long> main_thread_ident{0};

// In a child made by fork() the thread that forked is the main one.
void forked_child() { main_thread_ident.store(PyThread_get_thread_ident(), std::memory_order_relaxed); }

[[noreturn]] void wait_for_process_end() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

bool on_main_thread() {
    return PyThread_get_thread_ident() == main_thread_ident.load(std::memory_order_relaxed);
}

bool interpreter_exiting() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

void remember_main_thread() {
    // Read through Python once, at import: the module may be imported on
    // another thread.
    nb::object main = nb::module_::import_("threading").attr("main_thread")();
    main_thread_ident.store(nb::cast<unsigned long>(main.attr("ident")), std::memory_order_relaxed);
    nb::module_::import_("os").attr("register_at_fork")(nb::arg("after_in_child") =
                                                            nb::cpp_function(forked_child));
}

void install_exit_gate() {
    // Registered at import so that it runs after the exit hooks the program
    // registers later (they run last-in, first-out) and may still wait on
    // threads of ours.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(close_exit_gate));
}

LockReleased::LockReleased(bool main_thread) : main_thread_(main_thread) { saved_ = PyEval_SaveThread(); }

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
