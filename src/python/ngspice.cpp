#include "ngspice/worker.h"
#include "python/errors.h"
#include "python/register.h"

namespace morva::python {

void register_ngspice(nb::module_& m) {
    m.def(
        "_run_worker",
        []() {
            Result<void, NgspiceError> result = [] {
                nb::gil_scoped_release release;
                return ngspice::run_worker();
            }();
            if (!result) throw_py_err(Error(std::move(result).error()));
        },
        nb::sig("def _run_worker() -> None"),
        "_run_worker()\n--\n\n"
        "Runs the ngspice worker loop on this process's standard input and output until\n"
        "standard input ends.\n\n"
        "Internal: called by the ``ngspice-worker`` console script that the simulation\n"
        "pool starts; not meant for user code.");
}

}  // namespace morva::python
