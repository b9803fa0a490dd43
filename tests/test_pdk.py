"""flatten_pdk: design-kit corners flattened into one netlist text."""

import os
import pathlib
import re
import shutil
import subprocess

import pytest

import morva
from conftest import KIT_CORNERS, build_kit

# The corner file: CRLF line ends, quoted redirects into other files, a
# same-named nested header, a redirect cycle, a section reached twice.
KIT_LIB = """\
* demo kit
.LIB TT
.param corner_tt = 1
.lib 'models.lib' mos_tt
  .lib "sub/res.lib" res
.endl TT
.LIB SS
.lib 'models.lib' mos_ss
.endl SS
.lib ff
.param ff_a = 1
.endl
.param outside = 3
.lib fs
.param fs_a = 2
.endl ff
.param outside = 4
.lib copy
.lib models.lib
.lib 'models.lib'
.lib "unclosed.lib tt
.lib other
.endl other
.endl
.endl copy
.lib alpha
.lib 'kit.lib' beta
.endl alpha
.lib beta
.lib 'kit.lib' alpha
.endl beta
.lib dot_alpha
.lib './kit.lib' dot_beta
.endl dot_alpha
.lib dot_beta
.lib 'sub/../kit.lib' dot_alpha
.endl dot_beta
.lib twice
.lib 'models.lib' gamma
.lib "sub/../models.lib" GAMMA
.endl twice
.lib broken
.lib 'missing.lib' x
.endl broken
.lib 'QQ'
.endl QQ
"""

# Corners share one block of cards binned in length and width, with values
# written as quoted sums, braces and parentheses.
MODELS_LIB = """\
.lib mos_tt
.param dvth = 0 toxn = 4.1n
.lib models.lib mos_common
.endl mos_tt
.lib mos_ss
.param dvth = 0.03
+ toxn = '4.1n * 1.02'
.lib models.lib mos_common
.endl mos_ss
.lib mos_common
.model nch.1 nmos (level = 54 version = 4.8
+ lmin = 0.18u lmax = 0.5u wmin = 0.22u wmax = 1.2u
+ vth0 = '0.40 + dvth' toxe = toxn u0 = (0.03+0.002)*1.5 k1 = {0.5 * 1.1} k2 = 0.01 )
.model nch.2 nmos (level = 54 version = 4.8
+ lmin = 0.18u lmax = 0.5u wmin = 1.2u wmax = 100u
+ vth0 = '0.43 + dvth' toxe = toxn u0 = 0.045 k1 = 0.53 k2 = 0.01 )
.model nch.3 nmos (level = 54 version = 4.8
+ lmin = 0.5u lmax = 100u wmin = 0.22u wmax = 100u
+ vth0 = {0.47 + dvth} toxe = toxn u0 = 0.04 k1 = 0.56 k2 = 0.01 )
.model pch pmos level=54 version=4.8 vth0='-0.42 - dvth' toxe=toxn u0=0.012
.subckt nch_mac d g s b w=1u l=0.18u nf=1 sa=0.4u sb=0.5u sd=0.3u ad='w*2e-7'
M0 d g s b nch w=w l=l nf=nf sa=sa sb=sb sd=sd ad=ad
.ends nch_mac
.endl mos_common
.lib gamma
.param g = 1
.endl gamma
"""

RES_LIB = ".lib res\n.param rsh_poly = 7.5\n.endl res\n"


def crlf(text):
    return text.replace("\n", "\r\n")


@pytest.fixture
def kit(tmp_path):
    (tmp_path / "kit.lib").write_bytes(crlf(KIT_LIB).encode())
    (tmp_path / "models.lib").write_text(MODELS_LIB)
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "res.lib").write_text(RES_LIB)
    return pathlib.Path(os.path.realpath(tmp_path))


def body(text):
    """The flattened text without its first (header) line."""
    return text.split("\n", 1)[1]


def test_corner_with_nested_redirects(kit, monkeypatch):
    monkeypatch.chdir(kit)
    text = morva.flatten_pdk("kit.lib", "tt")
    assert text.startswith("* morva.flatten_pdk(kit.lib, tt) \u2014 auto-flattened\n")
    assert "\r" not in text
    common_start = MODELS_LIB.index(".model nch.1")
    common = MODELS_LIB[common_start : MODELS_LIB.index(".endl mos_common")].rstrip()
    assert body(text) == (
        ".param corner_tt = 1\n"
        "* >>> nested .lib 'models.lib' mos_tt (expanded)\n"
        ".param dvth = 0 toxn = 4.1n\n"
        "* >>> nested .lib 'models.lib' mos_common (expanded)\n"
        f"{common}\n"
        "* <<< end mos_common\n"
        "* <<< end mos_tt\n"
        "* >>> nested .lib 'sub/res.lib' res (expanded)\n"
        ".param rsh_poly = 7.5\n"
        "* <<< end res\n"
    )
    # The corner is matched ignoring case and blanks; a path object works.
    again = morva.flatten_pdk(kit / "kit.lib", corner=" TT ")
    assert body(again) == body(text)
    assert again.startswith(f"* morva.flatten_pdk({kit / 'kit.lib'},  TT ) \u2014")


def test_section_structure(kit):
    path = str(kit / "kit.lib")
    # As in ngspice, the first ".endl" closes a section, bare or naming
    # another one.
    assert body(morva.flatten_pdk(path, "FF")) == ".param ff_a = 1\n"
    assert body(morva.flatten_pdk(path, "fs")) == ".param fs_a = 2\n"
    # Lines that are not complete redirects and other sections' headers are
    # copied as they stand; a quoted one-word header is a header.
    assert body(morva.flatten_pdk(path, "copy")) == ".lib models.lib\n.lib 'models.lib'\n.lib \"unclosed.lib tt\n.lib other\n"
    assert body(morva.flatten_pdk(path, "QQ")) == ""
    # A section reached twice is expanded twice, through either path.
    twice = body(morva.flatten_pdk(path, "twice"))
    assert twice == (
        "* >>> nested .lib 'models.lib' gamma (expanded)\n.param g = 1\n* <<< end gamma\n"
        "* >>> nested .lib 'sub/../models.lib' GAMMA (expanded)\n.param g = 1\n* <<< end GAMMA\n"
    )


def test_errors(kit):
    path = str(kit / "kit.lib")
    cases = [
        ("alpha", f"cycle detected while flattening PDK: revisited section 'alpha' in {kit}/kit.lib"),
        # The cycle is found through "./" and ".." as well.
        ("dot_alpha", f"cycle detected while flattening PDK: revisited section 'dot_alpha' in {kit}/./sub/../kit.lib"),
        ("broken", f"reading PDK file {kit}/missing.lib: No such file or directory (os error 2)"),
        ("nope", f"section '.LIB nope' not found in {kit}/kit.lib"),
    ]
    for corner, message in cases:
        with pytest.raises(OSError) as info:
            morva.flatten_pdk(path, corner)
        assert str(info.value) == message
    with pytest.raises(OSError) as info:
        morva.flatten_pdk(str(kit / "absent.lib"), "tt")
    assert str(info.value) == f"reading PDK file {kit}/absent.lib: No such file or directory (os error 2)"
    # A NUL would cut the path to another file's name.
    with pytest.raises(OSError) as info:
        morva.flatten_pdk(path + "\0.bak", "tt")
    assert str(info.value) == "file name contained an unexpected NUL byte"


def test_argument_types(kit):
    with pytest.raises(TypeError, match=r"^argument 'path': expected str, bytes or os.PathLike object, not int$"):
        morva.flatten_pdk(1, "tt")
    with pytest.raises(TypeError, match=r"^argument 'corner': 'int' object cannot be converted to 'PyString'$"):
        morva.flatten_pdk(str(kit / "kit.lib"), 3)
    with pytest.raises(TypeError, match=r"^argument 'corner': 'NoneType' object cannot"):
        morva.flatten_pdk(str(kit / "kit.lib"), None)
    with pytest.raises(TypeError, match=r"^argument 'corner': 'utf-8' codec can't encode"):
        morva.flatten_pdk(str(kit / "kit.lib"), "\udc80")
    with pytest.raises(TypeError):
        morva.flatten_pdk(str(kit / "kit.lib"))

    class Where:
        def __fspath__(self):
            return str(kit / "kit.lib")

    assert morva.flatten_pdk(corner="ff", path=Where()).startswith(f"* morva.flatten_pdk({kit}/kit.lib, ff)")
    assert morva.flatten_pdk.__doc__.splitlines()[0].startswith("flatten_pdk(path, corner)")


def test_hostile_files(tmp_path):
    # A long chain of distinct sections is cut off, saying so.
    chain = "".join(f".lib s{i}\n.lib 'deep.lib' s{i + 1}\n.endl s{i}\n" for i in range(400))
    (tmp_path / "deep.lib").write_text(chain + ".lib s400\n.endl s400\n")
    with pytest.raises(OSError, match=r"^flattening PDK: redirects and includes nested deeper than 256 levels at section 's256' in "):
        morva.flatten_pdk(tmp_path / "deep.lib", "s0")
    # Sections that each redirect twice to the next would double the text at
    # every level.
    doubling = "".join(f".lib d{i}\n.lib 'wide.lib' d{i + 1}\n.lib 'wide.lib' d{i + 1}\n.endl d{i}\n" for i in range(60))
    (tmp_path / "wide.lib").write_text(doubling + ".lib d60\n" + "x" * 200 + "\n.endl d60\n")
    with pytest.raises(OSError, match=r"^flattened PDK text exceeds 268435456 bytes at section "):
        morva.flatten_pdk(tmp_path / "wide.lib", "d0")
    # Undecodable bytes are replaced.
    (tmp_path / "bytes.lib").write_bytes(b".lib tt\n\xff\xfe x\n.endl tt\n")
    assert body(morva.flatten_pdk(tmp_path / "bytes.lib", "tt")) == "\ufffd\ufffd x\n"
    # A redirect to a device or a pipe would read without end or block for
    # ever: only regular files are read.
    os.mkfifo(tmp_path / "pipe.lib")
    for target in ["/dev/null", "pipe.lib"]:
        (tmp_path / "dev.lib").write_text(f'.lib tt\n.lib "{target}" tt\n.endl tt\n')
        with pytest.raises(OSError) as info:
            morva.flatten_pdk(tmp_path / "dev.lib", "tt")
        shown = target if target.startswith("/") else f"{tmp_path}/{target}"
        assert str(info.value) == f"reading PDK file {shown}: not a regular file"


def test_comments_after_headers_ends_and_redirects(tmp_path):
    # ngspice reads ".lib tt ; typical" as the header of tt: a comment after a
    # directive is not a word of it. Copied lines keep their comments.
    (tmp_path / "c.lib").write_text(
        ".LIB TT ; typical corner\n"
        ".param a = 1 ; kept as written\n"
        ".lib 'c.lib' mos $ the devices\n"
        ".endl TT ; end of tt\n"
        ".lib mos $ devices\n"
        ".param b = 2\n"
        ".lib other ; nested, copied\n"
        ".endl other\n"
        ".endl mos\n"
    )
    assert body(morva.flatten_pdk(tmp_path / "c.lib", "tt")) == (
        ".param a = 1 ; kept as written\n"
        "* >>> nested .lib 'c.lib' mos (expanded)\n"
        ".param b = 2\n.lib other ; nested, copied\n"
        "* <<< end mos\n"
    )


def test_quoted_section_words(tmp_path):
    # ngspice reads `.lib "file" "mos"` as a redirect to section mos.
    (tmp_path / "q.lib").write_text(
        ".lib tt\n.lib \"q.lib\" \"mos\"\n.lib 'q.lib' 'MOS'\n.endl tt\n.lib mos\n.param b = 2\n.endl mos\n"
    )
    assert body(morva.flatten_pdk(tmp_path / "q.lib", "tt")) == (
        "* >>> nested .lib 'q.lib' \"mos\" (expanded)\n.param b = 2\n* <<< end \"mos\"\n"
        "* >>> nested .lib 'q.lib' 'MOS' (expanded)\n.param b = 2\n* <<< end 'MOS'\n"
    )


def raw_data(path):
    """The variables and values of an ngspice binary raw file."""
    data = path.read_bytes()
    start = data.index(b"No. Variables:")
    return data[start:]


DECK = """\
flattened corner check
{models}
m1 d1 g 0 0 nch w=10u l=0.28u
m2 d2 g 0 0 nch w=0.5u l=0.3u
m3 d3 g 0 0 nch w=2u l=1u
x1 d4 g 0 0 nch_mac w=4u l=0.36u
m5 d5 gp 0 0 pch w=2u l=0.2u
vd1 d1 0 0
vd2 d2 0 0
vd3 d3 0 0
vd4 d4 0 0
vd5 d5 0 0
eg gp 0 g 0 -1
vg g 0 0
.dc vg 0 1.2 0.1 vd1 0 1.2 0.3
.end
"""


@pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")
@pytest.mark.parametrize("corner", ["tt", "SS"])
def test_ngspice_gives_identical_results(kit, corner):
    """ngspice simulating from the flattened text and from the .lib include
    gives the same numbers, bit for bit."""
    flat = morva.flatten_pdk(kit / "kit.lib", corner)
    decks = {"include": f".lib 'kit.lib' {corner}", "flat": flat}
    results = {}
    for name, models in decks.items():
        # Each source drives its own drain so every device shows in the file.
        deck = DECK.format(models=models)
        deck = deck.replace("vd2 d2 0 0", "vd2 d2 0 dc 0.6").replace("vd3 d3 0 0", "vd3 d3 0 dc 0.9")
        deck = deck.replace("vd4 d4 0 0", "vd4 d4 0 dc 1.1").replace("vd5 d5 0 0", "vd5 d5 0 dc -0.7")
        (kit / f"{name}.cir").write_text(deck)
        run = subprocess.run(
            ["ngspice", "-b", "-r", f"{name}.raw", f"{name}.cir"], cwd=kit, capture_output=True, text=True, timeout=120
        )
        assert run.returncode == 0, run.stdout + run.stderr
        assert "error" not in (run.stdout + run.stderr).lower(), run.stdout + run.stderr
        results[name] = raw_data(kit / f"{name}.raw")
    assert len(results["flat"]) > 5000
    assert results["flat"] == results["include"]


KIT_DECK = """\
kit corner check
{models}
m1 d1 g 0 0 nch w=10{u} l=0.28{u}
m2 d2 g 0 0 nch w=2{u} l=1{u}
x3 d3 g 0 0 nch_mac w=4{u} l=0.36{u}
m4 d4 gp 0 0 pch w=2{u} l=0.2{u}
q5 d5 b5 0 npn1
d6 d6 0 dmod
r7 d7 0 rpoly l=10{u} w=1{u}
vd1 d1 0 0.9
vd2 d2 0 0.6
vd3 d3 0 1.1
vd4 d4 0 -0.7
vd5 d5 0 1
vb5 b5 0 0.7
vd6 d6 0 0.65
vd7 d7 0 1
eg gp 0 g 0 -1
vg g 0 0
.dc vg 0 1.2 0.1
.end
"""


@pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")
@pytest.mark.parametrize("scale", [False, True])
@pytest.mark.parametrize("corner", KIT_CORNERS)
def test_kit_corners_simulate_as_the_lib_line_does(tmp_path, corner, scale):
    """Every corner of a kit closed by bare and mismatched .endl lines, with
    quoted same-file redirects: ngspice gives the flattened text and
    `.lib kit.lib corner` the same raw file, bit for bit."""
    kit = build_kit(tmp_path, scale)
    flat = morva.flatten_pdk(kit, corner)
    assert flat.count(".model nch.") == 2 and ".model npn1" in flat
    results = {}
    for name, models in (("include", f".lib 'kit.lib' {corner}"), ("flat", flat)):
        (tmp_path / f"{name}.cir").write_text(KIT_DECK.format(models=models, u="" if scale else "u"))
        run = subprocess.run(["ngspice", "-b", "-r", f"{name}.raw", f"{name}.cir"], cwd=tmp_path,
                             capture_output=True, text=True, timeout=120)
        output = run.stdout + run.stderr
        assert run.returncode == 0 and "error" not in output.lower(), output
        results[name] = raw_data(tmp_path / f"{name}.raw")
    assert results["flat"] == results["include"]


# ---- kits that come back to themselves ----

CARD = (pathlib.Path(__file__).resolve().parent.parent / "examples" / "bsim4_180nm.lib").read_text()
CARD = CARD[: CARD.index(".model pch")]

# Files of a kit whose corner tt ngspice follows without end (None: it reads
# it), and what each reader of it names as reached again.
CYCLIC_KITS = {
    "section redirecting to itself": (
        {"kit.lib": f".lib tt\n{CARD}.lib 'kit.lib' tt\n.endl tt\n"}, "section 'tt' in {d}/kit.lib"),
    "sections of two files redirecting to each other": (
        {"kit.lib": ".lib tt\n.lib 'models/m.lib' mos\n.endl tt\n",
         "models/m.lib": f".lib mos\n{CARD}.lib '../kit.lib' TT\n.endl mos\n"},
        "section 'tt' in {d}/models/../kit.lib"),
    "file including itself": (
        {"kit.lib": ".lib tt\n.include 'cards.inc'\n.endl tt\n", "cards.inc": f"{CARD}.include cards.inc\n"},
        "file {d}/cards.inc"),
    "files including each other, outside the corner": (
        {"kit.lib": f".lib tt\n{CARD}.endl tt\n.lib other\n.include 'a.inc'\n.endl other\n",
         "a.inc": ".include b.inc\n", "b.inc": ".include ./a.inc\n"}, "file {d}/./a.inc"),
    "one section reached from two": (
        {"kit.lib": ".lib tt\n.lib 'kit.lib' a\n.lib 'kit.lib' b\n.endl\n.lib a\n.lib 'kit.lib' common\n.endl\n"
                    f".lib b\n.lib 'kit.lib' common\n.endl\n.lib common\n.include 'cards.inc'\n.endl\n",
         "cards.inc": CARD}, None),
}


@pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")
@pytest.mark.parametrize("name", CYCLIC_KITS)
def test_kits_ngspice_follows_without_end_are_refused_on_every_path(tmp_path, capfd, name):
    files, revisited = CYCLIC_KITS[name]
    for file, text in files.items():
        (tmp_path / file).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / file).write_text(text)
    kit = str(pathlib.Path(os.path.realpath(tmp_path)) / "kit.lib")
    # ngspice loops on a section reached again and crashes on a file
    # included again: it never reaches the operating point. Only a looping
    # kit is given a short time: one that runs may be slow on a busy machine.
    (tmp_path / "op.cir").write_text(f"op\n.lib '{kit}' tt\nm1 d g 0 0 nch w=1u l=0.18u\nvd d 0 0.9\nvg g 0 0.9\n"
                                     ".control\nop\nprint @m1[id]\n.endc\n.end\n")
    try:
        run = subprocess.run(["ngspice", "-b", "op.cir"], cwd=tmp_path, capture_output=True, text=True,
                             timeout=120 if revisited is None else 3)
        ran = "@m1[id] = " in run.stdout
    except subprocess.TimeoutExpired:
        ran = False
    assert ran == (revisited is None)

    sweep = dict(model_name="nch", widths_values=[1e-6], lengths_values=[0.18e-6], vgs=(0.0, 1.2, 0.2),
                 vds=(0.0, 1.2, 0.2))
    configs = {native: morva.LutConfig(model_file=kit, model_section="tt", use_native_bsim4=native, **sweep)
               for native in (True, False)}
    configs["included"] = morva.LutConfig(model_includes=[(kit, "tt")], **sweep)
    with morva.SimulationPool(workers=1) as pool:
        if revisited is None:
            assert morva.DcSolver(kit, "nch", w=1e-6, l=0.18e-6, model_section="tt").solve(0.9, 0.9).converged
            for cfg in configs.values():
                assert pool.generate_lut(cfg, cache=False).id.shape == (7, 7)
            assert morva.flatten_pdk(kit, "tt").count(".model nch") == 2
            return
        place = revisited.format(d=os.path.realpath(tmp_path))
        # A cycle is no I/O error: the message is the cycle's alone.
        with pytest.raises(RuntimeError, match=f"^failed to parse model file '{re.escape(kit)}': cycle detected "
                                               f"while reading model file: revisited {re.escape(place)}$"):
            morva.DcSolver(kit, "nch", w=1e-6, l=0.18e-6, model_section="tt")
        capfd.readouterr()
        # Before any simulation: no plan, no fallback.
        for cfg in configs.values():
            with pytest.raises(ValueError, match=f"^cycle detected while reading model file: revisited "
                                                 f"{re.escape(place)}$"):
                pool.generate_lut(cfg, cache=False)
            out, err = capfd.readouterr()
            assert "W ×" not in out and err == ""
    with pytest.raises(OSError) as info:
        morva.flatten_pdk(kit, "tt")
    assert str(info.value) == f"cycle detected while flattening PDK: revisited {place}"
