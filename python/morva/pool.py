"""The simulation pool as designers use it: ``SimulationPool``.

``SimulationPool`` wraps the compiled ``_SimulationPool`` (a final class, so
it is wrapped rather than subclassed), adds ``close()`` and context-manager
support, ends its worker processes at interpreter exit, and makes worker
discovery work wherever this package is imported from: the compiled pool
looks for an ``ngspice-worker`` program, and in a virtual environment or a
build tree the running interpreter is the only reliable way to find one.
"""

from __future__ import annotations

import os
import re
import sys
import warnings
import weakref
from typing import TYPE_CHECKING, Iterator, Literal, Sequence

from . import morva as _native

if TYPE_CHECKING:
    from .lut import Lut
    from .morva import LutConfig, SimulationResult

__all__ = ["SimulationPool"]


def _default_worker_exe() -> str | None:
    """The worker program to pass to the compiled pool, or None to let it search.

    The ``ngspice-worker`` script beside this interpreter (a venv's ``bin``)
    is used when it exists; otherwise the compiled pool is told to start this
    interpreter with ``-c "import morva._main; ..."`` (its own last resort
    would start the host executable with ``--worker``, which a Python
    interpreter cannot serve). An explicit ``NGSPICE_WORKER_BIN`` or
    ``NGSPICE_WORKER_PYTHON`` is left to take effect.
    """
    if os.path.exists(os.environ.get("NGSPICE_WORKER_BIN", "")):
        return None
    if sys.executable:
        script = os.path.join(os.path.dirname(sys.executable), "ngspice-worker")
        if os.path.exists(script):
            return script
        os.environ.setdefault("NGSPICE_WORKER_PYTHON", sys.executable)
    return None


class SimulationPool:
    """A pool of ngspice worker processes that runs netlists in parallel.

    Each worker is a separate process with its own ngspice instance; jobs
    are spread over the workers and every call blocks until its own results
    are in (other Python threads keep running). Workers that crash or time
    out are replaced, and whatever a netlist started (``shell`` commands)
    ends with its worker. A worker that cannot start (no libngspice) gives
    its reason in the job's error; one that keeps failing to start is given
    up, and calls then raise "worker pool exhausted: " with that reason.

    Arguments: ``workers`` (default: the number of available cores),
    ``timeout_secs`` for one simulation (default 120), ``worker_exe`` (the
    worker program; found automatically when omitted) and
    ``max_sims_per_worker`` (restart a worker after that many simulations to
    give back ngspice's memory; default never).

    Usage::

        with SimulationPool(workers=4) as pool:
            result = pool.run_simulation(netlist, ["run"])
            results = pool.run_simulations_batch([(n, ["run"]) for n in netlists])

    ``close()`` (or leaving the ``with`` block, or interpreter exit) ends the
    worker processes.
    """

    __slots__ = ("_holder", "_finalizer", "__weakref__")

    def __init__(self, workers: int | None = None, timeout_secs: float = 120.0, worker_exe: str | None = None,
                 max_sims_per_worker: int | None = None) -> None:
        if worker_exe is None:
            worker_exe = _default_worker_exe()
        pool = _native._SimulationPool(
            workers=workers,
            timeout_secs=timeout_secs,
            worker_exe=worker_exe,
            max_sims_per_worker=max_sims_per_worker,
        )
        # The compiled pool lives only in this list, so that clearing it (on
        # close, collection or interpreter exit) releases the workers.
        self._holder = [pool]
        self._finalizer = weakref.finalize(self, self._holder.clear)

    def _pool(self) -> _native._SimulationPool:
        if not self._holder:
            raise RuntimeError("SimulationPool is closed")
        return self._holder[0]

    def run_simulation(self, netlist: str, commands: Sequence[str], id: str | None = None) -> SimulationResult:
        """Run one simulation and return its ``SimulationResult``.

        ``netlist`` is a full SPICE netlist ending with ``.end``; ``commands``
        are ngspice commands such as ``["run"]``; ``id`` is an optional
        correlation ID (``py-{n}`` when omitted). A netlist that ngspice
        rejects gives a result with ``success`` False; a time-out or a crashed
        worker raises RuntimeError, a reply too large for memory MemoryError.
        """
        return self._pool().run_simulation(netlist, commands, id)

    def run_simulations_batch(self, jobs: Sequence[tuple[str, Sequence[str]]]) -> list[SimulationResult]:
        """Run many ``(netlist, commands)`` jobs on all workers at once.

        Returns the ``SimulationResult`` list in input order. If jobs fail in
        the pool, the first failure in input order is raised after every job
        has run.
        """
        return self._pool().run_simulations_batch(jobs)

    # -- characterisation --

    def generate_lut(self, config: LutConfig, n_chunks: int | None = None, *, cache: bool = True) -> Lut:
        """Characterise a transistor and return its table as a ``Lut``.

        ``config`` is a ``LutConfig``; ``n_chunks`` splits each task's Vgs
        sweep (default: one chunk per started 100 points). With ``cache``
        (the default) a table cached under the configuration's key is
        returned without simulating, and a new table is saved there (a damaged
        cache file or a cache that cannot be written gives a RuntimeWarning,
        never the loss of the table). A cached table that does not answer the
        configuration (a file copied or restored from another one: other axes,
        operating-point parameters not requested or, on the native path,
        requested and missing) is characterised afresh and replaced, with one
        RuntimeWarning naming why. The currents are not judged: the key
        alone tells the device type.
        A table is returned, and saved, only when ngspice answered every
        request: a worker that crashes or is killed has its request run again
        on a fresh one (three times at most), and a request that still fails
        or times out raises RuntimeError.
        Progress and a timing breakdown go to standard output.
        """
        from .lut import Lut

        # No local name for the compiled pool: a failed call's traceback
        # (kept by a notebook as sys.last_traceback) would hold it, and its
        # workers, past close().
        self._pool()
        key = _native.lut_cache_key(config) if cache else None
        cached: Lut | None = None
        # The key names model files, not their contents: a table cached before
        # a model file last changed describes the old model.
        if key is not None and not _models_changed_since(config, _native.lut_cache_path(key)):
            try:
                cached = Lut.load(key)
            except (RuntimeError, OSError) as e:
                # A damaged or unreadable cache entry is characterised afresh
                # (and replaced where it can be).
                warnings.warn(f"{e}; regenerating {_native.lut_cache_path(key)}", RuntimeWarning, stacklevel=2)
            if cached is not None:
                # The file is found by its name alone: one copied or restored
                # from another configuration must not be taken for this one.
                mismatch = cached.table._cache_mismatch(config)
                if mismatch is None:
                    return cached
                warnings.warn(f"{_native.lut_cache_path(key)} holds a table of another configuration "
                              f"({mismatch}); regenerating", RuntimeWarning, stacklevel=2)
        # The generator writes to the process's standard output directly:
        # what Python has buffered goes first.
        if sys.stdout is not None:
            sys.stdout.flush()
        lut = Lut(self._pool().generate_lut(config, n_chunks))
        if key is not None:
            try:
                lut.save(key)
            except (OSError, RuntimeError) as e:
                # The table cost minutes of simulation: a cache that cannot
                # take it must not lose it.
                warnings.warn(f"table not saved to the LUT cache: {e}", RuntimeWarning, stacklevel=2)
        return lut

    # -- end of characterisation --

    def close(self) -> None:
        """End the worker processes. Calls in progress finish first; later calls raise."""
        self._finalizer()

    @property
    def closed(self) -> bool:
        return not self._holder

    def __enter__(self) -> SimulationPool:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def __repr__(self) -> str:
        return repr(self._holder[0]) if self._holder else "SimulationPool(closed)"


# `.include path`, `.inc path`, `.lib path section`; a `.lib` line with one
# word opens a section instead.
_INCLUDE_LINE = re.compile(rb"^[ \t]*\.(inc(?:lude)?|lib)[ \t]+([^\r\n]*)", re.MULTILINE | re.IGNORECASE)
_MAX_MODEL_FILES = 10000


def _included_names(text: bytes) -> Iterator[str]:
    for m in _INCLUDE_LINE.finditer(text):
        rest = m.group(2).strip()
        if rest[:1] in (b'"', b"'"):
            end = rest.find(rest[:1], 1)
            name, after = (rest[1:end], rest[end + 1:]) if end > 0 else (rest[1:], b"")
        else:
            # Blanks or tabs separate a .lib path from its section.
            words = rest.split(None, 1) + [b"", b""]
            name, after = words[0], words[1]
        if not name or (m.group(1).lower() == b"lib" and not after.split()):
            continue
        yield os.fsdecode(name)


def _model_files(config: LutConfig) -> Iterator[str]:
    """The model files of ``config`` and every file they include, once each."""
    pending = [config.model_file] if config.model_file else []
    pending += [path for path, _section in config.model_includes]
    seen: set[str] = set()
    while pending and len(seen) < _MAX_MODEL_FILES:
        path = os.path.abspath(os.path.expanduser(pending.pop()))
        if path in seen:
            continue
        seen.add(path)
        yield path
        try:
            if not os.path.isfile(path):
                continue
            with open(path, "rb") as f:
                text = f.read()
        except OSError:
            continue  # the generator reports what it cannot read
        folder = os.path.dirname(path)
        for name in _included_names(text):
            name = os.path.expanduser(name)
            # ngspice looks beside the including file and in the working folder.
            pending.append(os.path.join(folder, name))
            if not os.path.isabs(name):
                pending.append(name)


def _models_changed_since(config: LutConfig, cache_path: str) -> bool:
    """Whether a model file of ``config``, or a file it includes, changed after
    ``cache_path`` was written."""
    try:
        cached_at = os.stat(cache_path).st_mtime_ns
    except OSError:
        return False
    for path in _model_files(config):
        try:
            if os.stat(path).st_mtime_ns > cached_at:
                return True
        except OSError:
            pass  # a missing file is the generator's to report
    return False
