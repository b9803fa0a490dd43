"""morva demo: one short section per tool, run in order by `make demo`.

Each section is a function that prints a few lines; add a new tool's section
to SECTIONS.
"""

import os
import struct
import tempfile

import morva


def behavioural_models():
    """A PDSDM read-out recovers an ETF phase; a SAR search trims an offset."""
    phi_etf = 42.0  # degrees, the phase to measure
    phi_dac_0, phi_dac_1 = phi_etf - 30.0, phi_etf + 30.0
    # 0.1 V pp ETF signal, 1 MHz drive, gm = 100 uS, 10 pF integrator
    run = morva.run_pdsdm(phi_etf, 0.1, 1e6, 1e-4, 1e-11, 10_000, phi_dac_0, phi_dac_1)
    phase = morva.bs_to_phase(run.bitstream_mean(), phi_dac_0, phi_dac_1)
    print(f"  {run!r}")
    print(f"  ETF phase {phi_etf:.1f} deg, recovered from the bitstream mean: {phase:.3f} deg")
    blocks = morva.decimate_bitstream(run.bitstream, 1000)
    spread = [morva.bs_to_phase(m, phi_dac_0, phi_dac_1) for m in blocks]
    print(f"  per 1000-cycle block: {min(spread):.2f} .. {max(spread):.2f} deg")

    over = morva.run_pdsdm_oversampled(phi_etf, 0.1, 1e6, 1e-4, 1e-11, 2_000, phi_dac_0, phi_dac_1,
                                       n_oversample=64)
    over_phase = morva.bs_to_phase(over.bitstream_mean(), phi_dac_0, phi_dac_1)
    print(f"  oversampled demodulator (64 sub-points, 2000 cycles): {over_phase:.3f} deg")

    offset = 3.73e-9  # A, to be cancelled by an 8-bit DAC of 100 pA steps
    trim = morva.run_sar_trim(offset, 1e-10, 8)
    print(f"  {trim!r}: residual {offset + trim.dac_current:.2e} A after {len(trim.history)} trials")


def characterisation_tables():
    """An nmos and a pmos table. Until generation through the pool lands, a
    smooth synthetic long-channel device (and its p-channel mirror) is
    written in the cache's binary layout and loaded back."""
    import numpy as np

    lengths = [1.5e-7, 3e-7, 6e-7, 1.2e-6]
    vgs = np.arange(37) * 0.05
    vds = np.arange(19) * 0.1
    l, g, d = np.meshgrid(lengths, vgs, vds, indexing="ij")
    f = np.log1p(np.exp((g - 0.45) / (2 * 1.3 * 0.025852)))
    current = 2 * 1.3 * 200e-6 * (1e-6 / l) * 0.025852**2 * f * f * (1 - np.exp(-d / 0.025852)) * (1 + 0.2e-6 / l * d)
    gm, gds = np.gradient(current, 0.05, axis=1), np.gradient(current, 0.1, axis=2)

    def cache_file(sign):
        u64 = struct.Struct("<Q").pack
        out = bytearray()
        for axis in ([1e-6], [0.0], lengths, sign * vgs, sign * vds):
            out += u64(len(axis)) + np.asarray(axis, "<f8").tobytes()
        for grid in (sign * current, gm, gds):  # then 12 operating-point grids, not extracted
            out += u64(1) + u64(1) + u64(len(lengths))
            for block in grid:
                out += u64(len(vgs)) + b"".join(u64(len(vds)) + row.astype("<f8").tobytes() for row in block)
        out += (u64(1) + u64(1) + u64(len(lengths)) + u64(0) * len(lengths)) * 12 + u64(0)
        return bytes(out)

    home = os.environ.get("HOME")
    with tempfile.TemporaryDirectory() as tmp:
        os.environ["HOME"] = tmp
        try:
            os.makedirs(os.path.dirname(morva.lut_cache_path("demo")))
            tables = []
            for name, sign in (("nmos", 1.0), ("pmos", -1.0)):
                with open(morva.lut_cache_path(name), "wb") as f:
                    f.write(cache_file(sign))
                tables.append((name, morva.Lut.load(name)))
        finally:
            if home is None:
                del os.environ["HOME"]
            else:
                os.environ["HOME"] = home
    return tables


def gm_id_sizing():
    """Size an nmos and a pmos for gm/Id = 15, an intrinsic gain of 30 and 100 uA."""
    for name, lut in characterisation_tables():
        print(f"  {name} {lut.table!r}")
        r = lut.design(gm_id=15.0, gain=30.0, ids=100e-6)
        print(f"    {r!r}")
        errors = ", ".join(f"{label} {error:+.1%}" for label, error in r.constraint_errors)
        print(f"    W/L = {r.w * 1e6:.2f} um / {r.l * 1e9:.0f} nm, gm = {r.gm * 1e3:.2f} mS; errors: {errors}")


SECTIONS = [
    ("Behavioural models (PDSDM, SAR trim)", behavioural_models),
    ("gm/Id sizing", gm_id_sizing),
]


def main():
    for i, (title, section) in enumerate(SECTIONS):
        print(f"{chr(10) if i else ''}== {title}")
        section()


# -- simulation pool --


def simulation_pool_batch():
    """An RC low-pass swept over 200 resistor values in one batch on every core."""
    import math
    import sys
    import time

    c = 1e-9
    resistors = [1e3 * 10 ** (i / 100) for i in range(200)]  # 1k .. 98k, log-spaced
    jobs = [
        (
            f"rc low-pass\nV1 in 0 AC 1\nR1 in out {r:.6g}\nC1 out 0 {c}\n.ac dec 100 10 100meg\n"
            ".meas ac f3db WHEN vdb(out)=-3.0103\n.end\n",
            ["run"],
        )
        for r in resistors
    ]
    with morva.SimulationPool() as pool:
        pool.run_simulations_batch(jobs[:8])  # start-up of the worker processes
        start = time.perf_counter()
        results = pool.run_simulations_batch(jobs)
        elapsed = time.perf_counter() - start
        print(f"  {pool!r}: {len(jobs)} AC sweeps in {elapsed * 1e3:.0f} ms = {len(jobs) / elapsed:.0f} jobs/s")
        print(f"  {'R (ohm)':>10} {'f-3dB (Hz)':>12} {'1/(2 pi R C)':>14}")
        for r, result in list(zip(resistors, results))[::40]:
            print(f"  {r:10.0f} {result.measures['f3db']:12.1f} {1 / (2 * math.pi * r * c):14.1f}")
        sys.stdout.flush()  # before the workers' closing lines on stderr


SECTIONS.insert(0, ("Simulation pool: RC low-pass over 200 resistor values", simulation_pool_batch))

if __name__ == "__main__":
    main()
