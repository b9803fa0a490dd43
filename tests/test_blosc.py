"""Real c-blosc 1.x as the oracle: frames it writes, embedded in companion
files on every codec path, decode bit for bit; frames of other compressors
decode exactly or raise ValueError."""

import pytest

from test_psfxl import Companion, has_tag_like_run

blosc = pytest.importorskip("blosc")
np = pytest.importorskip("numpy")

SIZES = [0, 1, 15, 16, 127, 128, 129, 1000, 10**5]
BLOCK_SIZES = [0, 1016, 1024, 65536]
SHUFFLES = {"noshuffle": 0, "byteshuffle": 1, "bitshuffle": 2}


@pytest.fixture(autouse=True)
def single_thread_defaults():
    blosc.set_nthreads(1)
    yield
    blosc.set_blocksize(0)


def arrays(n, seed):
    """A time-like axis and a noisy smooth signal of n samples."""
    rng = np.random.default_rng(seed)
    time = np.cumsum(rng.uniform(0.5, 1.5, n)) * 1e-9
    values = np.sin(np.arange(n) * 1e-3) + 1e-3 * rng.standard_normal(n)
    return time, values


def clean_arrays(n, seed, clevel, shuffle):
    """`arrays` whose compressed values hold nothing the tag scan would take
    for a tag (a raw-time record's payload runs to the next tag)."""
    while True:
        time, values = arrays(n, seed)
        if not has_tag_like_run(compress(values, clevel, shuffle)):
            return time, values
        seed += 7919


def compress(a, clevel, shuffle, cname="blosclz"):
    return blosc.compress(a.tobytes(), typesize=8, cname=cname, clevel=clevel, shuffle=shuffle)


def add_every_codec_path(c, base, time, values, clevel, shuffle):
    """Seven records with the same sample count; the first six decode to
    (time, values), the last to (grid, values)."""
    n = len(time)
    tf, vf = compress(time, clevel, shuffle), compress(values, clevel, shuffle)
    c.pair(base, tf, vf, n)
    c.blosc_time(base + 1, tf, values)
    c.back_ref(base + 2, vf, n, codec=0xA2)
    c.back_ref(base + 3, vf, n, codec=0x82)
    c.back_ref_raw(base + 4, values)
    c.alias(base + 5, n)
    # Raw time bytes must not hold a frame signature, which a grid of small
    # multiples of a power of two never does; later records of the same count
    # would take this grid as their time axis, so it comes last.
    c.raw_time(base + 6, grid(n), vf)
    return list(range(base, base + 6)), base + 6


def grid(n):
    return np.arange(n, dtype=float) * 2.0**-24


def assert_bit_exact(f, ids, time, values):
    for rid in ids:
        t, v = f.decode_waveform(rid)
        assert t.tobytes() == time.tobytes(), rid
        assert v.tobytes() == values.tobytes(), rid


@pytest.mark.parametrize("block_size", BLOCK_SIZES)
@pytest.mark.parametrize("shuffle", SHUFFLES.values(), ids=SHUFFLES.keys())
def test_c_blosc_frames_decode_bit_exact_on_every_codec_path(tmp_path, shuffle, block_size):
    blosc.set_blocksize(block_size)
    for clevel in range(10):
        c = Companion()
        expected = []
        for k, n in enumerate(SIZES):
            time, values = clean_arrays(n, 1000 * clevel + k, clevel, shuffle)
            ids, raw_time_id = add_every_codec_path(c, 16 * k, time, values, clevel, shuffle)
            expected.append((ids, raw_time_id, time, values))
        # One file, rewritten for each level: the frames are read into memory.
        f = c.write(tmp_path / "c.psfxl")
        assert len(f.parse_data_records()) == 7 * len(SIZES)
        for ids, raw_time_id, time, values in expected:
            assert_bit_exact(f, ids, time, values)
            assert_bit_exact(f, [raw_time_id], grid(len(time)), values)


@pytest.mark.parametrize("shuffle,clevel,block_size", [(1, 5, 0), (1, 9, 65536), (0, 1, 1016), (2, 9, 0), (0, 0, 0)])
def test_four_million_samples(tmp_path, shuffle, clevel, block_size):
    blosc.set_blocksize(block_size)
    time, values = arrays(4 * 10**6, seed=clevel)
    c = Companion()
    tf, vf = compress(time, clevel, shuffle), compress(values, clevel, shuffle)
    c.pair(1, tf, vf, len(time))
    c.back_ref(2, vf, len(time))
    f = c.write(tmp_path / "big.psfxl")
    assert_bit_exact(f, [1, 2], time, values)


def test_degenerate_data(tmp_path):
    # Runs, repeats and all-equal data exercise long and overlapping matches.
    n = 70000
    cases = [np.zeros(n), np.full(n, -1.5), np.arange(n, dtype=float), np.tile([1.0, 2.0, 3.0], n // 3),
             np.repeat(np.arange(n // 16, dtype=float), 16), np.frombuffer(np.arange(n * 8, dtype=np.uint8).tobytes(), float)]
    c = Companion()
    for i, a in enumerate(cases):
        for shuffle in (0, 1, 2):
            for clevel in (1, 5, 9):
                c.back_ref(100 * i + 10 * shuffle + clevel, compress(a, clevel, shuffle), len(a))
    f = c.write(tmp_path / "d.psfxl")
    for i, a in enumerate(cases):
        for shuffle in (0, 1, 2):
            for clevel in (1, 5, 9):
                assert f.decode_record(100 * i + 10 * shuffle + clevel).tobytes() == a.tobytes()


@pytest.mark.parametrize("cname", ["lz4", "lz4hc", "zlib", "zstd"])
def test_other_compressors_decode_exactly_or_raise(tmp_path, cname):
    c = Companion()
    sources = {}
    rid = 0
    for n in (0, 16, 1000, 10**5):
        for shuffle in (0, 1, 2):
            time, values = arrays(n, seed=n + shuffle)
            rid += 1
            sources[rid] = values
            c.back_ref(rid, compress(values, 5, shuffle, cname), n)
    f = c.write(tmp_path / f"{cname}.psfxl")
    refused = 0
    for rid, values in sources.items():
        try:
            got = f.decode_record(rid)
        except ValueError as e:
            assert str(e).startswith("Blosc1: unsupported compressor code ")
            refused += 1
        else:
            assert got.tobytes() == values.tobytes()
    assert refused > 0
