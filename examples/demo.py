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


# -- characterisation --

DEMO_CARD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bsim4_180nm.lib")
_tables: list = []  # (device name, table) pairs


def characterisation_tables():
    """An nmos and a pmos of the example BSIM4 card (examples/bsim4_180nm.lib),
    characterised through the worker pool once and kept for later sections."""
    if _tables:
        return _tables
    import sys

    common = dict(
        model_file=DEMO_CARD,
        widths_values=[1e-6],
        lengths_values=[1.8e-7, 2.5e-7, 3.5e-7, 5e-7, 1e-6, 2e-6],
        op_params=["cgg", "cgs", "cgd", "gmbs", "vth", "vdsat"],
    )
    with morva.SimulationPool() as pool:
        for name, sign in (("nmos", 1.0), ("pmos", -1.0)):
            cfg = morva.LutConfig(
                device_type=name,
                model_name="nch" if sign > 0 else "pch",
                vgs=(0.0, sign * 1.8, sign * 0.025),
                vds=(0.0, sign * 1.8, sign * 0.05),
                vbs_values=[0.0, -sign * 0.4],
                **common,
            )
            print(f"  {name}: {DEMO_CARD}")
            _tables.append((name, pool.generate_lut(cfg, cache=False)))
            sys.stdout.flush()
    return _tables


def characterisation():
    """Characterise an nmos and a pmos, write the nmos table as CSV and show
    gm/Id, intrinsic gain and current density at a few gate voltages."""
    tables = characterisation_tables()
    for name, lut in tables:
        print(f"  {name}: {lut!r}, extracted {', '.join(lut.extracted_op_params)}")
    name, nmos = tables[0]
    csv = os.path.join(tempfile.gettempdir(), "morva_demo_nmos.csv")
    nmos.to_csv(csv)
    print(f"  {name} table written to {csv} ({os.path.getsize(csv) / 1e6:.1f} MB)")

    for name, lut in tables:
        vds_mid = lut.vds[len(lut.vds) // 2]
        print(f"  {name}, W = 1 um, Vbs = 0, Vds = {vds_mid:+.2f} V:")
        print(f"    {'L (um)':>7} {'Vgs (V)':>8} {'Id/W (A/m)':>11} {'gm/Id (1/V)':>12} {'gm/gds':>7} {'ft (GHz)':>9}")
        for length in (1.8e-7, 5e-7, 2e-6):
            dev = lut.slice(vbs=0.0, length=length)  # left out, Vbs is the sorted axis' first (-0.4 V)
            d = len(dev.vds) // 2
            gm_id, gain, density, ft = dev.gm_over_id, dev.intrinsic_gain, dev.id_density, dev.ft
            for vgs in (0.4, 0.6, 0.9, 1.2):
                g = min(range(len(dev.vgs)), key=lambda i: abs(abs(dev.vgs[i]) - vgs))
                print(f"    {length * 1e6:7.2f} {dev.vgs[g]:+8.2f} {density[g, d]:11.3e} {gm_id[g, d]:12.2f}"
                      f" {gain[g, d]:7.1f} {ft[g, d] / 1e9:9.2f}")


def gm_id_sizing():
    """Size an nmos and a pmos for gm/Id = 15, an intrinsic gain of 30 and 100 uA."""
    for name, lut in characterisation_tables():
        print(f"  {name} {lut.table!r}, at Vbs = 0")
        r = lut.design(gm_id=15.0, gain=30.0, ids=100e-6, vbs=0.0)
        print(f"    {r!r}")
        errors = ", ".join(f"{label} {error:+.1%}" for label, error in r.constraint_errors)
        print(f"    W/L = {r.w * 1e6:.2f} um / {r.l * 1e9:.0f} nm, gm = {r.gm * 1e3:.2f} mS; errors: {errors}")


def waveforms_in_the_browser():
    """Two PSFXL records as a standalone page of stacked strip charts."""
    import math

    def frame(values):  # a Blosc1 frame that stores its float64 values as they are
        raw = struct.pack(f"<{len(values)}d", *values)
        return struct.pack("<4B3I", 2, 1, 2, 8, len(raw), len(raw), len(raw) + 16) + raw

    t = [i * 1e-6 for i in range(1000)]
    records = [(0, [math.sin(2e4 * x) for x in t]), (1, [math.exp(-3e3 * x) for x in t])]
    data = b"!ngpsf-1.4\n" + b"".join(
        f"3:{rid:x}:0:{len(t):x}:0:22\n".encode() + frame(t) + frame(v) + b"\0" for rid, v in records
    )
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "demo.psfxl")
        with open(path, "wb") as f:
            f.write(data)
        waves = morva.NgpsfFile(path)
        page = waves.plot_records_html([0, 1], os.path.join(tmp, "demo.html"), names=["sine", "decay"])
        print(f"  {len(waves.parse_data_records())} records -> {os.path.basename(page)} ({os.path.getsize(page)} bytes)")
    print("  NgpsfFile(path).serve(port=8765, companion=meta) browses every signal at http://127.0.0.1:8765/")


SECTIONS = [
    ("Characterisation: nmos and pmos of a 180 nm-like BSIM4 card through the worker pool", characterisation),
    ("Behavioural models (PDSDM, SAR trim)", behavioural_models),
    ("gm/Id sizing", gm_id_sizing),
    ("Waveforms in the browser", waveforms_in_the_browser),
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

# -- native characterisation --


def native_characterisation():
    """The demo's nmos and pmos tables built twice, through the worker pool and
    by the native BSIM4 evaluator on every core, with both timings and how far
    the two tables lie apart (the pool's Id also carries junction and gmin
    leakage, a few pA)."""
    import sys
    import time

    import numpy as np

    def config(name, sign, native):
        return morva.LutConfig(
            device_type=name,
            model_file=DEMO_CARD,
            model_name="nch" if sign > 0 else "pch",
            widths_values=[1e-6],
            lengths_values=[1.8e-7, 2.5e-7, 3.5e-7, 5e-7, 1e-6, 2e-6],
            vgs=(0.0, sign * 1.8, sign * 0.025),
            vds=(0.0, sign * 1.8, sign * 0.05),
            vbs_values=[0.0, -sign * 0.4],
            op_params=["gmbs", "vth", "vdsat"],  # what the native evaluator computes
            use_native_bsim4=native,
        )

    def timed(pool, cfg, quiet):
        sys.stdout.flush()
        saved = os.dup(1)
        if quiet:  # the pool path's plan and timing report
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, 1)
            os.close(null)
        try:
            start = time.perf_counter()
            lut = pool.generate_lut(cfg, cache=False)
            return lut, time.perf_counter() - start
        finally:
            os.dup2(saved, 1)
            os.close(saved)

    with morva.SimulationPool() as pool:
        for name, sign in (("nmos", 1.0), ("pmos", -1.0)):
            timed(pool, config(name, sign, False), True)  # warm the workers
            pooled, pool_s = timed(pool, config(name, sign, False), True)
            native, native_s = timed(pool, config(name, sign, True), False)
            on = np.abs(pooled.id) > 1e-6
            id_diff = np.max(np.abs(native.id - pooled.id)[on] / np.abs(pooled.id[on]))
            vth_diff = np.max(np.abs(native.vth - pooled.vth))
            print(f"  {name}: {native.id.size} points, pool path {pool_s * 1e3:.0f} ms, native {native_s * 1e3:.1f} ms"
                  f" ({pool_s / native_s:.0f}x); Id above 1 uA within {id_diff:.1e}, vth within {vth_diff:.1e} V")
        sys.stdout.flush()


SECTIONS.insert([s for _, s in SECTIONS].index(characterisation) + 1,
                ("Native characterisation: the same tables from morva's own BSIM4 evaluator", native_characterisation))

if __name__ == "__main__":
    main()
