"""Both pages in a real headless Chromium, used as a person would: the written
strip-chart page, and the live viewer with its tree, panes, keys and search.
Each scenario leaves a screenshot in its temporary folder (kept when it
fails), or in the folder MORVA_SCREENSHOTS names."""

import os
import pathlib
import re

import pytest

import viewer_support

from morva import NgpsfFile
from test_psfxl import Companion, stored_frame
from viewer_support import Browser, running_viewer, screenshot, write_viewer_files

LOAD_MS = 20000


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    b = Browser(home=tmp_path_factory.mktemp("chromium-home"))
    yield b
    b.close()


@pytest.fixture(autouse=True)
def screenshots_in_tmp_path(tmp_path, monkeypatch):
    monkeypatch.setattr(viewer_support, "SCREENSHOTS", pathlib.Path(os.environ.get("MORVA_SCREENSHOTS", tmp_path)))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return write_viewer_files(tmp_path_factory.mktemp("browser"))


@pytest.fixture(scope="module")
def viewer(files):
    with running_viewer(*files) as v:
        yield v


@pytest.fixture
def page(browser, viewer):
    p = browser.page()
    p.goto(viewer.url)
    p.wait_for_function("document.getElementById('file-meta').textContent.includes('signals')", timeout=LOAD_MS)
    yield p
    assert p.errors == []
    p.context.close()


def row(page, label):
    """The tree row whose label is exactly `label`."""
    return page.locator("#tree .node").filter(has=page.get_by_text(label, exact=True))


def labels(page):
    return page.locator("#tree .node .label").all_text_contents()


def open_pane(page, *path):
    for label in path:
        row(page, label).first.click()
    page.wait_for_function("document.querySelectorAll('.pane.loading').length === 0", timeout=LOAD_MS)


def pane_count(page):
    return page.evaluate("document.querySelectorAll('#plots .pane:not(.closing)').length")


def hint_visible(page):
    return page.locator("#empty").is_visible()


def write_many_records(path, count, n=200):
    """A PSFXL file of records 1..count, each of n samples."""
    c = Companion()
    for rid in range(1, count + 1):
        c.pair(rid, stored_frame([i * 1e-6 for i in range(n)]), stored_frame([(i + rid) % 50 for i in range(n)]), n)
    path.write_bytes(bytes(c.data))
    return path


def test_written_page_shows_stacked_panes(browser, files, tmp_path):
    out = tmp_path / "strips.html"
    NgpsfFile(files[0]).plot_records_html([200, 201, 202], out, names=["vout", "vin", "a<3>"], title="run 7")
    p = browser.page()
    p.goto(out.as_uri())
    p.wait_for_function("document.getElementById('plot')._fullLayout !== undefined", timeout=LOAD_MS)
    p.wait_for_timeout(300)
    layout = p.evaluate(
        "(() => { const l = document.getElementById('plot')._fullLayout;"
        " return Object.keys(l).filter(k => /^yaxis\\d*$/.test(k)).sort().map(k => l[k].domain); })()"
    )
    assert layout == [[0.6787, 0.96], [0.3793, 0.6607], [0.08, 0.3613]]
    assert p.locator("#hdr h1").text_content() == "run 7"
    titles = p.evaluate("Array.from(document.querySelectorAll('text[class$=\"title\"]'), e => e.textContent)")
    assert sorted(titles) == sorted(["time [s]", "vout", "vin", "a<3>"])
    screenshot(p, "html_writer_three_panes")
    assert p.errors == []
    p.context.close()


# The RGBA bytes of a WebGL canvas, read through a 2D copy of it.
GL_PIXELS = """
  const glPixels = (gl) => {
    const copy = document.createElement('canvas');
    copy.width = gl.width;
    copy.height = gl.height;
    const ctx = copy.getContext('2d');
    ctx.drawImage(gl, 0, 0);
    return ctx.getImageData(0, 0, copy.width, copy.height).data;
  };"""

# Per pane of the written page: the WebGL pixels drawn inside it, and all
# pixels drawn on the canvas.
DRAWN_PIXELS = (
    "() => {"
    + GL_PIXELS
    + """
  const gd = document.getElementById('plot'), l = gd._fullLayout;
  const gl = gd.querySelector('canvas.gl-canvas-context');
  const px = glPixels(gl);
  const sx = gl.width / gl.clientWidth, sy = gl.height / gl.clientHeight;
  const drawn = (x0, x1, y0, y1) => {
    let count = 0;
    for (let y = Math.floor(y0 * sy); y < Math.floor(y1 * sy); y++)
      for (let x = Math.floor(x0 * sx); x < Math.floor(x1 * sx); x++) count += px[4 * (y * gl.width + x) + 3] > 0;
    return count;
  };
  const panes = Object.keys(l).filter(k => /^yaxis\\d*$/.test(k)).map(k => {
    const y = l[k], x = l['xaxis' + k.slice(5)];
    return drawn(x._offset, x._offset + x._length, y._offset, y._offset + y._length);
  });
  return [panes, drawn(0, gl.clientWidth, 0, gl.clientHeight)];
}"""
)


@pytest.mark.parametrize("count", [12, 40, 60])
def test_written_page_draws_every_pane_in_place(browser, tmp_path, count):
    # From about 30 panes the page's one WebGL canvas grew past what Chromium
    # draws (8192 px): traces landed in other panes or vanished.
    wave_path = write_many_records(tmp_path / "many.psfxl", count)
    out = tmp_path / "many.html"
    NgpsfFile(wave_path).plot_records_html(list(range(1, count + 1)), out)
    p = browser.page()
    p.goto(out.as_uri())
    p.wait_for_function("document.getElementById('plot')._fullLayout !== undefined", timeout=LOAD_MS)
    p.wait_for_timeout(500)
    panes, total = p.evaluate(DRAWN_PIXELS)
    assert len(panes) == count
    assert sum(panes) == total
    assert min(panes) > 0.3 * max(panes), panes
    screenshot(p, f"html_writer_{count}_panes")
    assert p.errors == []
    p.context.close()


# The WebGL pixels drawn in pane i of the viewer, once it is scrolled into view.
PANE_PIXELS = (
    "async (i) => {"
    + GL_PIXELS
    + """
  const pane = document.querySelectorAll('#plots .pane')[i];
  pane.scrollIntoView();
  const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
  for (let k = 0; k < 100 && !pane.querySelector('canvas.gl-canvas-context'); k++) await sleep(50);
  await sleep(100);
  const gl = pane.querySelector('canvas.gl-canvas-context');
  if (!gl) return -1;
  const px = glPixels(gl);
  let count = 0;
  for (let j = 3; j < px.length; j += 4) count += px[j] > 0;
  return count;
}"""
)


def test_viewer_draws_every_pane_of_many(browser, tmp_path):
    # Each pane's plot took WebGL contexts of its own, and Chromium blanked
    # the oldest plots beyond its limit (here from the ninth pane on).
    count = 40
    path = write_many_records(tmp_path / "many.psfxl", count)
    with running_viewer(path) as v:
        p = browser.page()
        p.goto(v.url)
        p.wait_for_function("document.getElementById('file-meta').textContent.includes('signals')", timeout=LOAD_MS)
        row(p, "(records without names)").click()
        p.evaluate("Array.from(document.querySelectorAll('#tree .node')).slice(1).forEach((r) => r.click())")
        p.wait_for_function(f"document.querySelectorAll('.pane:not(.loading)').length === {count}", timeout=LOAD_MS)
        # A zoomed pane keeps its zoom while out of view.
        p.evaluate(PANE_PIXELS, 0)
        p.evaluate("Plotly.relayout(document.querySelector('.pane-plot'), {'xaxis.range': [2e-5, 5e-5]})")
        drawn = [p.evaluate(PANE_PIXELS, i) for i in range(count)]
        assert min(drawn) > 0.3 * max(drawn), drawn
        p.evaluate(PANE_PIXELS, 0)
        assert p.evaluate("document.querySelector('.pane-plot')._fullLayout.xaxis.range") == [2e-5, 5e-5]
        assert p.evaluate("document.querySelectorAll('#plots canvas.gl-canvas-context').length") <= 8
        screenshot(p, f"viewer_{count}_panes")
        assert p.errors == []
        p.context.close()


def test_start_shows_file_and_counts(page, files):
    megabytes = f"{files[0].stat().st_size / 2**20:.1f}"
    assert page.locator("#file-meta").text_content() == (
        f"run.tran.tran.psfxl · 11 signals · 10 decodable · {megabytes} MB"
    )
    assert page.locator("#stats-count").text_content() == "11 signals"
    assert page.locator("#stats-decodable").text_content() == "10 decodable"
    assert labels(page) == ["(records without names)", "evil", "top", "Vout_ref"]
    assert page.locator("#tree .node .badge").all_text_contents() == ["3", "1", "5", "400"]
    assert hint_visible(page)
    row(page, "top").click()
    assert labels(page)[3:9] == ["bus", "broken", "undec", "vin", "vout", "Vout_ref"]
    assert row(page, "vout").get_attribute("title") == (
        "top.vout  →  record 0xc8  ·  400 samples  ·  standalone-pair"
    )
    assert "undecodable" in row(page, "undec").get_attribute("class")
    screenshot(page, "viewer_start")


def test_click_opens_and_closes_a_pane(page):
    open_pane(page, "top", "vout")
    assert pane_count(page) == 1 and not hint_visible(page)
    stats = page.locator(".pane-stats").text_content()
    assert stats == "400 pts · 0 → 1.00 ms · min -1.00 · max 1.00"
    assert page.locator(".pane-title").text_content() == "top.vout"
    assert "active" in row(page, "vout").get_attribute("class")
    assert page.locator(".pane-plot").evaluate("e => e.getBoundingClientRect().height") == 180
    screenshot(page, "viewer_one_pane")
    row(page, "vout").click()  # a second click closes it
    page.wait_for_function("document.querySelectorAll('#plots .pane').length === 0")
    assert hint_visible(page)
    assert "active" not in row(page, "vout").get_attribute("class")


def test_clear_and_keys(page):
    open_pane(page, "top", "vout")
    open_pane(page, "vin")
    open_pane(page, "Vout_ref")
    assert pane_count(page) == 3
    page.keyboard.press("t")
    page.wait_for_timeout(200)
    assert "active" in page.locator("#btn-tall").get_attribute("class")
    heights = page.locator(".pane-plot").evaluate_all("els => els.map(e => e.getBoundingClientRect().height)")
    assert heights == [320, 320, 320]
    page.keyboard.press("S")
    page.wait_for_timeout(300)
    assert page.locator("#sidebar").evaluate("e => e.getBoundingClientRect().width") == 0
    screenshot(page, "viewer_tall_collapsed")
    page.keyboard.press("s")
    page.wait_for_timeout(300)
    assert page.locator("#sidebar").evaluate("e => e.getBoundingClientRect().width") == 340
    page.locator("#btn-clear").click()
    page.wait_for_function("document.querySelectorAll('#plots .pane').length === 0")
    assert hint_visible(page)
    open_pane(page, "vin")
    page.keyboard.press("c")
    page.wait_for_function("document.querySelectorAll('#plots .pane').length === 0")
    page.keyboard.press("T")
    assert "active" not in page.locator("#btn-tall").get_attribute("class")
    page.keyboard.press("/")
    assert page.evaluate("document.activeElement.id") == "search"
    screenshot(page, "viewer_after_clear")


def test_search_filters_case_insensitively(page):
    page.keyboard.press("/")
    page.keyboard.type("VOUT")
    page.wait_for_function("document.querySelectorAll('#tree .node').length === 2")
    assert labels(page) == ["top.vout", "Vout_ref"]
    assert row(page, "top.vout").get_attribute("title") == "top.vout  →  record 0xc8"
    # Keys typed into the search field are not shortcuts.
    assert not page.locator("body").evaluate("b => b.classList.contains('collapsed')")
    screenshot(page, "viewer_search")
    row(page, "top.vout").click()
    page.wait_for_function("document.querySelectorAll('.pane.loading').length === 0", timeout=LOAD_MS)
    assert pane_count(page) == 1
    page.locator("#search").fill("nothing-like-this")
    page.wait_for_function("document.querySelector('#tree').textContent === 'no matches'")
    page.locator("#search").focus()
    page.keyboard.press("Escape")
    page.wait_for_timeout(150)
    assert page.locator("#search").input_value() == ""
    assert page.evaluate("document.activeElement.id") != "search"
    assert labels(page) == ["(records without names)", "evil", "top", "Vout_ref"]


def test_undecodable_and_failing_signals(page):
    row(page, "top").click()
    row(page, "undec").click()
    toast = page.locator("#toast")
    page.wait_for_function("document.getElementById('toast').classList.contains('show')")
    assert toast.text_content() == "this signal has no decodable waveform"
    assert pane_count(page) == 0
    screenshot(page, "viewer_toast")
    open_pane(page, "broken")
    pane = page.locator(".pane")
    assert "err" in pane.get_attribute("class")
    assert page.locator(".pane-stats").text_content() == "0x22: missing secondary (values) Blosc frame"
    assert page.evaluate("document.querySelectorAll('.pane .js-plotly-plot').length") == 0
    screenshot(page, "viewer_error_pane")


def test_names_with_markup_show_literally(page):
    open_pane(page, "top", "bus", "a<3>")
    assert labels(page)[4:6] == ["a<3>", "a<4>"]
    assert page.locator(".pane-title").text_content() == "top.bus.a<3>"
    assert page.locator(".pane .ytitle").text_content() == "a<3>"
    row(page, "evil").click()
    open_pane(page, "<img src=x onerror=alert(1)>")
    assert page.evaluate("document.querySelectorAll('img').length") == 0
    assert page.locator(".pane-title").nth(1).text_content() == "evil.<img src=x onerror=alert(1)>"
    assert page.locator(".pane .ytitle").nth(1).text_content() == "<img src=x onerror=alert(1)>"
    screenshot(page, "viewer_markup_names")


def test_unnamed_file_and_search_cap(browser, tmp_path):
    c = Companion()
    for rid in range(1, 1001):
        c.pair(rid, stored_frame([0.0, 1.0]), stored_frame([float(rid), 0.0]), 2)
    # An id that a JavaScript number cannot hold: the page must ask for it exactly.
    c.pair(2**64 - 15, stored_frame([0.0, 1.0]), stored_frame([-5.0, 5.0]), 2)
    path = tmp_path / "many.psfxl"
    path.write_bytes(bytes(c.data))
    with running_viewer(path) as v:
        assert v.counts == (1001, 0, 1001)
        p = browser.page()
        p.goto(v.url)
        p.wait_for_function("document.getElementById('stats-count').textContent === '1001 signals'", timeout=LOAD_MS)
        assert p.locator("#file-meta").text_content().startswith("many.psfxl · 1.0k signals · 1.0k decodable · ")
        assert labels(p) == ["(records without names)"]
        row(p, "(records without names)").click()
        assert labels(p)[1:4] == ["record_0x1", "record_0x10", "record_0x100"]
        open_pane(p, "record_0xfffffffffffffff1")
        assert p.locator(".pane-stats").text_content() == "2 pts · 0 → 1.00 s · min -5.00 · max 5.00"
        assert row(p, "record_0xfffffffffffffff1").get_attribute("title").startswith(
            "__orphan__.record_0xfffffffffffffff1  →  record 0xfffffffffffffff1  ·  2 samples"
        )
        p.locator("#search").fill("RECORD_0X")
        p.wait_for_function("document.querySelectorAll('#tree .node').length === 400")
        screenshot(p, "viewer_unnamed_search_cap")
        assert p.errors == []
        p.context.close()
