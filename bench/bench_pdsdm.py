"""Throughput of the behavioural models.

PDSDM cycles per second (analytical loop; oversampled loop as sub-points per
second), and decimate_bitstream beside NumPy's reshape-and-sum on the same array.
"""

import numpy as np

import morva

from timing import best_of

LOOP = (37.0, 0.1, 1e6, 1e-4, 1e-11)  # phi_etf, v_etf_pp, f_drive, gm, c_int
DAC = (7.0, 67.0)  # phi_dac_0, phi_dac_1


def pdsdm_table():
    print(f"{'model':<34}{'cycles':>12}{'N':>6}{'seconds':>10}{'rate':>14}  unit")
    for n_cycles in (10**5, 10**6, 10**7):
        s = best_of(5, lambda: morva.run_pdsdm(*LOOP, n_cycles, *DAC))
        print(f"{'run_pdsdm':<34}{n_cycles:>12}{1:>6}{s:>10.4f}{n_cycles / s:>14.3e}  cycles/s")
    for n_cycles, n_sub in ((10**4, 100), (10**5, 100), (10**3, 10_000)):
        s = best_of(3, lambda: morva.run_pdsdm_oversampled(*LOOP, n_cycles, *DAC, n_oversample=n_sub))
        print(f"{'run_pdsdm_oversampled':<34}{n_cycles:>12}{n_sub:>6}{s:>10.4f}"
              f"{n_cycles * n_sub / s:>14.3e}  sub-points/s")


def decimate_table():
    rng = np.random.default_rng(1)
    print(f"\n{'length':>12}{'osr':>7}{'morva s':>11}{'numpy s':>11}{'morva Melem/s':>14}{'numpy/morva':>13}")
    for length in (10**6, 10**7):
        bits = rng.integers(0, 2, size=length, dtype=np.int32)
        for osr in (4, 64, 1024):
            n = length // osr

            def with_numpy():
                return bits[: n * osr].reshape(n, osr).sum(axis=1) / osr

            assert np.array_equal(morva.decimate_bitstream(bits, osr), with_numpy())
            ours = best_of(5, lambda: morva.decimate_bitstream(bits, osr))
            theirs = best_of(5, with_numpy)
            print(f"{length:>12}{osr:>7}{ours:>11.5f}{theirs:>11.5f}{length / ours / 1e6:>14.1f}"
                  f"{theirs / ours:>13.2f}")


if __name__ == "__main__":
    pdsdm_table()
    decimate_table()
