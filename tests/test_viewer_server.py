"""NgpsfFile.serve over real sockets on 127.0.0.1: the page, the two JSON
endpoints, the exact response heads, bad requests, limits and Ctrl-C."""

import concurrent.futures
import json
import pathlib
import re
import shutil
import socket
import subprocess
import time

import pytest

from morva import NgpsfFile
from test_psfxl import Companion, stored_frame
from viewer_support import ORPHANS, SAMPLES, SIGNALS, Viewer, running_viewer, waveform, write_viewer_files


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return write_viewer_files(tmp_path_factory.mktemp("viewer"))


@pytest.fixture(scope="module")
def viewer(files):
    with running_viewer(*files) as v:
        yield v


def raw_request(port, data, timeout=10):
    """Sends `data`, closes the sending side and reads until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
    return b"".join(chunks)


def split(response):
    head, _, body = response.partition(b"\r\n\r\n")
    return head.decode(), body


def get(port, target):
    head, body = split(raw_request(port, f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode()))
    return head, body


def wave(port, query):
    head, body = get(port, f"/api/wave?{query}")
    assert head.startswith("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n")
    return json.loads(body)


def test_banner_counts(viewer):
    assert viewer.banner == (
        f"PSFXL viewer → http://127.0.0.1:{viewer.port}/  "
        f"({len(SIGNALS) + len(ORPHANS)} records, {len(SIGNALS)} named, {len(SIGNALS) + len(ORPHANS) - 1} decodable)\n"
    )


def test_page_head_is_exact(viewer):
    response = raw_request(viewer.port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    head, body = split(response)
    assert head + "\r\n\r\n" == (
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
        f"Content-Length: {len(body)}\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n"
    )
    assert b"<title>PSFXL viewer</title>" in body and len(body) > 15000
    # A lone GET line, /index.html with a query, and a line ended by the
    # client closing its side all give the same page.
    for request in (b"GET\r\n\r\n", b"GET /index.html?x=1 HTTP/1.1\r\n\r\n", b"GET /"):
        assert split(raw_request(viewer.port, request))[1] == body


@pytest.mark.parametrize(
    "request_line, status, body",
    [
        (b"POST /api/tree HTTP/1.1", "405 Method Not Allowed", b"method not allowed"),
        (b"get / HTTP/1.1", "405 Method Not Allowed", b"method not allowed"),
        (b"", "405 Method Not Allowed", b"method not allowed"),
        (b"GET /api/tree/ HTTP/1.1", "404 Not Found", b"not found"),
        (b"GET /api%2Ftree HTTP/1.1", "404 Not Found", b"not found"),
        (b"GET /favicon.ico HTTP/1.1", "404 Not Found", b"not found"),
    ],
)
def test_bad_methods_and_paths(viewer, request_line, status, body):
    response = raw_request(viewer.port, request_line + b"\r\n\r\n")
    assert response == (
        f"HTTP/1.1 {status}\r\nContent-Type: text/plain\r\nContent-Length: {len(body)}\r\n"
        "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n"
    ).encode() + body


def test_tree_endpoint(viewer, files):
    head, body = get(viewer.port, "/api/tree")
    assert head.startswith("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n")
    tree = json.loads(body)
    assert tree["path"] == str(files[0])
    assert tree["total_signals"] == len(SIGNALS) + len(ORPHANS)
    assert tree["decodable"] == len(SIGNALS) + len(ORPHANS) - 1
    assert tree["file_size_mb"] == pytest.approx(files[0].stat().st_size / 2**20, rel=1e-9)
    root = tree["root"]
    assert [c["label"] for c in root["children"]] == ["(records without names)", "evil", "top", "Vout_ref"]
    orphans = root["children"][0]
    assert [(c["label"], c["path"], c["id"]) for c in orphans["children"]] == [
        ("record_0x1", "__orphan__.record_0x1", 1),
        ("record_0x2", "__orphan__.record_0x2", 2),
        ("record_0x2a", "__orphan__.record_0x2a", 42),
    ]
    top = root["children"][2]
    assert [c["label"] for c in top["children"]] == ["bus", "broken", "undec", "vin", "vout"]
    bus = top["children"][0]
    assert [(c["label"], c["path"]) for c in bus["children"]] == [("a<3>", "top.bus.a<3>"), ("a<4>", "top.bus.a<4>")]
    undec = top["children"][2]
    assert undec == {"label": "undec", "path": "top.undec", "leaf": True, "id": 204, "samples": 5,
                     "codec": "inline", "decodable": False}
    assert top["children"][4]["samples"] == SAMPLES and top["children"][4]["codec"] == "standalone-pair"


def test_wave_endpoint(viewer):
    data = wave(viewer.port, "id=200")
    t, v = waveform("sine", 200)
    assert data["total"] == data["shown"] == SAMPLES
    assert data["x"] == [float(f"{x:.9e}") for x in t] and data["y"] == [float(f"{y:.9e}") for y in v]
    assert data["x_total_min"] == 0.0 and data["x_total_max"] == pytest.approx(1e-3)
    assert data["y_min"] == pytest.approx(min(v), abs=1e-9) and data["y_max"] == pytest.approx(max(v), abs=1e-9)
    # Query decoding: escapes, a sign, and the last of repeated keys.
    by_42 = wave(viewer.port, "id=42")
    assert by_42["y"][0] == 42.0
    assert wave(viewer.port, "id=%34%32") == by_42
    assert wave(viewer.port, "id=%2B42") == by_42
    assert wave(viewer.port, "id=+42") == {"error": "invalid record id:  42"}  # "+" is a space
    assert wave(viewer.port, "x=1&id=1&id=2")["y"][0] == 2.0


@pytest.mark.parametrize(
    "query, error",
    [
        ("id", "missing 'id' query parameter"),
        ("", "missing 'id' query parameter"),
        ("id=0x2a", "invalid record id: 0x2a"),
        ("id=-1", "invalid record id: -1"),
        ("id=", "invalid record id: "),
        ("id=18446744073709551616", "invalid record id: 18446744073709551616"),
        ("id=%C3%A9", "invalid record id: Ã©"),
        ("id=99", "record 0x63 not found"),
        ("id=204", "inline record has no Blosc stream to decode"),
        ("id=205", "0x22: missing secondary (values) Blosc frame"),
    ],
)
def test_wave_errors(viewer, query, error):
    assert wave(viewer.port, query) == {"error": error}


def test_other_host_names_are_refused(viewer):
    # A web page whose own name was made to resolve to 127.0.0.1 (DNS
    # rebinding) sends that name as Host: it must not read the waveforms.
    for target in ("/api/tree", "/api/wave?id=200", "/"):
        request = f"GET {target} HTTP/1.1\r\nHost: attacker.example:{viewer.port}\r\n\r\n"
        head, body = split(raw_request(viewer.port, request.encode()))
        assert head.startswith("HTTP/1.1 403 Forbidden\r\n") and body == b"forbidden"
    request = f"GET /api/wave?id=200 HTTP/1.1\r\nHost: localhost:{viewer.port}\r\n\r\n"
    head, body = split(raw_request(viewer.port, request.encode()))
    assert head.startswith("HTTP/1.1 200 OK\r\n") and json.loads(body)["total"] == SAMPLES


def test_concurrent_requests_agree(viewer):
    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        answers = list(pool.map(lambda i: get(viewer.port, f"/api/wave?id={201 + i % 2}")[1], range(64)))
    assert len(set(answers[0::2])) == 1 and len(set(answers[1::2])) == 1


def test_curl_sees_the_same_answers(viewer):
    curl = shutil.which("curl")
    if curl is None:
        pytest.skip("curl is not installed")
    out = subprocess.run([curl, "-s", "-i", viewer.url + "api/wave?id=%34%32"], capture_output=True, timeout=30)
    head, body = split(out.stdout)
    assert head.startswith("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: ")
    assert json.loads(body)["y"][0] == 42.0
    out = subprocess.run([curl, "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "POST", viewer.url],
                         capture_output=True, timeout=30, text=True)
    assert out.stdout == "405"


def test_listens_on_loopback_only(viewer):
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.read().splitlines()[1:]]
    listening = [r[1] for r in rows if r[3] == "0A" and int(r[1].split(":")[1], 16) == viewer.port]
    assert listening == [f"0100007F:{viewer.port:04X}"]


def test_silent_client_is_dropped_after_two_seconds(viewer):
    # Not before its time; how long after, a busy machine decides (recv
    # raises once the socket's own 20 s are out).
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", viewer.port), timeout=20) as s:
        assert s.recv(100) == b""
    assert time.monotonic() - start >= 1.5


def test_huge_request_line_and_many_connections_do_not_stop_serving(viewer):
    with socket.create_connection(("127.0.0.1", viewer.port), timeout=10) as s:
        try:
            s.sendall(b"GET /" + b"a" * (8 << 20))
            data = s.recv(100)
        except (ConnectionResetError, BrokenPipeError):
            data = b""
    assert data == b""
    # More silent connections than the server keeps used to lock everyone
    # out: now each newcomer replaces the one idle longest, and a real
    # client is answered at once.
    time.sleep(0.3)
    held = []
    try:
        start = time.monotonic()
        for _ in range(300):
            held.append(socket.create_connection(("127.0.0.1", viewer.port), timeout=10))
        head, _ = get(viewer.port, "/api/tree")
        assert head.startswith("HTTP/1.1 200 OK")
        in_time = time.monotonic() - start < 1  # before the first-line time-out ends the rest

        def closed(s, wait):
            s.settimeout(wait)
            try:
                return s.recv(10) == b""
            except ConnectionResetError:
                return True
            except TimeoutError:
                return False

        if in_time:
            assert not any(closed(s, 0.001) for s in held[-200:])
        assert all(closed(s, 2) for s in held[:45])
    finally:
        for s in held:
            s.close()
    assert viewer.process.poll() is None


def large_answer_file(tmp_path, kind):
    """(file, request, answer size) of a large waveform or a large tree."""
    c = Companion()
    if kind == "wave":
        n = 400_000
        c.pair(7, stored_frame([i * 1e-9 for i in range(n)]), stored_frame([float(i % 1000) for i in range(n)]), n)
        request, size = b"GET /api/wave?id=7 HTTP/1.1\r\n\r\n", 2 * 16 * n  # "d.ddddddddde-N,"
    else:
        frame = stored_frame([0.0, 1.0])
        for i in range(30_000):
            c.pair(i + 1, frame, frame, 2)
        request, size = b"GET /api/tree HTTP/1.1\r\n\r\n", 30_000 * 130  # one leaf of the tree
    path = tmp_path / f"{kind}.psfxl"
    path.write_bytes(bytes(c.data))
    return path, request, size


@pytest.mark.parametrize("kind", ["wave", "tree"])
def test_clients_of_one_answer_share_it(tmp_path, kind):
    # Clients that ask for a large answer and read slowly (or never) hold it;
    # each used to hold a copy, so a few dozen of them took gigabytes. One
    # answer is built once and shared while it is being sent.
    path, request, size = large_answer_file(tmp_path, kind)

    def rss_after_holding(viewer, clients):
        for _ in range(clients):
            s = socket.create_connection(("127.0.0.1", viewer.port), timeout=60)
            s.sendall(request)
            held.append(s)
        for s in held[-clients:]:
            assert s.recv(1)  # its answer is built and being sent
        status = pathlib.Path(f"/proc/{viewer.process.pid}/status").read_text()
        return int(re.search(r"VmRSS:\s+(\d+) kB", status).group(1)) * 1024

    held = []
    with running_viewer(path) as v:
        try:
            one = rss_after_holding(v, 1)
            many = rss_after_holding(v, 24)
            # A whole answer still arrives.
            head, body = split(raw_request(v.port, request))
            assert head.startswith("HTTP/1.1 200 OK") and len(body) > size // 2
            json.loads(body)
        finally:
            for s in held:
                s.close()
    assert many - one < 4 * size, f"24 more clients took {(many - one) >> 20} MiB"


def memory_kib(pid, field):
    status = pathlib.Path(f"/proc/{pid}/status").read_text()
    return int(re.search(rf"{field}:\s+(\d+) kB", status).group(1))


def test_browsing_many_large_records_stays_within_the_cache_budget(tmp_path, monkeypatch):
    # Every decoded waveform used to stay cached: 100 records aliasing one
    # large waveform held 1.6 GB. The cache now keeps what fits its budget.
    n, records, budget = 100_000, 100, 64 << 20
    c = Companion()
    c.pair(1, stored_frame([i * 1e-9 for i in range(n)]), stored_frame([float(i % 977) for i in range(n)]), n)
    for rid in range(2, records + 1):
        c.alias(rid, n)
    path = tmp_path / "aliases.psfxl"
    path.write_bytes(bytes(c.data))
    monkeypatch.setenv("MORVA_VIEWER_CACHE_BYTES", str(budget))
    with running_viewer(path) as v:
        first = wave(v.port, "id=1")
        assert first["total"] == n
        before = memory_kib(v.process.pid, "VmRSS") << 10
        for rid in range(1, records + 1):
            assert wave(v.port, f"id={rid}") == first
        peak = (memory_kib(v.process.pid, "VmHWM") << 10) - before
        # Answers are the same once a record has left the cache.
        assert wave(v.port, "id=2") == first
    assert peak < 1.2 * budget, f"browsing took {peak >> 20} MiB over a budget of {budget >> 20} MiB"


def test_second_viewer_on_the_same_port_fails(viewer, files):
    f = NgpsfFile(files[0])
    with pytest.raises(ValueError) as info:
        f.serve(port=viewer.port)
    assert str(info.value) == f"bind 127.0.0.1:{viewer.port} failed: Address already in use (os error 98)"


def test_argument_errors_come_before_serving(files, tmp_path):
    f = NgpsfFile(files[0])
    with pytest.raises(OverflowError):
        f.serve(port=70000)
    with pytest.raises(OverflowError):
        f.serve(port=-1)
    with pytest.raises(TypeError, match=r"^argument 'port'"):
        f.serve(port="8765")
    with pytest.raises(TypeError, match=r"^argument 'companion'"):
        f.serve(port=1, companion=3)
    with pytest.raises(OSError) as info:
        f.serve(port=1, companion=tmp_path / "absent")
    assert str(info.value) == f"reading PSF file {tmp_path}/absent: No such file or directory (os error 2)"
    bad = tmp_path / "bad.psf"
    bad.write_bytes(b"\0" * 20)
    with pytest.raises(ValueError, match="^missing Clarissa trailer"):
        f.serve(port=1, companion=bad)
    # The file is opened again from disk.
    gone = tmp_path / "gone.psfxl"
    gone.write_bytes(files[0].read_bytes())
    g = NgpsfFile(gone)
    gone.unlink()
    with pytest.raises(OSError) as info:
        g.serve(port=1)
    assert str(info.value) == f"reading PSFXL file {gone}: No such file or directory (os error 2)"


def test_ctrl_c_ends_serving(files):
    viewer = Viewer(files[0])
    assert viewer.counts == (len(SIGNALS) + len(ORPHANS), 0, len(SIGNALS) + len(ORPHANS) - 1)
    assert get(viewer.port, "/api/tree")[0].startswith("HTTP/1.1 200 OK")
    code, err = viewer.interrupt(timeout=60)  # a hang, not a figure
    assert code != 0 and err.rstrip().endswith("KeyboardInterrupt")
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", viewer.port), timeout=5)
