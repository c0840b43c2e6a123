"""The gateway case of bench/bench.py: the host as the push service's endpoint (--listen).

  throughput  `h2load -n 100000 -c 4 -m 100` posts a not-mutable alert push (shown at once,
              no transfer) to the endpoint, against nghttpd answering the same posts from a
              file, over the same certificate and key (the endpoint's local authority's).
              Wall time is h2load's run; CPU time (user + system) and peak RSS (VmHWM) are the
              server's, read from /proc while it runs, so that a server that lives across the
              runs is measured like one that does not. Each server first takes 10,000 pushes.
              Each server runs on one CPU and h2load on another (when two are allowed;
              --gateway-unpinned leaves them to the kernel): unpinned on a 2-vCPU machine,
              the endpoint's two threads land on different vCPUs in some runs and then use
              two to four times the CPU.
  flat RSS    the endpoint's peak RSS after those first 10,000 pushes and after 100,000 more.
  latency     2,000 mutable pushes, each naming its own 64 KiB image on the bench's nginx,
              sent by bench/latency.js (Node's http2) with at most 64 in flight: from each
              POST to the moment its shown line is read, median and 99th percentile.
Every run is checked: each push answered 200, and each one's line written.
"""

import json
import os
import re
import signal
import socket
import statistics
import subprocess
import threading
import time

from reporting import first_line
from servers import free_port

PUSHES = 100_000
WARM_PUSHES = 10_000
LATENCY_PUSHES = 2000
IN_FLIGHT = 64
TOPIC = "com.halvicourt.app"
SHOWN_AT_ONCE = b'"source":"original","reason":"not-mutable","shown":true'

TARGETS = {
    "gateway_wall": 1.5,
    # "Flat": 100,000 more pushes leave the peak where the first 10,000 put it, give or take.
    "gateway_rss_growth": 1.10,
}

# Whether the throughput case pins each server to one CPU and h2load to another.
PINNED = True


def placement():
    """The CPUs of the throughput case: the server's and h2load's, or (None, None)."""
    cpus = sorted(os.sched_getaffinity(0))
    return (cpus[0], cpus[1]) if PINNED and len(cpus) >= 2 else (None, None)


def on_cpu(cpu):
    """A preexec_fn that keeps the child on `cpu`, or None to leave it to the kernel."""
    return None if cpu is None else (lambda: os.sched_setaffinity(0, {cpu}))


START_LINE = re.compile(r"listening on 127\.0\.0\.1:(\d+); device token ([0-9a-f]+); .*; "
                        r"authority (.+)$", re.M)


class Server:
    """A server process that lives across the runs of h2load: its CPU time and peak RSS come
    from /proc, read while it runs."""

    def __init__(self, argv, env=None, stdout=None, stderr=None, cpu=None):
        self.process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                        stdout=stdout or subprocess.DEVNULL,
                                        stderr=stderr or subprocess.DEVNULL,
                                        preexec_fn=on_cpu(cpu))

    def cpu(self):
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def peak_rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            return int(re.search(r"^VmHWM:\s+(\d+) kB", f.read(), re.M).group(1))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise SystemExit("bench: %s did not stop at SIGTERM" % self.process.args[0])


class Sample:
    def __init__(self, wall, cpu, rss_kib):
        self.wall, self.cpu, self.rss_kib = wall, cpu, rss_kib


def wait_until(done, what, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if done():
            return
        time.sleep(0.05)
    raise SystemExit("bench: " + what)


def start_endpoint(exe, env, work, stdout, cpu=None):
    """The extension with --listen on a free port: the server, and what its start line says
    (port, device token, the authority's file)."""
    err = os.path.join(work, "endpoint.log")
    server = Server([exe, "--listen", "127.0.0.1:0", "--time-limit", "60"], env, stdout,
                    open(err, "wb"), cpu)
    found = []

    def started():
        with open(err) as f:
            match = START_LINE.search(f.read())
        if match:
            found.append(match)
        return bool(found) or server.process.poll() is not None

    wait_until(started, "the endpoint did not start; see " + err)
    if not found:
        raise SystemExit("bench: the endpoint exited; see " + err)
    return server, int(found[0].group(1)), found[0].group(2), found[0].group(3)


def h2load(port, token, pushes, body_file):
    """Posts `pushes` pushes with h2load: its wall time, and how many were answered 2xx. Every
    push must be answered 2xx or 4xx (the endpoint's 429 TooManyRequests at its bound)."""
    url = "https://127.0.0.1:%d/3/device/%s" % (port, token)
    started = time.monotonic()
    run = subprocess.run(["h2load", "-n", str(pushes), "-c", "4", "-m", "100", "-d", body_file,
                          "-H", "apns-topic: " + TOPIC, url], capture_output=True, text=True,
                         preexec_fn=on_cpu(placement()[1]))
    wall = time.monotonic() - started
    codes = re.search(r"status codes: (\d+) 2xx, \d+ 3xx, (\d+) 4xx", run.stdout)
    if run.returncode != 0 or not codes or int(codes.group(1)) + int(codes.group(2)) != pushes:
        raise SystemExit("bench: h2load: not every push answered:\n" + run.stdout + run.stderr)
    return wall, int(codes.group(1))


def measured(server, port, token, body_file):
    """The warm-up pushes, then the measured ones: the sample, the peak RSS before them, and
    how many of each were taken (answered 200)."""
    _, taken_warm = h2load(port, token, WARM_PUSHES, body_file)
    rss_warm = server.peak_rss_kib()
    cpu = server.cpu()
    wall, taken = h2load(port, token, PUSHES, body_file)
    sample = Sample(wall, server.cpu() - cpu, server.peak_rss_kib())
    sample.taken = taken
    return sample, rss_warm, taken_warm + taken


def ours(bench, body_file):
    lines = os.path.join(bench.work, "endpoint.jsonl")
    with open(lines, "wb") as out:
        server, port, token, _ = start_endpoint(bench.exe, bench.env, bench.work, out,
                                                placement()[0])
        try:
            sample, rss_warm, taken = measured(server, port, token, body_file)
        finally:
            status = server.stop()
    if status != 0:
        raise SystemExit("bench: the endpoint exited with %d" % status)
    # Each push answered 200 is shown once; those answered 429 are not.
    with open(lines, "rb") as f:
        shown = sum(line.count(SHOWN_AT_ONCE) for line in f)
    if shown != taken:
        raise SystemExit("bench: the endpoint showed %d of the %d pushes it took" % (shown, taken))
    return sample, rss_warm


def nghttpd(bench, token, body_file):
    """nghttpd answering every post to the device's path with an empty file, over the
    endpoint's own certificate and key."""
    gateway = os.path.join(bench.state, bench.bundle_id, "Gateway")
    htdocs = os.path.join(bench.work, "htdocs")
    os.makedirs(os.path.join(htdocs, "3", "device"), exist_ok=True)
    open(os.path.join(htdocs, "3", "device", token), "w").close()
    for _ in range(5):
        port = free_port()
        server = Server(["nghttpd", "-d", htdocs, str(port), os.path.join(gateway, "server.key"),
                         os.path.join(gateway, "server.pem")], cpu=placement()[0])

        def listening():
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                return server.process.poll() is not None

        wait_until(listening, "nghttpd did not start")
        if server.process.poll() is None:
            break
    else:
        raise SystemExit("bench: nghttpd did not start")
    try:
        sample = measured(server, port, token, body_file)[0]
    finally:
        server.stop()
    if sample.taken != PUSHES:
        raise SystemExit("bench: nghttpd answered %d of %d pushes 200" % (sample.taken, PUSHES))
    return sample


def latency(bench, server_url, latency_script):
    """2,000 mutable pushes with images: milliseconds from each POST to its shown line."""
    shown = {}  # apns-id -> (ms since the epoch when its line was read, its attachments)
    server, port, token, authority = start_endpoint(bench.exe, bench.env, bench.work,
                                                    subprocess.PIPE)

    def read():
        for line in server.process.stdout:
            stamp = time.time() * 1000.0
            event = json.loads(line)
            if event.get("shown"):
                shown[event["id"]] = (stamp, len(event["content"]["attachments"]))

    reader = threading.Thread(target=read)
    reader.start()
    try:
        request = {"port": port, "ca": authority, "deviceToken": token, "topic": TOPIC,
                   "inFlight": IN_FLIGHT,
                   "images": [server_url("img/%05d.png" % i) for i in range(LATENCY_PUSHES)]}
        run = subprocess.run(["node", latency_script, json.dumps(request)], capture_output=True,
                             text=True)
        if run.returncode != 0:
            raise SystemExit("bench: latency.js: " + run.stderr)
        sent = json.loads(run.stdout.strip().splitlines()[-1])
        if sent["failed"]:
            raise SystemExit("bench: pushes refused: %s" % sent["failed"][:5])
        wait_until(lambda: len(shown) >= LATENCY_PUSHES, "not every push was shown", 120)
    finally:
        server.stop()
        reader.join()
    with_image = sum(1 for id_ in sent["sent"] if shown.get(id_, (0, 0))[1] == 1)
    if with_image != LATENCY_PUSHES:
        raise SystemExit("bench: %d of %d pushes shown with their image"
                         % (with_image, LATENCY_PUSHES))
    return sorted(shown[id_][0] - at for id_, at in sent["sent"].items())


def run(bench, server, runs, latency_script):
    """Every gateway case; `server` is the bench's nginx, which serves the images."""
    body_file = os.path.join(bench.inputs, "gateway-push.json")
    with open(body_file, "w") as f:
        json.dump({"aps": {"alert": {"title": "Harbour", "body": "The ferry is in"}}}, f)
    samples = {"ours": [], "nghttpd": []}
    growth = []
    token = None
    print("bench: gateway, %d pushes, %d runs each" % (PUSHES, runs), flush=True)
    for i in range(runs):
        # The first run is ours: it makes the local authority and the device token that
        # nghttpd's runs use too.
        for who in ("ours", "nghttpd") if i % 2 == 0 else ("nghttpd", "ours"):
            if who == "ours":
                sample, rss_warm = ours(bench, body_file)
                growth.append((rss_warm, sample.rss_kib))
                with open(os.path.join(bench.state, bench.bundle_id, "Gateway",
                                       "device-token")) as f:
                    token = f.read().strip()
            else:
                sample = nghttpd(bench, token, body_file)
            samples[who].append(sample)
    print("bench: gateway latency, %d mutable pushes with images" % LATENCY_PUSHES, flush=True)
    latencies = latency(bench, server.url, latency_script)
    return {"samples": samples, "growth": growth, "latencies": latencies, "runs": runs}


def percentile(values, fraction):
    return values[min(len(values) - 1, int(round(fraction * (len(values) - 1))))]


def report(results):
    """The gateway's table, as lines of Markdown."""
    o, b = results["samples"]["ours"], results["samples"]["nghttpd"]
    med = lambda samples, field: statistics.median(getattr(s, field) for s in samples)
    ow, bw, oc, bc = med(o, "wall"), med(b, "wall"), med(o, "cpu"), med(b, "cpu")
    orss, brss = max(s.rss_kib for s in o) / 1024.0, max(s.rss_kib for s in b) / 1024.0
    wall_ratio = ow / bw
    refused = [PUSHES - s.taken for s in o]
    warm, last = max(g[0] for g in results["growth"]), max(g[1] for g in results["growth"])
    growth = last / warm
    lat = results["latencies"]
    ok = lambda value, limit: "%s %.2f" % ("ok <=" if value <= limit else "MISSED >", limit)
    server_cpu, client_cpu = placement()
    return [
        "runs: %d of each; medians, peak RSS the largest of the runs; %s" % (
            results["runs"], "each server on CPU %d, h2load on CPU %d" % (server_cpu, client_cpu)
            if server_cpu is not None else "unpinned"),
        "",
        "| Case | Wall s, ours / nghttpd | Wall ratio | CPU s, ours / nghttpd | CPU ratio "
        "| Peak RSS MiB, ours / nghttpd |",
        "|---|---|---|---|---|---|",
        "| Gateway, %d pushes (h2load -c 4 -m 100) | %.3f / %.3f | %.2f (%s) | %.3f / %.3f "
        "| %.2f | %.1f / %.1f |" % (PUSHES, ow, bw, wall_ratio, ok(wall_ratio,
                                                                    TARGETS["gateway_wall"]),
                                   oc, bc, oc / bc, orss, brss),
        "",
        "answered 429 TooManyRequests by the endpoint (at its bound of 4,096 under way), of %d, "
        "in each run: %s" % (PUSHES, ", ".join("%d" % r for r in refused)),
        "flat: the endpoint's peak RSS after %d pushes / after %d more = %.1f / %.1f MiB = %.2f "
        "(%s); each run's: %s (the peak is set the first time the 4,096 under way fill, "
        "which a run answering no 429 may not reach)" % (
            WARM_PUSHES, PUSHES, warm / 1024.0, last / 1024.0, growth,
            ok(growth, TARGETS["gateway_rss_growth"]),
            ", ".join("%.1f / %.1f" % (w / 1024.0, l / 1024.0) for w, l in results["growth"])),
        "latency: %d mutable pushes with 64 KiB images, %d in flight, POST to shown line: "
        "median %.1f ms, 99th percentile %.1f ms" % (len(lat), IN_FLIGHT,
                                                     statistics.median(lat),
                                                     percentile(lat, 0.99)),
    ]


def versions():
    return ["gateway baseline: " + first_line(["nghttpd", "--version"]) + "; client: " +
            first_line(["h2load", "--version"]) + ", node " + first_line(["node", "--version"])]


def run_alone(bench, server, runs, latency_script, header, load_average, results_dir):
    """--gateway-only: the gateway case, its table printed and written to gateway.md."""
    before = load_average()
    results = run(bench, server, runs, latency_script)
    lines = header + versions() + ["load average before / after: %s / %s"
                                   % (before, load_average()), ""] + report(results)
    os.makedirs(results_dir, exist_ok=True)
    with open(os.path.join(results_dir, "gateway.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print()
    print("\n".join(lines))
    return 0
