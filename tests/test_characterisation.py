"""Characterisation through the worker pool, checked against ngspice itself."""

import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import morva
from conftest import child_pids, needs_sigint, ngspice_terminal, sample_library

ALL_PARAMS = ["cgg", "cgs", "cgd", "cgb", "cbs", "cbd", "gmbs", "gbd", "gbs", "vth", "vdsat", "von"]

# A small 180 nm-like BSIM4 card pair and a subcircuit wrapping the n-channel
# device, as a foundry library would.
CARD = """* test BSIM4 cards
.model nch nmos level=54 version=4.8 toxe=4.1e-9 toxp=3.7e-9 toxm=4.1e-9 epsrox=3.9
+ vth0=0.42 k1=0.55 k2=0.02 dvt0=2.2 dvt1=0.53 u0=0.035 ua=-1e-9 ub=2.3e-18 uc=5e-11
+ vsat=8.5e4 rdsw=150 nfactor=1.2 pclm=1.3 cgso=3.7e-10 cgdo=3.7e-10 cjs=9.6e-4 mjs=0.38
.model pch pmos level=54 version=4.8 toxe=4.1e-9 toxp=3.7e-9 toxm=4.1e-9 epsrox=3.9
+ vth0=-0.42 k1=0.55 k2=0.02 dvt0=2.2 dvt1=0.53 u0=0.009 ua=1e-9 ub=1e-18 uc=-5e-11
+ vsat=7.5e4 rdsw=400 nfactor=1.2 pclm=1.0 cgso=3.3e-10 cgdo=3.3e-10 cjs=1.1e-3 mjs=0.4
.subckt nfet d g s b W=1e-6 L=1e-6
m0 d g s b nch W={W} L={L}
.ends nfet
"""

needs_ngspice = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")


@pytest.fixture(scope="module")
def card(tmp_path_factory):
    path = tmp_path_factory.mktemp("cards") / "bsim4_180.lib"
    path.write_text(CARD)
    return str(path)


@pytest.fixture(scope="module")
def pool():
    with morva.SimulationPool(workers=4) as p:
        yield p


def main_config(card, **overrides):
    kw = dict(
        model_file=card,
        model_name="nch",
        widths_values=[1e-6, 2e-6],
        lengths_values=[1.8e-7, 5e-7],
        vgs=(0.0, 1.5, 0.05),
        vds=(0.0, 1.5, 0.05),
        vbs_values=[-0.5, 0.0],
        op_params=ALL_PARAMS,
    )
    kw.update(overrides)
    return morva.LutConfig(**kw)


def ngspice_reference(tmp_path, card, jobs, vgs, vds, params=("vth", "cgg"), pmos=False):
    """Runs `ngspice -b` once per (W, L, Vbs) job and returns, per job, the
    full-precision vectors: Id (= -vds#branch) and the named parameters,
    each shaped (n_vgs, n_vds)."""
    model = "pch" if pmos else "nch"
    procs = []
    for k, (w, l, vbs) in enumerate(jobs):
        out = tmp_path / f"ref{k}.txt"
        saved = " ".join(f"@m1[{p}]" for p in params)
        netlist = tmp_path / f"ref{k}.cir"
        netlist.write_text(
            f"reference\n.include {card}\n"
            f"M1 drain gate source bulk {model} W={w!r} L={l!r}\n"
            "Vds drain source dc 0\nVgs gate source dc 0\n"
            f"Vbs bulk source dc {vbs!r}\nVs source 0 dc 0\n"
            f".save vds#branch {saved}\n"
            ".control\nset numdgt=17\nset wr_singlescale\nset wr_vecnames\n"
            f"dc vds {vds[0]!r} {vds[1]!r} {vds[2]!r} vgs {vgs[0]!r} {vgs[1]!r} {vgs[2]!r}\n"
            f"wrdata {out} vds#branch {saved}\n.endc\n.end\n"
        )
        procs.append((subprocess.Popen(["ngspice", "-b", str(netlist)], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, cwd=tmp_path), out))
    results = []
    for proc, out in procs:
        proc.wait(timeout=60)  # the exit status is 1 even on success ("no simulations run")
        data = np.loadtxt(out, skiprows=1)
        n_vds = int(round((vds[1] - vds[0]) / vds[2])) + 1
        cols = {"id": -data[:, 1].reshape(-1, n_vds)}
        for j, p in enumerate(params):
            cols[p] = data[:, 2 + j].reshape(-1, n_vds)
        results.append(cols)
    return results


def characterisation_deck(lib, w, l, sweep):
    """The deck the pool path sends for one pair of nch at Vbs = 0, saving the channel's gm, gds and
    id beside the drain branch: `w` and `l` as the deck writes them, `sweep` what follows `.dc`."""
    return (f"nmos characterisation W={w} L={l}\n\n* model\n.include {lib}\n\n* test bench\n"
            f"M1 drain gate source bulk nch W={w} L={l}\nVds drain source dc 0\nVgs gate  source dc 0\n"
            "Vbs bulk  source dc 0.000e0\nVs  source 0    dc 0\n\n* operating-point parameters\n.save vds#branch\n"
            f".save @m1[gm]\n.save @m1[gds]\n.save @m1[id]\n\n* sweep\n.dc {sweep}\n\n.end")


def assert_close(actual, expected, atol=1e-15, rtol=1e-9):
    np.testing.assert_allclose(actual, expected, rtol=rtol, atol=atol)


# ---- the main check -------------------------------------------------------------


@needs_ngspice
def test_table_equals_ngspice_run_directly(pool, card, tmp_path, capfd):
    cfg = main_config(card)
    lut = pool.generate_lut(cfg, cache=False)
    out, err = capfd.readouterr()

    assert lut.shape == (2, 2, 2, 31, 31)
    assert lut.id.shape == (2, 2, 2, 31, 31)
    assert lut.von.shape == (2, 2, 2, 0, 0)
    assert lut.extracted_op_params == ALL_PARAMS[:11]
    np.testing.assert_allclose(lut.vgs, np.arange(31) * 0.05)

    jobs = [(w, l, vbs) for w in (1e-6, 2e-6) for l in (1.8e-7, 5e-7) for vbs in (-0.5, 0.0)]
    reference = ngspice_reference(tmp_path, card, jobs, (0.0, 1.5, 0.05), (0.0, 1.5, 0.05),
                                  params=("vth", "cgg", "gm", "gds"))
    for (w, l, vbs), ref in zip(jobs, reference):
        a, c, b = [1e-6, 2e-6].index(w), [1.8e-7, 5e-7].index(l), [-0.5, 0.0].index(vbs)
        assert_close(lut.id[a, b, c], ref["id"])
        assert_close(lut.vth[a, b, c], ref["vth"], atol=1e-12)
        assert_close(lut.cgg[a, b, c], ref["cgg"], atol=1e-24)
        # The simulator's own conductances, plus the slopes of the junction
        # and gmin currents the drain terminal carries besides.
        assert_close(lut.gm[a, b, c], ref["gm"], rtol=1e-6, atol=5e-11)
        assert_close(lut.gds[a, b, c], ref["gds"], rtol=1e-6, atol=5e-11)
    assert np.all(np.isfinite(lut.cgd)) and np.all(lut.cgg[..., 20:, :] > 0)

    expected_order = [
        "  2 W × 2 Vbs × 2 L × 31 Vgs × 31 Vds  → 4 tasks (1 Vgs chunk(s) per task, chunks + Vbs folded into each request)",
        "  detected device path: m1",
        "  probing OP parameter support …",
        "  → extracting 11 OP parameter(s): [cgg, cgs, cgd, cgb, cbs, cbd, gmbs, gbd, gbs, vth, vdsat]",
    ]
    lines = out.splitlines()
    assert lines[: len(expected_order)] == expected_order
    # Warnings go to standard error, where `quiet()` leaves them.
    assert "  warning: model does not support OP parameter 'von' — it will be absent from the LUT\n" in err
    assert "warning" not in out
    assert re.fullmatch(r"  all 4 tasks completed in \d+\.\dms  \(\d+ op/s\)", lines[4])
    # A few points of 1-10 nA where the rest of the drain current curves.
    assert re.fullmatch(r"  \d+ slopes from \d+ shifted sweeps \(\d+ tasks\) in \d+\.\dms", lines[5])
    assert lines[6].startswith("  ─────────── LUT timing breakdown (wall: ")
    assert "4 tasks × 4 workers, 2 W × 2 L × 2 Vbs" in lines[6]
    assert len(lines) == 6 + 23
    assert "[retry]" not in err


@needs_ngspice
def test_model_file_in_a_directory_with_blanks(pool, card, tmp_path):
    spaced = tmp_path / "kit with blanks"
    spaced.mkdir()
    (spaced / "bsim4_180.lib").write_text(open(card).read())
    small = dict(widths_values=[1e-6], lengths_values=[1.8e-7], vbs_values=[0.0], op_params=[])
    plain = pool.generate_lut(main_config(card, **small), cache=False)
    moved = pool.generate_lut(main_config(str(spaced / "bsim4_180.lib"), **small), cache=False)
    assert_close(moved.id, plain.id, atol=0, rtol=0)
    # A kit's section file (".lib" takes no quotes in ngspice), including its
    # cards relatively, and an extra library beside it.
    (spaced / "kit.lib").write_text(".lib tt\n.include bsim4_180.lib\n.endl tt\n"
                                    ".lib extra\n.param unused=1\n.endl extra\n")
    kit = main_config(str(spaced / "kit.lib"), model_section="tt", model_includes=[(str(spaced / "kit.lib"),
                                                                                    "extra")], **small)
    assert_close(pool.generate_lut(kit, cache=False).id, plain.id, atol=0, rtol=0)
    with pytest.raises(ValueError, match="^model_file: ngspice cannot read a .lib file whose name contains blanks"):
        pool.generate_lut(main_config(str(spaced / "my kit.lib"), model_section="tt", **small), cache=False)
    with pytest.raises(ValueError, match="^model_section must be a single word without blanks$"):
        pool.generate_lut(main_config(str(spaced / "kit.lib"), model_section="tt ff", **small), cache=False)


def test_chunking_does_not_change_the_table(pool, card):
    params = ["cgg", "vth", "gmbs"]
    one = pool.generate_lut(main_config(card, op_params=params), n_chunks=1, cache=False)
    for n in (4, 40):
        other = pool.generate_lut(main_config(card, op_params=params), n_chunks=n, cache=False)
        for name in ["id", "gm", "gds"] + params:
            assert_close(getattr(other, name), getattr(one, name), atol=1e-15)


SPLIT_SCRIPT = """
import os, sys, numpy as np, morva
if sys.argv[1] == "1":
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
cfg = morva.LutConfig(model_file=sys.argv[2], model_name="nch", widths_values=[1e-6], lengths_values=[1.8e-7],
                      vgs=(0.0, 1.5, 0.01), vds=(0.0, 1.5, 0.05), vbs_values=[-0.5, 0.0], op_params=["vth"],
                      use_native_bsim4=True, use_dc_solver=sys.argv[3] == "1")
with morva.SimulationPool(workers=1) as pool:
    lut = pool.generate_lut(cfg, cache=False)
np.save(sys.argv[4], np.stack([lut.id, lut.gm, lut.gds, lut.vth]))
"""


@needs_ngspice
@pytest.mark.parametrize("native, dc_solver", [(False, False), (True, False), (True, True)])
def test_one_pair_split_over_every_core_gives_the_same_table(pool, card, impact_card, tmp_path, native, dc_solver):
    # One (W, L) pair: split per Vbs value on the 4 workers (or
    # every core natively), one task on a single worker (or core).
    if native:
        tables = []
        for cores in ("1", "all"):
            out = tmp_path / f"{cores}.npy"
            subprocess.run([sys.executable, "-c", SPLIT_SCRIPT, cores, card, "1" if dc_solver else "0", str(out)],
                           check=True, capture_output=True, timeout=300)
            tables.append(np.load(out))
        np.testing.assert_array_equal(tables[0], tables[1])
        return
    # ngspice reads "-6.000e-1" in a netlist and "-6.000000e-1" in an alter
    # as different numbers: each part must reach its Vbs as the whole does.
    cfg = main_config(card, widths_values=[1e-6], lengths_values=[1.8e-7], vbs_values=[-0.6, -0.4, 0.0],
                      op_params=["cgg", "vth"])
    # With strong impact ionisation, shifted sweeps measure most slopes; they
    # are split over the workers as well.
    impact = main_config(impact_card, widths_values=[1e-6], lengths_values=[1.8e-7], vbs_values=[-0.6, -0.4, 0.0],
                         op_params=["gmbs"], vds=(0.0, 5.0, 0.25))
    # Workers whose loads report they cost nothing: parts pay on any machine.
    from test_characterisation_retry import FaultyPool

    faulty = FaultyPool(tmp_path, workers=4)
    try:
        split, split_impact = (faulty.run(c, n_chunks=3) for c in (cfg, impact))
        assert [r for r in faulty.requests() if "-part-v2" in r] and [r for r in faulty.requests() if "-slopes-p" in r]
    finally:
        faulty.pool.close()
    with morva.SimulationPool(workers=1) as single:
        whole, whole_impact = (single.generate_lut(c, n_chunks=3, cache=False) for c in (cfg, impact))
    for name in ["id", "gm", "gds", "cgg", "vth"]:
        np.testing.assert_array_equal(getattr(split, name), getattr(whole, name), err_msg=name)
    for name in ["id", "gm", "gds", "gmbs"]:
        np.testing.assert_array_equal(getattr(split_impact, name), getattr(whole_impact, name), err_msg=name)


@needs_ngspice
def test_device_inside_a_subcircuit(pool, card, capfd):
    plain = pool.generate_lut(main_config(card, op_params=["vth"], vbs_values=[0.0]), cache=False)
    capfd.readouterr()
    sub = pool.generate_lut(
        main_config(card, op_params=["vth", "bogus"], vbs_values=[0.0], subcircuit=True, model_name="nfet"),
        cache=False,
    )
    out, err = capfd.readouterr()
    assert "  detected device path: m.x1.m0\n" in out
    assert "  warning: unknown OP parameter 'bogus' — known names: [\"cgg\", \"cgs\", \"cgd\", \"cgb\", \"cbs\", " \
           "\"cbd\", \"gmbs\", \"gbd\", \"gbs\", \"vth\", \"vdsat\", \"von\"]\n" in err
    assert sub.extracted_op_params == ["vth"]
    assert_close(sub.id, plain.id)
    assert_close(sub.vth, plain.vth, atol=1e-12)


@needs_ngspice
def test_pmos_signs(pool, card, tmp_path):
    cfg = main_config(card, device_type="pmos", model_name="pch", widths_values=[2e-6], lengths_values=[1.8e-7],
                      vbs_values=[0.0, 0.5], vgs=(0.0, -1.5, -0.05), vds=(0.0, -1.5, -0.05), op_params=["vth"])
    lut = pool.generate_lut(cfg, cache=False)
    assert lut.shape == (1, 2, 1, 31, 31)
    np.testing.assert_allclose(lut.vgs, -np.arange(31) * 0.05)
    # Id = -I(Vds): a p-channel device that conducts has a negative drain
    # current; it grows in magnitude with |Vgs| and |Vds|, so gm and gds
    # (differences along the negative sweeps) are positive.
    on = lut.id[:, :, :, 20:, 10:]
    assert np.all(on < 0)
    assert np.all(lut.gm[:, :, :, 20:, 10:] > 0) and np.all(lut.gds[:, :, :, 20:, 10:] > 0)
    ref = ngspice_reference(tmp_path, card, [(2e-6, 1.8e-7, 0.5)], (0.0, -1.5, -0.05), (0.0, -1.5, -0.05),
                            params=("vth",), pmos=True)[0]
    assert_close(lut.id[0, 1, 0], ref["id"])
    assert_close(lut.vth[0, 1, 0], ref["vth"], atol=1e-12)  # ngspice reports the magnitude


@needs_ngspice
def test_step_that_does_not_divide_the_range(pool, card, capfd):
    cfg = main_config(card, widths_values=[1e-6], lengths_values=[5e-7], vbs_values=[0.0], op_params=[],
                      vds=(0.0, 1.0, 0.4), vgs=(0.0, 1.0, 0.3))
    lut = pool.generate_lut(cfg, cache=False)
    out, _ = capfd.readouterr()
    assert lut.vds.tolist() == [0.0, 0.4, 0.8]
    assert lut.vgs.tolist() == pytest.approx([0.0, 0.3, 0.6, 0.9])
    assert lut.id.shape == (4, 3)
    assert "1 W × 1 Vbs × 1 L × 4 Vgs × 3 Vds" in out
    # Nothing requested: no detection, no probes.
    assert "probing" not in out and "detected" not in out and lut.extracted_op_params == []


@needs_ngspice
def test_long_sweeps_keep_every_point(pool, capfd):
    # 2455 points: ngspice's repeated addition overshoots a stop written on
    # the last point, in one chunk as in the inner Vds sweep.
    raw = pool._pool()
    for vgs, vds, shape in [((0.8, 3.5, 0.0011), (0.9, 0.9, 0.1), (2455, 1)),
                            ((0.9, 0.9, 0.1), (0.8, 3.5, 0.0011), (1, 2455))]:
        lut = raw.generate_lut(morva.LutConfig(vgs=vgs, vds=vds), 1)
        assert lut.id.shape == shape
        assert lut.vgs[-1] == pytest.approx(min(vgs[1], 3.4994)) and lut.vds[-1] == pytest.approx(min(vds[1], 3.4994))
    _, err = capfd.readouterr()
    assert "[retry]" not in err


@needs_ngspice
def test_time_out_ends_the_generation_without_a_report(card, capfd):
    cfg = main_config(card, widths_values=[1e-6], lengths_values=[5e-7], vbs_values=[0.0], op_params=[],
                      vgs=(0.0, 1.5, 0.001), vds=(0.0, 1.5, 0.005))
    with morva.SimulationPool(workers=1, timeout_secs=0.2) as slow:
        with pytest.raises(RuntimeError, match=r"^simulation failed: .*timed out"):
            slow.generate_lut(cfg, n_chunks=1, cache=False)
    out, _ = capfd.readouterr()
    assert "tasks completed" not in out and "LUT timing breakdown" not in out


@needs_ngspice
@needs_sigint
def test_ctrl_c_stops_a_generation(tmp_path):
    # In a child process: SIGINT on the main thread while 40 tasks are queued.
    script = tmp_path / "interrupt.py"
    script.write_text(
        "import os, signal, sys, threading\n"
        "import morva\n"
        "pool = morva.SimulationPool(workers=2)\n"
        "cfg = morva.LutConfig(vgs=(0, 1.8, 0.01), vds=(0, 1.8, 0.01),\n"
        "                      lengths_values=[1e-6 * (1 + k) for k in range(40)])\n"
        "threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()\n"
        "try:\n"
        "    pool.generate_lut(cfg, cache=False)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
        "print(pool.generate_lut(morva.LutConfig(vgs=(0, 1.8, 0.3), vds=(0, 1.8, 0.3)), cache=False).shape)\n"
    )
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert "interrupted" in lines and lines[-1] == "(1, 1, 1, 7, 7)"
    assert not any("all 40 tasks completed" in line for line in lines)
    assert "[retry]" not in done.stderr


# ---- the Python surface ----------------------------------------------------------


def test_refusals_before_any_work(pool, card):
    raw = pool._pool()
    with pytest.raises(ValueError, match="^n_chunks must be at least 1$"):
        raw.generate_lut(main_config(card), 0)
    with pytest.raises(ValueError, match="^model_name must not contain line breaks or control characters$"):
        raw.generate_lut(main_config(card, model_name="nch\n.control\nshell touch /tmp/x\n.endc"))
    with pytest.raises(ValueError, match="^model_includes must not contain"):
        raw.generate_lut(main_config(card, model_includes=[(card, "tt\nX9 a b c")]))
    with pytest.raises(ValueError, match=r"^a table of .* = 250001000001 points needs .* GiB of memory, more "
                                         r"than this machine has \(.* GiB\): sweep fewer points$"):
        raw.generate_lut(main_config(card, widths_values=[1e-6], vbs_values=[0.0], lengths_values=[1e-6],
                                     vgs=(0.0, 1.0, 2e-6), vds=(0.0, 1.0, 2e-6), use_native_bsim4=True))
    with pytest.raises(ValueError, match="^device_type must be 'nmos' or 'pmos', got 'nfet'$"):
        raw.generate_lut(main_config(card, device_type="nfet"))
    with pytest.raises(TypeError, match="^argument 'config': "):
        raw.generate_lut({"device_type": "nmos"})
    with pytest.raises((TypeError, OverflowError)):
        raw.generate_lut(main_config(card), -1)
    assert raw.generate_lut.__doc__.startswith("generate_lut(self, config, n_chunks=None)")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_close_ends_the_workers_while_a_failed_calls_traceback_lives():
    # A notebook keeps the last exception (sys.last_traceback): its frames
    # held the compiled pool, whose workers then outlived close().
    children = child_pids
    before = children()
    pool = morva.SimulationPool(workers=2)
    pool.run_simulation("t\nV1 a 0 1\nR1 a 0 1k\n.op\n.end\n", ["run"])
    assert len(children() - before) == 2
    with pytest.raises(ValueError) as kept:
        pool.generate_lut(morva.LutConfig(model_name="nch\n.end"), cache=False)
    pool.close()
    assert kept.traceback and children() - before == set()


@pytest.mark.parametrize("native", [False, True])
def test_model_files_that_cannot_serve_are_refused_before_any_request(pool, card, tmp_path, capfd, native):
    kit = tmp_path / "kit.lib"
    kit.write_text(".lib tt\n" + CARD + ".endl tt\n")
    locked = tmp_path / "locked.lib"
    locked.write_text(CARD)
    locked.chmod(0)
    absent, folder = str(tmp_path / "nope.lib"), str(tmp_path)
    cases = [
        (dict(model_file=absent), FileNotFoundError, absent, "No such file or directory (os error 2)"),
        (dict(model_file=folder, model_section="tt"), IsADirectoryError, folder, "Is a directory (os error 21)"),
        (dict(model_file=str(locked)), PermissionError, str(locked), "Permission denied (os error 13)"),
        (dict(model_file=str(kit), model_section="tt", model_includes=[(absent, "tt")]), FileNotFoundError,
         absent, "No such file or directory (os error 2)"),
        (dict(model_file=str(kit), model_section="tyipcal"), ValueError, None,
         f"section '.LIB tyipcal' not found in {kit}"),
        (dict(model_file=str(kit), model_section="TT", model_includes=[(str(kit), "ff")]), ValueError, None,
         f"section '.LIB ff' not found in {kit}"),
    ]
    for overrides, kind, filename, message in cases:
        if kind is PermissionError and os.geteuid() == 0:
            continue  # root reads any file
        with pytest.raises(kind) as info:
            pool.generate_lut(main_config(card, use_native_bsim4=native, **overrides), cache=False)
        if filename is None:
            assert str(info.value) == message
        else:
            # As DcSolver raises it: errno and file name set, still a RuntimeError.
            assert str(info.value) == f"reading model file {filename}: {message}"
            assert info.value.filename == filename and isinstance(info.value, RuntimeError)
        assert capfd.readouterr() == ("", "")  # nothing planned, simulated or retried


@needs_ngspice
def test_cache_returns_the_stored_table_without_simulating(pool, card, tmp_path, monkeypatch, capfd):
    monkeypatch.setenv("HOME", str(tmp_path))
    cfg = main_config(card, widths_values=[1e-6], vbs_values=[0.0], op_params=["vth"])
    first = pool.generate_lut(cfg)
    assert "tasks completed" in capfd.readouterr().out
    assert os.path.exists(morva.lut_cache_path(morva.lut_cache_key(cfg)))
    second = pool.generate_lut(cfg, n_chunks=3)
    assert capfd.readouterr().out == ""
    assert isinstance(second, morva.Lut)
    for name in ["id", "gm", "gds", "vth", "vgs", "vds", "lengths"]:
        np.testing.assert_array_equal(getattr(second, name), getattr(first, name))


@needs_ngspice
def test_cached_table_older_than_its_model_files_is_regenerated(pool, card, tmp_path, monkeypatch, capfd):
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / "cards").mkdir()
    model = tmp_path / "model.lib"
    inner = tmp_path / "cards" / "inner.lib"
    model.write_text(".lib tt\n.include 'cards/inner.lib'\n.endl tt\n")
    inner.write_text(open(card).read())
    cfg = main_config(str(model), model_section="tt", widths_values=[1e-6], lengths_values=[1.8e-7],
                      vbs_values=[0.0], op_params=[])
    first = pool.generate_lut(cfg)
    capfd.readouterr()
    cached_at = os.stat(morva.lut_cache_path(morva.lut_cache_key(cfg))).st_mtime_ns

    # The designer edits the card the model file includes: a stronger device
    # under the same key.
    inner.write_text(open(card).read().replace("u0=0.035", "u0=0.05", 1))
    os.utime(inner, ns=(cached_at + 1, cached_at + 1))
    second = pool.generate_lut(cfg)
    assert "tasks completed" in capfd.readouterr().out
    assert np.nanmax(second.id) > 1.05 * np.nanmax(first.id)
    # Unchanged since: the new table comes from the cache.
    third = pool.generate_lut(cfg)
    assert capfd.readouterr().out == ""
    np.testing.assert_array_equal(third.id, second.id)

    # The model file itself changes (here only its time).
    cached_at = os.stat(morva.lut_cache_path(morva.lut_cache_key(cfg))).st_mtime_ns
    os.utime(model, ns=(cached_at + 1, cached_at + 1))
    pool.generate_lut(cfg)
    assert "tasks completed" in capfd.readouterr().out


@needs_ngspice
def test_cache_trouble_never_costs_the_table(pool, tmp_path, monkeypatch, capfd):
    monkeypatch.setenv("HOME", str(tmp_path))
    cfg = morva.LutConfig(vgs=(0.0, 1.8, 0.3), vds=(0.0, 1.8, 0.6))
    path = morva.lut_cache_path(morva.lut_cache_key(cfg))
    os.makedirs(os.path.dirname(path))
    with open(path, "wb") as f:
        f.write(b"\x01\x00")  # damaged: regenerated and replaced, with a warning
    with pytest.warns(RuntimeWarning, match="LUT cache serialization error: io error: unexpected end of file"):
        lut = pool.generate_lut(cfg)
    assert "tasks completed" in capfd.readouterr().out
    np.testing.assert_array_equal(morva.Lut.load(morva.lut_cache_key(cfg)).id, lut.id)

    # A cache that cannot be written: the table is still returned.
    monkeypatch.setenv("HOME", str(tmp_path / "file"))
    (tmp_path / "file").write_text("")
    with pytest.warns(RuntimeWarning, match=r"^table not saved to the LUT cache: .*\(os error \d+\)$"):
        again = pool.generate_lut(cfg)
    np.testing.assert_array_equal(again.id, lut.id)

    # An entry that cannot be read at all (here a directory): the same.
    monkeypatch.setenv("HOME", str(tmp_path / "home2"))
    os.makedirs(morva.lut_cache_path(morva.lut_cache_key(cfg)))
    with pytest.warns(RuntimeWarning) as caught:
        third = pool.generate_lut(cfg)
    assert [str(w.message).split(";")[0] for w in caught][:1] == ["Is a directory (os error 21)"]
    np.testing.assert_array_equal(third.id, lut.id)


EXAMPLE_CARD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "bsim4_180nm.lib")


def ngspice_op(tmp_path, model, w, l, biases):
    """gm, gds, gmbs and Id (= -i(vds)) of ngspice `.op` at each (vgs, vds, vbs)."""
    lines = [f"op reference\n.include {EXAMPLE_CARD}\nM1 d g 0 b {model} W={w!r} L={l!r}\n"
             "Vds d 0 dc 0\nVgs g 0 dc 0\nVbs b 0 dc 0\n.control\nset numdgt=12"]
    for vgs, vds, vbs in biases:
        lines += [f"alter Vgs dc={vgs!r}", f"alter Vds dc={vds!r}", f"alter Vbs dc={vbs!r}", "op",
                  "print @m1[gm] @m1[gds] @m1[gmbs] vds#branch"]
    (tmp_path / "op.cir").write_text("\n".join(lines) + "\n.endc\n.end\n")
    out = subprocess.run(["ngspice", "-b", "op.cir"], capture_output=True, text=True, cwd=tmp_path,
                         timeout=60).stdout
    values = [float(v) for v in re.findall(r"^\S+ = (\S+)$", out, re.M)]
    assert len(values) == 4 * len(biases), out
    return [dict(gm=g, gds=d, gmbs=b, id=-i) for g, d, b, i in zip(*[iter(values)] * 4)]


@needs_ngspice
@pytest.mark.parametrize("step", [0.1, 0.05, 0.01])
@pytest.mark.parametrize("pmos", [False, True])
def test_conductances_over_id_match_ngspice_op_at_any_step(pool, tmp_path, pmos, step):
    # Weak inversion (0.4 V), moderate, strong; triode and saturation.
    s = -1.0 if pmos else 1.0
    cfg = morva.LutConfig(model_file=EXAMPLE_CARD, model_name="pch" if pmos else "nch", device_type=(
        "pmos" if pmos else "nmos"), widths_values=[1e-6], lengths_values=[1.8e-7], vgs=(0.0, s * 1.8, s * step),
        vds=(0.0, s * 1.8, s * step), vbs_values=[0.0, -s * 0.3], op_params=["gmbs"])
    lut = pool.generate_lut(cfg, cache=False)
    points = [(vgs, vds, vb) for vgs in (0.4, 0.5, 0.9, 1.5) for vds in (0.1, 0.9, 1.7) for vb in (0, 1)]
    biases = [(s * vgs, s * vds, -s * 0.3 * vb) for vgs, vds, vb in points]
    checked = 0
    for (vgs, vds, vb), ref in zip(points, ngspice_op(tmp_path, cfg.model_name, 1e-6, 1.8e-7, biases)):
        i, j = int(round(vgs / step)), int(round(vds / step))
        b = list(lut.vbs_values).index(-s * 0.3 if vb else 0.0)
        table = {name: getattr(lut, name)[0, b, 0, i, j] for name in ("id", "gm", "gds", "gmbs")}
        if abs(ref["id"]) <= 1e-9:
            continue
        checked += 1
        np.testing.assert_allclose(table["id"], ref["id"], rtol=1e-6)
        for name in ("gm", "gds", "gmbs"):
            np.testing.assert_allclose(table[name] / table["id"], ref[name] / ref["id"], rtol=0.01,
                                       err_msg=f"{name}/Id at Vgs={vgs} Vds={vds} Vbs index {vb}")
    assert checked >= 20


# ---- gm, gds and gmbs where the drain carries much beyond the channel ---------------

# The example card with impact ionisation strong enough to matter: the
# substrate current reaches about a tenth of Id at the top of a 0-5 V Vds axis.
IMPACT = ("alpha0=1e-7 beta0=30", "alpha0=3e-7 alpha1=0.05 beta0=20")


@pytest.fixture(scope="module")
def impact_card(tmp_path_factory):
    text = open(EXAMPLE_CARD).read()
    assert IMPACT[0] in text
    path = tmp_path_factory.mktemp("impact") / "impact.lib"
    path.write_text(text.replace(*IMPACT))
    return str(path)


@needs_ngspice
@pytest.mark.parametrize("step", [0.25, 0.05])
@pytest.mark.parametrize("kind", ["nmos", "pmos"])
@pytest.mark.parametrize("cards", ["impact ionisation", "samples"])
def test_slopes_match_central_differences_of_the_drain_current(pool, impact_card, request, tmp_path, cards, kind,
                                                                step):
    # Differences over the grid missed the slopes of the substrate current
    # by up to 23 % (gm), 6 % (gds) and 13 % (gmbs, which had none of it).
    if cards == "samples":
        lib = sample_library(request.getfixturevalue("samples_dir"), tmp_path, selectors="", networks=True)
        top, length = 1.5, 6e-8
    else:
        lib, top, length = impact_card, 5.0, 1.8e-7
    s = 1.0 if kind == "nmos" else -1.0
    model = "nch" if kind == "nmos" else "pch"
    vgs, vds = (0.0, s * 1.5, s * step), (0.0, s * top, s * step)
    lut = pool.generate_lut(morva.LutConfig(model_file=lib, model_name=model, device_type=kind, widths_values=[1e-6],
                                            lengths_values=[length], vgs=vgs, vds=vds, vbs_values=[0.0, -s * 0.5],
                                            op_params=["gmbs"]), cache=False)
    for b, vbs in enumerate(lut.vbs_values):
        ref = dict(zip(("id", "gm", "gds", "gmbs"), ngspice_terminal(tmp_path, lib, model, 1e-6, length, float(vbs),
                                                                      vgs, vds)))
        on = np.abs(ref["id"]) > 100e-9
        assert on[:, -1].any() and on[-1, :].any()  # the ends of both axes are checked
        np.testing.assert_allclose(lut.id[0, b, 0], ref["id"], rtol=1e-9, atol=1e-12)
        for name in ("gm", "gds", "gmbs"):
            np.testing.assert_allclose(getattr(lut, name)[0, b, 0][on], ref[name][on], rtol=1e-3,
                                       err_msg=f"{name} at Vbs={vbs}")


@needs_ngspice
@pytest.mark.parametrize("kind", ["nmos", "pmos"])
def test_slopes_where_the_vds_axis_starts_in_conduction(pool, impact_card, tmp_path, kind):
    # ngspice settles a row's second point only to its tolerance (about 1e-3
    # of Id) when the row starts where the device conducts; slopes taken over
    # a 25 uV shift from that point were up to 50 times off.
    s = 1.0 if kind == "nmos" else -1.0
    model = "nch" if kind == "nmos" else "pch"
    vgs, vds = (0.0, s * 1.5, s * 0.05), (s * 0.3, s * 5.0, s * 0.05)
    lut = pool.generate_lut(morva.LutConfig(model_file=impact_card, model_name=model, device_type=kind,
                                            widths_values=[1e-6], lengths_values=[1.8e-7], vgs=vgs, vds=vds,
                                            vbs_values=[0.0], op_params=["gmbs"]), cache=False)
    ref = dict(zip(("id", "gm", "gds", "gmbs"), ngspice_terminal(tmp_path, impact_card, model, 1e-6, 1.8e-7, 0.0,
                                                                  vgs, vds)))
    on = np.abs(ref["id"]) > 100e-9
    assert on[:, 1].any()
    for name in ("gm", "gds", "gmbs"):
        exact = ref[name]
        table = np.asarray(getattr(lut, name)).reshape(exact.shape)
        # The second column is as good as ngspice's sweep there, the rest as anywhere.
        np.testing.assert_allclose(table[:, 1][on[:, 1]], exact[:, 1][on[:, 1]], rtol=3e-3, err_msg=name)
        rest = on.copy()
        rest[:, 1] = False
        np.testing.assert_allclose(table[rest], exact[rest], rtol=1e-3, err_msg=name)


@needs_ngspice
@pytest.mark.parametrize("kind", ["nmos", "pmos"])
@pytest.mark.parametrize("card_name", ["example", "impact ionisation"])
def test_slopes_in_reverse_mode(pool, impact_card, tmp_path, card_name, kind):
    # Vds of the other sign than the device conducts forward: ngspice reports the channel's values
    # for the swapped terminals (its gmbs has the other sign than the slope of the table's Id), and
    # the drain's junction, forward biased beyond a few tenths of a volt, is much of Id. gm and gds
    # were differences of Id (up to 100 % and 75 % off), gmbs the swapped terminals' (its sign
    # turned, the junction's slope left out: 100 % off).
    lib = EXAMPLE_CARD if card_name == "example" else impact_card
    s = 1.0 if kind == "nmos" else -1.0
    model = "nch" if kind == "nmos" else "pch"
    vgs, vds = (0.0, s * 1.5, s * 0.05), (-s * 1.5, s * 1.5, s * 0.05)
    lut = pool.generate_lut(morva.LutConfig(model_file=lib, model_name=model, device_type=kind, widths_values=[1e-6],
                                            lengths_values=[1.8e-7], vgs=vgs, vds=vds, vbs_values=[0.0, -s * 0.5],
                                            op_params=["gmbs"]), cache=False)
    reverse = s * np.asarray(lut.vds) < 0
    for b, vbs in enumerate(lut.vbs_values):
        ref = dict(zip(("id", "gm", "gds", "gmbs"), ngspice_terminal(tmp_path, lib, model, 1e-6, 1.8e-7, float(vbs),
                                                                      vgs, vds)))
        on = np.abs(ref["id"]) > 100e-9
        assert on[:, reverse].any() and on[:, 0].any() and on[-1, :].any()
        # The rows' second points are ngspice's as a sweep settles them.
        np.testing.assert_allclose(lut.id[0, b, 0], ref["id"], rtol=1e-6, atol=1e-12)
        # A slope that crosses zero is held to 1e-3 of Id per volt.
        for name, rtol in (("gm", 1e-3), ("gds", 1e-3), ("gmbs", 6e-3)):
            table = getattr(lut, name)[0, b, 0]
            miss = np.abs(table - ref[name]) / np.maximum(np.abs(ref[name]), 1e-3 * np.abs(ref["id"]))
            assert miss[on].max() < rtol, f"{name} at Vbs={vbs}: {miss[on].max():.2e}"


@needs_ngspice
def test_id_is_ngspice_bit_for_bit_where_shifted_sweeps_run(pool, impact_card, capfd):
    # One pair, one Vbs value, one chunk: the table's rows come from one
    # request, the characterisation deck below, whatever else is swept.
    cfg = morva.LutConfig(model_file=impact_card, model_name="nch", widths_values=[1e-6], lengths_values=[1.8e-7],
                          vgs=(0.0, 1.5, 0.25), vds=(0.0, 5.0, 0.25), vbs_values=[0.0])
    lut = pool.generate_lut(cfg, cache=False)
    assert re.search(r"^  \d+ slopes from \d+ shifted sweeps \(\d+ tasks\) in ", capfd.readouterr().out, re.M)
    deck = characterisation_deck(impact_card, "1e-6", "1.800e-7",
                                 "Vds 0.000000e0 5.000000e0 2.500000e-1 Vgs 0.000000e0 1.500000e0 2.500000e-1")
    direct = -np.asarray(pool.run_simulation(deck, ["run"]).vector("vds#branch")).reshape(7, 21)
    np.testing.assert_array_equal(lut.id, direct)
