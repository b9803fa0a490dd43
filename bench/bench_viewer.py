"""Waveform viewer and strip-chart writer throughput.

1. plot_records_html of one 10^6-sample record: samples per second written
   into the page, beside Python's own "{:.9e}" formatting of the same numbers.
2. /api/wave of a 10^6-sample record from a running viewer: the first request
   (decode and JSON) and later ones (from the viewer's cache).
3. /api/tree of a file with 10^5 named records.
"""

import http.client
import os
import sys
import tempfile
import time

import numpy as np

import morva

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests")]
from bench_psf import binary_with_traces  # noqa: E402  (10^5 traces with ids 10, 11, ...)
from timing import best_of  # noqa: E402
from test_psfxl import Companion, stored_frame  # noqa: E402
from viewer_support import Viewer  # noqa: E402

BIG = 1_000_000
N_RECORDS = 100_000


def get(viewer, target):
    conn = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=120)
    conn.request("GET", target)
    body = conn.getresponse().read()
    conn.close()
    return body


def main():
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as tmp:
        t = np.linspace(0.0, 1e-3, BIG)
        v = np.sin(2e4 * t) + 1e-3 * rng.standard_normal(BIG)
        big_path = os.path.join(tmp, "big.psfxl")
        with open(big_path, "wb") as f:
            f.write(Companion().pair(1, stored_frame(t), stored_frame(v), BIG).data)
        wave_file = morva.NgpsfFile(big_path)
        html = os.path.join(tmp, "big.html")

        write_s = best_of(3, lambda: wave_file.plot_records_html([1], html))
        page_mb = os.path.getsize(html) / 2**20
        sample = v[:100_000]
        py_s = best_of(3, lambda: ",".join(f"{x:.9e}" for x in sample)) * BIG / len(sample) * 2
        print("strip-chart page, one record of 10^6 samples (time and value per sample)")
        print(f"{'writer':<34}{'seconds':>10}{'Msamples/s':>12}{'MB/s':>10}")
        print(f"{'plot_records_html':<34}{write_s:>10.3f}{BIG / write_s / 1e6:>12.2f}{page_mb / write_s:>10.1f}")
        label = 'Python "{:.9e}" join (no page)'
        print(f"{label:<34}{py_s:>10.3f}{BIG / py_s / 1e6:>12.2f}")
        print(f"ratio: {py_s / write_s:.1f}x faster than Python formatting; page {page_mb:.1f} MB\n")

        viewer = Viewer(big_path)
        try:
            t0 = time.perf_counter()
            body = get(viewer, "/api/wave?id=1")
            first = time.perf_counter() - t0
            cached = best_of(5, lambda: get(viewer, "/api/wave?id=1"))
            decode = best_of(3, lambda: wave_file.decode_waveform(1))
        finally:
            viewer.stop()
        print("/api/wave of a 10^6-sample record")
        print(f"{'request':<34}{'seconds':>10}{'MB':>10}")
        print(f"{'first (decode + JSON + transfer)':<34}{first:>10.3f}{len(body) / 2**20:>10.1f}")
        print(f"{'cached (JSON + transfer)':<34}{cached:>10.3f}{len(body) / 2**20:>10.1f}")
        print(f"{'decode_waveform alone':<34}{decode:>10.3f}\n")

        names_path = os.path.join(tmp, "many.tran")
        with open(names_path, "wb") as f:
            f.write(binary_with_traces(N_RECORDS))
        many_path = os.path.join(tmp, "many.psfxl")
        one = stored_frame([0.0, 1.0])
        many = Companion()
        for i in range(N_RECORDS):
            many.pair(10 + i, one, one, 2)
        with open(many_path, "wb") as f:
            f.write(many.data)
        viewer = Viewer(many_path, names_path)
        try:
            first = best_of(1, lambda: get(viewer, "/api/tree"))
            tree_s = best_of(3, lambda: get(viewer, "/api/tree"))
            size = len(get(viewer, "/api/tree"))
        finally:
            viewer.stop()
        print(f"/api/tree of {N_RECORDS} named records (one folder of {N_RECORDS} leaves)")
        print(f"{'request':<34}{'seconds':>10}{'MB':>10}{'records/s':>12}")
        print(f"{'first':<34}{first:>10.3f}{size / 2**20:>10.1f}{N_RECORDS / first:>12.0f}")
        print(f"{'best of 3':<34}{tree_s:>10.3f}{size / 2**20:>10.1f}{N_RECORDS / tree_s:>12.0f}")


if __name__ == "__main__":
    main()
