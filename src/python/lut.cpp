#include "python/register.h"

namespace morva::python {

void register_lut(nb::module_& /*m*/) {}

}  // namespace morva::python
