"""Characterisation tables as designers use them: ``Lut``.

``Lut`` wraps a compiled ``TransistorLut`` and adds the views of a gm/Id
table (``gm_over_id``, ``intrinsic_gain``, ``id_density``) and the on-disk
cache (``Lut.load(key)``, ``lut.save(key)``). NumPy is imported only when a
view is computed.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from . import morva as _native

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

    from .morva import DesignResult, TransistorLut

    _Floats = NDArray[numpy.float64]

__all__ = ["Lut"]

# Below this drain current (A) gm/Id is meaningless (leakage, sign changes).
_ID_FLOOR = 1e-12


def _forward(name: str) -> property:
    native = getattr(_native.TransistorLut, name)
    return property(lambda self: getattr(self._table, name), doc=native.__doc__)


def _shared(name: str) -> property:
    """A property converted once, on first access, and kept: each access of
    ``TransistorLut.<name>`` copies the whole grid, which made ``lut.id[i, j]``
    cost as much as the table is large. Arrays come back read-only."""
    native = getattr(_native.TransistorLut, name)

    def get(self: Lut) -> Any:
        try:
            return self._arrays[name]
        except KeyError:
            pass
        value = getattr(self._table, name)
        if value is not None:
            value.flags.writeable = False
        self._arrays[name] = value
        return value

    doc = (native.__doc__ or "").rstrip()
    return property(get, doc=doc + "\n\nConverted once and shared: the array is read-only "
                                   f"(``numpy.array(lut.{name})`` gives a copy to change).")


class Lut:
    """A transistor look-up table with gm/Id design helpers.

    Wraps a ``TransistorLut`` (from ``SimulationPool.generate_lut``, the cache
    or ``slice``) and exposes the same axes and grids, plus:

    - ``gm_over_id``: gm/|Id| (1/V), NaN where |Id| < 1e-12 A;
    - ``intrinsic_gain``: gm/gds (V/V);
    - ``id_density``: Id/W (A/m), the current per unit width;
    - ``design(**kw)``: gm/Id sizing (see ``TransistorLut.design``).

    Axes and grids are converted on first access and shared afterwards, so
    ``lut.id[i, j]`` costs no more than indexing; they are read-only arrays.

    Usage::

        lut = Lut.load(lut_cache_key(cfg)) or Lut(pool.generate_lut(cfg))
        lut.save(lut_cache_key(cfg))
        nmos = lut.slice(length=180e-9)
        plt.plot(nmos.gm_over_id[:, -1], nmos.id_density[:, -1])
    """

    __slots__ = ("_table", "_arrays")
    _table: TransistorLut
    _arrays: dict[str, Any]

    def __init__(self, table: TransistorLut | Lut) -> None:
        if isinstance(table, Lut):
            table = table._table
        if not isinstance(table, _native.TransistorLut):
            raise TypeError(f"Lut wraps a TransistorLut, not {type(table).__name__}")
        self._table = table
        self._arrays = {}

    @classmethod
    def load(cls, key: str) -> Lut | None:
        """The table cached under ``key``, or ``None`` when there is none."""
        table = _native.load_cached_lut(key)
        return None if table is None else cls(table)

    def save(self, key: str) -> None:
        """Store the table in the disk cache under ``key``."""
        _native.save_cached_lut(key, self._table)

    @property
    def table(self) -> TransistorLut:
        """The wrapped ``TransistorLut``."""
        return self._table

    if TYPE_CHECKING:
        # What the properties made below give, for type checkers.
        @property
        def widths(self) -> _Floats | None: ...
        @property
        def width(self) -> float: ...
        @property
        def vbs_values(self) -> _Floats | None: ...
        @property
        def vbs(self) -> float: ...
        @property
        def lengths(self) -> _Floats | None: ...
        @property
        def vgs(self) -> _Floats: ...
        @property
        def vds(self) -> _Floats: ...
        @property
        def id(self) -> _Floats: ...
        @property
        def gm(self) -> _Floats: ...
        @property
        def gds(self) -> _Floats: ...
        @property
        def cgg(self) -> _Floats: ...
        @property
        def cgs(self) -> _Floats: ...
        @property
        def cgd(self) -> _Floats: ...
        @property
        def cgb(self) -> _Floats: ...
        @property
        def cbs(self) -> _Floats: ...
        @property
        def cbd(self) -> _Floats: ...
        @property
        def gmbs(self) -> _Floats: ...
        @property
        def gbd(self) -> _Floats: ...
        @property
        def gbs(self) -> _Floats: ...
        @property
        def vth(self) -> _Floats: ...
        @property
        def vdsat(self) -> _Floats: ...
        @property
        def von(self) -> _Floats: ...
        @property
        def ft(self) -> _Floats: ...
        @property
        def shape(self) -> tuple[int, int, int, int, int]: ...
        @property
        def extracted_op_params(self) -> list[str]: ...
    else:
        widths = _shared("widths")
        width = _forward("width")
        vbs_values = _shared("vbs_values")
        vbs = _forward("vbs")
        lengths = _shared("lengths")
        vgs = _shared("vgs")
        vds = _shared("vds")
        id = _shared("id")
        gm = _shared("gm")
        gds = _shared("gds")
        cgg = _shared("cgg")
        cgs = _shared("cgs")
        cgd = _shared("cgd")
        cgb = _shared("cgb")
        cbs = _shared("cbs")
        cbd = _shared("cbd")
        gmbs = _shared("gmbs")
        gbd = _shared("gbd")
        gbs = _shared("gbs")
        vth = _shared("vth")
        vdsat = _shared("vdsat")
        von = _shared("von")
        ft = _shared("ft")
        shape = _forward("shape")
        extracted_op_params = _forward("extracted_op_params")

    @property
    def gm_over_id(self) -> _Floats:
        """gm/|Id| in 1/V, shaped like ``id``; NaN where |Id| < 1e-12 A."""
        import numpy as np

        magnitude = np.abs(self.id)
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = self.gm / magnitude
        ratio[magnitude < _ID_FLOOR] = np.nan
        return ratio

    @property
    def intrinsic_gain(self) -> _Floats:
        """Intrinsic gain gm/gds in V/V, shaped like ``id`` (inf where gds = 0)."""
        import numpy as np

        with np.errstate(divide="ignore", invalid="ignore"):
            return self.gm / self.gds

    @property
    def id_density(self) -> _Floats:
        """Drain current per unit width Id/W in A/m, shaped like ``id``."""
        import numpy as np

        current = self.id
        if current.ndim == 5:
            widths = self.widths
            widths = np.array([self._table.width]) if widths is None else widths
            return current / widths.reshape(-1, 1, 1, 1, 1)
        return current / self._table.width

    def slice(self, *, width: float | None = None, vbs: float | None = None, length: float | None = None) -> Lut:
        """The table at the nearest width, Vbs and (optionally) length, as a ``Lut``."""
        return Lut(self._table.slice(width=width, vbs=vbs, length=length))

    def design(self, **kwargs: Any) -> DesignResult:
        """gm/Id sizing; the keywords of ``TransistorLut.design``, e.g.
        ``lut.design(gm_id=15.0, gain=30.0, ids=100e-6)``."""
        return self._table.design(**kwargs)

    def to_csv(self, path: str | os.PathLike[str]) -> None:
        """Write the table as CSV (see ``TransistorLut.to_csv``)."""
        self._table.to_csv(os.fspath(path))

    def __repr__(self) -> str:
        return f"Lut({self._table!r})"
