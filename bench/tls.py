#!/usr/bin/env python3
"""kestrel-relay over TLS beside plain kestrel-relay and beside `ncat --ssl --broker`: 100
clients, deliveries/s (as fast as a window of 8 unanswered lines allows) and the 99th
percentile latency at 100 lines/s, with every line checked for loss, corruption and order.
Prints a markdown table. Loopback only; every process is bounded in time and ended by its PID.

    bench/run.sh builds the programs; then: python3 bench/tls.py BUILD_DIR [--repeat N]

ncat's broker sends no line back to its sender (the generator runs with --no-echo there) and
is far slower, so it gets fewer lines per client; the figures are rates all the same."""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import (  # noqa: E402
    Programs,
    cpu_seconds,
    load_average,
    loadgen,
    log,
    realtime_prefix,
    stop_process,
)

KINDS = ("plain", "tls", "ncat")
LINES = {"plain": 2000, "tls": 2000, "ncat": 100}


class Server:
    def __init__(self, kind, programs, prefix=()):
        self.kind = kind
        self.events = tempfile.TemporaryFile(mode="w+")
        if kind == "ncat":
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                self.port = probe.getsockname()[1]
            args = ["ncat", "--ssl", "--broker", "--listen", "127.0.0.1", str(self.port)]
        else:
            args = [programs.relay, "--port", "0", "--bind", "127.0.0.1"]
            if kind == "tls":
                args.append("--tls-only")
        self.proc = subprocess.Popen([*prefix, *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.events, text=True)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.proc.poll() is None:
            if self._ready():
                return
            time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"{kind} did not start listening")

    def _ready(self):
        if self.kind == "ncat":
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        self.events.seek(0)
        for line in self.events:
            if line.startswith("listening on ") and line.endswith("\n"):
                self.port = int(line.split()[2].rsplit(":", 1)[1])
                return True
        return False

    def args(self):
        return {"plain": [], "tls": ["--tls"], "ncat": ["--tls", "--no-echo"]}[self.kind]

    def cpu_seconds(self):
        return cpu_seconds(self.proc.pid)

    def stop(self):
        stop_process(self.proc)


def run(kind, programs, *args, prefix=(), timeout=600):
    server = Server(kind, programs, prefix)
    try:
        cpu = server.cpu_seconds()
        res = loadgen(programs, server.port, *server.args(), *args, "--label", kind,
                      prefix=prefix, timeout=timeout)
        # What the server itself spent per delivery: steadier than rates on a shared machine.
        res["cpu_ns"] = (server.cpu_seconds() - cpu) * 1e9 / max(1, res["deliveries"])
        return res
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--clients", type=int, default=100)
    args = parser.parse_args()
    programs = Programs(os.path.abspath(args.build))
    kinds = [k for k in KINDS if k != "ncat" or shutil.which("ncat")]
    load_before = load_average()
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())

    rates = {k: [] for k in kinds}
    cpu = {k: [] for k in kinds}
    bad = {k: 0 for k in kinds}
    for r in range(args.repeat):
        for kind in kinds[r % len(kinds):] + kinds[:r % len(kinds)]:
            res = run(kind, programs, "--clients", args.clients, "--lines", LINES[kind],
                      "--window", 8, "--timeout", 300)
            log(f"  throughput {kind} #{r + 1}: {res}")
            rates[kind].append(res["deliveries_per_s"])
            cpu[kind].append(res["cpu_ns"])
            bad[kind] += res["lost"] + res["corrupted"] + res["reordered"] + res["duplicated"]
            bad[kind] += 0 if res["ok"] else 1
    prefix = realtime_prefix()
    p99 = {}
    for kind in kinds:
        res = run(kind, programs, "--clients", args.clients, "--lines", 10, "--rate", 100,
                  prefix=prefix, timeout=args.clients * 10 / 100 + 120)
        log(f"  latency {kind}: {res}")
        p99[kind] = res["lat_p99_us"]
        bad[kind] += res["lost"] + res["corrupted"] + res["reordered"] + res["duplicated"]
        bad[kind] += 0 if res["ok"] else 1

    rate = {k: statistics.median(v) for k, v in rates.items()}
    print(f"kestrel-relay over TLS, {started}, {os.cpu_count()} cores, load average "
          f"{load_before:.2f} before / {load_average():.2f} after\n")
    print("| Figure, {} clients | plain kestrel-relay | kestrel-relay TLS | ncat --ssl --broker "
          "| TLS / plain | Goal |".format(args.clients))
    print("|---|---|---|---|---|---|")
    ncat = lambda f: f(rate["ncat"], p99["ncat"]) if "ncat" in kinds else "not installed"
    print(f"| Deliveries/s, median of {args.repeat} (runs: "
          f"{', '.join(f'{k} {[round(x) for x in rates[k]]}' for k in kinds)}) "
          f"| {rate['plain']:.0f} | {rate['tls']:.0f} | {ncat(lambda r, p: f'{r:.0f}')} "
          f"| {rate['tls'] / rate['plain']:.2f} | >= 0.5 |")
    cpu = {k: statistics.median(v) for k, v in cpu.items()}
    ncat_cpu = f"{cpu['ncat']:.0f} ns" if "ncat" in cpu else "not installed"
    print(f"| Server CPU time per delivery, median | {cpu['plain']:.0f} ns | {cpu['tls']:.0f} ns "
          f"| {ncat_cpu} | {cpu['tls'] / cpu['plain']:.2f} | (info) |")
    rt = ", real-time priority" if prefix else ""
    print(f"| Latency p99 at 100 lines/s{rt} | {p99['plain'] / 1000:.2f} ms "
          f"| {p99['tls'] / 1000:.2f} ms | {ncat(lambda r, p: f'{p / 1000:.2f} ms')} "
          f"| {p99['tls'] / p99['plain']:.2f} | <= 2 |")
    print(f"| Lost + corrupted + reordered (+ failed runs) | {bad['plain']} | {bad['tls']} "
          f"| {bad.get('ncat', '-')} | | 0 |")
    ok = (rate["tls"] >= 0.5 * rate["plain"] and p99["tls"] <= 2 * p99["plain"]
          and bad["plain"] == bad["tls"] == 0)
    print(f"\n{'All targets met.' if ok else 'Some targets NOT met.'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
