#include "python/gil.h"

#include <chrono>
#include <thread>

namespace morva::python {

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

LockReleased::~LockReleased() {
    if (!main_thread_ && interpreter_exiting()) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    PyEval_RestoreThread(saved_);
}

bool interrupted() {
    nb::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

}  // namespace morva::python
