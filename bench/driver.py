#!/usr/bin/env python3
"""Runs the reference relay, the real server window and kestrel-relay side by side under the
load generator and prints a markdown table with the figures, the ratios to the reference and
each target's pass or fail. Everything runs on loopback, every child process is bounded in time, and each is
ended by its own PID. Started by bench/run.sh, which builds the programs first."""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.abspath(__file__))


class Programs:
    def __init__(self, build):
        bench = os.path.join(build, "bench")
        self.loadgen = os.path.join(bench, "loadgen", "bench_loadgen")
        self.refrelay = os.path.join(bench, "refrelay", "bench_refrelay")
        self.serverhost = os.path.join(bench, "serverhost", "bench_serverhost")
        self.clienthost = os.path.join(bench, "clienthost", "bench_clienthost")
        self.logpane = os.path.join(bench, "logpane", "bench_logpane")
        self.relay = os.path.join(build, "src", "relay", "kestrel-relay")


# The relays under test, in the order they run and appear in the table.
KINDS = ("reference", "window", "relay")


def log(message):
    print(message, file=sys.stderr, flush=True)


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


class Server:
    """A relay under test: the reference, the server window or kestrel-relay. Ended by its own
    PID."""

    def __init__(self, kind, programs, max_seconds=900, prefix=(), relay_args=()):
        self.kind = kind
        if kind == "relay":
            self._start_relay(programs, prefix, relay_args)
            return
        env = dict(os.environ)
        env.setdefault("QT_QPA_PLATFORM", "offscreen")
        args = list(prefix) + (
            [programs.refrelay, "--max-seconds", str(max_seconds)]
            if kind == "reference"
            else [programs.serverhost, "--max-seconds", str(max_seconds)]
        )
        self.proc = subprocess.Popen(
            args,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
            env=env,
        )
        line = self.proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "port":
            self.stop()
            raise RuntimeError(f"{kind} did not start listening")
        self.port = int(line[1])

    def _start_relay(self, programs, prefix, relay_args):
        """kestrel-relay as it would run on a server: the chat logged to standard output (to
        /dev/null here, as the window logs into its pane), events to standard error, which goes
        to a file so that 10,000 connection lines never wait for a reader."""
        self.events = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(
            [*prefix, programs.relay, "--port", "0", *relay_args],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=self.events,
            text=True,
        )
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.proc.poll() is None:
            self.events.seek(0)
            first = self.events.readline()
            if first.startswith("listening on ") and first.endswith("\n"):
                self.port = int(first.rsplit(":", 1)[1])
                return
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("kestrel-relay did not start listening")

    @property
    def pid(self):
        return self.proc.pid

    def ask(self, command):
        """Only the window answers commands (rss, log, count)."""
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return int(self.proc.stdout.readline().split()[1])

    def rss_kib(self):
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return -1

    def cpu_seconds(self):
        return cpu_seconds(self.pid)

    def stop(self):
        stop_process(self.proc)


def cpu_seconds(pid):
    """User and system CPU time the process has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stop_process(proc):
    """SIGTERM, then SIGKILL after 10 s."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def loadgen(programs, port, *args, timeout=300, prefix=()):
    cmd = [*prefix, programs.loadgen, "--port", str(port), *map(str, args)]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    lines = [l for l in out.stdout.splitlines() if l.startswith("{")]
    if not lines:
        raise RuntimeError(f"loadgen printed nothing: {out.stderr.strip()}")
    return json.loads(lines[-1])


def with_server(kind, programs, fn, prefix=(), relay_args=()):
    server = Server(kind, programs, prefix=prefix, relay_args=relay_args)
    try:
        return fn(server)
    finally:
        server.stop()


def measured_load(programs, server, clients, lines, window, label):
    """One load generator run against server, with what the server itself spent per delivery
    (user and system time), a figure that holds when the generator, not the server, sets the
    pace."""
    cpu = server.cpu_seconds()
    res = loadgen(programs, server.port, "--clients", clients, "--lines", lines,
                  "--window", window, "--label", label)
    res["server_ns_per_delivery"] = (
        (server.cpu_seconds() - cpu) * 1e9 / res["deliveries"] if res["deliveries"] else 0)
    return res


def throughput(programs, clients, lines, window, repeat):
    """Median deliveries/s of each relay over `repeat` alternating runs, fresh servers."""
    runs = {kind: [] for kind in KINDS}
    for r in range(repeat):
        # Each repetition starts with another relay, so none always runs right after the same
        # one, or always first after the machine's other work.
        for kind in KINDS[r % len(KINDS):] + KINDS[:r % len(KINDS)]:
            res = with_server(kind, programs, lambda s: measured_load(
                programs, s, clients, lines, window, f"{kind}-{clients}"))
            log(f"  throughput {clients} {kind} #{r + 1}: {json.dumps(res)}")
            runs[kind].append(res)
    out = {}
    for kind, results in runs.items():
        rates = [x["deliveries_per_s"] for x in results]
        bad = sum(x["lost"] + x["corrupted"] + x["reordered"] + x["duplicated"] for x in results)
        out[kind] = {
            "rate": statistics.median(rates),
            "cpu_ns": statistics.median(x["server_ns_per_delivery"] for x in results),
            "bad": bad,
            "ok": all(x["ok"] for x in results),
            "runs": rates,
        }
    return out


def realtime_prefix():
    """Round-robin real-time priority for the latency run, where the system allows it.

    On a shared 2-core machine a woken relay otherwise waits for another tenant's compiler to
    use up its time slice (a 4 ms tick here), and the 99th percentile measures the neighbours.
    Both relays and the generator get the same priority; at 100 lines/s they are idle almost
    all the time, and the run is bounded."""
    try:
        ok = subprocess.run(["chrt", "-r", "10", "true"], capture_output=True).returncode == 0
    except FileNotFoundError:
        ok = False
    return ["chrt", "-r", "10"] if ok else []


def latency(programs, clients, rate, lines, realtime):
    out = {}
    prefix = realtime_prefix() if realtime else []
    for kind in KINDS:
        res = with_server(
            kind,
            programs,
            lambda s: loadgen(
                programs, s.port, "--clients", clients, "--lines", lines, "--rate", rate,
                "--label", f"{kind}-latency", timeout=lines * clients / rate + 120, prefix=prefix,
            ),
            prefix=prefix,
        )
        res["realtime"] = bool(prefix)
        log(f"  latency {kind}: {json.dumps(res)}")
        out[kind] = res
    return out


def idle(programs, connections, hold):
    out = {}
    for kind in KINDS:
        res = with_server(
            kind,
            programs,
            lambda s: loadgen(
                programs, s.port, "--mode", "idle", "--clients", connections, "--hold", hold,
                "--rss-pid", s.pid, "--label", f"{kind}-idle", "--timeout", 300, timeout=400,
            ),
        )
        log(f"  idle {kind}: {json.dumps(res)}")
        out[kind] = res
    return out


def log_growth(programs, fill_lines, measured_lines, repeat):
    """Through the real window: time to relay and log `measured_lines` lines into an empty log
    and into one holding `fill_lines` lines; memory the filled log takes per byte of text."""

    def run(server):
        def timed(count):
            # A window of 256 lines keeps the server busy: with a small one the figure is the
            # round trip between two processes, which doubles or quadruples when an idle
            # machine lets its cores sleep between turns.
            res = loadgen(programs, server.port, "--clients", 1, "--lines", count,
                          "--window", 256, "--label", "log", timeout=600)
            if not res["ok"]:
                raise RuntimeError(f"log run failed: {json.dumps(res)}")
            return res["seconds"]

        # The first 10,000 lines, several times over (the log then holds up to 70,000 lines,
        # little next to a million); the median of each set is compared.
        first = [timed(measured_lines) for _ in range(repeat)]
        chars_first = server.ask("log")
        base_kib = server.ask("rss")
        fill_start = time.monotonic()
        left = fill_lines - measured_lines * repeat
        while left > 0:  # in a few runs, so one generator run stays short
            n = min(left, 250000)
            timed(n)
            left -= n
        fill_s = time.monotonic() - fill_start
        filled_chars = server.ask("log")
        filled_kib = server.ask("rss")
        after = [timed(measured_lines) for _ in range(repeat)]
        return {
            "first_s": statistics.median(first),
            "after_s": statistics.median(after),
            "fill_s": fill_s,
            "log_chars": filled_chars,
            "memory_per_text": (filled_kib - base_kib) * 1024.0 / (filled_chars - chars_first),
            "rss_mib": filled_kib / 1024.0,
        }

    res = with_server("window", programs, run)
    log(f"  log: {json.dumps(res)}")
    return res


def pane_alone(programs):
    if not os.path.exists(programs.logpane):
        return None
    out = subprocess.run([programs.logpane], capture_output=True, text=True, timeout=600,
                         env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    lines = [l for l in out.stdout.splitlines() if l.startswith("{")]
    return json.loads(lines[-1]) if lines else None


def client_window(programs, rate, seconds):
    lines = rate * seconds
    relay = Server("reference", programs)
    try:
        host = subprocess.Popen(
            [programs.clienthost, "--port", str(relay.port), "--lines", str(lines),
             "--timeout", str(seconds + 60)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
        )
        try:
            if host.stdout.readline().strip() != "connected":
                raise RuntimeError("client window did not connect")
            gen = loadgen(programs, relay.port, "--clients", 1, "--lines", lines, "--rate", rate,
                          "--allow-foreign", "--label", "client-feed", timeout=seconds + 120)
            out, _ = host.communicate(timeout=seconds + 90)
        finally:
            if host.poll() is None:
                host.terminate()
                host.wait()
    finally:
        relay.stop()
    res = json.loads([l for l in out.splitlines() if l.startswith("{")][-1])
    log(f"  client feed: {json.dumps(gen)}")
    log(f"  client window: {json.dumps(res)}")
    return res, gen


def write_rules(path, count):
    """count allow rules, IPv4 and IPv6 blocks of many prefix lengths (the look-up costs one
    probe per distinct length), none of them loopback but the last, which lets the clients
    in."""
    with open(path, "w") as f:
        f.write("# bench: allow rules that match nobody but the last\n")
        for i in range(count - 1):
            if i % 5 == 4:
                f.write(f"2001:db8:{i:x}::/{32 + i % 97}\n")
            else:
                f.write(f"{10 + i % 100}.{i % 256}.{(i * 7) % 256}.0/{8 + i % 25}\n")
        f.write("127.0.0.0/8\n")


def rules_throughput(programs, clients, lines, window, repeat, rules_file):
    """kestrel-relay without rules and with the allow file, run in pairs back to back (which
    goes first alternates), fresh relays. The rules cost only at accept, so the figure is the
    median of the pairs' ratios: a neighbour's load that comes and goes hits both runs of a
    pair alike, where it would tilt a ratio of medians. Server CPU time per delivery beside it,
    a figure the neighbours move less."""
    variants = {"none": (), "rules": ("--allow-file", rules_file)}
    pairs = []
    for r in range(repeat):
        pair = {}
        for name in (("none", "rules") if r % 2 == 0 else ("rules", "none")):
            res = with_server("relay", programs, lambda s: measured_load(
                programs, s, clients, lines, window, f"relay-{name}-{clients}"),
                relay_args=variants[name])
            log(f"  rules throughput {clients} {name} #{r + 1}: {json.dumps(res)}")
            pair[name] = res
        pairs.append(pair)
    rate = {k: statistics.median(p[k]["deliveries_per_s"] for p in pairs) for k in variants}
    cpu = {k: statistics.median(p[k]["server_ns_per_delivery"] for p in pairs) for k in variants}
    ratios = [p["rules"]["deliveries_per_s"] / p["none"]["deliveries_per_s"] for p in pairs]
    return {"rate": rate, "cpu_ns": cpu, "ratio": statistics.median(ratios), "ratios": ratios,
            "ok": all(p[k]["ok"] for p in pairs for k in variants)}


def flood_latency(programs, clients, rate, lines, limit, repeat, realtime):
    """p99 of paced clients on kestrel-relay: quiet, beside a client flooding as fast as it can,
    and the same with --max-line-rate. The flooder runs at normal priority; the relay and the
    paced clients as the latency run has them."""
    prefix = realtime_prefix() if realtime else []
    seconds = lines * clients / rate
    cases = {"quiet": ((), False), "flood": ((), True),
             "flood, limited": ((f"--max-line-rate={limit}",), True)}
    runs = {k: [] for k in cases}
    for r in range(repeat):
        for name, (args, flood) in cases.items():
            def run(s):
                flooder = None
                if flood:
                    flooder = subprocess.Popen(
                        [programs.loadgen, "--port", str(s.port), "--mode", "flood",
                         "--hold", str(seconds + 4), "--label", "flooder"],
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                    time.sleep(1)  # the flood under way before the paced clients come
                try:
                    res = loadgen(programs, s.port, "--clients", clients, "--lines", lines,
                                  "--rate", rate, "--allow-foreign", "--label", f"paced-{name}",
                                  timeout=seconds + 120, prefix=prefix)
                finally:
                    if flooder:
                        out, _ = flooder.communicate(timeout=seconds + 30)
                        res["flooder"] = json.loads(out.strip().splitlines()[-1]) if out else None
                return res

            res = with_server("relay", programs, run, prefix=prefix, relay_args=args)
            log(f"  flood latency {name} #{r + 1}: {json.dumps(res)}")
            runs[name].append(res)
    return {k: {"p99": statistics.median(x["lat_p99_us"] for x in v),
                "all": [x["lat_p99_us"] for x in v], "ok": all(x["ok"] for x in v),
                # Flood lines relayed per second, as each paced client saw them.
                "flood_lines_per_s": statistics.median(
                    x["foreign"] / clients / x["seconds"] if x["seconds"] else 0 for x in v)}
            for k, v in runs.items()}


def fmt_rate(x):
    return f"{x / 1e6:.2f} M/s" if x >= 1e6 else f"{x / 1e3:.0f} k/s"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="smaller runs, for a smoke test")
    parser.add_argument("--only", default="throughput,latency,idle,log,client",
                        help="also: flood, rules (kestrel-relay's access rules and limits)")
    parser.add_argument("--no-realtime", action="store_true",
                        help="run the latency test at normal priority")
    args = parser.parse_args()
    programs = Programs(os.path.abspath(args.build))
    only = set(args.only.split(","))
    quick = args.quick

    load_before = load_average()
    if load_before > 0.5:
        log(f"warning: load average {load_before:.2f} before the run: figures will be noisy")
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    rows = []  # (target, reference, window, kestrel-relay, ratio, goal, result)
    passed_all = True

    def row(target, ref, win, relay, ratio, goal, ok):
        nonlocal passed_all
        passed_all = passed_all and ok
        rows.append((target, ref, win, relay, ratio, goal, "pass" if ok else "FAIL"))

    def info(target, ref, win, relay, ratio=""):
        rows.append((target, ref, win, relay, ratio, "", "info"))

    if "throughput" in only:
        for clients, lines in ((100, 2000), (500, 400)):
            if quick:
                lines //= 10
            log(f"throughput, {clients} clients x {lines} lines")
            t = throughput(programs, clients, lines, 8, 1 if quick else args.repeat)
            ref, win, rel = t["reference"], t["window"], t["relay"]
            ratio_w = win["rate"] / ref["rate"] if ref["rate"] else 0
            ratio_r = rel["rate"] / ref["rate"] if ref["rate"] else 0
            row(f"Throughput, {clients} clients (deliveries/s, median)", fmt_rate(ref["rate"]),
                fmt_rate(win["rate"]), fmt_rate(rel["rate"]),
                f"{ratio_w:.2f} / {ratio_r:.2f}", "window >= 0.50, relay >= 0.90",
                ratio_w >= 0.5 and ratio_r >= 0.9)
            row(f"Throughput, {clients} clients: lost+corrupted+reordered", str(ref["bad"]),
                str(win["bad"]), str(rel["bad"]), "", "0",
                win["bad"] == 0 and win["ok"] and rel["bad"] == 0 and rel["ok"])
            info(f"Throughput, {clients} clients: server CPU time per delivery",
                 f"{ref['cpu_ns']:.0f} ns", f"{win['cpu_ns']:.0f} ns", f"{rel['cpu_ns']:.0f} ns",
                 f"{win['cpu_ns'] / ref['cpu_ns']:.2f} / {rel['cpu_ns'] / ref['cpu_ns']:.2f}"
                 if ref["cpu_ns"] else "")

    if "latency" in only:
        per_client = 2 if quick else 10
        log(f"latency, 100 clients x {per_client} lines at 100 lines/s")
        lat = latency(programs, 100, 100, per_client, not args.no_realtime)
        ref, win, rel = lat["reference"], lat["window"], lat["relay"]
        rt = " (real-time priority)" if win["realtime"] else ""
        p99 = {k: v["lat_p99_us"] for k, v in lat.items()}
        row(f"Latency p99, 100 clients at 100 lines/s{rt}", f"{p99['reference'] / 1000:.2f} ms",
            f"{p99['window'] / 1000:.2f} ms", f"{p99['relay'] / 1000:.2f} ms",
            f"{p99['window'] / p99['reference']:.2f} / {p99['relay'] / p99['reference']:.2f}",
            "window < 2 ms, relay <= 1.5x",
            p99["window"] < 2000 and p99["relay"] <= 1.5 * p99["reference"])
        row("Latency max", f"{ref['lat_max_us'] / 1000:.2f} ms",
            f"{win['lat_max_us'] / 1000:.2f} ms", f"{rel['lat_max_us'] / 1000:.2f} ms", "",
            "< 20 ms", win["lat_max_us"] < 20000 and win["ok"] and rel["lat_max_us"] < 20000
            and rel["ok"])

    if "idle" in only:
        conns = 1000 if quick else 10000
        log(f"idle, {conns} connections")
        res = idle(programs, conns, 2 if quick else 10)
        ref, win, rel = res["reference"], res["window"], res["relay"]
        row(f"Idle connections held ({conns})", f"{ref['held_at_end']}", f"{win['held_at_end']}",
            f"{rel['held_at_end']}", "", f"{conns}", win["ok"] and rel["ok"])
        row("Server memory per idle connection", f"{ref['rss_per_conn_kib']:.1f} KiB",
            f"{win['rss_per_conn_kib']:.1f} KiB", f"{rel['rss_per_conn_kib']:.1f} KiB", "",
            "<= 16 KiB", all(0 <= x["rss_per_conn_kib"] <= 16 for x in (win, rel)))

    if "log" in only:
        fill = 100000 if quick else 1000000
        log(f"log, {fill} lines")
        lg = log_growth(programs, fill, 10000, 1 if quick else 7)
        ratio = lg["after_s"] / lg["first_s"]
        row(f"Log: 10,000 lines relayed+logged, empty log vs {fill:,} lines",
            "", f"{lg['first_s'] * 1000:.1f} ms vs {lg['after_s'] * 1000:.1f} ms", "",
            f"{ratio:.2f}", "<= 1.5x", ratio <= 1.5)
        row("Log: memory / log text (window process)", "", f"{lg['memory_per_text']:.2f}x", "",
            "", "<= 3x", lg["memory_per_text"] <= 3)
        pane = None if quick else pane_alone(programs)
        if pane:
            rows.append(("Log pane alone (bench_logpane): append cost ratio, memory/text", "",
                         f"{pane['ratio']:.2f}, {pane['memory_per_text']:.2f}x", "", "",
                         "<= 1.5x, <= 3x", "info"))
            if "accessible_ratio" in pane:
                row("Log pane alone, accessibility on: append cost vs off", "",
                    f"{pane['append_cpu_ns_at_1M_lines_accessible']:.0f} ns CPU", "",
                    f"{pane['accessible_ratio']:.2f}", "<= 1.2x", pane["accessible_ratio"] <= 1.2)

    if "client" in only:
        seconds = 3 if quick else 10
        log(f"client window at 20,000 lines/s for {seconds} s")
        cl, gen = client_window(programs, 20000, seconds)
        # A backlog that grows shows as a lag that grows: look at the last full seconds.
        tail_lag = max(cl["per_second_max_lag_us"][-4:-1] or [cl["lag_max_us"]])
        keeps_up = cl["received"] == cl["lines"] and cl["corrupted"] == 0 and tail_lag < 50000
        row("Client window at 20,000 lines/s: lines shown; worst lag in the last 3 s",
            "", f"{cl['received']}/{cl['lines']}; {tail_lag / 1000:.1f} ms", "", "",
            "all; < 50 ms", keeps_up)
        row("Client window: worst timer lateness (10 ms timer)", "",
            f"{cl['timer_late_max_us'] / 1000:.1f} ms", "", "", "< 50 ms",
            cl["timer_late_max_us"] < 50000)

    if "flood" in only:
        clients, rate, limit = 20, 200, 100
        per_client = 10 if quick else 40
        log(f"flood, {clients} paced clients at {rate} lines/s, one flooding; limit {limit}/s")
        fl = flood_latency(programs, clients, rate, per_client, limit, 1 if quick else args.repeat,
                           not args.no_realtime)
        quiet, flood, limited = fl["quiet"]["p99"], fl["flood"]["p99"], fl["flood, limited"]["p99"]
        info(f"Paced p99, {clients} clients at {rate} lines/s: quiet; one flooding, no limit "
             f"(flood lines relayed/s)", "", "",
             f"{quiet / 1000:.2f} ms; {flood / 1000:.2f} ms "
             f"({fl['flood']['flood_lines_per_s']:.0f}/s)", f"{flood / quiet:.2f}")
        row(f"Paced p99 beside the flooder with --max-line-rate {limit} (flood lines relayed/s)",
            "",
            "", f"{limited / 1000:.2f} ms ({fl['flood, limited']['flood_lines_per_s']:.0f}/s)",
            f"{limited / quiet:.2f}", "<= 2x quiet",
            limited <= 2 * quiet and all(v["ok"] for v in fl.values()))

    if "rules" in only:
        with tempfile.NamedTemporaryFile("w", suffix=".allow", delete=False) as f:
            rules_file = f.name
        try:
            write_rules(rules_file, 1000)
            for clients, lines in ((100, 2000), (500, 400)):
                if quick:
                    lines //= 10
                log(f"rules, {clients} clients x {lines} lines, 1,000 allow rules or none")
                t = rules_throughput(programs, clients, lines, 8, 1 if quick else args.repeat + 2,
                                     rules_file)
                rate, cpu = t["rate"], t["cpu_ns"]
                row(f"Throughput, {clients} clients, 1,000 allow rules vs none (median of "
                    f"{len(t['ratios'])} back-to-back pairs' ratios)", "", "",
                    f"{fmt_rate(rate['rules'])} vs {fmt_rate(rate['none'])} (medians)",
                    f"{t['ratio']:.2f} ({min(t['ratios']):.2f}..{max(t['ratios']):.2f})",
                    ">= 0.95", t["ratio"] >= 0.95 and t["ok"])
                info(f"Throughput, {clients} clients: server CPU per delivery, rules vs none", "",
                     "", f"{cpu['rules']:.0f} ns vs {cpu['none']:.0f} ns",
                     f"{cpu['rules'] / cpu['none']:.2f}" if cpu["none"] else "")
        finally:
            os.unlink(rules_file)

    load_after = load_average()
    print(f"kestrel relay benchmark, {started}, {os.cpu_count()} cores, "
          f"load average {load_before:.2f} before / {load_after:.2f} after\n")
    print("| Target | Reference relay | Server window | kestrel-relay | Ratio window / relay "
          "| Goal | Result |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print(f"\n{'All targets met.' if passed_all else 'Some targets NOT met.'}")
    return 0 if passed_all else 1


if __name__ == "__main__":
    sys.exit(main())
