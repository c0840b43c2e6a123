"""What every benchmark's report shares: the versions and the machine it ran on, the load, ratios
against their targets, medians, and the time-per-request plot."""

import datetime
import os
import platform
import re
import statistics
import subprocess


def median(samples, field):
    return statistics.median(getattr(s, field) for s in samples)


def first_line(argv):
    """The first line a command prints about itself ("?" when it cannot be run)."""
    try:
        r = subprocess.run(argv, capture_output=True, text=True)
        return (r.stdout or r.stderr).strip().splitlines()[0]
    except (OSError, IndexError):
        return "?"


def version_lines(args):
    compiler = "?"
    cache = os.path.join(args.build, "CMakeCache.txt") if args.build else None
    if cache and os.path.exists(cache):
        with open(cache) as f:
            m = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", f.read(), re.M)
        if m:
            compiler = first_line([m.group(1), "--version"])
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        m = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
        if m:
            cpu = m.group(1)
    return [
        "date: " + datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "machine: %d cores (%s), %s %s" % (os.cpu_count(), cpu, platform.system(), platform.release()),
        "extension: " + first_line([args.exe, "--version"]) + ", built RelWithDebInfo by " + compiler,
        "baseline: " + first_line(["curl", "--version"]),
        "server: " + first_line(["nginx", "-v"]) + ", 1 worker, loopback",
    ]


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def fmt_ratio(value, limit=None):
    text = "%.2f" % value
    if limit is not None:
        text += " (%s %g)" % ("ok <=" if value <= limit else "MISSED >", limit)
    return text


def plot_time_per_request(per, directory, scaling):
    data = os.path.join(directory, "time-per-request.dat")
    with open(data, "w") as f:
        f.write("# requests ours_ms curl_ms\n")
        for n, ours, curl in per:
            f.write("%d %.4f %.4f\n" % (n, ours, curl))
    png = os.path.join(directory, "benchmarks-time-per-request.png")
    script = """set terminal pngcairo size 800,480 font ",11"
set output '{png}'
set title "Time per request, one process fetching and storing 64 KiB PNGs over loopback"
set xlabel "requests"
set ylabel "wall time per request (ms)"
set logscale x 2
set xtics ({xtics})
set xrange [180:2800]
set yrange [0:*]
set key top right
set grid
plot '{data}' using 1:2 with linespoints lw 2 pt 7 title "extension", \\
     '{data}' using 1:3 with linespoints lw 2 pt 5 title "curl --parallel"
""".format(png=png, data=data, xtics=", ".join(str(n) for n in scaling))
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return png
