#include "python/register.h"

namespace morva::python {

void register_results(nb::module_& /*m*/) {}

}  // namespace morva::python
