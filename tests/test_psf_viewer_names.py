"""The real PSFXL metadata file names the records of its companion in the
viewer, and each name's waveform is that signal of the PSFASCII twin."""

import json
import urllib.request

import pytest

import morva
from test_psf import binary_file
from test_psfxl import Companion, read_psfascii_values, stored_frame
from viewer_support import SIGNALS, running_viewer, write_viewer_files


def get_json(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return json.loads(response.read())


def test_viewer_names_real_psfxl_records(samples_dir):
    root = samples_dir / "psf"
    meta = root / "psfxl" / "tran1.tran.tran"
    companion = morva.PsfFile(str(meta)).psfxl_companion
    assert companion is not None
    ascii_time, traces = read_psfascii_values(root / "ascii" / "tran1.tran.tran")
    index = {t: i for i, t in enumerate(ascii_time)}

    with running_viewer(companion, meta) as viewer:
        assert viewer.counts == (2, 2, 2)  # records, named, decodable
        tree = get_json(viewer.url + "api/tree")
        leaves = {c["label"]: c for c in tree["root"]["children"]}
        assert set(leaves) == {"in", "out"}
        assert all(c["leaf"] and c["path"] == c["label"] and c["samples"] == 65 for c in leaves.values())
        for name, leaf in leaves.items():
            wave = get_json(f"{viewer.url}api/wave?id={leaf['id']}")
            # The runs differ in their time steps: compare where they share one.
            common = [(i, index[t]) for i, t in enumerate(wave["x"]) if t in index]
            assert len(common) >= 4
            for i, j in common:
                assert wave["y"][i] == pytest.approx(traces[name][j], rel=1e-8, abs=1e-12)
            other = "out" if name == "in" else "in"
            assert any(wave["y"][i] != pytest.approx(traces[other][j], rel=1e-3) for i, j in common)


def record_offsets(wave_path):
    """Record id -> the offset metadata files give it: the byte before its tag."""
    return {int(text.split(":")[1], 16): at - 1 for at, text in morva.NgpsfFile(wave_path).tags()[1:]}


def test_viewer_names_records_from_chained_metadata(tmp_path):
    """The same naming without the sample files: the viewer's test companion
    named by a metadata file laid out as PSFXL writes it."""
    wave_path, names_path = write_viewer_files(tmp_path)
    offsets = record_offsets(wave_path)
    names_path.write_bytes(binary_file(traces=[name for _, name, _ in SIGNALS], signature=0x400, chained=True,
                                       record_offsets=[offsets[record_id] for record_id, _, _ in SIGNALS]))
    assert morva.PsfFile(str(names_path)).psfxl_companion == str(wave_path)
    with running_viewer(wave_path, names_path) as viewer:
        assert viewer.counts[1] == len(SIGNALS)
        tree = get_json(viewer.url + "api/tree")
        top = next(c for c in tree["root"]["children"] if c["label"] == "top")
        assert [c["label"] for c in top["children"]] == ["bus", "broken", "undec", "vin", "vout"]


def test_record_offsets_win_over_colliding_ids(tmp_path):
    """Record ids are not trace ids: metadata that carries record offsets names
    each record by the trace pointing at it, even where a record id equals
    another trace's id, and leaves records that no trace points at unnamed."""
    c = Companion()
    # Trace ids are 200, 201, 202; the records carry them in another order.
    for record_id, level in [(201, 1.0), (200, 2.0), (202, 3.0), (7, 4.0)]:
        c.pair(record_id, stored_frame([0.0, 1.0]), stored_frame([level, level]), 2)
    wave_path = tmp_path / "r.tran.tran.psfxl"
    names_path = tmp_path / "r.tran.tran"
    c.write(wave_path)
    tags = [at - 1 for at, _ in morva.NgpsfFile(wave_path).tags()[1:]]
    # "first" is the record at the first tag (id 201), "second" at the second
    # (id 200), "third" at the third (id 202); the fourth record has no trace.
    names_path.write_bytes(binary_file(traces=["first", "second", "third"], signature=0x400, chained=True,
                                       record_offsets=tags[:3]))
    with running_viewer(wave_path, names_path) as viewer:
        assert viewer.counts == (4, 3, 4)
        tree = get_json(viewer.url + "api/tree")
        leaves = {c["label"]: c["id"] for c in tree["root"]["children"] if c["leaf"]}
        assert leaves == {"first": 201, "second": 200, "third": 202}
        orphans = next(c for c in tree["root"]["children"] if not c["leaf"])
        assert [c["id"] for c in orphans["children"]] == [7]
        assert get_json(f"{viewer.url}api/wave?id=200")["y"] == [2.0, 2.0]
