"""NgpsfFile.plot_records_html: the standalone strip-chart page."""

import concurrent.futures
import json
import math
import os
import pathlib
import re
import subprocess
import sys
import time

import numpy as np
import pytest

from morva import NgpsfFile, PsfFile
from test_psfxl import Companion, stored_frame

NAN, INF = float("nan"), float("inf")


def page_parts(text):
    """(traces, axes, plot height) read back from a written page."""
    traces = json.loads(re.search(r"\nconst traces = (.*);\nconst layout = ", text).group(1))
    axes = json.loads("{" + re.search(r'dragmode:"zoom",(.*)\};\nconst config = ', text).group(1) + "}")
    height = int(re.search(r"#plot\{width:100vw;height:(\d+)px;\}", text).group(1))
    return traces, axes, height


def nine_digits(values):
    """The page's number form read back: None for NaN and infinities."""
    return [float(f"{v:.9e}") if math.isfinite(v) else None for v in values]


@pytest.fixture
def wave_file(tmp_path):
    c = Companion()
    c.pair(1, stored_frame([0.0, 1e-12, 2e-9]), stored_frame([0.0015, NAN, -INF]), 3)
    c.pair(2, stored_frame([0.0, 1.0]), stored_frame([250.0, -1.0]), 2)
    c.pair(0xFF0, stored_frame([0.5]), stored_frame([1 / 3]), 1)
    c.back_ref(3, stored_frame([7.0, 8.0]), 2)  # takes the time axis of record 2
    c.add(Companion.tag(9, 0x10, 5), b"\x01\x02")  # no decodable stream
    path = tmp_path / "w.psfxl"
    path.write_bytes(bytes(c.data))
    return NgpsfFile(path)


def test_traces_hold_every_sample_in_the_nine_digit_form(wave_file, tmp_path):
    out = tmp_path / "p.html"
    assert wave_file.plot_records_html([1, 2, 3, 0xFF0], str(out)) == str(out)
    text = out.read_text(encoding="utf-8")
    traces, axes, height = page_parts(text)
    assert [t["name"] for t in traces] == ["record_0x1", "record_0x2", "record_0x3", "record_0xff0"]
    for trace, rid in zip(traces, [1, 2, 3, 0xFF0]):
        t, v = wave_file.decode_waveform(rid)
        assert trace["x"] == nine_digits(t) and trace["y"] == nine_digits(v)
    assert '"x":[0.000000000e0,1.000000000e-12,2.000000000e-9],"y":[1.500000000e-3,null,null]' in text
    assert '"y":[2.500000000e2,-1.000000000e0]' in text
    assert [(t["xaxis"], t["yaxis"]) for t in traces] == [("x", "y"), ("x2", "y2"), ("x3", "y3"), ("x4", "y4")]
    assert height == 640
    # The last pane carries the x tick labels and title; all x axes follow the first.
    assert [axes[f"xaxis{s}"]["showticklabels"] for s in ("", "2", "3", "4")] == [False, False, False, True]
    assert axes["xaxis4"]["title"] == {"text": "time [s]", "font": {"color": "#cccccc"}}
    assert axes["xaxis"]["title"] == "" and "matches" not in axes["xaxis"]
    assert all(axes[f"xaxis{s}"]["matches"] == "x" for s in ("2", "3", "4"))


@pytest.mark.parametrize(
    "count, domains, height",
    [
        (1, ["[0.0800,0.9600]"], 420),
        (2, ["[0.5290,0.9600]", "[0.0800,0.5110]"], 420),
        (3, ["[0.6787,0.9600]", "[0.3793,0.6607]", "[0.0800,0.3613]"], 510),
    ],
)
def test_pane_geometry(wave_file, tmp_path, count, domains, height):
    out = tmp_path / "p.html"
    wave_file.plot_records_html([2] * count, out)
    text = out.read_text()
    assert re.findall(r'"yaxis\d*":\{"anchor":"x\d*","domain":(\[[^\]]*\])', text) == domains
    assert page_parts(text)[2] == height


def test_many_panes_keep_positive_heights(wave_file, tmp_path):
    out = tmp_path / "p.html"
    wave_file.plot_records_html([2] * 60, out)
    _, axes, height = page_parts(out.read_text())
    assert height == 4000  # the browser's WebGL canvas is twice as high, at most 8192 px
    domains = [axes["yaxis" + ("" if i == 0 else str(i + 1))]["domain"] for i in range(60)]
    assert domains[0][1] == 0.96 and domains[-1][0] == pytest.approx(0.08, abs=1e-6)
    for (bottom, top), (_, next_top) in zip(domains, domains[1:] + [[0, 0]]):
        assert bottom < top and next_top < bottom


def test_names_titles_and_escaping(wave_file, tmp_path):
    out = tmp_path / "p.html"
    names = ['q"\\\t\x01</script>é→', "unused", "extra"]
    wave_file.plot_records_html([2, 2], out, names=names[:1], title="<b>run</b>")
    text = out.read_text(encoding="utf-8")
    assert "<title><b>run</b></title>" in text and "<h1><b>run</b></h1>" in text
    escaped = '"q\\"\\\\\\t\\u0001<\\/script>é→"'
    assert text.count(escaped) == 2  # trace name and y-axis title
    assert text.count("</script>") == 2  # only the page's own two script elements
    traces, axes, _ = page_parts(text)
    assert traces[0]["name"] == names[0] and axes["yaxis"]["title"]["text"] == names[0]
    assert traces[1]["name"] == "record_0x2"
    # Names beyond the ids are ignored; a repeated id gives identical panes.
    wave_file.plot_records_html([2, 2], out, names=["a", "b", "c"], title="")
    traces, _, _ = page_parts(out.read_text())
    assert [t["name"] for t in traces] == ["a", "b"] and traces[0]["x"] == traces[1]["x"]
    assert "<title></title>" in out.read_text()
    wave_file.plot_records_html([2], out)
    assert "<title>PSFXL waveforms</title>" in out.read_text()
    assert "<h1>PSFXL waveforms</h1>" in out.read_text()


def test_failures_write_nothing(wave_file, tmp_path):
    out = tmp_path / "p.html"
    with pytest.raises(ValueError, match=r"^no records to plot$"):
        wave_file.plot_records_html([], out)
    with pytest.raises(ValueError, match=r"^record 0xff not found$"):
        wave_file.plot_records_html([1, 255], out)
    with pytest.raises(ValueError, match=r"^inline record has no Blosc stream to decode$"):
        wave_file.plot_records_html([1, 9], out)
    with pytest.raises(TypeError, match=r"^argument 'names': Can't extract `str` to `Vec`$"):
        wave_file.plot_records_html([1, 2], out, names="ab")
    with pytest.raises(TypeError, match=r"^argument 'record_ids': Can't extract `str` to `Vec`$"):
        wave_file.plot_records_html("12", out)
    with pytest.raises(TypeError, match=r"^argument 'title'"):
        wave_file.plot_records_html([1], out, title=3)
    with pytest.raises(OverflowError):
        wave_file.plot_records_html([-1], out)
    assert not out.exists()
    with pytest.raises(OSError, match=r"No such file or directory \(os error 2\)"):
        wave_file.plot_records_html([1], tmp_path / "missing" / "p.html")
    # The system would cut the path at the NUL and write another file.
    with pytest.raises(OSError, match=r"^file name contained an unexpected NUL byte$"):
        wave_file.plot_records_html([1], str(out) + "\0.txt")
    assert not out.exists()


def test_path_like_output_is_returned_as_str(wave_file, tmp_path):
    out = tmp_path / "p.html"
    out.write_text("old content that is longer than nothing" * 100)
    result = wave_file.plot_records_html((1,), out)
    assert result == str(out) and isinstance(result, str)
    assert out.read_text().startswith("<!DOCTYPE html>") and out.read_text().endswith("</html>\n")


def test_fifo_without_reader_fails_instead_of_hanging(wave_file, tmp_path):
    # Opening a FIFO for writing waits for a reader; with the interpreter
    # lock held that froze the whole process. Run it in a child to survive a hang.
    fifo = tmp_path / "page.fifo"
    os.mkfifo(fifo)
    code = (
        "import morva\n"
        f"f = morva.NgpsfFile({wave_file.path!r})\n"
        "try:\n"
        f"    f.plot_records_html([2], {str(fifo)!r})\n"
        "except OSError as e:\n"
        "    print('OSError', e)\n"
    )
    try:
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail("plot_records_html blocked on a FIFO without a reader")
    assert out.stdout == f"OSError writing HTML file {fifo}: No such device or address (os error 6)\n"
    # With a reader the page goes through the FIFO; /dev/null takes it too.
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        reader = pool.submit(lambda: fifo.read_bytes())
        deadline = time.monotonic() + 10
        while True:
            try:
                wave_file.plot_records_html([2], fifo)
                break
            except OSError:  # the reader has not opened its end yet
                assert time.monotonic() < deadline
                time.sleep(0.05)
        assert reader.result(timeout=10).endswith(b"</html>\n")
    assert wave_file.plot_records_html([2], "/dev/null") == "/dev/null"


def test_real_sample_follows_its_psfascii_twin(samples_dir, tmp_path):
    path = samples_dir / "psf" / "psfxl" / "tran1.tran.tran.psfxl"
    twin = samples_dir / "psf" / "ascii" / "tran1.tran.tran"
    if not path.exists() or not twin.exists():
        pytest.skip("PSFXL sample not available")
    f = NgpsfFile(path)
    ids = [r["record_id"] for r in f.parse_data_records()]
    out = tmp_path / "sample.html"
    f.plot_records_html(ids, out, names=["in", "out"])
    traces, _, _ = page_parts(out.read_text())
    ascii = PsfFile(str(twin))
    assert [t["name"] for t in traces] == ["in", "out"]
    for trace in traces:
        t_ref, v_ref = ascii.waveform(trace["name"])
        x, y = np.array(trace["x"]), np.array(trace["y"])
        assert len(x) == len(t_ref) and x[0] == 0.0 and x[-1] == pytest.approx(5e-3)
        assert np.max(np.abs(np.interp(x, t_ref, v_ref) - y)) < 1e-6
