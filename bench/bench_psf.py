"""PSF reader throughput.

1. Binary PSF metadata: PsfFile on a generated file with 10^5 traces.
2. PSFASCII: PsfFile (parse, then every waveform) on a generated ~50 MB swept
   file, beside psf_utils (another PSFASCII reader, its cache off),
   numpy.loadtxt and numpy.fromstring reading the same numbers written as
   plain text.
3. PSFASCII AC results (complex values in parentheses, ~5 MB): PsfFile beside
   psf_utils on the same file.
"""

import os
import struct
import tempfile

import numpy as np

import morva

from timing import best_of

N_TRACES = 100_000
ASCII_TRACES = 8
ASCII_TARGET_BYTES = 50_000_000
AC_TARGET_BYTES = 5_000_000


def padded(name):
    data = name.encode()
    return struct.pack(">I", len(data)) + data + b"\0" * ((4 - len(data) % 4) % 4)


def binary_with_traces(n):
    """Header, one type, a time sweep and `n` traces, each with a property."""
    out = bytearray(struct.pack(">I", 0x200))
    toc = []

    def section(sid, body, indexed):
        start = len(out)
        end_at = start + 4
        out.extend(struct.pack(">II", 21, 0))
        if indexed:
            out.extend(struct.pack(">II", 22, 0))
        out.extend(body)
        out[end_at : end_at + 4] = struct.pack(">I", len(out))
        if indexed:
            out[start + 12 : start + 16] = struct.pack(">I", len(out))
        toc.append((sid, start))

    header = b"".join(struct.pack(">I", 33) + padded(k) + padded(v) for k, v in [("simulator", "bench"), ("design", "x")])
    section(0, header, False)
    section(1, struct.pack(">II", 16, 1) + padded("V") + struct.pack(">II", 0, 11), True)
    section(2, struct.pack(">II", 16, 2) + padded("time") + struct.pack(">I", 1), False)
    units = struct.pack(">I", 33) + padded("units") + padded("V")
    traces = b"".join(struct.pack(">II", 16, 10 + i) + padded(f"xtop.xcore.net{i}") + struct.pack(">I", 1) + units
                      for i in range(n))
    section(3, traces, True)
    toc_offset = len(out)
    for sid, offset in toc:
        out.extend(struct.pack(">II", sid, offset))
    out.extend(b"Clarissa" + struct.pack(">I", toc_offset))
    return bytes(out)


def ascii_head(names, sweep, kind):
    return (["HEADER", '"simulator" "bench"', "TYPE", '"sweep" FLOAT DOUBLE', f'"V" {kind} PROP(', '"units" "V"', ")",
             "SWEEP", f'"{sweep}" "sweep" PROP(', '"units" "s"', ")", "TRACE"] + [f'"{n}" "V"' for n in names]
            + ["VALUE"])


def ascii_swept(n_traces, target_bytes, rng):
    """A swept PSFASCII text and the same numbers as a plain-text table."""
    names = [f"net{i}" for i in range(n_traces)]
    head = ascii_head(names, "time", "FLOAT DOUBLE")
    line_bytes = 30 * (n_traces + 1)
    points = target_bytes // line_bytes
    data = rng.standard_normal((points, n_traces + 1))
    data[:, 0] = np.arange(points) * 1e-9
    numbers = [f"{v:.15e}" for v in data.ravel()]
    psf_lines = head
    table_lines = []
    width = n_traces + 1
    for p in range(points):
        row = numbers[p * width : (p + 1) * width]
        psf_lines.append(f'"time" {row[0]}')
        psf_lines.extend(f'"{n}" {v}' for n, v in zip(names, row[1:]))
        table_lines.append(" ".join(row))
    psf_lines.append("END")
    # The numbers as written (16 significant digits), correctly rounded.
    written = np.array(numbers, dtype=float).reshape(points, width)
    return "\n".join(psf_lines) + "\n", "\n".join(table_lines) + "\n", written, names


def ascii_ac(n_traces, target_bytes, rng):
    """An AC PSFASCII text: complex values as "(re im)"; its frequencies and values."""
    names = [f"net{i}" for i in range(n_traces)]
    points = target_bytes // (50 * n_traces + 30)
    freq = np.logspace(0, 9, points)
    values = rng.standard_normal((points, n_traces)) + 1j * rng.standard_normal((points, n_traces))
    lines = ascii_head(names, "freq", "COMPLEX DOUBLE")
    for p in range(points):
        lines.append(f'"freq" {freq[p]:.15e}')
        lines.extend(f'"{n}" ({v.real:.15e} {v.imag:.15e})' for n, v in zip(names, values[p]))
    lines.append("END")
    return "\n".join(lines) + "\n", names


def psf_utils_reader():
    """psf_utils reading every signal, its cache neither read nor written;
    None when it is not installed."""
    try:
        from psf_utils import PSF
    except ImportError:
        return None

    def read(path, names):
        p = PSF(path, use_cache=False, update_cache=False)
        return [(p.get_sweep().abscissa, p.get_signal(n).ordinate) for n in names]

    return read


def print_rows(rows, n_numbers, base):
    print(f"{'reader':<28}{'MB':>8}{'best s':>10}{'MB/s':>10}{'Mnum/s':>10}{'vs base':>12}")
    for label, size, t in rows:
        print(f"{label:<28}{size / 1e6:>8.1f}{t:>10.3f}{size / 1e6 / t:>10.1f}{n_numbers / 1e6 / t:>10.2f}"
              f"{base / t:>11.2f}x")


def main():
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as tmp:
        print("Binary PSF metadata")
        print(f"{'file':<28}{'MB':>8}{'traces':>10}{'best s':>10}{'MB/s':>10}{'traces/s':>14}")
        data = binary_with_traces(N_TRACES)
        path = os.path.join(tmp, "many.tran")
        with open(path, "wb") as fh:
            fh.write(data)
        f = morva.PsfFile(path)
        assert len(f.signal_names()) == N_TRACES
        t = best_of(5, lambda: morva.PsfFile(path))
        mb = len(data) / 1e6
        print(f"{'10^5 traces':<28}{mb:>8.2f}{N_TRACES:>10}{t:>10.4f}{mb / t:>10.1f}{N_TRACES / t:>14.0f}")

        print()
        print("PSFASCII swept file: PsfFile, psf_utils, and NumPy text parsing of the same numbers")
        psf_text, table_text, expected, names = ascii_swept(ASCII_TRACES, ASCII_TARGET_BYTES, rng)
        psf_path = os.path.join(tmp, "swept.tran")
        table_path = os.path.join(tmp, "swept.txt")
        with open(psf_path, "w") as fh:
            fh.write(psf_text)
        with open(table_path, "w") as fh:
            fh.write(table_text)
        n_numbers = expected.size

        def psf_all():
            g = morva.PsfFile(psf_path)
            return [g.waveform(n) for n in names]

        waves = psf_all()
        assert np.array_equal(waves[0][0], expected[:, 0]) and np.array_equal(waves[-1][1], expected[:, -1])
        assert np.array_equal(np.loadtxt(table_path), expected)

        psf_utils = psf_utils_reader()
        rows = []
        t = best_of(3, psf_all)
        rows.append(("PsfFile + waveforms", len(psf_text), t))
        t = best_of(3, lambda: morva.PsfFile(psf_path))
        rows.append(("PsfFile parse only", len(psf_text), t))
        if psf_utils:
            theirs = psf_utils(psf_path, names)
            assert all(np.array_equal(a[1], b[1]) for a, b in zip(theirs, waves))
            t = best_of(2, lambda: psf_utils(psf_path, names))
            rows.append(("psf_utils (cache off)", len(psf_text), t))
        t = best_of(2, lambda: np.loadtxt(table_path))
        rows.append(("numpy.loadtxt", len(table_text), t))
        t = best_of(3, lambda: np.fromstring(table_text, sep=" "))
        rows.append(("numpy.fromstring(sep=' ')", len(table_text), t))
        print("(vs base: against numpy.loadtxt)")
        print_rows(rows, n_numbers, next(t for label, _, t in rows if label == "numpy.loadtxt"))

        print()
        print("PSFASCII AC file (complex values) against psf_utils")
        ac_text, ac_names = ascii_ac(ASCII_TRACES, AC_TARGET_BYTES, rng)
        ac_path = os.path.join(tmp, "ac.ac")
        with open(ac_path, "w") as fh:
            fh.write(ac_text)

        def ac_all():
            g = morva.PsfFile(ac_path)
            return [g.waveform(n) for n in ac_names]

        ours = ac_all()
        rows = [("PsfFile + waveforms", len(ac_text), best_of(3, ac_all))]
        if psf_utils:
            theirs = psf_utils(ac_path, ac_names)
            assert all(np.array_equal(a[1], b[1]) for a, b in zip(theirs, ours))
            rows.append(("psf_utils (cache off)", len(ac_text), best_of(2, lambda: psf_utils(ac_path, ac_names))))
        print("(vs base: against PsfFile)")
        print_rows(rows, 2 * ours[0][1].size * len(ac_names), rows[0][2])


if __name__ == "__main__":
    main()
