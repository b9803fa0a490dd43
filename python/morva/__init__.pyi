from .lut import Lut as Lut
from .morva import *
from .pool import SimulationPool as SimulationPool
