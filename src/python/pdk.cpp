#include "python/register.h"

namespace morva::python {

void register_pdk(nb::module_& /*m*/) {}

}  // namespace morva::python
