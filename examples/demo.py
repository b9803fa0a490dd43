"""morva demo: one short section per tool, run in order by `make demo`.

Each section is a function that prints a few lines; add a new tool's section
to SECTIONS.
"""

import morva


def behavioural_models():
    """A PDSDM read-out recovers an ETF phase; a SAR search trims an offset."""
    phi_etf = 42.0  # degrees, the phase to measure
    phi_dac_0, phi_dac_1 = phi_etf - 30.0, phi_etf + 30.0
    # 0.1 V pp ETF signal, 1 MHz drive, gm = 100 uS, 10 pF integrator
    run = morva.run_pdsdm(phi_etf, 0.1, 1e6, 1e-4, 1e-11, 10_000, phi_dac_0, phi_dac_1)
    phase = morva.bs_to_phase(run.bitstream_mean(), phi_dac_0, phi_dac_1)
    print(f"  {run!r}")
    print(f"  ETF phase {phi_etf:.1f} deg, recovered from the bitstream mean: {phase:.3f} deg")
    blocks = morva.decimate_bitstream(run.bitstream, 1000)
    spread = [morva.bs_to_phase(m, phi_dac_0, phi_dac_1) for m in blocks]
    print(f"  per 1000-cycle block: {min(spread):.2f} .. {max(spread):.2f} deg")

    over = morva.run_pdsdm_oversampled(phi_etf, 0.1, 1e6, 1e-4, 1e-11, 2_000, phi_dac_0, phi_dac_1,
                                       n_oversample=64)
    over_phase = morva.bs_to_phase(over.bitstream_mean(), phi_dac_0, phi_dac_1)
    print(f"  oversampled demodulator (64 sub-points, 2000 cycles): {over_phase:.3f} deg")

    offset = 3.73e-9  # A, to be cancelled by an 8-bit DAC of 100 pA steps
    trim = morva.run_sar_trim(offset, 1e-10, 8)
    print(f"  {trim!r}: residual {offset + trim.dac_current:.2e} A after {len(trim.history)} trials")


SECTIONS = [
    ("Behavioural models (PDSDM, SAR trim)", behavioural_models),
]


def main():
    for i, (title, section) in enumerate(SECTIONS):
        print(f"{chr(10) if i else ''}== {title}")
        section()


if __name__ == "__main__":
    main()
