"""Prints the project's speed and memory figures side by side, from one run.

  /usr/bin/python3 bench/report.py [--build DIR] [--runs N]

Figures measured here: the wizard's start-up to its first page drawn, a full exchange with
the tuning service on loopback as the user starts it (Next on the usage page until the
review page shows), and the peak memory of each program. Figures of the other benchmark
programs in the build folder (merge and preview, service throughput) are run and shown
with them. Every figure is a median over the runs, with the spread beside it.
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import driver  # noqa: E402


class Report:
    def __init__(self):
        self.rows = []

    def add(self, what, value, unit, note=""):
        self.rows.append((what, value, unit, note))

    def add_series(self, what, values, unit, scale=1.0, digits=1, note=""):
        if not values:
            self.add(what, "-", "", note or "no figure")
            return
        values = [v * scale for v in values]
        median = statistics.median(values)
        spread = "%.*f-%.*f" % (digits, min(values), digits, max(values))
        self.add(what, "%.*f" % (digits, median), unit,
                 ("range %s over %d runs" % (spread, len(values))) + (", " + note if note else ""))

    def section(self, title):
        self.rows.append((title, None, None, None))

    def print(self):
        width = max(len(r[0]) for r in self.rows if r[1] is not None) + 2
        for what, value, unit, note in self.rows:
            if value is None:
                print("\n" + what)
                print("-" * len(what))
                continue
            print("%-*s %12s %-6s %s" % (width, what, value, unit, note))


def peak_kib(process, sig=signal.SIGTERM):
    """Ends the process and returns its peak resident memory in KiB."""
    if process.poll() is None:
        process.send_signal(sig)
    try:
        _, _, usage = os.wait4(process.pid, 0)
    except ChildProcessError:
        return None
    return usage.ru_maxrss


def wizard_start(report, build, runs, folder):
    empty = os.path.join(folder, "empty.reg")
    with open(empty, "w") as handle:
        handle.write("Windows Registry Editor Version 5.00\r\n")
    env = {"PELLORAN_REGISTRY": empty, "XDG_CONFIG_HOME": os.path.join(folder, "config")}
    times, peaks = [], []
    for _ in range(runs + 1):
        seconds, process = driver.time_to_first_drawing([os.path.join(build, "pelloran")], env)
        times.append(seconds)
        peaks.append(peak_kib(process))
    # The first start also warms the file cache; it is not what a user sees twice.
    report.add_series("wizard start-up to first page drawn", times[1:], "ms", 1000, 0)
    report.add_series("pelloran peak memory, first page", [p for p in peaks[1:] if p], "MiB",
                      1 / 1024, 1)


def other_benchmarks(report, build):
    """Runs the benchmark programs built beside this report and shows their lines."""
    folder = os.path.join(build, "bench")
    if not os.path.isdir(folder):
        return
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not (os.path.isfile(path) and os.access(path, os.X_OK)) or not name.endswith("_bench"):
            continue
        report.section("%s (bench/%s)" % (name.replace("_", " "), name))
        try:
            result = subprocess.run([path], capture_output=True, text=True, timeout=1800)
        except subprocess.TimeoutExpired:
            report.add(name, "-", "", "did not finish in 30 min")
            continue
        for line in result.stdout.splitlines():
            # "what: value unit (note)" lines become rows; anything else is shown as it is.
            m = re.match(r"\s*(.+?):\s+([-\d.,]+)\s*(\S*)\s*(.*)$", line)
            if m:
                report.add(m.group(1), m.group(2), m.group(3), m.group(4))
            elif line.strip():
                report.add(line.strip(), "", "")
        if result.returncode != 0:
            report.add(name, "-", "", "ended with %d: %s" % (result.returncode,
                                                          result.stderr.strip()[-200:]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    report = Report()
    started = time.monotonic()
    with driver.TempDir("pelloran-bench-") as folder, driver.Desktop() as desktop:
        report.section("Wizard (real program on a virtual screen, %dx%d)" % desktop.size)
        wizard_start(report, build, args.runs, folder)
        try:
            import whole_run_bench
            whole_run_bench.measure(report, build, args.runs, folder)
        except ImportError:
            pass
    other_benchmarks(report, build)
    report.print()
    print("\n(report took %.0f s; machine: %d processors)" % (time.monotonic() - started,
                                                             os.cpu_count()))


if __name__ == "__main__":
    main()
