#!/usr/bin/env python3
"""The extension against curl on the same downloads from a loopback nginx.

Cases (each run alternates ours and the baseline, and which of the two goes first):
  throughput  N requests as JSON Lines on standard input to one extension process, against
              one `curl --parallel` process fetching the same N addresses into files named
              by the same digest and extension (a curl config file); N = 2,000, and 250,
              500, 1,000 for the time-per-request plot
  cold start  one payload file with one 64 KiB image, process start to exit, against one
              `curl -s -o` of the same address
  memory      one payload with a 10 MB image, against `curl -s -o` of it (the peak RSS of
              the 2,000 requests comes from the throughput case)
  TLS         the throughput (2,000 requests) and cold start cases over HTTPS and HTTP/2
              from the same nginx, whose certificate comes from a test authority made for
              the run; curl gets `--http2 --cacert CA`, the extension SSL_CERT_FILE=CA
              (--no-tls leaves them out)
  gateway     the extension as the push service's endpoint (--listen) against nghttpd, and
              the latency of pushes with images (bench/gateway.py; --gateway-only runs it
              alone, --no-gateway leaves it out)
Wall time, CPU time (user + system) and peak RSS come from wait4's rusage of the child.
--extension-args="--log info" passes options to every run of the extension; its standard
error goes to a file on the same file system as the caches.
Run through bench/run.sh, which builds first.
"""

import argparse
import hashlib
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

import gateway
from reporting import fmt_ratio, load_average, median, plot_time_per_request, version_lines
from servers import Nginx, make_authority, png_of_size

MEASURE = None  # the wait4 wrapper, bench/Measure.cpp
MEASURE_DIR = None

IMAGE_BYTES = 64 * 1024
BIG_IMAGE_BYTES = 10_000_000
THROUGHPUT_REQUESTS = 2000
SCALING_REQUESTS = (250, 500, 1000, 2000)

TARGETS = {
    "throughput_wall": 1.3,
    "throughput_cpu": 2.0,
    "cold_wall": 1.25,
    "rss_big_mib": 24.0,
    "rss_throughput_mib": 64.0,
    # "Flat": a request costs no more at 2,000 than at 250, give or take noise.
    "flat_growth": 1.15,
    # Over TLS the handshakes and ciphers cost both sides the same, so the ratios are tighter.
    "tls_throughput_wall": 1.1,
    "tls_cold_wall": 1.25,
}


# ---- Images ------------------------------------------------------------------------------

def make_images(www):
    os.makedirs(os.path.join(www, "img"))
    for i in range(THROUGHPUT_REQUESTS):
        with open(os.path.join(www, "img", "%05d.png" % i), "wb") as f:
            f.write(png_of_size(IMAGE_BYTES, i))
    with open(os.path.join(www, "big.png"), "wb") as f:
        f.write(png_of_size(BIG_IMAGE_BYTES, 1 << 30))


# ---- Measuring ---------------------------------------------------------------------------

class Sample:
    def __init__(self, wall, cpu, rss_kib):
        self.wall, self.cpu, self.rss_kib = wall, cpu, rss_kib


def measure(argv, stdin_path=None, stdout_path=None, env=None, cwd=None, stderr_path=None):
    """Runs argv to its end through the wait4 wrapper: wall time from spawn to reap, CPU
    time and peak RSS from the child's rusage."""
    result = os.path.join(MEASURE_DIR, "rusage.txt")
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    stdout = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
    stderr = open(stderr_path, "wb") if stderr_path else None
    try:
        rc = subprocess.run([MEASURE, result] + argv, stdin=stdin, stdout=stdout, stderr=stderr,
                            env=env, cwd=cwd).returncode
    finally:
        if stdin_path:
            stdin.close()
        if stdout_path:
            stdout.close()
        if stderr:
            stderr.close()
    if rc != 0:
        raise SystemExit("bench: %s exited with %d" % (" ".join(argv[:3]), rc))
    with open(result) as f:
        wall, user, system, rss_kib, _ = f.read().split()
    return Sample(float(wall), float(user) + float(system), int(rss_kib))


def fresh_directory(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.exe = os.path.abspath(args.exe)
        with open(os.path.join(os.path.dirname(self.exe), "Info.plist"), "rb") as f:
            import plistlib
            self.bundle_id = plistlib.load(f)["CFBundleIdentifier"]
        self.xdg = os.path.join(work, "xdg")
        self.caches = os.path.join(self.xdg, self.bundle_id)
        # The attachment store too goes in the temporary directory, never the real home.
        self.state = os.path.join(work, "state")
        self.env = dict(os.environ, XDG_CACHE_HOME=self.xdg, XDG_STATE_HOME=self.state)
        self.inputs = os.path.join(work, "inputs")
        os.makedirs(self.inputs)
        self.extension_args = shlex.split(args.extension_args or "")

    # Inputs -------------------------------------------------------------------------------

    def payload(self, url, i=0):
        return {"aps": {"alert": {"title": "Picture %d" % i, "body": "From the harbour"},
                        "mutable-content": 1},
                "image": url}

    def cache_file(self, url):
        name = hashlib.md5(url.encode()).hexdigest()
        extension = url.rsplit("/", 1)[-1].rpartition(".")[2]
        return os.path.join(self.caches, name + "." + extension)

    def write_requests(self, server, n, tls=False):
        address = server.tls_url if tls else server.url
        urls = [address("img/%05d.png" % i) for i in range(n)]
        lines = os.path.join(self.inputs, "requests-%d%s.jsonl" % (n, "-tls" if tls else ""))
        with open(lines, "w") as f:
            for i, url in enumerate(urls):
                f.write(json.dumps({"id": "r%d" % i, "payload": self.payload(url, i)}) + "\n")
        config = os.path.join(self.inputs, "curl-%d%s.conf" % (n, "-tls" if tls else ""))
        with open(config, "w") as f:
            for url in urls:
                f.write('url = "%s"\noutput = "%s"\n' % (url, self.cache_file(url)))
        return lines, config, urls

    def write_payload(self, name, url):
        path = os.path.join(self.inputs, name)
        with open(path, "w") as f:
            json.dump(self.payload(url), f)
        return path

    # Checks: a fast result that did not do the work would be worthless ---------------------

    def check_ours(self, stdout_path, urls):
        delivered = 0
        with open(stdout_path) as f:
            for line in f:
                event = json.loads(line)
                attachments = event.get("content", {}).get("attachments", [])
                if event.get("source") == "extension" and event.get("shown") and attachments:
                    delivered += 1
        if delivered != len(urls):
            raise SystemExit("bench: the extension attached %d of %d images" % (delivered, len(urls)))
        self.check_files(urls, "the extension")

    def check_files(self, urls, who):
        for url in urls:
            path = self.cache_file(url)
            size = os.path.getsize(path) if os.path.exists(path) else -1
            want = BIG_IMAGE_BYTES if url.endswith("big.png") else IMAGE_BYTES
            if size != want:
                raise SystemExit("bench: %s stored %s with %d bytes, not %d" % (who, path, size, want))

    # Runs ---------------------------------------------------------------------------------

    def pair(self, runs, ours_argv, curl_argv, urls, stdin_path=None, ours_env=None):
        """Alternates ours and curl `runs` times after one warm-up each; every run starts
        with an empty caches directory and no attachment store, and is checked. `ours_env` adds to the extension's
        environment."""
        out = os.path.join(self.work, "ours.jsonl")
        err = os.path.join(self.work, "ours.log")
        samples = {"ours": [], "curl": []}
        # Options go after the executable, before any payload file.
        ours_argv = ours_argv[:1] + self.extension_args + ours_argv[1:]

        def run(who, keep):
            fresh_directory(self.caches)
            shutil.rmtree(self.state, ignore_errors=True)
            if who == "ours":
                s = measure(ours_argv, stdin_path, out, dict(self.env, **(ours_env or {})),
                            self.inputs, err)
                self.check_ours(out, urls)
            else:
                s = measure(curl_argv, None, None, self.env, self.inputs)
                self.check_files(urls, "curl")
            if keep:
                samples[who].append(s)

        run("ours", False)
        run("curl", False)
        for i in range(runs):
            order = ("ours", "curl") if i % 2 == 0 else ("curl", "ours")
            for who in order:
                run(who, True)
        return samples


def report(results, args, runs):
    t, c, m = results["throughput"][THROUGHPUT_REQUESTS], results["cold"], results["memory"]
    mib = lambda kib: kib / 1024.0
    rows = []

    def row(case, samples, wall_limit=None, cpu_limit=None, rss_limit=None):
        o, b = samples["ours"], samples["curl"]
        ow, bw = median(o, "wall"), median(b, "wall")
        oc, bc = median(o, "cpu"), median(b, "cpu")
        orss, brss = max(s.rss_kib for s in o), max(s.rss_kib for s in b)
        rss = "%.1f / %.1f" % (mib(orss), mib(brss))
        if rss_limit is not None:
            rss += " (%s %d)" % ("ok <=" if mib(orss) <= rss_limit else "MISSED >", rss_limit)
        rows.append("| %s | %.3f / %.3f | %s | %.3f / %.3f | %s | %s |" % (
            case, ow, bw, fmt_ratio(ow / bw, wall_limit), oc, bc, fmt_ratio(oc / bc, cpu_limit), rss))

    row("Throughput, %d x 64 KiB" % THROUGHPUT_REQUESTS, t,
        TARGETS["throughput_wall"], TARGETS["throughput_cpu"], TARGETS["rss_throughput_mib"])
    row("Cold start, 1 x 64 KiB", c, TARGETS["cold_wall"])
    row("Memory, 1 x 10 MB", m, rss_limit=TARGETS["rss_big_mib"])
    if "tls_throughput" in results:
        row("TLS + HTTP/2 throughput, %d x 64 KiB" % THROUGHPUT_REQUESTS,
            results["tls_throughput"], TARGETS["tls_throughput_wall"], TARGETS["throughput_cpu"],
            TARGETS["rss_throughput_mib"])
        row("TLS cold start, 1 x 64 KiB", results["tls_cold"], TARGETS["tls_cold_wall"])

    lines = version_lines(args)
    if args.extension_args:
        lines.append("extension options: " + args.extension_args)
    lines.append("load average before / after: %s / %s" % (results["load_before"],
                                                          results["load_after"]))
    lines.append("runs: %d of each throughput and memory case, %d cold starts; medians, peak RSS the "
                 "largest of the runs" % (runs, results["cold_runs"]))
    lines.append("")
    lines.append("| Case | Wall s, ours / curl | Wall ratio | CPU s, ours / curl | CPU ratio "
                 "| Peak RSS MiB, ours / curl |")
    lines.append("|---|---|---|---|---|---|")
    lines += rows
    lines.append("")
    # A run half a second over the median is a stall, not noise: it is counted apart.
    lines.append("| Requests | ms per request, ours / curl | ratio | stalled runs, ours / curl |")
    lines.append("|---|---|---|---|")
    per = []
    for n in SCALING_REQUESTS:
        s = results["throughput"][n]
        ours = 1000 * median(s["ours"], "wall") / n
        curl = 1000 * median(s["curl"], "wall") / n
        per.append((n, ours, curl))
        stalls = ["%d of %d" % (sum(x.wall > median(s[who], "wall") + 0.5 for x in s[who]),
                                len(s[who])) for who in ("ours", "curl")]
        lines.append("| %d | %.3f / %.3f | %.2f | %s / %s |" % (n, ours, curl, ours / curl,
                                                              stalls[0], stalls[1]))
    # Each run includes one process start, which larger runs spread thinner, so a flat cost
    # per request shows as a falling line; a rising one means a request costs more when
    # there are more of them.
    growth = per[-1][1] / per[0][1]
    lines.append("")
    lines.append("flat: time per request, ours, at %d / at %d = %.2f (%s)" % (
        per[-1][0], per[0][0], growth,
        "ok <= %.2f" % TARGETS["flat_growth"] if growth <= TARGETS["flat_growth"]
        else "MISSED > %.2f" % TARGETS["flat_growth"]))
    return "\n".join(lines), per


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--microbench")
    parser.add_argument("--measure", required=True, help="the wait4 wrapper")
    parser.add_argument("--results", required=True, help="directory for the table, data and plot")
    parser.add_argument("--docs", help="directory the plot is copied into")
    parser.add_argument("--no-docs", action="store_true")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--runs", type=int)
    parser.add_argument("--on-disk", action="store_true",
                        help="work in $TMPDIR even when /dev/shm is available")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    parser.add_argument("--no-tls", action="store_true", help="leave out the TLS + HTTP/2 cases")
    parser.add_argument("--extension-args", help='options for every run of the extension, '
                        'e.g. "--log info"')
    parser.add_argument("--gateway-only", action="store_true", help="run only the gateway case")
    parser.add_argument("--no-gateway", action="store_true", help="leave out the gateway case")
    parser.add_argument("--gateway-unpinned", action="store_true",
                        help="leave the gateway's servers and h2load to the kernel's placement "
                             "instead of one CPU each")
    parser.add_argument("--gateway-runs", type=int,
                        help="runs of the gateway's throughput case (default 3, 1 with --quick)")
    args = parser.parse_args()
    gateway.PINNED = not args.gateway_unpinned
    args.build = os.path.abspath(os.path.join(os.path.dirname(args.exe), "..", "..", ".."))
    runs = args.runs or (3 if args.quick else 9)
    cold_runs = 3 * runs

    # On tmpfs when there is one: every file is still written, but the disk's write-back of
    # one run's 128 MB must not land in the next run's timing.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) and not args.on_disk else None
    # A plain kill must still stop nginx and remove the files: SIGTERM unwinds like Ctrl-C.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    work = tempfile.mkdtemp(prefix="halvicourt-bench.", dir=shm)
    os.chmod(work, 0o755)  # nginx's workers drop root and must still read the images
    global MEASURE, MEASURE_DIR
    MEASURE, MEASURE_DIR = os.path.abspath(args.measure), work
    server = None
    try:
        print("bench: generating images in " + work, flush=True)
        www = os.path.join(work, "www")
        make_images(www)
        tls = None if args.no_tls or args.gateway_only else make_authority(
            os.path.join(work, "authority"))
        server = Nginx(os.path.join(work, "nginx"), www, tls[1:] if tls else None)
        print("bench: nginx on 127.0.0.1:%d%s" % (
            server.port, ", TLS on %d" % server.tls_port if tls else ""), flush=True)
        bench = Bench(args, work)
        gateway_runs = args.gateway_runs or (1 if args.quick else 3)
        latency_script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "latency.js")
        if args.gateway_only:
            return gateway.run_alone(bench, server, gateway_runs, latency_script,
                                     version_lines(args)[:3], load_average, args.results)
        results = {"throughput": {}, "cold_runs": cold_runs, "load_before": load_average()}
        if float(results["load_before"].split()[0]) > 0.5 * (os.cpu_count() or 1):
            print("bench: warning: the load average is %s; other work on the machine will "
                  "show in the wall times" % results["load_before"], flush=True)

        for n in sorted(SCALING_REQUESTS, reverse=True):
            print("bench: throughput, %d requests, %d runs each" % (n, runs), flush=True)
            lines, config, urls = bench.write_requests(server, n)
            # Every file kept, as curl keeps them: the checks read each one back. (2,000 images
            # are 125 MiB, over the default --cache-limit, which removes a caches file once its
            # request has attached it.)
            results["throughput"][n] = bench.pair(
                runs, [bench.exe, "--time-limit", "60", "--cache-limit", "1G"],
                ["curl", "--silent", "--parallel", "--no-progress-meter", "--config", config], urls, stdin_path=lines)

        print("bench: cold start, %d runs each" % cold_runs, flush=True)
        url = server.url("img/00000.png")
        payload = bench.write_payload("cold.json", url)
        results["cold"] = bench.pair(cold_runs, [bench.exe, "--time-limit", "10", payload],
                                     ["curl", "-s", "-o", bench.cache_file(url), url], [url])

        print("bench: memory, 10 MB image, %d runs each" % runs, flush=True)
        url = server.url("big.png")
        payload = bench.write_payload("big.json", url)
        results["memory"] = bench.pair(runs, [bench.exe, "--time-limit", "60", payload],
                                       ["curl", "-s", "-o", bench.cache_file(url), url], [url])
        if tls:
            authority = tls[0]
            print("bench: TLS + HTTP/2 throughput, %d requests, %d runs each"
                  % (THROUGHPUT_REQUESTS, runs), flush=True)
            lines, config, urls = bench.write_requests(server, THROUGHPUT_REQUESTS, tls=True)
            results["tls_throughput"] = bench.pair(
                runs, [bench.exe, "--time-limit", "60", "--cache-limit", "1G"],
                ["curl", "--silent", "--parallel", "--no-progress-meter", "--http2", "--cacert",
                 authority, "--config", config], urls, stdin_path=lines,
                ours_env={"SSL_CERT_FILE": authority})
            print("bench: TLS cold start, %d runs each" % cold_runs, flush=True)
            url = server.tls_url("img/00000.png")
            payload = bench.write_payload("cold-tls.json", url)
            results["tls_cold"] = bench.pair(
                cold_runs, [bench.exe, "--time-limit", "10", payload],
                ["curl", "-s", "--http2", "--cacert", authority, "-o", bench.cache_file(url), url],
                [url], ours_env={"SSL_CERT_FILE": authority})
        if not args.no_gateway:
            results["gateway"] = gateway.run(bench, server, gateway_runs, latency_script)
        results["load_after"] = load_average()
    finally:
        if server is not None:
            server.stop()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    os.makedirs(args.results, exist_ok=True)
    table, per = report(results, args, runs)
    if "gateway" in results:
        table += "\n\n" + "\n".join(gateway.versions() + gateway.report(results["gateway"]))
    png = plot_time_per_request(per, args.results, SCALING_REQUESTS)
    with open(os.path.join(args.results, "table.md"), "w") as f:
        f.write(table + "\n")
    raw = {str(k): {who: [vars(s) for s in v] for who, v in samples.items()}
           for k, samples in results["throughput"].items()}
    for case in ("cold", "memory", "tls_throughput", "tls_cold"):
        if case in results:
            raw[case] = {who: [vars(s) for s in v] for who, v in results[case].items()}
    with open(os.path.join(args.results, "samples.json"), "w") as f:
        json.dump(raw, f, indent=1)
    print()
    print(table)
    print()
    print("plot: " + png)
    if args.docs and not args.no_docs:
        os.makedirs(args.docs, exist_ok=True)
        shutil.copy(png, args.docs)
        print("plot copied to " + os.path.join(args.docs, os.path.basename(png)))

    if args.microbench:
        print("\nbench: micro-benchmarks of the per-request work", flush=True)
        subprocess.run([args.microbench, "--benchmark_min_time=%s" % ("0.1" if args.quick else "0.5")],
                       check=True)


if __name__ == "__main__":
    sys.exit(main())
