#!/usr/bin/env python3
"""Runs the data-path benchmarks and prints the table of goals and measured figures that
bench/README.md holds, in Markdown.

Usage: bench/report.py [BUILD_DIR] [--repetitions N]
  BUILD_DIR  an optimised build (QSX_SANITIZER=none) with the `benchmarks` target built
             (default: build/release in the source tree)

Throughputs are medians of N repetitions (default 5); each benchmark also reports its
ratio to a baseline measured in the same run (memcpy of the same bytes, the USB 2.0 bulk
limit, or the machine's own thread wake-up), which is what the goals are stated in.
"""

import argparse
import json
import os
import re
import subprocess
import sys

HS_LIMIT = 13 * 512 / 125e-6  # bytes per second, USB 2.0 high-speed bulk
FS_LIMIT = 19 * 64 / 1e-3     # bytes per second, full-speed bulk


def run_json(program, *args, cpus=None):
    """The benchmarks' JSON results; `cpus` restricts the program to those CPUs."""
    pin = (lambda: os.sched_setaffinity(0, cpus)) if cpus else None
    out = subprocess.run([program, "--benchmark_format=json", *args], check=True,
                         capture_output=True, text=True, preexec_fn=pin).stdout
    return json.loads(out)["benchmarks"]


def medians(benchmarks):
    """name -> the median aggregate (or the single run when there are no aggregates)."""
    found = {}
    for b in benchmarks:
        if b.get("error_occurred"):
            sys.exit(f"report.py: {b['name']}: {b.get('error_message')}")
        name = b.get("run_name", b["name"])
        if b.get("aggregate_name") == "median" or (b.get("run_type") == "iteration" and name not in found):
            found[name] = b
    return found


def mb(value):
    return f"{value / 1e6:,.1f} MB/s"


def verdict(met):
    return "met" if met else "**missed**"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(here, "..", "build", "release"))
    parser.add_argument("--repetitions", type=int, default=5)
    args = parser.parse_args()
    bin_dir = os.path.join(args.build, "bin")
    reps = [f"--benchmark_repetitions={args.repetitions}", "--benchmark_report_aggregates_only=true"]

    dp = medians(run_json(os.path.join(bin_dir, "bench_datapath"), *reps))
    e2e_program = os.path.join(bin_dir, "bench_endtoend")
    e2e = medians(run_json(e2e_program))
    # The same on one core: a wake-up there is a context switch, while across this
    # virtual machine's two vCPUs it also wakes a halted vCPU.
    e2e_one = medians(run_json(e2e_program, cpus={min(os.sched_getaffinity(0))}))
    base = e2e["BM_ThreadWake/iterations:10"]
    wake_us = base["median_us"]
    cg = subprocess.run([os.path.join(here, "callgrind.sh"), args.build], check=True,
                        capture_output=True, text=True).stdout
    per_byte = float(re.search(r"per payload byte\s+([0-9.]+)", cg).group(1))
    per_chunk = int(re.search(r"per chunk\s+([0-9]+)", cg).group(1))

    rows = []

    def add(path, goal, measured, ratio, met):
        rows.append((path, goal, measured, ratio, "-" if met is None else verdict(met)))

    # A full-speed adapter's transfers are measured against the bus they come on.
    for name, label, limit in [
            ("BM_Receive/chunk:508/chunks:8", "receive, 8 x 508-byte chunks a 4096-byte transfer", HS_LIMIT),
            ("BM_Receive/chunk:60/chunks:64", "receive, 64 x 60-byte chunks a 4096-byte transfer", HS_LIMIT),
            ("BM_Receive/chunk:60/chunks:1", "receive, full speed, one 60-byte chunk a 64-byte transfer", FS_LIMIT)]:
        b = dp[name]
        hs = b["bytes_per_second"] / HS_LIMIT
        ratio = f"{hs:.1f}x HS, {b['ratio_vs_memcpy']:.3f}x memcpy"
        if limit == FS_LIMIT:
            ratio = f"{b['bytes_per_second'] / FS_LIMIT:.0f}x FS, " + ratio
        add(label, ">= 20x HS" if limit == HS_LIMIT else ">= 20x FS",
            f"{mb(b['bytes_per_second'])}, {b['transfers'] / 1e3:,.0f} k transfers/s", ratio,
            b["bytes_per_second"] / limit >= 20)
    add("receive, instructions per payload byte (callgrind, 508-byte chunks)", "<= 1",
        f"{per_byte:.3f} ({per_chunk} a chunk)", "-", per_byte <= 1)
    for size in (1, 64, 4096):
        b = dp[f"BM_Read/read:{size}"]
        add(f"read, {size} bytes a call", "-", mb(b["bytes_per_second"]),
            f"{b['bytes_per_second'] / HS_LIMIT:.1f}x HS, {b['ratio_vs_memcpy']:.3f}x memcpy", None)
    for name, label, limit, goal in [
            ("BM_TransmitInlineCompletion/maxpacket:512/real_time", "transmit, high speed, host stack completing at once", HS_LIMIT, True),
            ("BM_TransmitInlineCompletion/maxpacket:64/real_time", "transmit, full speed, host stack completing at once", FS_LIMIT, False),
            ("BM_Transmit/maxpacket:512/real_time", "transmit, high speed, completion on the host stack's thread", HS_LIMIT, False),
            ("BM_Transmit/maxpacket:64/real_time", "transmit, full speed, completion on the host stack's thread", FS_LIMIT, False)]:
        b = dp[name]
        ratio = b["bytes_per_second"] / HS_LIMIT
        speed = "HS" if limit == HS_LIMIT else "FS"
        text = f"{ratio:.2f}x HS" + ("" if speed == "HS" else f", {b['bytes_per_second'] / FS_LIMIT:.1f}x FS")
        if name.startswith("BM_Transmit/"):
            # A round trip through another thread: its length in this run's thread wake-ups.
            text += f", {1e6 / b['frames'] / wake_us:.1f} thread wakes a frame"
        add(label, ">= 20x HS" if goal else "-", f"{mb(b['bytes_per_second'])}, {b['frames'] / 1e3:,.0f} k frames/s",
            text, ratio >= 20 if goal else None)

    for where, runs in [("", e2e), (", all threads on one core", e2e_one)]:
        wake = runs["BM_ThreadWake/iterations:10"]
        loop = runs["BM_Loopback16/KiB_per_port:512/inline_completion:0/manual_time"]
        frame_us = 252 / loop["bytes_per_second"] * 1e6  # the adapter moves one frame at a time
        add(f"end to end, 16 ports in loopback, aggregate received{where}", ">= 2x HS",
            mb(loop["bytes_per_second"]),
            f"{loop['ratio_vs_usb_limit']:.2f}x HS, {frame_us / wake['median_us']:.1f} thread wakes a frame",
            loop["ratio_vs_usb_limit"] >= 2)
        bare = runs["BM_Loopback16/KiB_per_port:512/inline_completion:1/manual_time"]
        add(f"end to end, the same with completion routines run inline (not the platform){where}", "-",
            mb(bare["bytes_per_second"]),
            f"{bare['ratio_vs_usb_limit']:.2f}x HS, {bare['bytes_per_second'] / loop['bytes_per_second']:.1f}x "
            "the above", None)
        latency = runs["BM_WakeLatency/iterations:10"]
        add(f"wake-up, byte at the adapter to WaitCommEvent, median{where}", "<= 20 us",
            f"{latency['median_us']:.1f} us", f"{latency['median_us'] / wake['median_us']:.1f}x one thread wake",
            latency["median_us"] <= 20)
        add(f"wake-up, byte at the adapter to WaitCommEvent, 99th percentile{where}", "<= 200 us",
            f"{latency['p99_us']:.1f} us", f"{latency['p99_us'] / wake['p99_us']:.1f}x one thread wake",
            latency["p99_us"] <= 200)
        add(f"baseline: one thread waking another (condition variable){where}", "-",
            f"median {wake['median_us']:.1f} us, p99 {wake['p99_us']:.1f} us", "-", None)

    print("| path | goal | measured | ratio | goal met |")
    print("| --- | --- | --- | --- | --- |")
    for r in rows:
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
