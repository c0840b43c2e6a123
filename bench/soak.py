#!/usr/bin/env python3
"""A host that runs for days: 100,000 requests through one extension process.

One process reads every request on standard input, each with an image address of its own
(the bench's loopback nginx serves one generated PNG under any name in /img/), with the caches
and attachment limits set low. Requests are written at a steady rate, and never more than a
window ahead of what the process has shown, so the run measures a host that keeps up rather
than a queue that grows. Every second the soak samples the process's resident memory (VmRSS),
its open descriptors (/proc/PID/fd), and the bytes of the files in the caches directory and in
the store (what the limits bound: a caches file and its store copy share an inode, so each is
counted once per directory). After the steady stream comes a burst: 100 requests at once, each
for a 4 MiB body that is no image, so that each is written to the caches directory and refused,
a quarter of the caches limit apiece. Then it checks that every request was shown exactly once
and judges:
  flat RSS and descriptors  the median of the last tenth of the samples within 10 % of the
                            median of the second tenth (the first tenth is the warm-up)
  disk within the limits    no sample over either limit by more than what requests under way
                            hold: 64 images each in the steady stream (the store keeps the
                            attachments of requests not yet shown; the caches keep a file until
                            its request's attachment step is done), and in the burst, 4 bodies
                            in the caches (those between their write and their attachment
                            step); both within at exit
It writes the samples and a table to --results and draws docs/soak.png with gnuplot.
Run through bench/run.sh --soak, which builds first.
"""

import argparse
import json
import os
import plistlib
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import reporting
import servers

REQUESTS = 100_000
IMAGE_BYTES = 16 * 1024
RATE = 500  # requests per second written
WINDOW = 2_000  # requests written but not yet shown, at most
TIME_LIMIT = "1"
# Low against the defaults (100M, 256M).
CACHE_LIMIT = 16 << 20
ATTACHMENTS_LIMIT = 16 << 20
FLAT = 0.10
# The store never removes a file that is held: the attachments of requests under way (until
# the host lets their extension go). It may be over its limit by those, never by more.
HELD_ALLOWANCE = 64 * IMAGE_BYTES
# The burst: bodies the attachment step refuses, written all at once. A caches file is spared
# only from its write to its request's attachment step, so the caches directory may be over its
# limit by the few bodies between the two at a time, never by the burst.
BURST = 100
BURST_BYTES = 4 << 20
BURST_ALLOWANCE = 4 * BURST_BYTES
SAMPLE_SECONDS = 1.0
BURST_SAMPLE_SECONDS = 0.05

# One image under every name in /img/: each request's address, and so its cache file, is its
# own, with no 100,000 files to generate.
LOCATIONS = ("    location /img/ { try_files /image.png =404; }\n"
             "    location /burst/ { try_files /burst.bin =404; }\n")


def directory_bytes(path):
    # Each name once: a listing read while files come and go may give names twice (on tmpfs,
    # a few listings in a hundred gave about a thousand names twice).
    sizes = {}
    try:
        with os.scandir(path) as entries:
            for entry in entries:
                try:
                    if entry.is_file(follow_symlinks=False):
                        sizes[entry.name] = entry.stat(follow_symlinks=False).st_size
                except FileNotFoundError:
                    pass  # removed by the limit between the listing and the stat
    except FileNotFoundError:
        pass
    return sum(sizes.values())


class Soak:
    def __init__(self, exe, work, server, requests, rate):
        with open(os.path.join(os.path.dirname(exe), "Info.plist"), "rb") as f:
            bundle_id = plistlib.load(f)["CFBundleIdentifier"]
        self.caches = os.path.join(work, "cache", bundle_id)
        self.store = os.path.join(work, "state", bundle_id, "Attachments")
        env = dict(os.environ, XDG_CACHE_HOME=os.path.join(work, "cache"),
                   XDG_STATE_HOME=os.path.join(work, "state"))
        self.argv = [exe, "--time-limit", TIME_LIMIT, "--cache-limit", str(CACHE_LIMIT),
                     "--attachments-limit", str(ATTACHMENTS_LIMIT)]
        self.server, self.requests, self.rate = server, requests, rate
        self.stderr = open(os.path.join(work, "stderr.txt"), "w+")
        self.process = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.stderr, env=env)
        self.mu = threading.Condition()
        # Guarded by mu: requests written; lines with "shown", with "shown" and the image, with
        # the image delivered after the time limit; requests shown twice.
        self.written = self.shown = self.attached = self.late = self.twice = 0
        self.burst_from = None  # seconds into the run when the burst was written
        self.shown_ids = set()  # reader thread only
        self.samples = []  # (seconds, shown, rss KiB, descriptors, caches bytes, store bytes)

    def feed(self):
        start = time.monotonic()
        for i in range(self.requests):
            due = start + i / self.rate
            with self.mu:
                self.mu.wait_for(lambda: self.written - self.shown < WINDOW)
                self.written += 1
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            payload = {"aps": {"alert": {"title": "Picture %d" % i, "body": "From the harbour"},
                               "mutable-content": 1},
                       "image": self.server.url("img/%06d.png" % i)}
            self.process.stdin.write((json.dumps({"id": "r%d" % i, "payload": payload}) + "\n")
                                     .encode())
        # The burst, once the stream has been shown.
        self.process.stdin.flush()
        with self.mu:
            self.mu.wait_for(lambda: self.shown == self.requests)
            self.burst_from = time.monotonic() - start
        for i in range(BURST):
            payload = {"aps": {"alert": {"title": "Burst %d" % i, "body": "No picture"},
                               "mutable-content": 1},
                       "image": self.server.url("burst/%03d.png" % i)}
            self.process.stdin.write((json.dumps({"id": "b%d" % i, "payload": payload}) + "\n")
                                     .encode())
        self.process.stdin.close()

    def read(self):
        for line in self.process.stdout:
            event = json.loads(line)
            attached = bool(event.get("content", {}).get("attachments"))
            with self.mu:
                if not event.get("shown"):
                    self.late += attached
                elif event["id"] in self.shown_ids:
                    self.twice += 1
                else:
                    self.shown_ids.add(event["id"])
                    self.shown += 1
                    self.attached += attached
                    self.mu.notify_all()

    def sample(self, start):
        pid = self.process.pid
        try:
            with open("/proc/%d/status" % pid) as f:
                rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
            descriptors = len(os.listdir("/proc/%d/fd" % pid))
        except (OSError, StopIteration):
            return  # it has just exited
        with self.mu:
            shown = self.shown
        self.samples.append((time.monotonic() - start, shown, rss, descriptors,
                             directory_bytes(self.caches), directory_bytes(self.store)))

    def run(self):
        start = time.monotonic()
        threads = [threading.Thread(target=self.feed, daemon=True),
                   threading.Thread(target=self.read, daemon=True)]
        for t in threads:
            t.start()
        next_sample = start
        while self.process.poll() is None:
            self.sample(start)
            next_sample += SAMPLE_SECONDS if self.burst_from is None else BURST_SAMPLE_SECONDS
            time.sleep(max(0.0, next_sample - time.monotonic()))
        self.status = self.process.returncode
        for t in threads:
            t.join(timeout=60)
        self.seconds = time.monotonic() - start
        self.final = (directory_bytes(self.caches), directory_bytes(self.store))


def in_burst(soak, sample):
    return soak.burst_from is not None and sample[0] >= soak.burst_from


def tenth_median(samples, column, tenth):
    n = len(samples)
    part = samples[n * tenth // 10:max(n * (tenth + 1) // 10, n * tenth // 10 + 1)]
    return statistics.median(s[column] for s in part)


def report(soak, args):
    s = [x for x in soak.samples if not in_burst(soak, x)]
    burst = [x for x in soak.samples if in_burst(soak, x)]
    mib = lambda b: b / (1 << 20)
    lines = [l for l in reporting.version_lines(args) if not l.startswith("baseline:")]
    lines.append("load average after: %s" % reporting.load_average())
    lines.append("requests: %d, %d a second at most and %d ahead at most; --time-limit %s, "
                 "--cache-limit %d MiB, --attachments-limit %d MiB, %d KiB images"
                 % (soak.requests, soak.rate, WINDOW, TIME_LIMIT, CACHE_LIMIT >> 20,
                    ATTACHMENTS_LIMIT >> 20, IMAGE_BYTES >> 10))
    lines.append("burst: %d requests at once for %d MiB bodies that are no image, %d samples "
                 "%.2f s apart" % (BURST, BURST_BYTES >> 20, len(burst), BURST_SAMPLE_SECONDS))
    lines.append("run: %.0f s, %d samples; every request shown once, %d with the image, %d "
                 "without it (%d of those got it after the time limit); exit status %d"
                 % (soak.seconds, len(s), soak.attached, soak.shown - soak.attached, soak.late,
                    soak.status))
    lines.append("")
    lines.append("| Measure | 2nd tenth (median) | last tenth (median) | change, or at exit | max "
                 "| verdict |")
    lines.append("|---|---|---|---|---|---|")
    verdicts = []
    for name, column, unit in (("RSS", 2, lambda v: "%.1f MiB" % (v / 1024)),
                               ("open descriptors", 3, lambda v: "%d" % v)):
        early, late = tenth_median(s, column, 1), tenth_median(s, column, 9)
        change = late / early - 1
        ok = abs(change) <= FLAT
        verdicts.append(ok)
        lines.append("| %s | %s | %s | %+.1f %% | %s | %s |" % (
            name, unit(early), unit(late), 100 * change, unit(max(x[column] for x in s)),
            "flat (within %d %%)" % (100 * FLAT) if ok else "NOT FLAT"))
    for name, column, limit, allowance, final in (
            ("caches", 4, CACHE_LIMIT, HELD_ALLOWANCE, soak.final[0]),
            ("store", 5, ATTACHMENTS_LIMIT, HELD_ALLOWANCE, soak.final[1])):
        peak = max(x[column] for x in s)
        ok = peak <= limit + allowance and final <= limit
        verdicts.append(ok)
        over = [x[column] - limit for x in s if x[column] > limit]
        verdict = "within %d MiB" % (limit >> 20) if ok else "OVER %d MiB" % (limit >> 20)
        if over:
            verdict += " (over it in %d of %d samples by at most %d images: held)" % (
                len(over), len(s), -(-max(over) // IMAGE_BYTES))
        lines.append("| %s bytes | %.1f MiB | %.1f MiB | at exit %.1f MiB | %.2f MiB | %s |" % (
            name, mib(tenth_median(s, column, 1)), mib(tenth_median(s, column, 9)), mib(final),
            mib(peak), verdict))
    if burst:
        peak = max(x[4] for x in burst)
        ok = peak <= CACHE_LIMIT + BURST_ALLOWANCE
        verdicts.append(ok)
        over = [x[4] - CACHE_LIMIT for x in burst if x[4] > CACHE_LIMIT]
        verdict = "within %d MiB" % (CACHE_LIMIT >> 20) if ok else "OVER %d MiB" % (
            CACHE_LIMIT >> 20)
        if over:
            verdict += " (over it in %d of %d samples by at most %d bodies: not yet refused)" % (
                len(over), len(burst), -(-max(over) // BURST_BYTES))
        lines.append("| caches bytes, burst | | %.1f MiB written | at exit %.1f MiB | %.2f MiB | %s |"
                     % (mib(BURST * BURST_BYTES), mib(soak.final[0]), mib(peak), verdict))
    return "\n".join(lines), all(verdicts)


def plot(soak, directory):
    data = os.path.join(directory, "soak.dat")
    with open(data, "w") as f:
        f.write("# seconds shown rss_mib descriptors caches_mib store_mib\n")
        for t, shown, rss, fds, caches, store in soak.samples:
            f.write("%.1f %d %.2f %d %.2f %.2f\n" % (t, shown, rss / 1024, fds, caches / (1 << 20),
                                                      store / (1 << 20)))
    png = os.path.join(directory, "soak.png")
    script = """set terminal pngcairo size 900,900 font ",11"
set output '{png}'
set multiplot layout 3,1 title "{requests} requests through one process, then a burst"
set grid
set xlabel "seconds"
set key bottom right
set yrange [0:*]
set ylabel "RSS (MiB)"
plot '{data}' using 1:3 with lines lw 2 title "resident memory"
set ylabel "descriptors"
plot '{data}' using 1:4 with lines lw 2 title "open descriptors"
set ylabel "MiB"
set yrange [0:{disk_top}]
plot '{data}' using 1:5 with lines lw 2 title "caches directory", \\
     '{data}' using 1:6 with lines lw 2 title "attachment store", \\
     {cache_limit} with lines dt 2 lw 2 title "--cache-limit", \\
     {store_limit} with lines dt 3 lw 2 title "--attachments-limit"
unset multiplot
""".format(png=png, data=data, requests="{:,}".format(soak.requests),
           cache_limit=CACHE_LIMIT / (1 << 20), store_limit=ATTACHMENTS_LIMIT / (1 << 20),
           disk_top=1.25 * max([CACHE_LIMIT, ATTACHMENTS_LIMIT] +
                               [max(x[4], x[5]) for x in soak.samples]) / (1 << 20))
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return png


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--results", required=True, help="directory for the table, data and plot")
    parser.add_argument("--docs", help="directory the plot is copied into")
    parser.add_argument("--no-docs", action="store_true")
    parser.add_argument("--requests", type=int, default=REQUESTS)
    parser.add_argument("--rate", type=int, default=RATE, help="requests written a second")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = parser.parse_args()
    args.exe = os.path.abspath(args.exe)
    args.build = os.path.abspath(os.path.join(os.path.dirname(args.exe), "..", "..", ".."))

    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    work = tempfile.mkdtemp(prefix="halvicourt-soak.", dir=shm)
    os.chmod(work, 0o755)  # nginx's workers drop root and must still read the image
    server = None
    try:
        www = os.path.join(work, "www")
        os.makedirs(www)
        with open(os.path.join(www, "image.png"), "wb") as f:
            f.write(servers.png_of_size(IMAGE_BYTES, 7))
        with open(os.path.join(www, "burst.bin"), "wb") as f:
            f.write(os.urandom(BURST_BYTES))
        server = servers.Nginx(os.path.join(work, "nginx"), www, locations=LOCATIONS,
                             probe=("img/probe.png", IMAGE_BYTES))
        print("soak: nginx on 127.0.0.1:%d; %d requests at %d a second, in %s"
              % (server.port, args.requests, args.rate, work), flush=True)
        soak = Soak(args.exe, work, server, args.requests, args.rate)
        soak.run()
        soak.stderr.seek(0)
        complaints = soak.stderr.read()
        if soak.status != 0 or soak.shown != args.requests + BURST or soak.twice:
            raise SystemExit("soak: exit status %d, %d of %d requests shown, %d twice\n%s"
                             % (soak.status, soak.shown, args.requests + BURST, soak.twice,
                                complaints[-4000:]))
    finally:
        if server is not None:
            server.stop()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    os.makedirs(args.results, exist_ok=True)
    table, ok = report(soak, args)
    png = plot(soak, args.results)
    with open(os.path.join(args.results, "soak.md"), "w") as f:
        f.write(table + "\n")
    print()
    print(table)
    print()
    print("plot: " + png)
    if args.docs and not args.no_docs:
        os.makedirs(args.docs, exist_ok=True)
        shutil.copy(png, args.docs)
        print("plot copied to " + os.path.join(args.docs, os.path.basename(png)))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
