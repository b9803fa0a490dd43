"""A stand-in worker that answers request lines with crafted frames.

The first line of each request's netlist names what to send back:

- ``ok``: a good frame with one real vector [1, 2, 3] and one measure;
- ``vectors <json>``: a good frame with the given vectors, a JSON list of
  ``[name, [values...]]`` (or ``[name, [[re, im], ...], "complex"]``), and
  optional measures after a second ``|``: ``vectors <json>|<measures json>``;
- ``missing-log``: a header without the "log" field;
- ``null-error``: a failure header whose "error" is null;
- ``null-measure``: a measure written as null;
- ``complex``: one complex vector of three samples;
- ``truncated``: a vector that claims 1000 samples, 10 sent, then exit;
- ``huge-header``: a length word of 0xfffffff0, then exit;
- ``huge-vector``: a vector that claims 2^60 samples, 3 sent, then exit;
- ``garbage``: a header that is not JSON;
- ``exit``: exit without answering;
- ``sleep <s>``: answer ``ok`` after <s> seconds (a late reply);
- ``big <n>``: a vector of <n> zeros, streamed (the reader may stop reading).

Every request id is appended to $FAKE_WORKER_LOG when that is set.
"""

import json
import os
import struct
import sys
import time


def header(req_id, vecs=(), success=True, **extra):
    h = {"id": req_id, "success": success, "vecs": list(vecs), "log": ["stdout fake"]}
    h.update(extra)
    return h


def frame(h, payload=b""):
    text = json.dumps(h, separators=(",", ":")).encode()
    return struct.pack("<I", len(text)) + text + payload


def doubles(values):
    return struct.pack(f"<{len(values)}d", *values)


def meta(name, n, is_complex=False):
    return {"name": name, "len": n, "is_scale": name == "time", "is_complex": is_complex}


def answer(req):
    mode, _, arg = req["netlist"].split("\n", 1)[0].partition(" ")
    rid = req["id"]
    if mode == "sleep":
        time.sleep(float(arg))
        mode = "ok"
    if mode == "ok":
        return frame(header(rid, [meta("v", 3)], measures=[["m", 1.5]]), doubles([1, 2, 3]))
    if mode == "vectors":
        vec_text, _, meas_text = arg.partition("|")
        metas, payload = [], b""
        for item in json.loads(vec_text):
            name, values = item[0], item[1]
            if len(item) > 2:
                metas.append(meta(name, len(values), True))
                payload += doubles([x for pair in values for x in pair])
            else:
                metas.append(meta(name, len(values)))
                payload += doubles(values)
        measures = json.loads(meas_text) if meas_text else []
        return frame(header(rid, metas, measures=measures), payload)
    if mode == "missing-log":
        h = header(rid)
        del h["log"]
        return frame(h)
    if mode == "null-error":
        return frame(header(rid, success=False, error=None))
    if mode == "null-measure":
        return frame(header(rid, measures=[["nan_m", None], ["x", 2.0]]))
    if mode == "complex":
        return frame(header(rid, [meta("c", 3, True)]), doubles([1, -1, 2, -2, 3, -3]))
    if mode == "truncated":
        sys.stdout.buffer.write(frame(header(rid, [meta("v", 1000)]), doubles([0.5] * 10)))
        sys.stdout.buffer.flush()
        os._exit(0)
    if mode == "huge-header":
        sys.stdout.buffer.write(struct.pack("<I", 0xFFFFFFF0) + b"{")
        sys.stdout.buffer.flush()
        os._exit(0)
    if mode == "huge-vector":
        sys.stdout.buffer.write(frame(header(rid, [meta("v", 1 << 60)]), doubles([1, 2, 3])))
        sys.stdout.buffer.flush()
        os._exit(0)
    if mode == "big":
        n = int(arg)
        out = sys.stdout.buffer
        out.write(frame(header(rid, [meta("v", n)])))
        chunk = bytes(1 << 20)
        try:
            for start in range(0, 8 * n, len(chunk)):
                out.write(chunk[: min(len(chunk), 8 * n - start)])
            out.flush()
        except BrokenPipeError:
            os._exit(0)
        return b""
    if mode == "garbage":
        return struct.pack("<I", 5) + b"hello"
    if mode == "exit":
        os._exit(3)
    raise SystemExit(f"fake worker: unknown mode {mode!r}")


def main():
    log = os.environ.get("FAKE_WORKER_LOG")
    for line in sys.stdin:
        if not line.strip():
            continue
        req = json.loads(line)
        if log:
            with open(log, "a") as f:
                f.write(req["id"] + "\n")
        sys.stdout.buffer.write(answer(req))
        sys.stdout.buffer.flush()


if __name__ == "__main__":
    main()
