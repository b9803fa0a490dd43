"""Characterisation tables as designers use them: ``Lut``.

``Lut`` wraps a compiled ``TransistorLut`` and adds the views of a gm/Id
table (``gm_over_id``, ``intrinsic_gain``, ``id_density``) and the on-disk
cache (``Lut.load(key)``, ``lut.save(key)``). NumPy is imported only when a
view is computed.
"""

import os

from . import morva as _native

__all__ = ["Lut"]

# Below this drain current (A) gm/Id is meaningless (leakage, sign changes).
_ID_FLOOR = 1e-12


def _forward(name):
    native = getattr(_native.TransistorLut, name)
    return property(lambda self: getattr(self._table, name), doc=native.__doc__)


class Lut:
    """A transistor look-up table with gm/Id design helpers.

    Wraps a ``TransistorLut`` (from ``SimulationPool.generate_lut``, the cache
    or ``slice``) and exposes the same axes and grids, plus:

    - ``gm_over_id``: gm/|Id| (1/V), NaN where |Id| < 1e-12 A;
    - ``intrinsic_gain``: gm/gds (V/V);
    - ``id_density``: Id/W (A/m), the current per unit width;
    - ``design(**kw)``: gm/Id sizing (see ``TransistorLut.design``).

    Usage::

        lut = Lut.load(lut_cache_key(cfg)) or Lut(pool.generate_lut(cfg))
        lut.save(lut_cache_key(cfg))
        nmos = lut.slice(length=180e-9)
        plt.plot(nmos.gm_over_id[:, -1], nmos.id_density[:, -1])
    """

    __slots__ = ("_table",)

    def __init__(self, table):
        if isinstance(table, Lut):
            table = table._table
        if not isinstance(table, _native.TransistorLut):
            raise TypeError(f"Lut wraps a TransistorLut, not {type(table).__name__}")
        self._table = table

    @classmethod
    def load(cls, key):
        """The table cached under ``key``, or ``None`` when there is none."""
        table = _native.load_cached_lut(key)
        return None if table is None else cls(table)

    def save(self, key):
        """Store the table in the disk cache under ``key``."""
        _native.save_cached_lut(key, self._table)

    @property
    def table(self):
        """The wrapped ``TransistorLut``."""
        return self._table

    widths = _forward("widths")
    width = _forward("width")
    vbs_values = _forward("vbs_values")
    vbs = _forward("vbs")
    lengths = _forward("lengths")
    vgs = _forward("vgs")
    vds = _forward("vds")
    id = _forward("id")
    gm = _forward("gm")
    gds = _forward("gds")
    cgg = _forward("cgg")
    cgs = _forward("cgs")
    cgd = _forward("cgd")
    cgb = _forward("cgb")
    cbs = _forward("cbs")
    cbd = _forward("cbd")
    gmbs = _forward("gmbs")
    gbd = _forward("gbd")
    gbs = _forward("gbs")
    vth = _forward("vth")
    vdsat = _forward("vdsat")
    von = _forward("von")
    ft = _forward("ft")
    shape = _forward("shape")
    extracted_op_params = _forward("extracted_op_params")

    @property
    def gm_over_id(self):
        """gm/|Id| in 1/V, shaped like ``id``; NaN where |Id| < 1e-12 A."""
        import numpy as np

        magnitude = np.abs(self._table.id)
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = self._table.gm / magnitude
        ratio[magnitude < _ID_FLOOR] = np.nan
        return ratio

    @property
    def intrinsic_gain(self):
        """Intrinsic gain gm/gds in V/V, shaped like ``id`` (inf where gds = 0)."""
        import numpy as np

        with np.errstate(divide="ignore", invalid="ignore"):
            return self._table.gm / self._table.gds

    @property
    def id_density(self):
        """Drain current per unit width Id/W in A/m, shaped like ``id``."""
        import numpy as np

        current = self._table.id
        if current.ndim == 5:
            widths = self._table.widths
            widths = np.array([self._table.width]) if widths is None else widths
            return current / widths.reshape(-1, 1, 1, 1, 1)
        return current / self._table.width

    def slice(self, *, width=None, vbs=None, length=None):
        """The table at the nearest width, Vbs and (optionally) length, as a ``Lut``."""
        return Lut(self._table.slice(width=width, vbs=vbs, length=length))

    def design(self, **kwargs):
        """gm/Id sizing; the keywords of ``TransistorLut.design``, e.g.
        ``lut.design(gm_id=15.0, gain=30.0, ids=100e-6)``."""
        return self._table.design(**kwargs)

    def to_csv(self, path):
        """Write the table as CSV (see ``TransistorLut.to_csv``)."""
        self._table.to_csv(os.fspath(path))

    def __repr__(self):
        return f"Lut({self._table!r})"
