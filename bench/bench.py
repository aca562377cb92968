#!/usr/bin/env python3
"""Side-by-side loopback benchmark of krv-webui and nginx; see docs/benchmarks.md.

Starts the fast upstream, krv-webui and nginx (as children in a temp dir),
checks that both answer every workload alike, then runs wrk against each in
turn, alternating the order every round, and prints one Markdown table.
"""
import argparse
import datetime
import grp
import os
import platform
import pwd
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SMALL_FILE = 1024
PAGE = 20 * 1024
BIG = 4 * 1024 * 1024
SMALL_ANSWER = 200
SLOW_MS = 50


def rpc_body(method):
    """An 80-byte JSON-RPC body; the upstream answers by the method named in it."""
    body = '{"jsonrpc":"2.0","id":"0","method":"%s","params":{"pad":"' % method
    body += "x" * (80 - len(body) - 3) + '"}}'
    assert len(body) == 80
    return body


class Workload:
    def __init__(self, key, title, path, unit, expect, method="GET", body="", clients=None, login=False):
        self.key, self.title, self.path, self.unit = key, title, path, unit
        self.expect, self.method, self.body, self.clients = expect, method, body, clients
        # Against krv-webui alone, logging in to an upstream that asks for it.
        self.login = login


WORKLOADS = [
    Workload("1", "GET 1 KiB static file", "/one-kib.css", "req/s", SMALL_FILE),
    Workload("2", "GET / (20 KiB page)", "/", "req/s", PAGE),
    Workload("3", "GET 4 MiB static file", "/big.bin", "MiB/s", BIG),
    Workload("4", "POST /json_rpc, 80 B body, 200 B answer", "/json_rpc", "req/s", SMALL_ANSWER, "POST",
             rpc_body("get_balance")),
    Workload("4L", "workload 4 with a Digest login to the upstream", "/json_rpc", "req/s", SMALL_ANSWER, "POST",
             rpc_body("get_balance"), login=True),
    Workload("5a", "POST /json_rpc, 4 MiB answer, length-framed", "/json_rpc", "MiB/s", BIG, "POST",
             rpc_body("big_length")),
    Workload("5b", "POST /json_rpc, 4 MiB answer, chunked", "/json_rpc", "MiB/s", BIG, "POST",
             rpc_body("big_chunked")),
    Workload("6", "POST /json_rpc, 50 ms upstream, 200 clients", "/json_rpc", "req/s", SMALL_ANSWER, "POST",
             rpc_body("slow"), clients=200),
]


# ---------------------------------------------------------------- children

class Child:
    """A child process stopped by its own pid at the end."""

    def __init__(self, name, argv, **kw):
        self.name = name
        self.proc = subprocess.Popen(argv, **kw)

    @property
    def pid(self):
        return self.proc.pid

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is not None:
            return
        self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)


def read_line_matching(child, pattern, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = child.proc.stdout.readline()
        if not line:
            break
        m = re.search(pattern, line)
        if m:
            return m
    raise RuntimeError("%s did not print %r" % (child.name, pattern))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d" % port)


def make_web_dir(tmp):
    web = os.path.join(tmp, "web")
    os.mkdir(web)
    files = {"krv-webui.html": PAGE, "one-kib.css": SMALL_FILE, "big.bin": BIG}
    for name, size in files.items():
        with open(os.path.join(web, name), "wb") as f:
            f.write(os.urandom(size))
    return web


def start_upstream(binary, extra=()):
    child = Child("upstream", [binary, *extra], stdout=subprocess.PIPE, text=True)
    return child, int(read_line_matching(child, r"^port (\d+)").group(1))


def start_ours(binary, web, upstream_port, tmp, extra=()):
    log = open(os.path.join(tmp, "krv-webui.err"), "a")
    child = Child("krv-webui", [binary, "--port", "0", "--localhost-only", "--web-dir", web,
                                "--rpc-port", str(upstream_port), "--daemon-port", str(upstream_port), *extra],
                  stdout=subprocess.PIPE, stderr=log, text=True)
    port = int(read_line_matching(child, r"Listening:\s+http://127\.0\.0\.1:(\d+)").group(1))
    return child, port


def start_nginx(web, upstream_port, tmp, buffering):
    port = free_port()
    with open(os.path.join(HERE, "nginx.conf.in")) as f:
        conf = f.read()
    extra = "" if buffering else "proxy_buffering off;"
    # Workers run as this user: when started by root they would otherwise drop to nobody.
    user, group = pwd.getpwuid(os.getuid()).pw_name, grp.getgrgid(os.getgid()).gr_name
    for key, value in {"USER": user, "GROUP": group, "TMP": tmp, "PORT": str(port), "WEB": web, "UPSTREAM": str(upstream_port),
                       "PROXY_EXTRA": extra}.items():
        conf = conf.replace("@%s@" % key, value)
    path = os.path.join(tmp, "nginx.conf")
    with open(path, "w") as f:
        f.write(conf)
    child = Child("nginx", ["nginx", "-p", tmp, "-c", path, "-e", os.path.join(tmp, "nginx-error.log")],
                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(port)
    return child, port


# ---------------------------------------------------------------- checks

def http_once(port, method, path, body):
    req = "%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" % (method, path)
    if body:
        req += "Content-Type: application/json\r\nContent-Length: %d\r\n" % len(body)
    req += "\r\n" + body
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(req.encode())
        data = b""
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    status = int(head.split(b" ")[1]) if head.startswith(b"HTTP/") else 0
    if b"transfer-encoding: chunked" in head.lower():
        body_out = b""
        while rest:
            size_line, _, rest = rest.partition(b"\r\n")
            size = int(size_line.split(b";")[0], 16)
            if size == 0:
                break
            body_out += rest[:size]
            rest = rest[size + 2:]
        rest = body_out
    return status, rest


def check_answers(servers, login_servers):
    for w in WORKLOADS:
        for name, port in login_servers if w.login else servers:
            status, body = http_once(port, w.method, w.path, w.body)
            if status != 200 or len(body) != w.expect:
                raise RuntimeError("%s, workload %s: status %d, %d body bytes (want 200, %d)"
                                   % (name, w.key, status, len(body), w.expect))


# ---------------------------------------------------------------- wrk

def run_wrk(port, w, seconds, clients, threads):
    env = dict(os.environ, BENCH_METHOD=w.method, BENCH_BODY=w.body)
    argv = ["wrk", "-t%d" % threads, "-c%d" % clients, "-d%ds" % seconds, "--timeout", "5s", "--latency",
            "-H", "Connection: close", "-s", os.path.join(HERE, "wrk.lua"),
            "http://127.0.0.1:%d%s" % (port, w.path)]
    run = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=seconds + 60)
    m = re.search(r"^RESULT (.*)$", run.stdout, re.M)
    if not m:
        raise RuntimeError("wrk (status %d) printed no result:\n%s%s" % (run.returncode, run.stdout, run.stderr))
    r = {k: int(v) for k, v in (kv.split("=") for kv in m.group(1).split())}
    secs = r["duration_us"] / 1e6
    r["rps"] = r["requests"] / secs
    r["mibps"] = r["bytes"] / secs / (1 << 20)
    r["errors"] = r["connect"] + r["read"] + r["write"] + r["status"] + r["timeout"]
    return r


def measured_run(child, port, w, args, clients=None):
    """wrk against one server, with the server's CPU time per request."""
    cpu = tree_cpu_seconds(child.pid)
    try:
        r = run_wrk(port, w, args.seconds, clients or w.clients or args.clients, args.threads)
    except (RuntimeError, subprocess.TimeoutExpired) as e:
        print("wrk failed, once more: %s" % e, flush=True)
        cpu = tree_cpu_seconds(child.pid)
        r = run_wrk(port, w, args.seconds, clients or w.clients or args.clients, args.threads)
    r["cpu_us_per_req"] = (tree_cpu_seconds(child.pid) - cpu) * 1e6 / max(r["requests"], 1)
    return r


def figure(r, unit):
    return r["mibps"] if unit == "MiB/s" else r["rps"]


# ---------------------------------------------------------------- memory

def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def threads_of(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


def process_tree(pid):
    """pid and its children (nginx's workers)."""
    pids = [pid]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        pids.append(int(entry))
            except OSError:
                pass
    return pids


def tree_rss_kib(pid):
    return sum(vm_rss_kib(p) for p in process_tree(pid))


def tree_cpu_seconds(pid):
    """User and system time of pid and its children so far (threads included)."""
    ticks = 0
    for p in process_tree(pid):
        try:
            with open("/proc/%d/stat" % p) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def settled_rss(pid, timeout=10):
    """The RSS once two samples 300 ms apart agree (or the time is up)."""
    last = tree_rss_kib(pid)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        time.sleep(0.3)
        now = tree_rss_kib(pid)
        if now == last:
            break
        last = now
    return last


def open_idle_clients(port, count, path):
    """Sockets that each sent half a request head and then wait."""
    half = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n" % path).encode()
    socks = []
    try:
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=10)
            s.sendall(half)
            socks.append(s)
    except OSError:
        close_all(socks)
        raise
    return socks


def close_all(socks):
    for s in socks:
        s.close()


def idle_workload(name, child, port, args):
    """RSS per idle connection, then workload 1 while they are held."""
    wait_threads(child, name, 1)
    before = settled_rss(child.pid)
    socks = open_idle_clients(port, args.idle, WORKLOADS[0].path)
    try:
        wait_threads(child, name, args.idle + 1)
        after = settled_rss(child.pid)
        r = measured_run(child, port, WORKLOADS[0], args)
    finally:
        close_all(socks)
    r["rss_per_conn_kib"] = (after - before) / args.idle
    r["rss_before_kib"], r["rss_after_kib"] = before, after
    return r


def wait_threads(child, name, count, timeout=30):
    """For krv-webui (a thread per connection): wait until count threads run."""
    if name != "krv-webui":
        time.sleep(1)
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if threads_of(child.pid) == count:
            return
        time.sleep(0.1)


# ---------------------------------------------------------------- report

def machine_line():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
    nginx = subprocess.run(["nginx", "-v"], capture_output=True, text=True).stderr.strip().split("/")[-1]
    wrk = subprocess.run(["wrk", "--version"], capture_output=True, text=True).stdout.split()[1]
    rev = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"], capture_output=True,
                         text=True).stdout.strip() or "unknown"
    return ("%s, %d cores, %.0f GiB RAM, Linux %s; nginx %s, wrk %s; krv-webui %s (Release)"
            % (cpu, os.cpu_count(), mem, platform.release(), nginx, wrk, rev))


def fmt(value, unit):
    if unit in ("req/s", "MiB/s"):
        return "%.0f %s" % (value, unit)
    return "%.1f %s" % (value, unit)


def median(results, key):
    return statistics.median(r[key] for r in results)


def table(results, args, load):
    lines = ["Date: %s" % datetime.datetime.now().strftime("%Y-%m-%d %H:%M %Z").strip(),
             "Machine: %s" % machine_line(),
             "Runs: %d s per workload per server, %d rounds alternating the order, wrk -t%d -c%d "
             "(workload 6: -c200), \"Connection: close\"; figures are the median of the rounds. "
             "Load average (1 min) at start %.1f, at end %.1f." % (args.seconds, args.rounds, args.threads,
                                                                   args.clients, load[0], load[1]),
             "",
             "| # | Workload | krv-webui | nginx | ratio | goal |",
             "|---|---|---|---|---|---|"]
    for w in WORKLOADS:
        if w.key not in results:
            continue
        ours = statistics.median(figure(r, w.unit) for r in results[w.key]["krv-webui"])
        if w.login:
            if "4" in results:
                without = statistics.median(figure(r, w.unit) for r in results["4"]["krv-webui"])
                lines.append("| %s | %s | %s | %s (workload 4) | %.2f | %s (goal 0.7 of the rate without a login) |"
                             % (w.key, w.title, fmt(ours, w.unit), fmt(without, w.unit), ours / without,
                                "met" if ours >= 0.7 * without else "missed"))
            continue
        theirs = statistics.median(figure(r, w.unit) for r in results[w.key]["nginx"])
        if w.key == "6":
            limit = w.clients * 1000 / SLOW_MS
            alone = median(results[w.key]["upstream"], "rps")
            goal = ("%.0f %% of the upstream's %d req/s (goal 95 %%); the upstream alone: %.0f req/s"
                    % (100 * ours / limit, limit, alone))
        else:
            goal = "%s (goal 1.0)" % ("met" if ours >= theirs else "missed")
        lines.append("| %s | %s | %s | %s | %.2f | %s |" % (w.key, w.title, fmt(ours, w.unit),
                                                              fmt(theirs, w.unit), ours / theirs, goal))
    if "7" in results:
        ours, theirs = results["7"]["krv-webui"], results["7"]["nginx"]
        rss_o, rss_n = median(ours, "rss_per_conn_kib"), median(theirs, "rss_per_conn_kib")
        lines.append("| 7 | %d idle clients: RSS per idle connection | %.1f KiB | %.1f KiB | %.2f | %s "
                     "(goal < 32 KiB) |" % (args.idle, rss_o, rss_n, rss_o / rss_n if rss_n else 0,
                                           "met" if rss_o < 32 else "missed"))
        rps_o, rps_n = median(ours, "rps"), median(theirs, "rps")
        lines.append("| 7 | meanwhile workload 1: throughput | %.0f req/s | %.0f req/s | %.2f | |"
                     % (rps_o, rps_n, rps_o / rps_n))
        p99_o, p99_n = median(ours, "p99_us") / 1000, median(theirs, "p99_us") / 1000
        lines.append("| 7 | meanwhile workload 1: p99 latency | %.2f ms | %.2f ms | %.2f | %s "
                     "(goal < 10 ms) |" % (p99_o, p99_n, p99_o / p99_n if p99_n else 0,
                                          "met" if p99_o < 10 else "missed"))
    lines += ["", "Ratio: krv-webui ÷ nginx (for RSS and latency lower is better).", "",
              "Server CPU time per request (all threads or processes; median of the rounds), which "
              "other load on the machine disturbs less than throughput:", "",
              "| # | krv-webui | nginx | ratio |", "|---|---|---|---|"]
    for w in WORKLOADS + [Workload("7", "", "", "req/s", 0)]:
        if w.key in results and w.login and "4" in results:
            o, n = median(results[w.key]["krv-webui"], "cpu_us_per_req"), median(results["4"]["krv-webui"],
                                                                                 "cpu_us_per_req")
            lines.append("| %s | %.0f µs | %.0f µs (krv-webui, workload 4) | %.2f |" % (w.key, o, n, o / n if n else 0))
        elif w.key in results and not w.login:
            o, n = median(results[w.key]["krv-webui"], "cpu_us_per_req"), median(results[w.key]["nginx"],
                                                                                 "cpu_us_per_req")
            lines.append("| %s | %.0f µs | %.0f µs | %.2f |" % (w.key, o, n, o / n if n else 0))
    lines += ["",
              "Every run: the figure, p99 latency, wrk's error count, and the server's CPU time "
              "(all its threads or processes) per request:", "",
              "| # | server | round | figure | p99 | errors | CPU per request |",
              "|---|---|---|---|---|---|---|"]
    for w in WORKLOADS + [Workload("7", "", "", "req/s", 0)]:
        for name in ("krv-webui", "nginx", "upstream"):
            for i, r in enumerate(results.get(w.key, {}).get(name, [])):
                lines.append("| %s | %s | %d | %s | %.2f ms | %d | %.0f µs |"
                             % (w.key, name, i + 1, fmt(figure(r, w.unit), w.unit), r["p99_us"] / 1000,
                                r["errors"], r["cpu_us_per_req"]))
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--server", default=os.path.join(ROOT, "build-bench", "krv-webui"))
    ap.add_argument("--upstream", default=os.path.join(ROOT, "build-bench", "bench-upstream"))
    ap.add_argument("--seconds", type=int, default=6, help="per workload, per server, per round")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--clients", type=int, default=50, help="wrk connections (workload 6 uses 200)")
    ap.add_argument("--threads", type=int, default=2, help="wrk threads")
    ap.add_argument("--idle", type=int, default=2000, help="idle clients of workload 7")
    ap.add_argument("--only", default="", help="comma-separated workload keys, e.g. 1,5b,7")
    ap.add_argument("--nginx-proxy-buffering", choices=("on", "off"), default="on",
                    help="nginx's default (on) is its faster choice here")
    ap.add_argument("--out", default=os.path.join(ROOT, "build-bench", "benchmarks-table.md"))
    args = ap.parse_args()
    only = set(filter(None, args.only.split(",")))

    tmp = tempfile.mkdtemp(prefix="krv-bench-")
    os.chmod(tmp, 0o755)
    children = []
    try:
        web = make_web_dir(tmp)
        upstream, up_port = start_upstream(args.upstream)
        children.append(upstream)
        ours, ours_port = start_ours(args.server, web, up_port, tmp)
        children.append(ours)
        nginx, nginx_port = start_nginx(web, up_port, tmp, args.nginx_proxy_buffering == "on")
        children.append(nginx)
        servers = [("krv-webui", ours, ours_port), ("nginx", nginx, nginx_port)]
        # The same server logging in to an upstream that asks for a Digest login.
        login_file = os.path.join(tmp, "rpc-login")
        with open(os.open(login_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write("bench:bench password\n")
        login_upstream, login_up_port = start_upstream(args.upstream, ["--login"])
        children.append(login_upstream)
        ours_login, ours_login_port = start_ours(args.server, web, login_up_port, tmp, ["--rpc-login-file", login_file])
        children.append(ours_login)
        login_servers = [("krv-webui", ours_login, ours_login_port)]
        check_answers([(n, p) for n, _, p in servers], [(n, p) for n, _, p in login_servers])

        results = {}
        load = [os.getloadavg()[0], 0]
        for rnd in range(args.rounds):
            order = servers if rnd % 2 == 0 else servers[::-1]
            for w in WORKLOADS:
                if only and w.key not in only:
                    continue
                for name, child, port in login_servers if w.login else order:
                    r = measured_run(child, port, w, args)
                    results.setdefault(w.key, {}).setdefault(name, []).append(r)
                    print("round %d  %-3s %-9s %10s  p99 %7.2f ms  errors %d  %.0f us CPU/req"
                          % (rnd + 1, w.key, name, fmt(figure(r, w.unit), w.unit), r["p99_us"] / 1000,
                             r["errors"], r["cpu_us_per_req"]), flush=True)
                if w.key == "6":
                    # The upstream alone, straight from wrk: the most any proxy could reach.
                    r = measured_run(upstream, up_port, w, args)
                    results[w.key].setdefault("upstream", []).append(r)
                    print("round %d  6   upstream  %10s  p99 %7.2f ms  errors %d"
                          % (rnd + 1, fmt(r["rps"], "req/s"), r["p99_us"] / 1000, r["errors"]), flush=True)
            if not only or "7" in only:
                for name, child, port in order:
                    r = idle_workload(name, child, port, args)
                    results.setdefault("7", {}).setdefault(name, []).append(r)
                    print("round %d  7   %-9s %6.1f KiB/conn  %10s  p99 %7.2f ms  errors %d"
                          % (rnd + 1, name, r["rss_per_conn_kib"], fmt(r["rps"], "req/s"),
                             r["p99_us"] / 1000, r["errors"]), flush=True)

        load[1] = os.getloadavg()[0]
        text = table(results, args, load)
        print()
        print(text)
        os.makedirs(os.path.dirname(args.out), exist_ok=True)
        with open(args.out, "w") as f:
            f.write(text)
    finally:
        for child in reversed(children):
            child.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
