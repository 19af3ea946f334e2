"""Runs every benchmark client against the same fast device peer, one at a time, and
prints one table plus bench/results/latest.json.

    python3 bench/bench.py --build BUILD_DIR [--quick] [--keep-profiles]

bench/run.sh installs what this needs, builds BUILD_DIR and calls it. For each client:

- three timed runs: per-exchange wall-clock times (median, 99th percentile), the process
  CPU time of the loop, heap allocations of the loop (C++ clients), and what the rest of
  the machine did meanwhile (the hypervisor's steal share, other processes' share); the
  middle run by CPU time is reported;
- two strace runs, of WARMUP + N exchanges and of WARMUP + 0, whose difference divided by N
  is the system calls per exchange (start-up and warm-up cancel out);
- two callgrind runs, likewise, for user-space instructions per exchange;
- against a silent device: one exchange that times out, under strace, to show that a read
  waits once instead of waking up in a loop.
"""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The hypervisor's steal share above which a run's times are shown but not trusted.
STEAL_LIMIT = 0.05
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# System calls that wait for a descriptor.
# The C library's clock read, reached through the vDSO outside valgrind.
CLOCK_READ = re.compile(r"(__)?clock_gettime(64)?\b")
WAIT_CALLS = ("poll", "ppoll", "select", "pselect6", "epoll_wait", "epoll_pwait")


class Client:
    def __init__(self, key, label, command, exchange, floor=None, cpp=False, group=None):
        self.key = key
        self.label = label
        self.command = command  # callable(port, mode, warmup, count) -> argv
        self.exchange = exchange
        self.floor = floor  # key of the floor this client is compared with
        self.cpp = cpp
        self.group = group


def make_clients(build, python):
    raw = os.path.join(build, "bench", "orvane-bench-raw")
    cpp = os.path.join(build, "bench", "orvane-bench-cpp")
    pyclient = os.path.join(HERE, "pyclient.py")

    def native(program, exchange):
        return lambda port, mode, w, n: [program, port, mode, str(w), str(n), exchange]

    def scripted(name):
        return lambda port, mode, w, n: [python, pyclient, name, port, mode, str(w), str(n)]

    return [
        Client("raw", "C++ raw floor (poll + read)", native(raw, "arm"), "arm", cpp=True),
        Client("cpp", "C++ library SendForce + ReceiveState", native(cpp, "arm"), "arm",
               floor="raw", cpp=True),
        Client("py-module", "Python module end_effector_force", scripted("module"), "arm",
               floor="raw"),
        Client("py-pyserial", "Python pyserial write + read", scripted("pyserial"), "arm",
               floor="raw"),
        Client("py-os", "Python os.write/os.read + struct", scripted("os"), "arm",
               floor="raw"),
        Client("raw-status", "C++ raw floor, handle status", native(raw, "status"), "status",
               cpp=True),
        Client("cpp-status", "C++ library RequestStatus + Receive", native(cpp, "status"),
               "status", floor="raw-status", cpp=True),
        Client("py-handle", "Python Handle subclass RequestStatus + Receive",
               scripted("handle"), "status", floor="raw-status"),
    ]


# ---------------------------------------------------------------------------------------
# Running and parsing


def run_client(argv, env, timeout):
    """Runs one client; its JSON line, or a dict with "error"."""
    try:
        done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout} s"}
    lines = [l for l in done.stdout.splitlines() if l.startswith("{")]
    result = json.loads(lines[-1]) if lines else {}
    if done.returncode == 3 and "error" in result:
        result["unavailable"] = True
        return result
    if done.returncode != 0 or not lines:
        tail = (done.stderr or done.stdout).strip().splitlines()[-3:]
        return {"error": f"exit status {done.returncode}: {' | '.join(tail)}"}
    return result


def parse_strace_summary(text):
    """System calls by name (and "total") from the table strace -c writes."""
    counts = {}
    for line in text.splitlines():
        parts = line.split()
        # % time, seconds, usecs/call, calls, [errors,] syscall
        if len(parts) >= 5 and parts[3].isdigit() and not line.startswith("-"):
            counts[parts[-1]] = int(parts[3])
    return counts


def parse_callgrind(text):
    """(instructions, clock reads) from a callgrind output file's text.

    Valgrind hides the vDSO, so clock_gettime runs as a system call there and its few
    dozen native instructions are not in the total; the calls to it are counted instead,
    from the call graph (names may be compressed: "cfn=(7) name" first, "cfn=(7)" later).
    """
    total, clock_reads, names, callee = None, 0, {}, ""
    for line in text.splitlines():
        if line.startswith(("summary:", "totals:")):
            total = int(line.split()[1])
        elif line.startswith(("fn=", "cfn=")):
            m = re.match(r"c?fn=(?:\((\d+)\))? ?(.*)", line)
            ident, name = m.group(1), m.group(2).strip()
            if ident and name:
                names[ident] = name
            if line.startswith("cfn="):
                callee = names.get(ident, "") if ident and not name else name
        elif line.startswith("calls=") and CLOCK_READ.match(callee):
            clock_reads += int(line[6:].split()[0])
    return total, clock_reads


def strace_counts(argv, env, timeout, workdir, tag):
    """System calls of one run, by name, under strace -f -c."""
    out = os.path.join(workdir, f"strace-{tag}.txt")
    result = run_client(["strace", "-f", "-c", "-o", out] + argv, env, timeout)
    if "error" in result:
        return result, None
    with open(out) as f:
        return result, parse_strace_summary(f.read())


def callgrind_total(argv, env, timeout, workdir, tag):
    """User-space instructions and clock reads of one run under callgrind."""
    out = os.path.join(workdir, f"callgrind-{tag}.out")
    result = run_client(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                         "--trace-children=no"] + argv, env, timeout)
    if "error" in result:
        return result, None
    with open(out) as f:
        total, clock_reads = parse_callgrind(f.read())
    if total is None:
        return {"error": "no instruction total in the callgrind output"}, None
    return result, {"instructions": total, "clock_reads": clock_reads}


def per_exchange(with_n, with_0, n):
    return {k: (with_n.get(k, 0) - with_0.get(k, 0)) / n
            for k in set(with_n) | set(with_0)
            if k != "total" and with_n.get(k, 0) != with_0.get(k, 0)}


def measure(client, port, env, cfg, workdir):
    row = {"key": client.key, "label": client.label, "exchange": client.exchange,
           "floor": client.floor}

    # Timed runs. Each client samples the machine around its timed loop: the hypervisor's
    # steal share, and the share of every CPU taken by other processes than the client and
    # the peer. Other work can slow an exchange down or, by keeping the virtual CPUs from
    # halting between exchanges, speed it up; the middle run by CPU time is reported.
    runs = []
    for _ in range(cfg.repeats):
        timed = run_client(client.command(port, "timed", cfg.warmup, cfg.timed), env, 120)
        if "error" in timed:
            row["error"] = timed["error"]
            row["unavailable"] = timed.get("unavailable", False)
            return row
        ticks = timed["machine_ticks"]
        total = max(1, ticks["total"])
        busy = ticks["total"] - ticks["idle"] - ticks["steal"]
        ours = timed["cpu_s"] * CLOCK_TICKS + ticks["peer"]
        timed["steal"] = ticks["steal"] / total
        timed["others"] = max(0.0, (busy - ours) / total)
        runs.append(timed)
    middle = sorted(runs, key=lambda t: t["cpu_s"])[len(runs) // 2]
    n = middle["count"]
    row.update(ok=all(t["ok"] for t in runs), cpu_us=middle["cpu_s"] / n * 1e6,
               median_us=middle["median_us"], p99_us=middle["p99_us"],
               allocations=(max(t["allocations"] for t in runs) / n
                            if middle["allocations"] is not None else None),
               steal=middle["steal"], others=middle["others"],
               runs=[{k: t[k] for k in ("cpu_s", "median_us", "p99_us", "max_us", "steal",
                                        "others")} for t in runs])
    row["trusted"] = row["steal"] <= STEAL_LIMIT

    # System calls by difference.
    w = cfg.count_warmup
    r0, c0 = strace_counts(client.command(port, "count", w, 0), env, 120, workdir,
                           client.key + "-0")
    r1, c1 = strace_counts(client.command(port, "count", w, cfg.strace), env, 120, workdir,
                           client.key + "-n")
    if c0 is None or c1 is None:
        row["error"] = "strace: " + (r0.get("error") or r1.get("error"))
        return row
    row["syscalls"] = (c1.get("total", 0) - c0.get("total", 0)) / cfg.strace
    row["syscall_mix"] = per_exchange(c1, c0, cfg.strace)
    row["ok"] = row["ok"] and r1.get("ok", False)

    # User-space instructions by difference.
    r0, i0 = callgrind_total(client.command(port, "count", w, 0), env, 300, workdir,
                             client.key + "-0")
    r1, i1 = callgrind_total(client.command(port, "count", w, cfg.callgrind), env, 300,
                             workdir, client.key + "-n")
    if i0 is None or i1 is None:
        row["error"] = "callgrind: " + (r0.get("error") or r1.get("error"))
        return row
    row["instructions"] = (i1["instructions"] - i0["instructions"]) / cfg.callgrind
    row["clock_reads"] = (i1["clock_reads"] - i0["clock_reads"]) / cfg.callgrind
    row["ok"] = row["ok"] and r1.get("ok", False)
    return row


def silent_exchange(client, env, workdir):
    """One exchange with a device that never answers: system calls and waits it costs."""
    master, slave = os.openpty()
    try:
        tty.setraw(slave)
        port = os.ttyname(slave)
        r0, c0 = strace_counts(client.command(port, "timed", 0, 0), env, 60, workdir,
                               client.key + "-silent-0")
        r1, c1 = strace_counts(client.command(port, "timed", 0, 1), env, 60, workdir,
                               client.key + "-silent-1")
    finally:
        os.close(master)
        os.close(slave)
    if c0 is None or c1 is None:
        return {"key": client.key, "error": r0.get("error") or r1.get("error")}
    mix = per_exchange(c1, c0, 1)
    return {"key": client.key, "label": client.label,
            "syscalls": c1.get("total", 0) - c0.get("total", 0), "syscall_mix": mix,
            "waits": sum(v for k, v in mix.items() if k in WAIT_CALLS),
            "seconds": r1.get("median_us", 0) / 1e6}


# ---------------------------------------------------------------------------------------
# Verdicts and output


def ratio(a, b):
    return a / b if a is not None and b else None


def add_ratios(rows):
    by_key = {r["key"]: r for r in rows}
    for r in rows:
        floor = by_key.get(r.get("floor") or "")
        for field in ("syscalls", "instructions", "cpu_us"):
            r[f"{field}_x_floor"] = ratio(r.get(field), floor.get(field)) if floor else None
    module, pyserial = by_key.get("py-module", {}), by_key.get("py-pyserial", {})
    return {field: ratio(module.get(field), pyserial.get(field))
            for field in ("syscalls", "instructions", "cpu_us")}


def targets(rows, silent):
    by_key = {r["key"]: r for r in rows}

    def get(key, field):
        return by_key.get(key, {}).get(field)

    checks = []

    def check(name, value, passed):
        checks.append({"target": name, "value": value,
                       "verdict": "not measured" if passed is None else
                       ("pass" if passed else "MISS")})

    def at_most(name, key, field, limit):
        v = get(key, field)
        check(name, v, None if v is None else v <= limit)

    at_most("Python end_effector_force: at most 4 system calls", "py-module", "syscalls", 4)
    m, o, s = (get(k, "instructions") for k in ("py-module", "py-os", "py-pyserial"))
    check("Python end_effector_force: fewer instructions than os.read/os.write", m,
          None if m is None or o is None else m < o)
    check("Python end_effector_force: at most 1/5 of pyserial's instructions", m,
          None if m is None or s is None else m <= s / 5)
    at_most("C++ SendForce + ReceiveState: 0 heap allocations", "cpp", "allocations", 0)
    at_most("C++ SendForce + ReceiveState: at most 4 system calls", "cpp", "syscalls", 4)
    at_most("C++ SendForce + ReceiveState: at most 1,500 instructions", "cpp",
            "instructions", 1500)
    for s in silent:
        if s.get("key") in ("cpp", "py-module", "cpp-status", "py-handle"):
            w = s.get("waits")
            check(f"{s['key']}: a timed-out read waits once", w,
                  None if w is None else w == 1 and 0.9 <= s["seconds"] <= 2.5)
    for r in rows:
        if "error" not in r and not r.get("ok"):
            check(f"{r['key']}: replies decoded correctly", False, False)
    return checks


def fmt(v, digits=1):
    return "-" if v is None else f"{v:,.{digits}f}"


def table(rows, vs_pyserial):
    head = ["client", "sys/ex", "instr/ex", "allocs/ex", "cpu us/ex", "median us", "p99 us",
            "steal %", "others %", "x floor sys", "x floor instr", "x floor cpu"]
    lines, notes = [], []
    for r in rows:
        if "error" in r:
            lines.append([r["label"]] + ["n/a"] + [""] * (len(head) - 2))
            notes.append(f"n/a: {r['label']}: {r['error']}")
            continue
        mark = "" if r["trusted"] else " !"
        lines.append([
            r["label"], fmt(r["syscalls"], 2), fmt(r["instructions"], 0),
            fmt(r["allocations"], 2), fmt(r["cpu_us"]) + mark, fmt(r["median_us"]) + mark,
            fmt(r["p99_us"]) + mark, fmt(r["steal"] * 100), fmt(r["others"] * 100),
            fmt(r["syscalls_x_floor"], 2),
            fmt(r["instructions_x_floor"], 2), fmt(r["cpu_us_x_floor"], 2)])
    widths = [max(len(str(x[i])) for x in [head] + lines) for i in range(len(head))]

    def line(cells):
        out = [str(cells[0]).ljust(widths[0])]
        out += [str(c).rjust(w) for c, w in zip(cells[1:], widths[1:])]
        return "| " + " | ".join(out) + " |"

    text = [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    text += [line(l) for l in lines]
    text.append("")
    text.append("Python module / pyserial: system calls x{}, instructions x{}, CPU x{}".format(
        *(fmt(vs_pyserial[k], 2) for k in ("syscalls", "instructions", "cpu_us"))))
    text.append(f"(! = the hypervisor stole more than {STEAL_LIMIT:.0%} of the machine during "
                "the timed run: times not trusted. others % = the share other processes took)")
    text += notes
    return "\n".join(text)


def markdown_summary(result):
    """The compact table for the top-level README, from a results file."""
    out = ["| client | system calls | instructions | heap allocations | CPU µs | median µs "
           "| instructions × floor |", "|---|---|---|---|---|---|---|"]
    for r in result["clients"]:
        if "error" in r:
            continue
        mark = "" if r["trusted"] else " !"
        out.append("| {} | {} | {} | {} | {} | {} | {} |".format(
            r["label"], fmt(r["syscalls"], 0), fmt(r["instructions"], 0),
            fmt(r["allocations"], 0), fmt(r["cpu_us"]) + mark, fmt(r["median_us"]) + mark,
            fmt(r["instructions_x_floor"], 1)))
    vs = result["python_module_vs_pyserial"]
    out.append("")
    out.append(f"Python module against pyserial: {fmt(vs['instructions'], 2)} of its "
               f"instructions, {fmt(vs['syscalls'], 2)} of its system calls. Measured "
               f"{result['date'][:10]}, {result['machine']['cpus']} × "
               f"{result['machine']['cpu']}, Linux {result['machine']['kernel']}, "
               f"Python {result['machine']['python']}.")
    return "\n".join(out)


def silent_table(silent):
    out = ["Silent device, one timed-out exchange:"]
    for s in silent:
        if "error" in s:
            out.append(f"  {s['key']:<12} ({s['error']})")
            continue
        mix = ", ".join(f"{k} {v:g}" for k, v in sorted(s["syscall_mix"].items()))
        out.append(f"  {s['label']:<48} {s['syscalls']:>3} system calls ({mix}), "
                   f"{s['waits']} wait(s), {s['seconds']:.2f} s")
    return "\n".join(out)


def mix_table(rows):
    out = ["System calls per exchange, by call; clock reads (vDSO, not system calls here):"]
    for r in rows:
        if "syscall_mix" in r:
            mix = ", ".join(f"{k} {v:.2f}" for k, v in sorted(r["syscall_mix"].items()))
            clocks = r.get("clock_reads")
            clocks = "" if clocks is None else f"; clock reads {clocks:.2f}"
            out.append(f"  {r['label']:<48} {mix}{clocks}")
    return "\n".join(out)


# ---------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", help="build folder with the bench/ programs (required)")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "latest.json"))
    parser.add_argument("--quick", action="store_true", help="fewer exchanges, for a smoke run")
    parser.add_argument("--status-data", type=int, default=0,
                        help="user-data bytes in the peer's status message (default 0)")
    parser.add_argument("--only", help="comma-separated client keys to run")
    parser.add_argument("--keep-profiles", action="store_true",
                        help="keep strace and callgrind outputs next to the JSON file")
    parser.add_argument("--markdown", metavar="RESULTS",
                        help="print the README summary of a results file and stop")
    cfg = parser.parse_args()
    if cfg.markdown:
        with open(cfg.markdown) as f:
            print(markdown_summary(json.load(f)))
        return 0
    cfg.warmup, cfg.timed, cfg.repeats, cfg.count_warmup, cfg.strace, cfg.callgrind = (
        (200, 2000, 1, 20, 200, 200) if cfg.quick else (500, 20000, 3, 50, 2000, 1000))

    if not cfg.build:
        parser.error("--build is required")
    for tool in ("strace", "valgrind"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing: run bench/run.sh, which installs it")
    build = os.path.abspath(cfg.build)
    env = dict(os.environ, PYTHONHASHSEED="0",
               PYTHONPATH=os.pathsep.join(p for p in (build, os.environ.get("PYTHONPATH"))
                                          if p))
    clients = make_clients(build, sys.executable)
    if cfg.only:
        wanted = set(cfg.only.split(","))
        clients = [c for c in clients if c.key in wanted]

    started = time.monotonic()
    workdir = tempfile.mkdtemp(prefix="orvane-bench-")
    peer = subprocess.Popen([os.path.join(build, "bench", "orvane-bench-peer"),
                             "--status-data", str(cfg.status_data)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    env["ORVANE_BENCH_PEER_PID"] = str(peer.pid)
    try:
        port = peer.stdout.readline().strip()
        if not port:
            sys.exit("the device peer did not start")
        rows = []
        for c in clients:
            print(f"  measuring {c.label} ...", file=sys.stderr, flush=True)
            rows.append(measure(c, port, env, cfg, workdir))
    finally:
        peer.stdin.close()
        peer.wait(timeout=10)
    silent = []
    for c in clients:
        if not any(r["key"] == c.key and "error" not in r for r in rows):
            continue
        print(f"  silent device: {c.label} ...", file=sys.stderr, flush=True)
        silent.append(silent_exchange(c, env, workdir))

    vs_pyserial = add_ratios(rows)
    checks = targets(rows, silent)
    text = table(rows, vs_pyserial)
    report = "\n\n".join([text, mix_table(rows), silent_table(silent), "Targets:\n" + "\n".join(
        f"  {c['verdict']:<12} {c['target']}"
        + (f" ({fmt(c['value'], 1)})" if isinstance(c["value"], (int, float))
           and not isinstance(c["value"], bool) else "") for c in checks)])
    print(report)

    os.makedirs(os.path.dirname(cfg.output), exist_ok=True)
    result = {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "machine": {"kernel": platform.release(), "cpus": os.cpu_count(),
                    "cpu": cpu_model(), "python": platform.python_version()},
        "config": {"warmup": cfg.warmup, "timed_exchanges": cfg.timed,
                   "timed_runs": cfg.repeats,
                   "count_warmup": cfg.count_warmup, "strace_exchanges": cfg.strace,
                   "callgrind_exchanges": cfg.callgrind, "status_user_data": cfg.status_data,
                   "steal_limit": STEAL_LIMIT},
        "clients": rows, "python_module_vs_pyserial": vs_pyserial, "silent": silent,
        "targets": checks, "table": text, "seconds": round(time.monotonic() - started, 1)}
    with open(cfg.output, "w") as f:
        json.dump(result, f, indent=2)
        f.write("\n")
    if cfg.keep_profiles:
        keep = os.path.join(os.path.dirname(cfg.output), "profiles")
        shutil.rmtree(keep, ignore_errors=True)
        shutil.copytree(workdir, keep)
    shutil.rmtree(workdir, ignore_errors=True)
    print(f"\nwrote {os.path.relpath(cfg.output)} in {result['seconds']} s")
    return 1 if any(c["verdict"] == "MISS" for c in checks) else 0


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


if __name__ == "__main__":
    sys.exit(main())
