"""Behavioural models: PDSDM loops, decimation, phase conversion, SAR trim."""

import math
import signal
import subprocess
import sys

import numpy as np
import pytest

import morva
from conftest import child_process, computing, needs_sigint, wait_until

DEG = 0.017453292519943295

# phi_etf, v_etf_pp, f_drive, gm, c_int, n_cycles, phi_dac_0, phi_dac_1
LOOP = (37.0, 0.1, 1e6, 1e-4, 1e-11, 16, 0.0, 90.0)


# ---- independent re-computations, step by step, in plain Python ----------------


def clamp(v, vdd):
    if v < 0.0:
        return 0.0
    if v > vdd:
        return vdd
    return v


def ref_pdsdm(phi_etf, v_etf_pp, f_drive, gm, c_int, n_cycles, phi_dac_0, phi_dac_1,
              v_os_gm=0.0, i_dac=0.0, vdd=1.2, vcm=0.6):
    period = 1.0 / f_drive
    amp = v_etf_pp * 0.5
    k = 0.6366197723675814 * gm * amp
    phi_e = phi_etf * DEG
    offset = v_os_gm * gm
    v, bit = vcm, 0
    time, v_int, bits = [], [], []
    for n in range(n_cycles):
        time.append(n * period)
        phi_fb = phi_dac_1 if bit == 1 else phi_dac_0
        i = k * math.sin(phi_e - phi_fb * DEG)
        v = v + ((i + offset) + i_dac) * period / c_int
        v = clamp(v, vdd)
        bit = 1 if v > vcm else 0
        bits.append(bit)
        v_int.append(v)
    return time, v_int, bits


def ref_pdsdm_oversampled(phi_etf, v_etf_pp, f_drive, gm, c_int, n_cycles, phi_dac_0, phi_dac_1,
                          v_os_gm=0.0, i_dac=0.0, vdd=1.2, vcm=0.6, n_oversample=100):
    period = 1.0 / f_drive
    dt = period / n_oversample
    offsets = [k * dt for k in range(n_oversample)]
    amp = v_etf_pp * 0.5
    phi_e = phi_etf * DEG
    omega = f_drive * 6.283185307179586
    dac_step = i_dac * period / c_int
    v, bit = vcm, 0
    time, v_int, bits = [], [], []
    for n in range(n_cycles):
        t = n * period
        time.append(t)
        phi_fb = (phi_dac_1 if bit == 1 else phi_dac_0) * DEG
        s = 0.0
        for o in offsets:
            theta = (o + t) * omega
            e = (amp * math.cos(phi_e + theta) + v_os_gm) * gm
            m = 1.0 if math.sin(theta + phi_fb) < 0.0 else -1.0
            s = s + m * e
        v = v + (s * dt / c_int + dac_step)
        v = clamp(v, vdd)
        bit = 1 if v > vcm else 0
        bits.append(bit)
        v_int.append(v)
    return time, v_int, bits


def ref_sar(offset_current, i_lsb, n_bits):
    mid = float(2**n_bits) * i_lsb * 0.5
    code = 0
    history = []
    for bit in range(n_bits - 1, -1, -1):
        trial = code | (1 << bit)
        trial_current = trial * i_lsb - mid
        residual = offset_current + trial_current
        if residual <= 0.0:
            code = trial
        history.append((bit, trial, trial_current, residual))
    dac_current = code * i_lsb - mid
    if code < 2**n_bits - 1:
        d1 = (code + 1) * i_lsb - mid
        if abs(offset_current + dac_current) > abs(offset_current + d1):
            code, dac_current = code + 1, d1
    return code, dac_current, history


def assert_same_bits(result, ref):
    """Bit-for-bit equality (-0.0 and 0.0 differ; NaN payloads compare)."""
    time, v_int, bits = ref
    assert result.time.view(np.int64).tolist() == np.array(time).view(np.int64).tolist()
    assert result.v_int.view(np.int64).tolist() == np.array(v_int).view(np.int64).tolist()
    assert result.bitstream.tolist() == bits


# ---- PDSDM loops ------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"v_os_gm": 3e-3, "i_dac": -2e-7, "vdd": 1.1, "vcm": 0.55},
        # big steps: the integrator hits both clamps
        {"v_os_gm": -0.02, "i_dac": 1e-7, "vdd": 1.0, "vcm": 0.5},
    ],
)
def test_run_pdsdm_matches_reference_bit_for_bit(kwargs):
    args = (12.5, 0.2, 2.5e6, 3e-4, 7e-12, 10**4, -20.0, 70.0)
    assert_same_bits(morva.run_pdsdm(*args, **kwargs), ref_pdsdm(*args, **kwargs))


@pytest.mark.parametrize(
    "kwargs",
    [
        {},  # 100 sub-points by default
        {"n_oversample": 100, "v_os_gm": 2e-3, "i_dac": 5e-8, "vdd": 1.0, "vcm": 0.45},
        {"n_oversample": 1},  # one sub-point per cycle at theta = n T omega
        {"n_oversample": 7, "v_os_gm": -0.05},
    ],
)
def test_run_pdsdm_oversampled_matches_reference_bit_for_bit(kwargs):
    args = (-48.0, 0.15, 1.3e6, 2e-4, 4e-12, 300, -95.0, 15.0)
    assert_same_bits(morva.run_pdsdm_oversampled(*args, **kwargs), ref_pdsdm_oversampled(*args, **kwargs))


@pytest.mark.parametrize(
    "run, ref, args, kwargs",
    [
        # More cycles, and more sub-points per cycle, than a run does between
        # two looks at Ctrl-C.
        (morva.run_pdsdm, ref_pdsdm, (12.5, 0.2, 2.5e6, 3e-4, 7e-12, 70_000, -20.0, 70.0), {}),
        (morva.run_pdsdm_oversampled, ref_pdsdm_oversampled, (-48.0, 0.15, 1.3e6, 2e-4, 4e-12, 3, -95.0, 15.0),
         {"n_oversample": 70_000}),
    ],
)
def test_long_runs_match_reference_bit_for_bit(run, ref, args, kwargs):
    assert_same_bits(run(*args, **kwargs), ref(*args, **kwargs))


@needs_sigint
@pytest.mark.parametrize(
    "call",
    [
        "morva.run_pdsdm_oversampled(*LOOP[:5], 10_000_000, *LOOP[6:], n_oversample=1000)",  # minutes
        "morva.run_pdsdm_oversampled(*LOOP[:5], 5000, *LOOP[6:], n_oversample=3_000_000)",  # long periods
        "morva.run_pdsdm(*LOOP[:5], 100_000_000, *LOOP[6:])",
    ],
)
def test_ctrl_c_stops_a_long_run(call):
    code = (
        f"import morva\nLOOP = {LOOP!r}\nprint('ready', flush=True)\n"
        f"try:\n    {call}\n    print('finished')\nexcept KeyboardInterrupt:\n    print('interrupted')\n"
        "print(len(morva.run_pdsdm(*LOOP)))\n"
    )
    with child_process([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True) as proc:
        assert proc.stdout.readline() == "ready\n"
        assert wait_until(computing([proc.pid], 0.3), 60)  # inside the long call
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=60)  # a hang, not a figure
    assert out.split() == ["interrupted", str(LOOP[5])]


@pytest.mark.parametrize("phi_etf", [0.0, 37.5, -120.0, 75.3])
def test_bitstream_mean_recovers_the_etf_phase(phi_etf):
    phi_0, phi_1 = phi_etf - 30.0, phi_etf + 30.0
    r = morva.run_pdsdm(phi_etf, 0.1, 1e6, 1e-4, 1e-11, 10**4, phi_0, phi_1)
    assert abs(morva.bs_to_phase(r.bitstream_mean(), phi_0, phi_1) - phi_etf) < 0.5


@pytest.mark.parametrize("run", [morva.run_pdsdm, morva.run_pdsdm_oversampled])
def test_loop_edge_cases(run):
    empty = run(0.0, 0.1, 1e6, 1e-4, 1e-12, 0, 0.0, 180.0)
    assert repr(empty) == "PdsdmResult(n_cycles=0, bs_mean=NaN)"
    assert math.isnan(empty.bitstream_mean()) and len(empty) == 0
    assert empty.time.shape == empty.v_int.shape == empty.bitstream.shape == (0,)
    # The DAC current drives the integrator to a rail and keeps it there.
    high = run(0.0, 0.1, 1e6, 1e-4, 1e-12, 20, 0.0, 180.0, i_dac=1.0)
    low = run(0.0, 0.1, 1e6, 1e-4, 1e-12, 20, 0.0, 180.0, i_dac=-1.0)
    assert high.v_int.tolist() == [1.2] * 20 and high.bitstream.tolist() == [1] * 20
    assert low.v_int.tolist() == [0.0] * 20 and low.bitstream.tolist() == [0] * 20


def test_threshold():
    # phi_etf = phi_dac_0: no current, v stays at vcm, and a bit needs v > vcm.
    r = morva.run_pdsdm(25.0, 0.1, 1e6, 1e-4, 1e-12, 6, 25.0, 205.0)
    assert r.v_int.tolist() == [0.6] * 6 and r.bitstream.tolist() == [0] * 6


def test_result_surface():
    r = morva.run_pdsdm_oversampled(*LOOP[:5], 50, *LOOP[6:])
    assert len(r) == 50
    mean = r.bitstream.sum() / 50
    assert r.bitstream_mean() == mean
    assert repr(r) == f"PdsdmResult(n_cycles=50, bs_mean={mean:.4f})"
    # Properties are fresh, writeable, C-contiguous copies of their dtype.
    first, second = r.time, r.time
    first[:] = -1.0
    assert second[0] == 0.0 and r.time[0] == 0.0
    for name, dtype in (("time", np.float64), ("v_int", np.float64), ("bitstream", np.int32)):
        a = getattr(r, name)
        assert a.dtype == dtype and a.shape == (50,) and a.flags.c_contiguous and a.flags.writeable
    with pytest.raises(AttributeError):
        r.time = np.zeros(50)
    # Keywords in any order give the positional result.
    pos = morva.run_pdsdm(*LOOP, 1e-3, 1e-8, 1.0, 0.5)
    kw = morva.run_pdsdm(phi_etf=37.0, v_etf_pp=0.1, f_drive=1e6, gm=1e-4, c_int=1e-11, n_cycles=16,
                         phi_dac_0=0.0, phi_dac_1=90.0, vcm=0.5, vdd=1.0, i_dac=1e-8, v_os_gm=1e-3)
    assert pos.v_int.tolist() == kw.v_int.tolist()


# ---- decimation and phase ---------------------------------------------------------


def test_decimate_bitstream_cases():
    bits = np.array([1, 0, 1, 1, 0], dtype=np.int32)
    out = morva.decimate_bitstream(bits, 2)
    assert out.dtype == np.float64 and out.tolist() == [0.5, 1.0]
    assert morva.decimate_bitstream(bits, 6).shape == (0,)
    assert morva.decimate_bitstream(np.array([-1, 3], dtype=np.intc), 2).tolist() == [1.0]
    bits.flags.writeable = False  # only read
    assert morva.decimate_bitstream(bits, 5).tolist() == [0.6]
    # A result's bitstream goes in as it is.
    r = morva.run_pdsdm(*LOOP)
    assert morva.decimate_bitstream(r.bitstream, 4).tolist() == (r.bitstream.reshape(4, 4).sum(axis=1) / 4).tolist()


@pytest.mark.parametrize("osr", [1, 3, 64, 1000, 4096])
def test_decimate_equals_numpy_reshape_sum(osr):
    rng = np.random.default_rng(osr)
    bits = rng.integers(-(2**31), 2**31, size=10_007, dtype=np.int32)  # block sums need 64 bits
    n = len(bits) // osr
    expected = bits[: n * osr].reshape(n, osr).sum(axis=1, dtype=np.int64) / osr
    assert morva.decimate_bitstream(bits, osr).view(np.int64).tolist() == expected.view(np.int64).tolist()


@pytest.mark.parametrize(
    "value",
    [
        [1, 0, 1, 1],
        (1, 0),
        np.array([1.0, 0.0, 1.0]),
        np.array([1, 0], dtype=np.int64),
        np.array([1, 0], dtype=np.uint32),
        np.array([1, 0], dtype=">i4"),
        np.arange(10, dtype=np.int32)[::2],
        np.zeros((2, 2), dtype=np.int32),
        memoryview(np.zeros(4, dtype=np.int32)),
        None,
    ],
)
def test_decimate_takes_only_contiguous_int32_arrays(value):
    with pytest.raises(TypeError, match=r"^argument 'bitstream': "):
        morva.decimate_bitstream(value, 2)


@pytest.mark.parametrize("mean, phi_0, phi_1, phase",
                         [(0.5, 10.0, 30.0, 20.0), (0.0, 10.0, 30.0, 10.0), (1.0, 10.0, 30.0, 30.0),
                          (0.25, -90.0, 90.0, -45.0)])
def test_bs_to_phase(mean, phi_0, phi_1, phase):
    assert morva.bs_to_phase(mean, phi_0, phi_1) == phase


# ---- SAR trim -----------------------------------------------------------------------


def test_sar_surface():
    r = morva.run_sar_trim(0.0, 1.0, 2)
    assert (r.code, r.dac_current) == (2, 0.0)
    assert r.history == [(1, 2, 0.0, 0.0), (0, 3, 1.0, 1.0)]
    assert repr(r) == "SarResult(code=2, dac_current=0.000e0)"
    assert r.history is not r.history
    with pytest.raises(AttributeError):
        r.code = 3
    assert [step[0] for step in morva.run_sar_trim(0.0, 1.0).history] == list(range(7, -1, -1))
    assert repr(morva.run_sar_trim(0.3, 2e-9, 0)) == "SarResult(code=0, dac_current=-1.000e-9)"


@pytest.mark.parametrize(
    "offset, i_lsb, n_bits",
    [
        (0.3, 2e-9, 0),
        (7.3, 1.0, 4),  # every trial positive, the nearest-code step moves 0 -> 1
        (-2.6, 1.0, 4),
        (-2.5, 1.0, 4),  # tie keeps the lower code
        (3.7e-9, 1e-10, 8),
        (-1.23e-6, 3e-9, 10),
        (-1e12, 1.0, 32),  # code 4294967295: no nearest-code step; mid = 2^31 i_lsb
        (-2147483645.7, 1.0, 32),
        (0.1, 1e-12, 32),
    ],
)
def test_sar_matches_reference(offset, i_lsb, n_bits):
    r = morva.run_sar_trim(offset, i_lsb, n_bits)
    code, dac_current, history = ref_sar(offset, i_lsb, n_bits)
    assert r.code == code
    assert np.float64(r.dac_current).view(np.int64) == np.float64(dac_current).view(np.int64)
    assert repr(r.history) == repr(history)


# ---- refusals and conversion errors --------------------------------------------------


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: morva.run_pdsdm_oversampled(*LOOP, n_oversample=0), ValueError, "^n_oversample must be >= 1$"),
        (lambda: morva.run_sar_trim(0.0, 1.0, 33), ValueError, "^n_bits must be <= 32$"),
        (lambda: morva.decimate_bitstream(np.zeros(4, dtype=np.int32), 0), ValueError, "^osr must be >= 1$"),
        (lambda: morva.run_pdsdm(*LOOP[:5], 2**62, *LOOP[6:]), MemoryError,
         "^n_cycles = 4611686018427387904 is too large to allocate$"),
        (lambda: morva.run_pdsdm(*LOOP[:5], 2**64 - 1, *LOOP[6:]), MemoryError, "is too large to allocate"),
        (lambda: morva.run_pdsdm_oversampled(*LOOP[:5], 2**61, *LOOP[6:]), MemoryError, "too large to allocate"),
        (lambda: morva.run_pdsdm_oversampled(*LOOP, n_oversample=2**62), MemoryError,
         "^n_oversample = 4611686018427387904 is too large to allocate$"),
    ],
)
def test_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call()


LOOP_NAMES = ("phi_etf", "v_etf_pp", "f_drive", "gm", "c_int", "n_cycles", "phi_dac_0", "phi_dac_1")


# Inputs that describe no circuit: once returned the requested phase (c_int or
# f_drive 0), a made-up one (gm NaN) or a code for a NaN offset.
@pytest.mark.parametrize("run", [morva.run_pdsdm, morva.run_pdsdm_oversampled])
@pytest.mark.parametrize(
    "name, value, text",
    [
        ("c_int", 0.0, "positive and finite, got 0.0"),
        ("c_int", -1e-12, "positive and finite, got -1e-12"),
        ("f_drive", 0.0, "positive and finite, got 0.0"),
        ("f_drive", math.inf, "positive and finite, got inf"),
        ("gm", math.nan, "positive and finite, got nan"),
        ("gm", -1e-4, "positive and finite, got -0.0001"),
        ("vdd", 0.0, "positive and finite, got 0.0"),
        ("vdd", math.nan, "positive and finite, got nan"),
        ("phi_etf", math.nan, "finite, got nan"),
        ("v_etf_pp", math.inf, "finite, got inf"),
        ("phi_dac_1", -math.inf, "finite, got -inf"),
        ("i_dac", math.nan, "finite, got nan"),
        ("vcm", math.inf, "finite, got inf"),
    ],
)
def test_loops_refuse_inputs_that_describe_no_circuit(run, name, value, text):
    kwargs = dict(zip(LOOP_NAMES, LOOP))
    kwargs[name] = value
    with pytest.raises(ValueError, match=rf"^{name} must be {text}$"):
        run(**kwargs)


@pytest.mark.parametrize(
    "args, text",
    [
        ((math.nan, 1.0, 3), "offset_current must be finite, got nan"),
        ((5.0, -1.0, 4), "i_lsb must be positive and finite, got -1.0"),
        ((5.0, 0.0, 4), "i_lsb must be positive and finite, got 0.0"),
        ((5.0, math.inf, 4), "i_lsb must be positive and finite, got inf"),
    ],
)
def test_sar_refuses_inputs_that_describe_no_circuit(args, text):
    with pytest.raises(ValueError, match=f"^{text}$"):
        morva.run_sar_trim(*args)


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: morva.run_pdsdm(None, *LOOP[1:]), "phi_etf"),
        (lambda: morva.run_pdsdm(*LOOP[:4], "1e-12", *LOOP[5:]), "c_int"),
        (lambda: morva.run_pdsdm(*LOOP[:5], -1, *LOOP[6:]), "n_cycles"),
        (lambda: morva.run_pdsdm(*LOOP[:5], 16.0, *LOOP[6:]), "n_cycles"),
        (lambda: morva.run_pdsdm(*LOOP[:5], 2**64, *LOOP[6:]), "n_cycles"),
        (lambda: morva.run_pdsdm(*LOOP, vcm=None), "vcm"),
        (lambda: morva.run_pdsdm_oversampled(*LOOP, n_oversample=-1), "n_oversample"),
        (lambda: morva.run_pdsdm_oversampled(*LOOP, v_os_gm=None), "v_os_gm"),
        (lambda: morva.run_sar_trim("x", 1.0), "offset_current"),
        (lambda: morva.run_sar_trim(0.0, 1.0, 2**32), "n_bits"),
        (lambda: morva.run_sar_trim(0.0, 1.0, -1), "n_bits"),
        (lambda: morva.decimate_bitstream(np.zeros(4, dtype=np.int32), -2), "osr"),
        (lambda: morva.bs_to_phase(0.5, None, 1.0), "phi_dac_0"),
        (lambda: morva.PdsdmResult(), None),
        (lambda: morva.SarResult(), None),
    ],
)
def test_conversion_errors_name_the_argument(call, name):
    text = rf"^argument '{name}': " if name else r"^No constructor defined for (PdsdmResult|SarResult)$"
    with pytest.raises(TypeError, match=text):
        call()


def test_docstrings_begin_with_the_text_signature():
    loop = "phi_etf, v_etf_pp, f_drive, gm, c_int, n_cycles, phi_dac_0, phi_dac_1, v_os_gm=0.0, i_dac=0.0, vdd=1.2, vcm=0.6"
    for func, args in [("run_pdsdm", loop), ("run_pdsdm_oversampled", loop + ", n_oversample=100"),
                       ("run_sar_trim", "offset_current, i_lsb, n_bits=8"),
                       ("decimate_bitstream", "bitstream, osr"), ("bs_to_phase", "bs_mean, phi_dac_0, phi_dac_1")]:
        assert getattr(morva, func).__doc__.splitlines()[0] == f"{func}({args})"
