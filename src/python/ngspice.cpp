#include "python/register.h"

namespace morva::python {

void register_ngspice(nb::module_& /*m*/) {}

}  // namespace morva::python
