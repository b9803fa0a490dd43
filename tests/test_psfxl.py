"""PSFXL companion files through NgpsfFile: tags, data records, waveform
decoding, every error text, and the real sample against its PSFASCII twin."""

import pathlib
import re
import struct

import pytest

from morva import NgpsfFile

MAGIC_LINE = b"\x00!ngpsf-1.4:0:ffffffffffffffff:4:20\n"


# ---- a test-side writer of companion files ----


def stored_frame(values, flags=0x02):
    """A Blosc1 frame holding `values` uncompressed (flag 0x02)."""
    raw = struct.pack(f"<{len(values)}d", *values)
    return struct.pack("<BBBBIII", 2, 1, flags, 8, len(raw), max(len(raw), 8), len(raw) + 16) + raw


def f64(values):
    return struct.pack(f"<{len(values)}d", *values)


def has_signature(data):
    return any(data[k] == 2 and data[k + 1] == 1 and data[k + 3] == 8 for k in range(len(data) - 3))


TAG_LIKE = re.compile(rb"[\x20-\x7e]*:[\x20-\x7e]*:[\x20-\x7e]*(?=[\x00\x0a]|$)")


def has_tag_like_run(data):
    """True when binary data holds a run the tag scan would take for a tag."""
    return any(len(m.group()) >= 6 for m in TAG_LIKE.finditer(data))


class Companion:
    """Builds a companion file: the magic line, then per record a tag line,
    its payload and the 0x00 that ends each payload."""

    def __init__(self, head=MAGIC_LINE):
        self.data = bytearray(head)

    def add(self, tag, payload=b"", end=b"\x00"):
        self.data += tag.encode() + b"\n" + bytes(payload) + end
        return self

    @staticmethod
    def tag(record_id, codec, count=0, length=0):
        return f"3:{record_id:x}:ffffffffffffffff:{count:x}:{length:x}:{codec:02x}"

    def pair(self, rid, time_frame, values_frame, count, lead=8):
        return self.add(self.tag(rid, 0x22, count), b"\x00" * lead + time_frame + values_frame)

    def blosc_time(self, rid, time_frame, values):
        raw = f64(values) if not hasattr(values, "tobytes") else values.tobytes()
        # The payload ends at frame start + 1 + the length word.
        return self.add(self.tag(rid, 0x20, len(raw) // 8, len(time_frame) + len(raw)), time_frame + raw)

    def raw_time(self, rid, times, values_frame):
        raw = f64(times) if not hasattr(times, "tobytes") else times.tobytes()
        assert not has_signature(raw), "raw time bytes would be taken for a frame"
        # Such a payload ends at the next tag, so it must hold nothing like one.
        assert not has_tag_like_run(values_frame), "values frame would be cut by a tag"
        # The payload ends at payload start + the length word + 16.
        return self.add(self.tag(rid, 0x02, len(raw) // 8, len(raw) + len(values_frame) - 16), raw + values_frame)

    def back_ref(self, rid, values_frame, count, codec=0xA2):
        return self.add(self.tag(rid, codec, count), b"\x00" * 4 + values_frame)

    def back_ref_raw(self, rid, values, codec=0xA0):
        raw = f64(values) if not hasattr(values, "tobytes") else values.tobytes()
        return self.add(self.tag(rid, codec, len(raw) // 8), raw)

    def alias(self, rid, count, codec=0x88):
        return self.add(self.tag(rid, codec, count))

    def write(self, path):
        pathlib.Path(path).write_bytes(bytes(self.data))
        return NgpsfFile(path)


@pytest.fixture
def make(tmp_path):
    """Writes bytes (or a Companion) to a file and opens it."""
    counter = iter(range(1_000_000))

    def _make(content):
        path = tmp_path / f"f{next(counter)}.psfxl"
        if isinstance(content, Companion):
            return content.write(path)
        path.write_bytes(bytes(content))
        return NgpsfFile(path)

    return _make


def records(f):
    return {r["record_id"]: r for r in f.parse_data_records()}


# ---- opening and the tag scan ----


def test_magic_at_offset_zero_or_one(make, tmp_path):
    assert make(b"\x00!ngpsf-1.4\n").num_tags() == 0
    assert make(b"!ngpsf-1.4\n").size == 11
    with pytest.raises(ValueError, match=r"^not an ngpsf file: magic missing at offset 1$"):
        make(b"\x00\x00!ngpsf-1.4\n")
    with pytest.raises(ValueError, match=r"^not an ngpsf file: magic missing at offset 0$"):
        make(b"x!ngpsf-1.4\n")


def test_size_limits_and_missing_file(make, tmp_path):
    f = make(b"!ngpsf-ab")
    assert (f.size, f.num_tags(), f.tags()) == (9, 0, [])
    with pytest.raises(ValueError, match=r"^file too small to be a PSF: 8 bytes$"):
        make(b"!ngpsf-a")
    with pytest.raises(OSError) as info:
        NgpsfFile(tmp_path / "absent.psfxl")
    assert str(info.value) == f"reading PSFXL file {tmp_path}/absent.psfxl: No such file or directory (os error 2)"


def test_constructor_arguments(make, tmp_path):
    # The path conversion rules: test_args.py.
    path = tmp_path / "p.psfxl"
    path.write_bytes(MAGIC_LINE)
    assert NgpsfFile(path).path == str(path)
    with pytest.raises(OSError, match=r"^file name contained an unexpected NUL byte$"):
        NgpsfFile(str(path) + "\0x")
    assert NgpsfFile.__text_signature__ == "(path)"


def test_tag_scan_rules(make):
    body = (
        b"3:1:x\n"  # 5 bytes: too short
        b"\x013:1:xy\n"  # a tag
        b"\x013:1:xy\r"  # ended by CR: not a tag
        b"\x01ab:cd\n"  # one colon: not a tag
        b"\x01a:b:cd\x00"  # ended by NUL: a tag
        b"\x01A:B:Cd"  # ended by the end of the file: a tag
    )
    data = MAGIC_LINE + body
    f = make(data)
    assert f.tags() == [
        (1, "!ngpsf-1.4:0:ffffffffffffffff:4:20"),
        (data.find(b"3:1:xy"), "3:1:xy"),
        (data.find(b"a:b:cd"), "a:b:cd"),
        (data.find(b"A:B:Cd"), "A:B:Cd"),
    ]
    assert f.num_tags() == 4


def test_slice(make):
    f = make(MAGIC_LINE + b"\x01\xff")
    assert f.slice(0, f.size) == list(MAGIC_LINE + b"\x01\xff")
    assert f.slice(3, 3) == []
    for start, end in [(5, 4), (0, f.size + 1)]:
        with pytest.raises(ValueError, match=r"^slice bounds out of range$"):
            f.slice(start, end)
    with pytest.raises(OverflowError):
        f.slice(-1, 3)
    with pytest.raises(OverflowError):
        f.slice(0, 2**64)
    with pytest.raises(TypeError, match=r"^argument 'end': 'str' object cannot be interpreted as an integer$"):
        f.slice(0, "3")


# ---- data records ----


def test_record_classes_ids_and_codec_bytes(make):
    c = Companion()
    for tag in ["3:1f::", "3:zz::", "03:2:x", "4:1:xx", ":3:xyz", "12:0:ab", "003:+3:x"]:
        c.add(tag, b"pp")
    for rid, field5 in [(0x10, "22"), (0x11, "A2"), (0x12, "83"), (0x13, "00"), (0x14, ""), (0x15, "zz"),
                        (0x16, "90"), (0x17, "99"), (0x18, "81")]:
        c.add(f"3:{rid:x}:0:0:0:{field5}", b"pp")
    f = make(c)
    recs = records(f)
    assert list(recs)[:3] == [0x1F, 2, 3]
    assert recs[0x1F]["codec"] == "inline"
    codecs = {rid: recs[rid]["codec"] for rid in range(0x10, 0x19)}
    assert codecs == {
        0x10: "standalone_pair", 0x11: "back_referenced", 0x12: "unknown:0x83", 0x13: "unknown:0x00",
        0x14: "inline", 0x15: "inline", 0x16: "back_referenced_raw", 0x17: "aliased", 0x18: "inline",
    }
    # Empty field 0 and "12" count as data-record tags but give no record.
    assert f.data_record_count() == 16 - 2 + 2
    assert recs[0x1F]["self_contained"] is False
    assert recs[0x16]["self_contained"] is True


def test_record_dict_keys_and_stream_position(make):
    t, v = [0.0, 1.0, 2.0], [4.0, 5.0, 6.0]
    tf, vf = stored_frame(t), stored_frame(v)
    f = make(Companion().pair(1, tf, vf, 3, lead=4).back_ref_raw(2, v).add("3:3:0:0:0:10", b"zz"))
    r1, r2, r3 = f.parse_data_records()
    assert list(r1) == ["record_id", "codec", "payload_start", "payload_end", "self_contained",
                        "nbytes", "blocksize", "cbytes", "sample_count", "stream_start", "stream_end"]
    assert r1["stream_start"] == r1["payload_start"] + 4
    assert r1["stream_end"] == r1["stream_start"] + len(tf)
    assert (r1["nbytes"], r1["sample_count"], r1["cbytes"]) == (24, 3, len(tf))
    assert r1["payload_end"] == r1["stream_start"] + len(tf) + len(vf)
    assert list(r2) == ["record_id", "codec", "payload_start", "payload_end", "self_contained"]
    assert r2["self_contained"] is True and r3["self_contained"] is False


def test_empty_payloads_drop_records(make):
    # Each tag starts right after the previous one's terminator.
    c = Companion()
    for rid, codec in [(1, 0x10), (2, 0xA0), (3, 0x88), (4, 0x83)]:
        c.add(f"3:{rid}:0:1:0:{codec:02x}", b"", end=b"")
    c.add("3:9:0:1:0:10", b"zz")
    assert [r["record_id"] for r in make(c).parse_data_records()] == [9]


def test_frame_beyond_first_16_bytes_is_not_a_time_frame(make):
    tf, vf = stored_frame([1.0]), stored_frame([2.0])
    f = make(Companion().pair(1, tf, vf, 1, lead=17).add("3:2:0:1:0:20", b"\x00" * 17 + tf + f64([2.0])))
    for r in f.parse_data_records():
        assert "nbytes" not in r
    with pytest.raises(ValueError, match=r"^0x22: missing secondary \(values\) Blosc frame$"):
        f.decode_record(1)
    with pytest.raises(ValueError, match=r"^0x20: missing Blosc time frame$"):
        f.decode_record(2)


def test_pair_without_values_frame(make):
    f = make(Companion().pair(1, stored_frame([1.0, 2.0]), b"", 2))
    assert records(f)[1]["sample_count"] == 2
    with pytest.raises(ValueError, match=r"^0x22: missing secondary \(values\) Blosc frame$"):
        f.decode_waveform(1)


# ---- value streams ----


def test_raw_value_texts(make):
    tf = stored_frame([float(i) for i in range(10)])
    c = Companion()
    # StandaloneBloscTime whose raw values are one byte short.
    c.add(Companion.tag(1, 0x20, 10, len(tf) + 80 - 2), tf + b"\x07" * 79, end=b"")
    c.add("3:2:0:2:0:a0", f64([1.5, 2.5])[:15])  # with the closing 0x00: 16 bytes
    c.add("3:4:0:2:0:90", f64([1.5, 2.5]))  # 17 bytes: the last one is not a value
    f = make(c)
    start = 0 + len(tf)
    with pytest.raises(ValueError, match=rf"^0x20: raw values {start}\.\.{start + 80} past payload end {start + 79}$"):
        f.decode_record(1)
    with pytest.raises(ValueError, match=r"^raw-tail f64: payload 16 < needed 16 \+ 1 trailing$"):
        f.decode_record(2)
    assert f.decode_record(4).tolist() == [1.5, 2.5]


def test_value_count_of_raw_records_from_length_word(make):
    # W / 8 when W is non-zero and below 8 x field 3, else field 3.
    c = Companion()
    c.add("3:1:0:3:10:a0", f64([7.0, 1.0, 2.0]))  # W = 16 < 24: 2 values
    c.add("3:2:0:2:ff:a0", f64([1.0, 2.0]))  # W >= 16: field 3
    f = make(c)
    assert f.decode_record(1).tolist() == [1.0, 2.0]
    assert f.decode_record(2).tolist() == [1.0, 2.0]


def test_codec_error_texts(make):
    c = Companion()
    c.add("3:1:0:1:0:10", b"zz")
    c.add("3:2:0:1:0:83", b"zz")
    c.add("3:3:0:1:0:88", b"")
    c.add("3:4:0:1:0:a2", b"no frame")
    c.add("3:5:0:1:0:82", b"no frame")
    c.add("3:6:0:1:0:02", b"no frame")
    c.add("3:7:0:1:0:02", stored_frame([1.0, 2.0]))  # values frame at payload offset 0
    f = make(c)
    expect = {
        1: "inline record has no Blosc stream to decode",
        2: "unknown codec 0x83; cannot decode",
        3: "aliased record has no payload; resolve via decode_waveform",
        4: "codec BackReferenced: missing Blosc1 values frame",
        5: "codec BackReferencedImplicit: missing Blosc1 values frame",
        6: "codec StandaloneRawTime: missing Blosc1 values frame",
    }
    for rid, text in expect.items():
        with pytest.raises(ValueError) as e:
            f.decode_record(rid)
        assert str(e.value) == text
    assert f.decode_record(7).tolist() == [1.0, 2.0]
    with pytest.raises(ValueError, match=r"^0x02: raw time stream underflows Blosc marker$"):
        f.decode_waveform(7)


def test_missing_record_is_key_error_or_value_error(make):
    f = make(Companion().back_ref_raw(1, [1.0]))
    with pytest.raises(KeyError) as e:
        f.decode_record(0x2A)
    assert e.value.args == ("record 0x2a not found",)
    with pytest.raises(ValueError, match=r"^record 0x2a not found$"):
        f.decode_waveform(0x2A)
    with pytest.raises(OverflowError):
        f.decode_waveform(-1)
    with pytest.raises(TypeError, match=r"^argument 'record_id': "):
        f.decode_record(1.0)


def test_blosc_errors_reach_python_as_value_errors(make):
    bad_stream = struct.pack("<BBBBIII", 2, 1, 0, 8, 64, 64, 0) + struct.pack("<II", 20, 4) + bytes([0, 0x61, 0x20, 1])
    bad_stream = bad_stream[:12] + struct.pack("<I", len(bad_stream)) + bad_stream[16:]
    huge = struct.pack("<BBBBIII", 2, 1, 0, 8, 0xFFFFFFF8, 0xFFFFFFF8, 20) + struct.pack("<I", 20)
    f = make(Companion().back_ref(1, bad_stream, 8).back_ref(2, huge, 8))
    with pytest.raises(ValueError, match=r"^BloscLZ: back-reference offset 2 out of bounds at op=1$"):
        f.decode_record(1)
    with pytest.raises(ValueError, match=r"^Blosc1: nbytes=4294967288 impossible for a 20-byte frame$"):
        f.decode_record(2)


# ---- waveforms ----


def test_back_reference_takes_nearest_standalone_time(make):
    c = Companion()
    c.pair(1, stored_frame([0.0, 1, 2, 3, 4]), stored_frame([9.0] * 5), 5)
    c.pair(2, stored_frame([10.0, 11, 12, 13, 14, 15, 16]), stored_frame([8.0] * 7), 7)
    c.raw_time(3, [20.0, 21, 22, 23, 24], stored_frame([7.0] * 5))
    c.back_ref(4, stored_frame([1.0] * 5), 5)
    c.back_ref(5, stored_frame([1.0] * 7), 7, codec=0x82)
    f = make(c)
    t, v = f.decode_waveform(4)
    assert t.tolist() == [20.0, 21, 22, 23, 24] and v.tolist() == [1.0] * 5
    assert f.decode_waveform(5)[0].tolist() == [10.0, 11, 12, 13, 14, 15, 16]


def test_time_axis_synthesized_from_first_standalone(make):
    c = Companion()
    c.pair(1, stored_frame([0.0, 0.5, 1.0]), stored_frame([1.0, 2, 3]), 3)
    c.back_ref_raw(2, [5.0, 6, 7, 8, 9])
    c.back_ref_raw(3, [4.0])
    c.back_ref_raw(4, [])
    f = make(c)
    assert f.decode_waveform(2)[0].tolist() == [0.0, 0.25, 0.5, 0.75, 1.0]
    assert f.decode_waveform(3)[0].tolist() == [1.0]
    t, v = f.decode_waveform(4)
    assert t.tolist() == [] and v.tolist() == []


def test_back_reference_without_any_time(make):
    f = make(Companion().back_ref_raw(7, [1.0, 2.0]))
    with pytest.raises(
        ValueError,
        match=r"^record 0x7: no prior standalone with time sample_count=2 and no global range to synthesize from$",
    ):
        f.decode_waveform(7)


def test_time_and_value_lengths_must_agree(make):
    f = make(Companion().pair(0x1B, stored_frame([0.0, 1, 2]), stored_frame([1.0, 2, 3, 4]), 3))
    with pytest.raises(ValueError, match=r"^record 0x1b: time len 3 != values len 4$"):
        f.decode_waveform(0x1B)


def test_aliases(make):
    c = Companion()
    c.add("3:1:0:0a:0:22", b"\x00" * 4 + stored_frame([0.0, 1.0]) + stored_frame([5.0, 6.0]))
    c.add("3:2:0:a:0:88")  # alias of record 1 ("a" = "0a")
    c.add("3:3:0:a:0:10", b"zz")  # inline with the same field 3: never chosen
    c.add("3:4:0:a:0:98")  # an alias is never an alias target either
    c.add("3:5:0:b:0:99")
    c.add("3:6:0:0:0:88")  # field 3 "0" matches nothing
    c.add("3:7:0:zz:0:88")  # unparsable field 3 counts as 0
    f = make(c)
    for rid in (2, 4):
        t, v = f.decode_waveform(rid)
        assert (t.tolist(), v.tolist()) == ([0.0, 1.0], [5.0, 6.0])
    with pytest.raises(ValueError, match=r"^record 0x5: no prior record to alias \(sample_count=11\)$"):
        f.decode_waveform(5)
    with pytest.raises(ValueError, match=r"^record 0x7: no prior record to alias \(sample_count=0\)$"):
        f.decode_waveform(7)
    first = make(Companion().alias(1, 2))
    with pytest.raises(ValueError, match=r"^record 0x1: no prior record to alias \(sample_count=2\)$"):
        first.decode_waveform(1)


def test_duplicate_id_decodes_first_record(make):
    c = Companion()
    c.pair(1, stored_frame([0.0]), stored_frame([1.0]), 1)
    c.pair(1, stored_frame([0.0]), stored_frame([2.0]), 1)
    f = make(c)
    assert f.decode_waveform(1)[1].tolist() == [1.0]
    assert f.decode_record(1).tolist() == [1.0]


def test_decode_all_keeps_only_own_value_streams(make):
    c = Companion()
    c.pair(1, stored_frame([0.0]), stored_frame([1.0]), 1)
    c.alias(2, 1)
    c.back_ref_raw(3, [3.0])
    c.add("3:4:0:1:0:83", b"zz")
    out = make(c).decode_all()
    assert [(rid, v.tolist()) for rid, v in out] == [(1, [1.0]), (3, [3.0])]


def test_arrays_are_float64_and_writeable(make):
    f = make(Companion().pair(1, stored_frame([0.0, 1.0]), stored_frame([2.0, 3.0]), 2))
    t, v = f.decode_waveform(1)
    for a in (t, v, f.decode_record(1)):
        assert a.dtype.name == "float64" and a.flags.c_contiguous and a.flags.writeable
    v[0] = 7.0
    assert f.decode_waveform(1)[1].tolist() == [2.0, 3.0]


def test_signatures_in_docstrings():
    for name, sig in [("num_tags", "num_tags(self)"), ("slice", "slice(self, start, end)"),
                      ("decode_waveform", "decode_waveform(self, record_id)")]:
        assert getattr(NgpsfFile, name).__doc__.startswith(sig)


# ---- the real sample ----


def read_psfascii_values(path):
    """(time, {trace: values}) of a PSFASCII transient file's VALUE section."""
    lines = path.read_text().splitlines()
    start = lines.index("VALUE") + 1
    time, traces = [], {}
    for line in lines[start:]:
        if line == "END":
            break
        name, value = line.rsplit(" ", 1)
        name = name.strip('"')
        if name == "time":
            time.append(float(value))
        else:
            traces.setdefault(name, []).append(float(value))
    return time, traces


def test_real_sample_matches_its_psfascii_twin(samples_dir):
    path = samples_dir / "psf" / "psfxl" / "tran1.tran.tran.psfxl"
    twin = samples_dir / "psf" / "ascii" / "tran1.tran.tran"
    if not path.exists() or not twin.exists():
        pytest.skip("PSFXL sample not available")
    f = NgpsfFile(path)
    recs = f.parse_data_records()
    assert [(r["record_id"], r["codec"]) for r in recs] == [(0, "standalone_pair"), (1, "back_referenced")]
    ascii_time, traces = read_psfascii_values(twin)
    index = {t: i for i, t in enumerate(ascii_time)}
    matched = set()
    for r in recs:
        t, v = f.decode_waveform(r["record_id"])
        assert len(t) == len(v) == 65
        assert t[0] == 0.0 and t[-1] == pytest.approx(5e-3, rel=1e-12)
        assert all(a < b for a, b in zip(t, t[1:]))
        common = [(i, index[x]) for i, x in enumerate(t.tolist()) if x in index]
        assert len(common) >= 4
        # Each record is one of the twin's traces at every shared time point.
        name = next(n for n, vals in traces.items()
                    if all(v[i] == pytest.approx(vals[j], rel=1e-9, abs=1e-12) for i, j in common))
        matched.add(name)
    assert matched == {"in", "out"}
