#include "python/register.h"

namespace morva::python {

void register_ngpsf(nb::module_& /*m*/) {}

}  // namespace morva::python
