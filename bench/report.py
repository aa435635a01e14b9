#!/usr/bin/env python3
"""Runs the data-path benchmarks and prints the tables that bench/README.md holds, in
Markdown: goals and measured figures, the instruction counts split by object (cgsplit.py),
the computed prediction of what a device reaches on a real host stack, and the line-rate
budget of 16 ports at 921,600 baud on paced simulated lines (linerate.py).

Usage: bench/report.py [BUILD_DIR] [--repetitions N]
  BUILD_DIR  an optimised build (QSX_SANITIZER=none) with the `benchmarks` target built
             (default: build/release in the source tree)

Throughputs are medians of N repetitions (default 5); each benchmark also reports its
ratio to a baseline measured in the same run (memcpy of the same bytes, the USB 2.0 bulk
limit, or the machine's own thread wake-up), which is what the goals are stated in. The
prediction uses the fastest repetition's CPU time of the driver's paths.
"""

import argparse
import json
import math
import os
import subprocess
import sys

import cgsplit
import linerate

HS_LIMIT = 13 * 512 / 125e-6  # bytes per second, USB 2.0 high-speed bulk
FS_LIMIT = 19 * 64 / 1e-3     # bytes per second, full-speed bulk

# The prediction: host-stack round trips, line rates (8N1: ten bits a byte) and the most
# ports an adapter has.
ROUND_TRIPS_US = (125, 250, 500, 1000)
BAUDS = (921600, 460800, 115200)
MAX_PORTS = 16
WINDOW = 4096  # a port's transmit window, frame headers included


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


def fastest(benchmarks):
    """name -> the "min" aggregate: the fastest repetition."""
    return {b.get("run_name", b["name"]): b for b in benchmarks if b.get("aggregate_name") == "min"}


def seconds(b, field):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
    return b[field] * scale


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

    dp_runs = run_json(os.path.join(bin_dir, "bench_datapath"), *reps)
    dp = medians(dp_runs)
    dp_min = fastest(dp_runs)
    e2e_program = os.path.join(bin_dir, "bench_endtoend")
    e2e = medians(run_json(e2e_program))
    # The same on one core: a wake-up there is a context switch, while across this
    # virtual machine's two vCPUs it also wakes a halted vCPU.
    e2e_one = medians(run_json(e2e_program, cpus={min(os.sched_getaffinity(0))}))
    base = e2e["BM_ThreadWake/iterations:10"]
    wake_us = base["median_us"]
    counts = [cgsplit.measure(args.build, p) for p in cgsplit.PATHS]

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

    print("## Throughput and latency\n")
    print("| path | goal | measured | ratio | goal met |")
    print("| --- | --- | --- | --- | --- |")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print("\n## Instructions by object (callgrind)\n")
    print(cgsplit.table(counts))
    for c in counts:
        print()
        print(cgsplit.detail(c))
    print("\n## What a device reaches (computed)\n")
    print(prediction(dp_min, {c["mode"]: c for c in counts}))
    print("\n## Line-rate budget\n")
    print(linerate.report(args.build))


def prediction(dp_min, counts):
    """The computed tables: what an adapter moves on a host stack whose round trip is R.

    Transmit: WriteUsb sends one frame per synchronous transfer under the adapter's
    BulkOutLock, so an adapter moves one frame per (R + the driver's time for a frame),
    whichever port it belongs to. Receive: ReceiveThread has one IN transfer at a time
    (4096 bytes at high speed, 64 at full speed), so likewise one transfer per (R + its
    parse). A port at B baud, 8N1, carries B / 10 bytes a second each way."""
    hs = dp_min["BM_TransmitInlineCompletion/maxpacket:512/real_time"]
    fs = dp_min["BM_TransmitInlineCompletion/maxpacket:64/real_time"]
    rx_hs = dp_min["BM_Receive/chunk:508/chunks:8"]
    rx_fs = dp_min["BM_Receive/chunk:60/chunks:1"]
    # One iteration is one frame; a receive iteration is 4 transfers (one per port).
    t_tx = {"hs": seconds(hs, "cpu_time"), "fs": seconds(fs, "cpu_time")}
    t_rx = {"hs": seconds(rx_hs, "cpu_time") / 4, "fs": seconds(rx_fs, "cpu_time") / 4}
    adapters = [
        ("high speed", "hs", 252, 8 * 508, counts["tx512"], counts["rx508"], 8),
        ("full speed", "fs", 60, 60, counts["tx64"], None, 1)]

    out = ["Measured inputs: this machine's CPU time for one frame through `WriteUsb` with a host "
           "stack completing at once, and for one receive transfer through `ParseDataTransfer` "
           "(fastest of the repetitions), with the instructions callgrind counts for them:", "",
           "| adapter | frame payload | CPU a frame | instructions a frame (driver's own) "
           "| receive transfer payload | CPU a receive transfer | instructions a receive transfer (driver's own) |",
           "| --- | --- | --- | --- | --- | --- | --- |"]
    for name, key, payload, rx_payload, tx, rx, chunks in adapters:
        rx_ins = "-" if rx is None else (f"{rx['total_per_unit'] * chunks:,.0f} "
                                         f"({rx['own_per_unit'] * chunks:,.0f})")
        out.append(f"| {name} | {payload} bytes | {t_tx[key] * 1e9:.0f} ns | {tx['total_per_unit']:,.0f} "
                   f"({tx['own_per_unit']:,.0f}) | {rx_payload} bytes | {t_rx[key] * 1e9:.0f} ns | {rx_ins} |")

    out += ["", "Transmit, all ports of one adapter together (computed; ports capped at 16, the "
            "largest model):", "",
            "| adapter | round trip | frames a second | aggregate transmit | ports at 921,600 "
            "| ports at 460,800 | ports at 115,200 |",
            "| --- | --- | --- | --- | --- | --- | --- |"]
    for name, key, payload, _, _, _, _ in adapters:
        for rtt in ROUND_TRIPS_US:
            frames = 1 / (rtt * 1e-6 + t_tx[key])
            rate = frames * payload
            ports = [min(MAX_PORTS, math.floor(rate / (b / 10))) for b in BAUDS]
            out.append(f"| {name} | {rtt} us | {frames:,.0f} | {rate / 1e3:,.1f} kB/s | "
                       + " | ".join(str(p) for p in ports) + " |")

    out += ["", "Receive, all ports of one adapter together, with every IN transfer full (computed):", "",
            "| adapter | round trip | aggregate receive | ports at 921,600 | ports at 460,800 | ports at 115,200 |",
            "| --- | --- | --- | --- | --- | --- |"]
    for name, key, _, rx_payload, _, _, _ in adapters:
        for rtt in ROUND_TRIPS_US:
            rate = rx_payload / (rtt * 1e-6 + t_rx[key])
            ports = [min(MAX_PORTS, math.floor(rate / (b / 10))) for b in BAUDS]
            out.append(f"| {name} | {rtt} us | {rate / 1e3:,.1f} kB/s | " + " | ".join(str(p) for p in ports) + " |")

    out += ["", "One port's transmit ceiling, as a share of its line rate, if the adapter reports a "
            "window free only once it has gone out on the line (as the simulated adapter does): the "
            "line then pauses for about two round trips (the status record in, the next frame out) "
            "every window (computed):", "",
            "| adapter | round trip | at 921,600 | at 460,800 | at 115,200 |",
            "| --- | --- | --- | --- | --- |"]
    for name, key, payload, _, _, _, _ in adapters:
        per_window = WINDOW // (payload + 4) * payload
        for rtt in ROUND_TRIPS_US:
            shares = []
            for b in BAUDS:
                drain = per_window / (b / 10)
                shares.append(f"{100 * drain / (drain + 2 * rtt * 1e-6):.1f}%")
            out.append(f"| {name} | {rtt} us | " + " | ".join(shares) + " |")
    return "\n".join(out)


if __name__ == "__main__":
    main()
