#!/usr/bin/env python3
"""Turns the JSON of a full benchmark run (the `perf` target writes
<build>/perf.json) into the tables of docs/performance.md: medians of the
repetitions, the library's share of each card operation against the time a
serial link needs to move the operation's bytes at 9600 and 19200 baud.

    python3 tests/perf/report.py build/native/perf.json
"""
import json
import sys

BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit
BAUDS = (9600, 19200)


def medians(path):
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") not in (None, "median"):
            continue
        name = b["run_name"].replace("/manual_time", "")
        out[name] = b
    return data.get("context", {}), out


def time_us(b):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]
    return b["real_time"] * scale


def main(path):
    context, runs = medians(path)
    print(f"Machine: {context.get('num_cpus')} CPUs at {context.get('mhz_per_cpu')} MHz, "
          f"load average {', '.join(f'{x:.2f}' for x in context.get('load_avg', []))}, "
          f"run {context.get('date')}\n")

    print("| Operation | Export µs | Bench µs | Library µs | Cards/s through the bench | Vendor calls | Bytes moved |"
          " Link ms at 9600 | Link ms at 19200 | Library share at 9600 | at 19200 |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for medium in ("Ic4442", "Temic", "Mifare"):
        for op in ("MakeGuestCard", "ReadCard", "ClearCardData"):
            b = runs.get(f"Export/{medium}/{op}")
            if b is None:
                continue
            library_us = b["library_ns"] / 1000
            payload = b["payload_B"]
            link = [payload * BITS_PER_BYTE / baud * 1000 for baud in BAUDS]
            shares = [library_us / 1000 / ms * 100 for ms in link]
            print(f"| {medium} {op} | {time_us(b):.2f} | {b['bench_ns'] / 1000:.2f} | {library_us:.2f} | "
                  f"{b['cards_per_s']:,.0f} | {b['calls']:.0f} | {payload:.0f} | {link[0]:.1f} | {link[1]:.1f} | "
                  f"{shares[0]:.4f} % | {shares[1]:.4f} % |")

    print("\n| Bench alone (replayed vendor calls) | µs | Cards/s |")
    print("|---|---|---|")
    for name, b in runs.items():
        if name.startswith("BenchOnly/"):
            print(f"| {name[len('BenchOnly/'):]} | {time_us(b):.2f} | {b['cards_per_s']:,.0f} |")

    print("\n| Bridges | One pass µs | Bench µs | Library µs | Bridge opens | Kind by kind µs | Bridge opens |")
    print("|---|---|---|---|---|---|---|")
    for n in (1, 4, 16):
        one = runs.get(f"Export/FindUsbDevicePort/{n}")
        old = runs.get(f"KindByKind/FindUsbDevicePort/{n}")
        if one is None or old is None:
            continue
        print(f"| {n} | {time_us(one):.1f} | {one['bench_ns'] / 1000:.1f} | {one['library_ns'] / 1000:.1f} | "
              f"{one['bridge_opens']:.0f} | {time_us(old):.1f} | {old['bridge_opens']:.0f} |")

    print("\n| Codec | Time | CPU | Per byte (CPU) |")
    print("|---|---|---|---|")
    for name, b in runs.items():
        if name.startswith("Codec/"):
            per_byte = b.get("s_per_byte")
            per_byte_text = f"{per_byte * 1e9:.2f} ns" if per_byte else \
                f"{b['cpu_time'] / 255:.0f} {b['time_unit']}"
            print(f"| {name[len('Codec/'):]} | {b['real_time']:.0f} {b['time_unit']} | "
                  f"{b['cpu_time']:.0f} {b['time_unit']} | {per_byte_text} |")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "perf.json")
