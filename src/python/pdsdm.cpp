#include "python/register.h"

namespace morva::python {

void register_pdsdm(nb::module_& /*m*/) {}

}  // namespace morva::python
