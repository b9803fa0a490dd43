import contextlib
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = pathlib.Path(os.environ.get("MORVA_SAMPLES", ROOT.parent / "shared" / "samples"))

# A test run started in the background by a script inherits SIGINT ignored,
# and so does every child it starts: no Ctrl-C can reach them.
needs_sigint = pytest.mark.skipif(
    signal.getsignal(signal.SIGINT) == signal.SIG_IGN,
    reason="SIGINT is ignored in this test run (started in the background): Ctrl-C cannot reach a child",
)


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    """pytest keeps its temporary folders in TMPDIR/pytest-of-<user>, which it leaves behind even when
    a passing run has emptied it. A run given no folder of its own (--basetemp) takes a fresh one,
    removed at the end when the run passed (a failed run keeps it, with the failed tests' folders)."""
    if config.option.basetemp is None and not os.environ.get("PYTEST_DEBUG_TEMPROOT"):
        config.option.basetemp = config.morva_basetemp = tempfile.mkdtemp(prefix="pytest-morva-")


def pytest_report_header(config):
    base = getattr(config, "morva_basetemp", None)
    return f"temporary folders: {base} (kept if the run fails)" if base else None


@pytest.hookimpl(trylast=True)
def pytest_sessionfinish(session, exitstatus):
    base = getattr(session.config, "morva_basetemp", None)
    if base is None:
        return
    if exitstatus == 0:
        shutil.rmtree(base, ignore_errors=True)
    else:
        with contextlib.suppress(OSError):
            os.rmdir(base)  # an empty one says nothing


@contextlib.contextmanager
def child_process(args, **kwargs):
    """`subprocess.Popen(args, **kwargs)`, killed if it still runs when the
    block ends, whatever its outcome, then reaped (its pipes closed)."""
    proc = subprocess.Popen(args, **kwargs)
    with proc:
        try:
            yield proc
        finally:
            if proc.poll() is None:
                proc.kill()


@pytest.fixture
def samples_dir():
    """The shared sample files; tests that need them skip when absent."""
    if not SAMPLES.is_dir():
        pytest.skip("sample files not available")
    return SAMPLES


def sample_library(samples_dir, folder, selectors="igcmod=0 igbmod=0", drop=(), networks=False):
    """The full-featured sample cards as one library, with `selectors` added and the parameters
    named in `drop` left out; without the gate and body networks the evaluator does not solve
    unless `networks`."""
    extra = selectors if networks else f"rbodymod=0 rgatemod=0 {selectors}"
    text = ""
    for model, kind in (("nch", "nmos"), ("pch", "pmos")):
        body = (samples_dir / "bsim4" / f"{kind}_parameters_{kind}Parameters").read_text()
        body = re.sub(r"\(([^)]*)\)", r"\1", body)
        body = "\n".join(line for line in body.splitlines()
                         if not any(re.match(rf"\+\s*{name}\s*=", line) for name in drop))
        text += f".model {model} {kind} level=54 version=4.8.2\n{body}\n"
        if extra.strip():
            text += f"+ {extra}\n"
    path = folder / "samples.lib"
    path.write_text(text)
    return str(path)


def ngspice_terminal(folder, lib, model, w, l, vbs, vgs, vds, h=1e-4, subcircuit=False, device=None,
                     abstol=1e-20):
    """ngspice's -i(vds) on the pool path's bench over the grid, solved tightly (a sweep's
    currents are otherwise good to reltol), with its central differences along Vgs, Vds and Vbs:
    (id, gm, gds, gmbs), each shaped (n_vgs, n_vds). With `subcircuit`, `model` is a subcircuit
    that the bench instantiates as the pool path does; `device` replaces the device line whole.
    With internal nodes ngspice meets no absolute current tolerance below about 1e-15 A (it
    steps gmin without end), hence `abstol`."""
    import numpy as np

    shifts = [(0, 0, 0), (h, 0, 0), (-h, 0, 0), (0, h, 0), (0, -h, 0), (0, 0, h), (0, 0, -h)]
    # A quarter step past the stop, so that rounding never drops the last point.
    sweep = lambda r, d: f"{r[0] + d!r} {r[1] + d + r[2] / 4!r} {r[2]!r}"
    control = ""
    for k, (dg, dd, db) in enumerate(shifts):
        control += (f"alter vbs dc = {vbs + db!r}\ndc vds {sweep(vds, dd)} vgs {sweep(vgs, dg)}\n"
                    f"wrdata {folder}/t{k}.txt vds#branch\n")
    if device is None:
        device = (f"X1 drain gate source bulk {model} L={l!r} W={w!r}" if subcircuit
                  else f"M1 drain gate source bulk {model} W={w!r} L={l!r}")
    deck = folder / "terminal.cir"
    deck.write_text(
        f"terminal\n.include {lib}\n{device}\n" +
        f"Vds drain source dc 0\nVgs gate source dc 0\nVbs bulk source dc {vbs!r}\nVs source 0 dc 0\n"
        f".options reltol=1e-10 abstol={abstol!r}\n"
        f".control\nset numdgt=17\nset wr_singlescale\n{control}.endc\n.end\n")
    subprocess.run(["ngspice", "-b", str(deck)], cwd=folder, capture_output=True, timeout=300)
    n_vds = int(round((vds[1] - vds[0]) / vds[2])) + 1
    ids = [-np.loadtxt(folder / f"t{k}.txt")[:, 1].reshape(-1, n_vds) for k in range(len(shifts))]
    return ids[0], (ids[1] - ids[2]) / (2 * h), (ids[3] - ids[4]) / (2 * h), (ids[5] - ids[6]) / (2 * h)


# A design kit in the shapes foundry kits take: corners redirecting to
# same-file sections by quoted names, closed by bare and mismatched ".endl";
# `.param` blocks; a subcircuit wrapper with a statistical parameter; BJT,
# diode and resistor cards; a corner in a second file redirecting back; a
# statistical corner whose cards reach an agauss() through a chain of
# parameters (its variation `mc_var` 0, so that ngspice gives the nominal
# device too). With `scale`, W and L are written in micrometres under
# `.option scale=1u`.
KIT_LIB = """\
* a kit in the shapes foundries ship
.LIB tt
.param corner_dvth = 0 corner_rsh = 7.5 dtox = 0
.lib 'kit.lib' "mos"
.lib "kit.lib" 'passives'
.ENDL
.lib ss
.param corner_dvth = 0.03 corner_rsh = 8 dtox = 0
.lib 'kit.lib' mos
.lib 'kit.lib' passives
.endl tt
.lib ff
.param corner_dvth = -0.03 corner_rsh = 7 dtox = 0
.lib 'models/dev.lib' mos_ff
.lib 'kit.lib' passives
.endl passives
.lib mc
.param corner_dvth = 0 corner_rsh = 7.5 mc_var = 0
.param mc_tox = agauss(3, mc_var, 3)
.param dtox = mc_tox
.lib 'kit.lib' mos
.lib 'kit.lib' passives
.endl mc
.lib mos
.param toxn = 4.1n mismatch_flag = 0
{option}.model nch.1 nmos (level=54 version=4.8 lmin=0.18u lmax=0.5u wmin=0.22u wmax=50u
+ vth0='0.40+corner_dvth' toxe='toxn + 1e-10*dtox' u0=0.03 k1=0.5 vsat=8.5e4 rdsw=150)
.model nch.2 nmos (level=54 version=4.8 lmin=0.5u lmax=50u wmin=0.22u wmax=50u
+ vth0='0.45+corner_dvth' toxe='toxn + 1e-10*dtox' u0=0.035 k1=0.52 vsat=8.5e4 rdsw=150)
.model pch pmos (level=54 version=4.8 vth0='-0.42-corner_dvth' toxe=toxn u0=0.012)
.subckt nch_mac d g s b w=1u l=0.18u
.param dw = 'agauss(0, 0.01, 3) * mismatch_flag'
m0 d g s b nch w='w*(1+dw)' l=l
.ends nch_mac
.endl
.lib passives
.model npn1 npn (bf=100 is=1e-16 vaf=50)
.model dmod d (is=1e-14 rs=10)
.model rpoly r rsh=corner_rsh
.endl mos
"""
DEV_LIB = ".lib mos_ff\n.lib \"../kit.lib\" 'mos'\n.endl\n"
KIT_CORNERS = ("tt", "ss", "ff", "mc")


def build_kit(root, scale=False):
    """Writes the kit under `root`; returns the path of its corner file."""
    (root / "models").mkdir(parents=True, exist_ok=True)
    (root / "kit.lib").write_text(KIT_LIB.format(option=".option scale=1u\n" if scale else ""))
    (root / "models" / "dev.lib").write_text(DEV_LIB)
    return root / "kit.lib"


# Whether ngspice builds a device: its refusals, and the device line the pool path writes.
REFUSED = re.compile(r"could not find a valid modelname|unknown subckt|can't find model|[Ee]rror on line|"
                     r"unimplemented control card|Simulation interrupted|fatal error")


def netlist_number(text):
    """What ngspice's netlist reader makes of a number "d.ddde-x": its digits, then one power of ten."""
    mantissa, exponent = text.split("e")
    whole, _, fraction = mantissa.partition(".")
    return float(int(whole + fraction)) * 10.0 ** (int(exponent) - len(fraction))


def number(v):
    """A size as the pool path writes it on its device lines: in a form ngspice's reader gives back as
    v itself (four digits, the fewest that do, or the digits with zeros appended)."""
    forms = [f"{v:.3e}"] + [f"{v:.{p}e}" for p in range(17)]
    for p in range(1, 18):
        mantissa, exponent = f"{v:.{p - 1}e}".split("e")
        digits = mantissa.replace(".", "")
        forms += [f"{digits}{'0' * z}e{int(exponent) - len(digits) + 1 - z}" for z in range(3)]
    return next((f for f in forms if netlist_number(f) == v), repr(v))


def call_number(v):
    """A size as the pool path passes it to a subcircuit, whose parameters ngspice reads correctly
    rounded: four digits, or all it needs."""
    text = f"{v:.3e}"
    return text if float(text) == v else repr(v)


def ngspice_builds(folder, models, model, subcircuit, w, l):
    """Whether ngspice finds the device that the pool path's line names, with `models` (deck lines)."""
    device = (f"X1 drain gate source bulk {model} L={call_number(l)} W={call_number(w)}" if subcircuit
              else f"M1 drain gate source bulk {model} W={number(w)} L={number(l)}")
    deck = folder / "deck.cir"
    deck.write_text(f"deck\n{models}\n{device}\nVds drain source dc 0.5\nVgs gate source dc 0.5\n"
                    "Vbs bulk source dc 0\nVs source 0 dc 0\n.op\n.end\n")
    run = subprocess.run(["ngspice", "-b", str(deck)], cwd=folder, capture_output=True, text=True, timeout=60)
    return not REFUSED.search(run.stdout + run.stderr)


def child_processes(parent=None):
    """(pid, state) of the child processes of `parent` (this process by default; Linux: read from /proc)."""
    me = os.getpid() if parent is None else parent
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2 :].split()
        if int(fields[1]) == me:
            out.append((int(entry), fields[0]))
    return out


def cpu_ticks(pid):
    """The processor time `pid` has used, in clock ticks (0 once it is gone). Linux: from /proc."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(") ", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (FileNotFoundError, ProcessLookupError):
        return 0


def computing(pids, seconds):
    """A predicate: whether one of `pids` (a list, or a function giving the current list) has computed
    for `seconds` of processor time since this was called, or since it first appeared. A process
    waiting on its input computes nothing: this tells one inside a long run, however busy the
    machine, where a sleep would only guess."""
    current = pids if callable(pids) else lambda: pids
    ticks = seconds * os.sysconf("SC_CLK_TCK")
    start = {}

    def check():
        for pid in current():
            start.setdefault(pid, cpu_ticks(pid))
        return any(cpu_ticks(pid) - first >= ticks for pid, first in start.items())

    check()
    return check


def wait_until(predicate, timeout):
    """Asks `predicate` every 20 ms until it holds (True) or `timeout` seconds passed (its last answer)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def child_pids():
    """The pids of this process's child processes, zombies included."""
    return {pid for pid, _ in child_processes()}
