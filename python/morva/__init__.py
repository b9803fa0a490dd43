"""morva: ngspice worker pool, transistor characterisation and analog design tools.

The compiled names live in ``morva.morva`` and are re-exported here. Importing
this package does not import NumPy.
"""

from . import morva as _native

# Every public name of the compiled module, in its registration order.
_NATIVE_NAMES = [name for name in vars(_native) if not name.startswith("__")]
globals().update({name: getattr(_native, name) for name in _NATIVE_NAMES})

__all__ = [name for name in _NATIVE_NAMES if not name.startswith("_")]

# The Python layer (each import below must stay free of NumPy at import time).

# -- simulation pool --
from .pool import SimulationPool  # noqa: E402

__all__.append("SimulationPool")

# -- characterisation tables --
from .lut import Lut  # noqa: E402

__all__.append("Lut")
