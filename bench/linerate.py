#!/usr/bin/env python3
"""The line-rate budget: runs bench_linerate (all 16 ports of a high-speed adapter at
their line rate, full duplex, on paced simulated lines, every byte checked) under
`perf record`, and reports the bytes verified, the CPU time the whole simulated device
used per second of line traffic, and QSXPDD's own share of it (the samples that fall in
QSXPDD.so, times that CPU time).

Usage: bench/linerate.py [BUILD_DIR] [--seconds S] [--baud B]
  BUILD_DIR  an optimised build (QSX_SANITIZER=none) with bench_linerate built
             (default: build/release in the source tree)

Goal: the driver's own share at most 1% of one core at 921,600 baud on 16 ports.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

GOAL_CORE_SHARE = 0.01
DRIVER_OBJECT = "QSXPDD.so"


def run(build, seconds, baud):
    """The program's figures (name -> value) and, when perf could sample the run, the
    share of the samples per object and per driver function."""
    program = os.path.join(build, "bin", "bench_linerate")
    if not os.access(program, os.X_OK):
        sys.exit(f"linerate.py: {program} not built (cmake --build {build} --target bench_linerate)")
    args = [program, "--seconds", str(seconds), "--baud", str(baud)]
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        perf = shutil.which("perf")
        sampled = perf is not None
        if sampled:
            proc = subprocess.run([perf, "record", "-q", "-F", "1999", "-e", "cpu-clock", "-o", data, "--", *args],
                                  capture_output=True, text=True)
            # perf itself may be refused (kernel settings); the run is then made without it.
            if "result" not in proc.stdout:
                sampled = False
        if not sampled:
            proc = subprocess.run(args, capture_output=True, text=True)
        figures = dict(line.split(None, 1) for line in proc.stdout.splitlines() if " " in line)
        if "result" not in figures:
            sys.exit(f"linerate.py: bench_linerate failed:\n{proc.stdout}{proc.stderr}")
        objects, functions = {}, {}
        if sampled:
            objects = shares(perf, data, ["--sort", "dso"])
            functions = shares(perf, data, ["--dso", DRIVER_OBJECT, "--sort", "sym"])
    return figures, objects, functions, proc.returncode == 0


def shares(perf, data, sort):
    out = subprocess.run([perf, "report", "-i", data, "--stdio", "--percent-limit", "0", *sort],
                         capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        m = re.match(r"\s*([0-9.]+)%\s+(?:\[\.\]\s+)?(\S.*?)\s*$", line)
        if m and not line.lstrip().startswith("#"):
            found[m.group(2)] = float(m.group(1)) / 100
    return found


def report(build, seconds=10.0, baud=921600):
    figures, objects, functions, passed = run(build, seconds, baud)
    cpu = float(figures["cpu_per_second"])
    ports = int(figures["ports"])
    lines = [f"{ports} ports at {int(figures['baud']):,} baud, 8N1, full duplex (loopback on paced lines), "
             f"{float(figures['seconds']):.1f} s:", "",
             "| figure | goal | measured | goal met |", "| --- | --- | --- | --- |",
             f"| bytes verified, all ports (each counted once, it crossed both ways) | no loss | "
             f"{int(figures['bytes_verified']):,} of {int(figures['bytes_sent']):,} sent, "
             f"{figures['result'].strip()} | {'met' if passed else '**missed**'} |",
             f"| payload moved, share of the ports' line rate | - | {100 * float(figures['line_share']):.1f}% | - |",
             f"| CPU seconds per second of line traffic, the whole simulated device | - | {cpu:.3f} | - |"]
    if objects:
        share = objects.get(DRIVER_OBJECT, 0.0)
        driver = share * cpu
        lines.append(f"| CPU seconds per second, QSXPDD's own code ({100 * share:.2f}% of the samples) "
                     f"| <= 0.010 (1% of a core) | {driver:.4f} | {'met' if driver <= GOAL_CORE_SHARE else '**missed**'} |")
        top = sorted(objects.items(), key=lambda x: -x[1])[:6]
        lines += ["", "Where the device's CPU time goes (perf samples by object): "
                  + ", ".join(f"{name} {100 * s:.1f}%" for name, s in top) + "; QSXPDD.so by function: "
                  + ", ".join(f"{name} {100 * s:.2f}%" for name, s in sorted(functions.items(), key=lambda x: -x[1])
                              if s >= 0.0005) + "."]
    else:
        lines.append("| CPU seconds per second, QSXPDD's own code | <= 0.010 (1% of a core) "
                     "| not measured: perf is not available | - |")
    return "\n".join(lines)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(here, "..", "build", "release"))
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--baud", type=int, default=921600)
    args = parser.parse_args()
    print(report(args.build, args.seconds, args.baud))


if __name__ == "__main__":
    main()
