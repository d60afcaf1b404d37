"""Prints the project's speed and memory figures side by side, from one run.

  /usr/bin/python3 bench/report.py [--build DIR] [--runs N] [--settle SECONDS] [--busy-ok]

Figures measured here: the wizard's start-up to its first page drawn, a full exchange with
the tuning service on loopback as the user starts it (Next on the usage page until the
review page shows), and the peak memory of each program. Figures of the other benchmark
programs in the build folder (merge and preview, service throughput) are run and shown
with them. Every figure is a median over the runs, with the spread beside it.

Each part waits (up to --settle seconds, 300 by default) for the one-minute load average to
fall to 0.5, and shows the load before and after it. A part that starts on a busier machine
keeps its own figures, marked, but its comparisons of two programs are left out, unless
--busy-ok is given.
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

from pelloran_e2e import cluster as pg  # noqa: E402
from pelloran_e2e import driver  # noqa: E402
from pelloran_e2e import road  # noqa: E402
from pelloran_e2e import service  # noqa: E402

# Above this one-minute load average the machine is busy: other work then shares the
# processors with what is measured, and a ratio of two programs says more about that work.
BUSY_LOAD = 0.5
# Lines of the other benchmarks that compare two programs.
RATIO_LINE = re.compile(r"\b(ratio|times)\b|÷")


def load_average():
    with open("/proc/loadavg") as handle:
        return float(handle.read().split()[0])


def settle(most_seconds):
    """Waits, up to most_seconds, for the one-minute load to fall to BUSY_LOAD; returns it."""
    deadline = time.monotonic() + most_seconds
    load = load_average()
    while load > BUSY_LOAD and time.monotonic() < deadline:
        time.sleep(5)
        load = load_average()
    return load


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

    def add_text(self, text):
        self.rows.append((text, "", None, "text"))

    def section(self, title):
        self.rows.append((title, None, None, None))

    def print(self):
        width = max([len(r[0]) for r in self.rows if r[1] and r[2] is not None] + [20]) + 2
        for what, value, unit, note in self.rows:
            if value is None:
                print("\n" + what)
                print("-" * len(what))
                continue
            if unit is None:
                print("  " + what)
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


def peak_so_far(pid):
    """The process's peak resident memory until now, in KiB."""
    with open("/proc/%d/status" % pid) as handle:
        for line in handle:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


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


def exchange_and_whole_run(report, build, runs, folder):
    """Times the exchange as the user starts it, and a whole run's peak memory, against the
    real service on loopback and a cluster made by initdb."""
    binary = os.path.join(build, "pelloran-service")
    if not os.path.exists(binary):
        report.add("full exchange", "-", "", "pelloran-service is not built")
        return
    service.BINARY = binary
    tuning = service.Service(folder).start()
    try:
        made = pg.Cluster(os.path.join(folder, "cluster"))
        os.makedirs(made.folder)
        made.create()
        registry = os.path.join(folder, "machine.reg")
        list_text = made.registry(registry)
        env = {"PELLORAN_REGISTRY": registry, "XDG_CONFIG_HOME": os.path.join(folder, "config")}
        env.update(tuning.environment())
        with open(made.conf, "rb") as handle:
            original = handle.read()

        exchanges, whole_peaks, previews = [], [], []
        for run in range(runs):
            with open(made.conf, "wb") as handle:
                handle.write(original)
            program = driver.Program([os.path.join(build, "pelloran")], env=env,
                                     stdout=subprocess.DEVNULL)
            try:
                road.wait_for_page(program, "welcome")
                road.leave_welcome(program, list_text)
                program.find("radio button", "Dedicated").click()
                program.click_button("Next >")
                started = time.perf_counter()
                # The exchange blocks the program; the tree answers again with the new page.
                while road.current_page(program) != "review":
                    if time.perf_counter() - started > 120:
                        raise driver.DriverError("no review page after 2 min")
                    time.sleep(0.005)
                exchanges.append(time.perf_counter() - started)
                program.click_button("Review")
                started = time.perf_counter()
                program.window("postgresql.conf", timeout=120)
                previews.append(time.perf_counter() - started)
                road.close_preview(program)
                road.leave_review(program)
                # The peak so far, read before Finish ends the process (the driver reaps it).
                whole_peaks.append(peak_so_far(program.pid))
                road.finish(program)
            finally:
                program.kill()
            for name in os.listdir(made.data):
                if name.startswith("postgresql.conf."):
                    os.unlink(os.path.join(made.data, name))
        report.add_series("full exchange, Next to review page", exchanges, "ms", 1000, 0,
                          "3 calls, each a new TLS connection")
        report.add_series("preview of a %d-line file, Review to window" % original.count(b"\n"),
                          previews, "ms", 1000, 0)
        report.add_series("pelloran peak memory, whole run", [p for p in whole_peaks if p],
                          "MiB", 1 / 1024, 1)
    finally:
        process = tuning.process
        if process and process.poll() is None:
            process.send_signal(signal.SIGTERM)
            _, _, usage = os.wait4(process.pid, 0)
            report.add("pelloran-service peak memory, %d exchanges" % (runs * 1),
                       "%.1f" % (usage.ru_maxrss / 1024), "MiB")
        tuning.process = None
        tuning.stop()


def other_benchmarks(report, build, settle_seconds, busy_ok):
    """Runs the benchmark programs built in the build's bench folder and shows what they
    print, under their names, with the load before and after each."""
    folder = os.path.join(build, "bench")
    if not os.path.isdir(folder):
        return
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not (os.path.isfile(path) and os.access(path, os.X_OK)) or "bench" not in name:
            continue
        report.section("bench/%s" % name)
        before = settle(settle_seconds)
        try:
            result = subprocess.run([path], capture_output=True, text=True, timeout=1800)
        except subprocess.TimeoutExpired:
            report.add_text("did not finish in 30 min")
            continue
        busy = before > BUSY_LOAD and not busy_ok
        report.add_text("load average %.2f before, %.2f after%s" % (
            before, load_average(), "; the machine was busy: comparisons left out (--busy-ok shows them)"
            if busy else ""))
        for line in result.stdout.splitlines():
            if line.strip() and not (busy and RATIO_LINE.search(line)):
                report.add_text(line.rstrip())
        if result.returncode != 0:
            report.add_text("ended with %d: %s" % (result.returncode, result.stderr.strip()[-300:]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--settle", type=float, default=300,
                        help="seconds to wait for a quiet machine before each part")
    parser.add_argument("--busy-ok", action="store_true",
                        help="show comparisons measured on a busy machine too")
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    report = Report()
    started = time.monotonic()
    with driver.TempDir("pelloran-bench-") as folder, driver.Desktop() as desktop:
        report.section("Wizard (real program on a virtual screen, %dx%d)" % desktop.size)
        for part in (wizard_start, exchange_and_whole_run):
            before = settle(args.settle)
            part(report, build, args.runs, folder)
            report.add_text("load average %.2f before, %.2f after%s" % (
                before, load_average(), "; the machine was busy" if before > BUSY_LOAD else ""))
        # Their preview figures need a screen: this one.
        other_benchmarks(report, build, args.settle, args.busy_ok)
    report.print()
    print("\n(report took %.0f s; machine: %d processors)" % (time.monotonic() - started,
                                                             os.cpu_count()))


if __name__ == "__main__":
    main()
