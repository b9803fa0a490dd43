"""Shared by the HTML writer and viewer tests: a companion file with named
signals, a viewer running in a child process, and a headless Chromium that
loads plotly.js from the local plotly package instead of its CDN."""

import contextlib
import importlib.util
import math
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

from test_psf import binary_file
from test_psfxl import Companion, stored_frame

PLOTLY_CDN_URL = "https://cdn.plot.ly/plotly-2.35.2.min.js"
BANNER = re.compile(
    r"^PSFXL viewer → http://127\.0\.0\.1:(\d+)/  \((\d+) records, (\d+) named, (\d+) decodable\)\n$"
)

# Signals of the viewer's test file: (record id, name in the companion PSF
# file with its escapes, kind). Records 1, 2 and 42 follow without names.
SIGNALS = [
    (200, "top.vout", "sine"),
    (201, "top.vin", "ramp"),
    (202, "top.bus.a\\<3\\>", "square"),
    (203, "top.bus.a\\<4\\>", "square"),
    (204, "top.undec", "inline"),
    (205, "top.broken", "broken"),
    (206, "Vout_ref", "ramp"),
    (207, "evil.<img src=x onerror=alert(1)>", "sine"),
]
ORPHANS = [1, 2, 42]
SAMPLES = 400
T_END = 1e-3


def waveform(kind, record_id):
    time_axis = [T_END * i / (SAMPLES - 1) for i in range(SAMPLES)]
    if kind == "sine":
        values = [math.sin(2 * math.pi * 3 * t / T_END) for t in time_axis]
    elif kind == "square":
        values = [float((i // 50 + record_id) % 2) for i in range(SAMPLES)]
    else:
        values = [record_id + t / T_END for t in time_axis]
    return time_axis, values


def write_viewer_files(folder):
    """The companion file and its naming PSF file; returns both paths."""
    folder = pathlib.Path(folder)
    c = Companion()
    for record_id, _, kind in SIGNALS:
        if kind == "inline":
            c.add(Companion.tag(record_id, 0x10, 5), b"\x01\x02")
            continue
        t, v = waveform(kind, record_id)
        if kind == "broken":  # a values frame that is missing
            c.add(Companion.tag(record_id, 0x22, SAMPLES), b"\x00" * 8 + stored_frame(t))
            continue
        c.pair(record_id, stored_frame(t), stored_frame(v), SAMPLES)
    for record_id in ORPHANS:
        t, v = waveform("ramp", record_id)
        c.pair(record_id, stored_frame(t), stored_frame(v), SAMPLES)
    wave_path = folder / "run.tran.tran.psfxl"
    wave_path.write_bytes(bytes(c.data))
    # The PSF writer numbers plain traces 200, 201, ... in order.
    names_path = folder / "run.tran.tran"
    names_path.write_bytes(bytes(binary_file(traces=[name for _, name, _ in SIGNALS], signature=0x300)))
    return wave_path, names_path


class Viewer:
    """`NgpsfFile(path).serve(port=0, ...)` in a child process."""

    def __init__(self, wave_path, companion=None):
        args = f"companion={str(companion)!r}" if companion else ""
        code = (
            "import signal, sys, morva\n"
            # A child started from a non-interactive shell may inherit SIGINT ignored.
            "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
            f"morva.NgpsfFile({str(wave_path)!r}).serve(port=0, {args})\n"
        )
        self.process = subprocess.Popen(
            [sys.executable, "-c", code], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, text=True, encoding="utf-8",
        )
        self.banner = self.process.stderr.readline()
        match = BANNER.match(self.banner)
        if not match:
            self.stop()
            raise AssertionError(f"no banner: {self.banner!r}")
        self.port = int(match.group(1))
        self.counts = tuple(int(g) for g in match.groups()[1:])
        self.url = f"http://127.0.0.1:{self.port}/"

    def interrupt(self, timeout=10):
        """Ctrl-C: returns the exit code and the rest of standard error."""
        self.process.send_signal(signal.SIGINT)
        try:
            code = self.process.wait(timeout)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
        return code, self.process.stderr.read()

    def stop(self):
        if self.process.poll() is None:
            with contextlib.suppress(Exception):
                self.interrupt(timeout=5)
        self.process.stderr.close()


@contextlib.contextmanager
def running_viewer(wave_path, companion=None):
    viewer = Viewer(wave_path, companion)
    try:
        yield viewer
    finally:
        viewer.stop()


# ---- the browser ----


def local_plotly_js():
    """plotly.min.js of the installed plotly package (PyPI or Debian)."""
    candidates = []
    spec = importlib.util.find_spec("plotly")
    if spec and spec.submodule_search_locations:
        candidates += [pathlib.Path(p) / "package_data" / "plotly.min.js" for p in spec.submodule_search_locations]
    candidates.append(pathlib.Path("/usr/lib/python3/dist-packages/plotly/package_data/plotly.min.js"))
    return next((p for p in candidates if p.is_file()), None)


def chromium_path():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    return None


class Browser:
    """One headless Chromium for a test module; pages are isolated contexts."""

    ARGS = ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--disable-gpu-sandbox"]

    def __init__(self, home):
        """`home`: the browser's home folder (its profile settings and caches
        go there rather than into the user's)."""
        sync_api = pytest.importorskip("playwright.sync_api")
        executable = chromium_path()
        if executable is None:
            pytest.skip("chromium is not installed")
        self.plotly_js = local_plotly_js()
        if self.plotly_js is None:
            pytest.skip("no local plotly.js (pip install plotly)")
        try:
            self.playwright = sync_api.sync_playwright().start()
        except Exception as e:  # pragma: no cover - depends on the machine
            pytest.skip(f"playwright cannot start: {e}")
        try:
            env = {**os.environ, "HOME": str(home), "XDG_CONFIG_HOME": str(home / ".config"),
                   "XDG_CACHE_HOME": str(home / ".cache")}
            self.browser = self.playwright.chromium.launch(executable_path=executable, args=self.ARGS, timeout=30000,
                                                           env=env)
        except Exception as e:  # pragma: no cover - depends on the machine
            self.playwright.stop()
            pytest.skip(f"chromium cannot start: {e}")

    def page(self, width=1280, height=800):
        """A fresh page whose console errors are collected in `page.errors`."""
        context = self.browser.new_context(viewport={"width": width, "height": height})
        page = context.new_page()
        page.errors = []
        page.on("console", lambda m: page.errors.append(m.text) if m.type == "error" else None)
        page.on("pageerror", lambda e: page.errors.append(str(e)))

        def route(r):
            url = r.request.url
            if url == PLOTLY_CDN_URL:
                r.fulfill(path=str(self.plotly_js), content_type="application/javascript")
            elif url.startswith(("http://127.0.0.1:", "file://")):
                r.continue_()
            else:  # nothing else may leave the machine
                r.abort()

        page.route("**/*", route)
        return page

    def close(self):
        with contextlib.suppress(Exception):
            self.browser.close()
        with contextlib.suppress(Exception):
            self.playwright.stop()


# Where `screenshot` saves every browser scenario's picture, to look at after
# a run: set by the browser tests (each test's temporary folder, or the folder
# MORVA_SCREENSHOTS names).
SCREENSHOTS = None


def screenshot(page, name):
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=str(SCREENSHOTS / f"{name}.png"))
