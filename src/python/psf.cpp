#include "python/register.h"

namespace morva::python {

void register_psf(nb::module_& m) { register_ngpsf(m); }

}  // namespace morva::python
