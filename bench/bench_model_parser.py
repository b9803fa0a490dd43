"""Model-library parsing and design-kit flattening on a generated kit.

The kit has 50,000 lines: three corners redirecting into a model file with
200 binned BSIM4 cards (10 L x 20 W bins) written one parameter per line, the
way kits ship them. A second copy of the kit spreads the common cards over
20 files brought in by .include lines and has its own corner file, so that
reading a corner crosses three levels of files. Parsing is timed by a C++
program (bench/bench_model_parser.cpp; the parser has no Python surface),
flatten_pdk from Python; ngspice loading the same corner is shown for scale.
"""

import pathlib
import sys
import tempfile

import morva

from timing import bench_rows, best_of, ngspice_deck_seconds

ROOT = pathlib.Path(__file__).resolve().parent.parent
PARAMS = [f"p{i:03d}" for i in range(236)]


def generate_kit(folder, lines_target=50_000, cards=200):
    kit = "".join(f".lib {c}\n.lib 'models.lib' mos_{c}\n.endl {c}\n" for c in ("tt", "ss", "ff"))
    (folder / "kit.lib").write_text(kit)
    out = []
    for corner, shift in (("tt", 0), ("ss", 0.03), ("ff", -0.03)):
        out += [f".lib mos_{corner}", f".param dvth = {shift} toxn = 4.1n", ".lib models.lib mos_common", f".endl mos_{corner}"]
    out.append(".lib mos_common")
    l_edges = [0.18e-6 * 1.6**i for i in range(11)]
    w_edges = [0.22e-6 * 1.4**j for j in range(21)]
    for n in range(cards):
        i, j = divmod(n, 20)
        out.append(f".model nch.{n + 1} nmos (level = 54 version = 4.8")
        out.append(f"+ lmin = {l_edges[i]:.6g} lmax = {l_edges[i + 1]:.6g} wmin = {w_edges[j]:.6g} wmax = {w_edges[j + 1]:.6g}")
        out.append(f"+ vth0 = '0.40 + {n}*0.001 + dvth' toxe = toxn")
        out += [f"+ {p} = {1.0 + k * 1e-3:.4f}" for k, p in enumerate(PARAMS)]
        out.append("+ )")
    out.append(".endl mos_common")
    while len(out) + len(kit.splitlines()) < lines_target:
        out.append("* filler comment line")
    (folder / "models.lib").write_text("\n".join(out) + "\n")
    return len(out) + len(kit.splitlines())


def split_into_includes(folder, model_lines, files=20):
    """The same kit with the common section's cards spread over `files` files
    under cards/, each brought in by an .include line, and its own corner file."""
    kit = "".join(f".lib {c}\n.lib 'models_inc.lib' mos_{c}\n.endl {c}\n" for c in ("tt", "ss", "ff"))
    (folder / "kit_inc.lib").write_text(kit)
    start = model_lines.index(".lib mos_common") + 1
    end = model_lines.index(".endl mos_common")
    cards = model_lines[start:end]
    # Cut only where a card starts, so that continuations stay with their card.
    starts = [k for k, line in enumerate(cards) if line.startswith(".model")]
    cuts = starts[:: max(1, len(starts) // files)] + [len(cards)]
    (folder / "cards").mkdir(exist_ok=True)
    includes = []
    for n, (a, b) in enumerate(zip(cuts, cuts[1:])):
        (folder / "cards" / f"nch_{n}.spice").write_text("\n".join(cards[a:b]) + "\n")
        includes.append(f".include 'cards/nch_{n}.spice'")
    corners = [line.replace("models.lib", "models_inc.lib") for line in model_lines[: start - 1]]
    text = corners + [".lib mos_common"] + includes + model_lines[end:]
    (folder / "models_inc.lib").write_text("\n".join(text) + "\n")
    return len(includes)


def cpp_timings(lib, section):
    return bench_rows("bench_model_parser", lib, section)


def ngspice_load_seconds(folder, kit="kit.lib"):
    return ngspice_deck_seconds(folder, f".title load\n.lib '{kit}' tt\nm1 d g 0 0 nch w=1u l=0.2u\nvd d 0 1\n"
                                        "vg g 0 1\n.op\n.end\n")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        lines = generate_kit(folder)
        included_files = split_into_includes(folder, (folder / "models.lib").read_text().splitlines())
        print(f"generated kit: {lines} lines, 200 binned cards; with includes: {included_files} card files")
        flat = [None]
        flatten = best_of(5, lambda: flat.__setitem__(0, morva.flatten_pdk(folder / "kit.lib", "tt")))
        flat_inc = [None]
        flatten_inc = best_of(5, lambda: flat_inc.__setitem__(0, morva.flatten_pdk(folder / "kit_inc.lib", "tt")))
        rows = cpp_timings(folder / "models.lib", "mos_tt")
        corner_rows = cpp_timings(folder / "kit.lib", "tt")
        inc_rows = cpp_timings(folder / "kit_inc.lib", "tt")
        ngspice = ngspice_load_seconds(folder)
        ngspice_inc = ngspice_load_seconds(folder, "kit_inc.lib")

        big = folder / "big.lib"
        big.write_text((folder / "models.lib").read_text() * 20)
        big_rows = cpp_timings(big, "mos_tt")

        print(f"{'operation':<46} {'seconds':>10} {'result':>14}")
        if rows:
            print(f"{'parse one section (mos_tt)':<46} {rows['parse_lib_file_section'][0]:>10.4f} {rows['parse_lib_file_section'][1]:>8} cards")
            print(f"{'parse whole file':<46} {rows['parse_lib_file'][0]:>10.4f} {rows['parse_lib_file'][1]:>8} cards")
            print(f"{'select_card_for_length x 1000':<46} {rows['select_card_for_length_x1000'][0]:>10.4f}")
            corner, inc = corner_rows["parse_lib_file_section"], inc_rows["parse_lib_file_section"]
            print(f"{'parse corner tt of kit.lib (redirect)':<46} {corner[0]:>10.4f} {corner[1]:>8} cards")
            print(f"{f'parse corner tt, cards in {included_files} included files':<46} {inc[0]:>10.4f} {inc[1]:>8} cards")
            print(f"{'ratio with includes / one model file':<46} {inc[0] / corner[0]:>10.2f}")
        else:
            print("parser timings skipped")
        print(f"{'flatten_pdk one corner (tt)':<46} {flatten:>10.4f} {len(flat[0]):>8} chars")
        print(f"{'flatten_pdk one corner (tt), with includes':<46} {flatten_inc:>10.4f} {len(flat_inc[0]):>8} chars")
        if big_rows:
            n = (lines - 9) * 20
            print(f"{f'parse whole file, {n} lines':<46} {big_rows['parse_lib_file'][0]:>10.4f} {big_rows['parse_lib_file'][1]:>8} cards")
        if ngspice is not None:
            print(f"{'ngspice -b: load corner tt and run one .op':<46} {ngspice:>10.4f}")
            if rows:
                print(f"{'ratio ngspice load / parse one section':<46} {ngspice / rows['parse_lib_file_section'][0]:>10.1f}")
        if ngspice_inc is not None:
            print(f"{'ngspice -b: the same, with includes':<46} {ngspice_inc:>10.4f}")
            if rows:
                print(f"{'ratio ngspice load / parse, with includes':<46} {ngspice_inc / inc_rows['parse_lib_file_section'][0]:>10.1f}")


if __name__ == "__main__":
    sys.exit(main())
