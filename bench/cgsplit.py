#!/usr/bin/env python3
"""Counts the instructions of QSXPDD's data paths with callgrind and splits every count by
object: the driver's own code, the C runtime it calls (its copies), and the platform
(the stand-in's kernel calls and the host stack), with the platform calls each chunk,
frame or read makes.

Usage: bench/cgsplit.py [BUILD_DIR] [--detail]
  BUILD_DIR  an optimised build (QSX_SANITIZER=none) with bench_count built
             (default: build/release in the source tree)
  --detail   also print, for each path, where the instructions go, function by function

Each path is one run of bench_count (see bench/count.cpp) with collection on only inside
the path's entry point (ParseDataTransfer, WriteUsb or ReadUsb), so set-up, ring resets and
the reopening of transmit windows are not counted. The driver's objects are linked as a
shared library of their own there, so that callgrind names the object of every function.
The counts are exact and repeat from run to run.

Goal: the driver's own instructions (its code and the copies it asks the C runtime for)
at most 0.5 per payload byte on each path.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

GOAL_PER_BYTE = 0.5

# name, bench_count mode, operations, entry point to collect in, unit, payload bytes a unit,
# units an operation, what the unit is
PATHS = [
    ("receive, 8 x 508-byte chunks a 4096-byte transfer", "rx508", 2000, "ParseDataTransfer(*", "chunk", 508, 8),
    ("receive, 64 x 60-byte chunks a 4096-byte transfer", "rx60", 500, "ParseDataTransfer(*", "chunk", 60, 64),
    ("transmit, high speed, 252-byte frames", "tx512", 4000, "WriteUsb", "frame", 252, 1),
    ("transmit, full speed, 60-byte frames", "tx64", 4000, "WriteUsb", "frame", 60, 1),
    ("read, 64 bytes a call", "read64", 4000, "ReadUsb", "call", 64, 1),
    ("read, 4096 bytes a call", "read4096", 2000, "ReadUsb", "call", 4096, 1),
]

DRIVER_OBJECT = "libqsxpdd_bench.so"
# The C runtime: what the driver calls there (memcpy, memchr) is its own work.
RUNTIME_OBJECTS = ("libc.so", "libstdc++.so", "libm.so")


def short_name(fn):
    """A function's name without its argument list, namespaces or symbol version."""
    fn = fn.split("@", 1)[0]
    depth, out = 0, []
    for ch in fn:  # drop argument lists and template arguments
        if ch in "(<":
            depth += 1
        elif ch in ")>":
            depth -= 1
        elif depth == 0:
            out.append(ch)
    name = "".join(out).strip()
    return name.rsplit("::", 1)[-1] or fn


def parse(path):
    """Self cost per (object, function) and the calls made: (caller object, caller function,
    callee object, callee function) -> [count, inclusive cost]; and the total."""
    names = {"ob": {}, "fl": {}, "fn": {}}
    kind_of = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl", "cfi": "fl", "cfl": "fl",
               "fn": "fn", "cfn": "fn"}

    def resolve(kind, text):
        m = re.match(r"\((\d+)\)(?: (.*))?$", text)
        if not m:
            return text
        table = names[kind_of[kind]]
        if m.group(2) is not None:
            table[m.group(1)] = m.group(2)
        return table[m.group(1)]

    self_cost, calls = {}, {}
    total = None
    ob = fn = cob = cfn = None
    pending = None  # the calls= line whose inclusive cost is on the next line
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            if pending is not None:
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                key = (ob, fn, cob if cob is not None else ob, cfn)
                entry = calls.setdefault(key, [0, 0])
                entry[0] += pending
                entry[1] += cost
                pending, cob, cfn = None, None, None
                continue
            head = line.split("=", 1)[0]
            if head in kind_of and "=" in line:
                value = resolve(head, line.split("=", 1)[1])
                if head == "ob":
                    ob = value
                elif head == "fn":
                    fn = value
                elif head == "cob":
                    cob = value
                elif head == "cfn":
                    cfn = value
                continue
            if line.startswith("calls="):
                pending = int(line[6:].split()[0])
                continue
            if line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
                continue
            if line[0] in "0123456789+-*" and fn is not None:
                fields = line.split()
                if len(fields) > 1:
                    self_cost[(ob, fn)] = self_cost.get((ob, fn), 0) + int(fields[1])
    return self_cost, calls, total


def is_driver(obj):
    return obj is not None and os.path.basename(obj) == DRIVER_OBJECT


def is_runtime(obj):
    return obj is not None and any(os.path.basename(obj).startswith(r) for r in RUNTIME_OBJECTS)


def measure(build, path):
    label, mode, operations, entry, unit, unit_bytes, per_op = path
    program = os.path.join(build, "bin", "bench_count")
    if not os.access(program, os.X_OK):
        sys.exit(f"cgsplit.py: {program} not built (cmake --build {build} --target bench_count)")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        # Symbols bound at start, so that no lazy binding is counted inside the path.
        env = dict(os.environ, LD_BIND_NOW="1")
        run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                              f"--toggle-collect={entry}", program, mode, str(operations)],
                             capture_output=True, text=True, env=env)
        if run.returncode != 0:
            sys.exit(f"cgsplit.py: bench_count {mode} failed:\n{run.stderr}")
        self_cost, calls, total = parse(out)
    m = re.search(r"units (\d+) payload_bytes (\d+)", run.stdout)
    units, payload = int(m.group(1)), int(m.group(2))
    if not total or units != operations * per_op or payload != units * unit_bytes:
        sys.exit(f"cgsplit.py: bench_count {mode}: nothing counted or a short run ({run.stdout.strip()})")

    driver_code = sum(c for (o, _), c in self_cost.items() if is_driver(o))
    runtime = {}  # C runtime functions the driver calls -> inclusive cost
    platform_calls = {}  # platform functions the driver calls -> number of calls
    for (caller_ob, _, callee_ob, callee), (count, cost) in calls.items():
        if not is_driver(caller_ob) or is_driver(callee_ob):
            continue
        name = short_name(callee)
        if is_runtime(callee_ob):
            runtime[name] = runtime.get(name, 0) + cost
        else:
            platform_calls[name] = platform_calls.get(name, 0) + count
    copies = sum(runtime.values())
    own = driver_code + copies
    functions = sorted(((short_name(f), c) for (o, f), c in self_cost.items() if is_driver(o)),
                       key=lambda x: -x[1])
    return {
        "label": label, "mode": mode, "unit": unit, "unit_bytes": unit_bytes, "units": units,
        "payload": payload, "total": total, "driver_code": driver_code, "copies": copies,
        "own": own, "platform": total - own, "own_per_byte": own / payload,
        "own_per_unit": own / units, "code_per_unit": driver_code / units,
        "copies_per_unit": copies / units, "platform_per_unit": (total - own) / units,
        "total_per_unit": total / units,
        "calls_per_unit": {n: c / units for n, c in sorted(platform_calls.items())},
        "functions_per_unit": [(n, c / units) for n, c in functions],
        "runtime_per_unit": {n: c / units for n, c in sorted(runtime.items())},
        "met": own / payload <= GOAL_PER_BYTE,
    }


def format_calls(calls):
    return ", ".join(f"{n} {c:g}" for n, c in calls.items() if c >= 0.005) or "none"


def table(results):
    lines = ["| path | driver's own a byte (goal <= 0.5) | own a unit: code + copies | platform a unit "
             "| platform calls a unit | goal met |",
             "| --- | --- | --- | --- | --- | --- |"]
    for r in results:
        lines.append(
            f"| {r['label']} | {r['own_per_byte']:.3f} | {r['own_per_unit']:.0f} a {r['unit']}: "
            f"{r['code_per_unit']:.0f} + {r['copies_per_unit']:.0f} | {r['platform_per_unit']:.0f} "
            f"| {format_calls(r['calls_per_unit'])} | {'met' if r['met'] else '**missed**'} |")
    return "\n".join(lines)


def detail(r):
    lines = [f"{r['label']}: {r['total_per_unit']:.0f} instructions a {r['unit']}, of which the driver's own "
             f"{r['own_per_unit']:.0f} ({r['own_per_byte']:.3f} a payload byte)"]
    for name, cost in r["functions_per_unit"]:
        if cost >= 0.5:
            lines.append(f"  {cost:8.1f}  driver  {name}")
    for name, cost in r["runtime_per_unit"].items():
        lines.append(f"  {cost:8.1f}  copies  {name}")
    lines.append(f"  {r['platform_per_unit']:8.1f}  platform ({format_calls(r['calls_per_unit'])})")
    return "\n".join(lines)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(here, "..", "build", "release"))
    parser.add_argument("--detail", action="store_true")
    args = parser.parse_args()
    if subprocess.run(["which", "valgrind"], capture_output=True).returncode != 0:
        sys.exit("cgsplit.py: valgrind is not installed (scripts/setup.sh installs it)")
    results = [measure(args.build, p) for p in PATHS]
    print(table(results))
    if args.detail:
        for r in results:
            print()
            print(detail(r))


if __name__ == "__main__":
    main()
