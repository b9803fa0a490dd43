"""A worker that forwards to the real ngspice worker and breaks chosen requests.

Usage: ``fault_worker.py RULES LOG``. Before each request the JSON list in
RULES is read afresh; the first rule whose ``id`` (a regular expression,
matched in full) and optional ``contains`` (a text the netlist must hold)
fit the request rewrites it so that ngspice itself fails, by ``fault``:

- ``error``: a command ngspice rejects ("let" of an unknown vector) is
  appended: the response fails without any alter-like phrase;
- ``sweep-case``: the interactive sweeps name their sources in capitals,
  which ngspice 39 cannot find in the lower-cased deck ("not in the
  circuit", a fatal error);
- ``short``: the netlist's Vds sweep stops at its start, so every plot is
  shorter than asked while the response succeeds;
- ``hang``: the request is not answered at all, as when ngspice loops: the
  pool's time-out ends this worker.

A rule with ``load_ns`` in place of ``fault`` changes no request: each
request that fits it and loads a netlist reports that its load took that many
nanoseconds (the kit's pace, which decides whether pairs split), whatever
other rule applies to it.

Each request's id is appended to LOG, one per line; a request that runs on
the circuit of an earlier one is logged as "{id}@{that request's id}".
"""

import json
import re
import struct
import subprocess
import sys
import time

WORKER = [sys.executable, "-c", "from morva._main import run_worker; run_worker()"]


def rewrite(req, fault):
    if fault == "error":
        req["commands"] = req["commands"] + ["let broken = no_such_vector + 1"]
    elif fault == "sweep-case":
        req["commands"] = [re.sub(r"^dc vds (.*) vgs ", r"dc Vds \1 Vgs ", c) for c in req["commands"]]
    elif fault == "short":
        req["netlist"] = re.sub(r"^\.dc Vds (\S+) \S+ ", r".dc Vds \1 \1 ", req["netlist"], flags=re.M)
    return req


def apply_rules(req, rules_path):
    with open(rules_path) as f:
        rules = json.load(f)
    load_ns = None
    for rule in rules:
        if re.fullmatch(rule["id"], req["id"]) and "load_ns" in rule and not req.get("on_circuit_of"):
            load_ns = rule["load_ns"]
            break
    for rule in rules:
        if re.fullmatch(rule["id"], req["id"]) and "fault" in rule and rule.get("contains", "") in req["netlist"]:
            return rewrite(req, rule["fault"]), rule["fault"], load_ns
    return req, None, load_ns


def read_exact(stream, n):
    data = b""
    while len(data) < n:
        chunk = stream.read(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def forward_frame(src, dst, load_ns=None):
    head = read_exact(src, 4)
    (n,) = struct.unpack("<I", head)
    header = read_exact(src, n)
    decoded = json.loads(header)
    payload = 0
    for vec in decoded["vecs"]:
        payload += vec["len"] * (16 if vec["is_complex"] else 8)
    if load_ns is not None:
        decoded.setdefault("timing", {})["circ_ns"] = load_ns
        header = json.dumps(decoded, separators=(",", ":")).encode()
        head = struct.pack("<I", len(header))
    dst.write(head + header + read_exact(src, payload))
    dst.flush()


def main():
    rules_path, log_path = sys.argv[1], sys.argv[2]
    child = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    out = sys.stdout.buffer
    for line in sys.stdin.buffer:
        if not line.strip():
            continue
        req = json.loads(line)
        with open(log_path, "a") as log:
            log.write(req["id"] + (f"@{req['on_circuit_of']}" if req.get("on_circuit_of") else "") + "\n")
        req, fault, load_ns = apply_rules(req, rules_path)
        if fault == "hang":
            while True:
                time.sleep(60)
        child.stdin.write(json.dumps(req).encode() + b"\n")
        child.stdin.flush()
        try:
            forward_frame(child.stdout, out, load_ns)
        except EOFError:
            break
    child.stdin.close()
    child.wait()


if __name__ == "__main__":
    main()
