"""Writes the small result files that the README example reads, with the
project's own test-side writers: an RC step response as a PSFASCII file
(rc.tran), and as PSFXL waveforms (rc_xl.tran.psfxl, Blosc-compressed) with
the binary PSF file that names their records (rc_xl.tran).

Run from the repository root: python examples/write_results.py
"""

import math
import pathlib
import sys

import blosc
import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from test_psf import ascii_file, binary_file  # noqa: E402
from test_psfxl import Companion  # noqa: E402

TAU = 1e-6  # 1 kOhm x 1 nF
T_END = 4e-6
POINTS = 201


def rc_step():
    """Time, input and output of the RC low-pass driven by a 0 -> 1 V step at 1 us."""
    time = [T_END * k / (POINTS - 1) for k in range(POINTS)]
    vin = [1.0 if t >= 1e-6 else 0.0 for t in time]
    vout = [1.0 - math.exp(-(t - 1e-6) / TAU) if t >= 1e-6 else 0.0 for t in time]
    return time, vin, vout


def frame(values):
    return blosc.compress(np.asarray(values, dtype="<f8").tobytes(), typesize=8, cname="blosclz", clevel=5,
                          shuffle=blosc.SHUFFLE)


def main():
    time, vin, vout = rc_step()
    header = [("PSFversion", "1.00"), ("simulator", "morva example"), ("analysis type", "tran")]
    text = ascii_file(header=header, sweep="time", traces=["in", "out"],
                      points=[(t, [a, b]) for t, a, b in zip(time, vin, vout)])
    (HERE / "rc.tran").write_text(text)
    # The metadata file numbers its traces 200, 201, ...: the companion's record ids.
    (HERE / "rc_xl.tran").write_bytes(binary_file(header=header, traces=["in", "out"], signature=0x300))
    companion = Companion()
    for record_id, values in ((200, vin), (201, vout)):
        companion.pair(record_id, frame(time), frame(values), POINTS)
    companion.write(HERE / "rc_xl.tran.psfxl")


if __name__ == "__main__":
    main()
