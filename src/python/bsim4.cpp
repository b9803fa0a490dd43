#include "python/register.h"

namespace morva::python {

void register_bsim4(nb::module_& /*m*/) {}

}  // namespace morva::python
