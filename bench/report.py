#!/usr/bin/env python3
"""Turns the results that bench/run collected into one Markdown table: each figure beside its bound
or peer, their ratio, the target and whether it is met.

Usage: report.py RESULTS_DIR
RESULTS_DIR holds queries.json and zim.json (Google Benchmark, aggregates), process-*.txt (two lines
"median_us mean_us min_us runs failures", tarnsys then dmidecode), tables-skipped.txt when the real
tables are absent, wine.txt (rows already in the table's form, or one line "skipped: REASON") and
preflight.txt ("files N tables T cores C", "preflight_us A B C", "dmidecode_us D") and fleet.txt
("captures N cores C", three lines "fleet MICROSECONDS PEAK_KIB", and "dmidecode FILES MICROSECONDS"
where part 6 did not run). A file that a part left out (BENCH_PARTS) gives no rows."""
import json
import pathlib
import sys

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
QUERY_ORDER = [
    "GetServiceTag",
    "GetSystemId",
    "GetSmbTableValue number (BIOS characteristics)",
    "GetSmbTableValue number (last structure's handle)",
    "GetSmbTableValue string (system manufacturer)",
    "GetSmbTable (chassis)",
    "GetSmbTable (last structure)",
]


def medians(path):
    """Benchmark name -> its median aggregate (cpu_time in ns, and its counters)."""
    out = {}
    if not path.exists():
        return out
    data = json.loads(path.read_text())
    for b in data["benchmarks"]:
        if b.get("run_type") != "aggregate" or b.get("aggregate_name") != "median":
            continue
        entry = dict(b)
        entry["ns"] = b["cpu_time"] * UNIT_NS[b.get("time_unit", "ns")]
        out[b["run_name"]] = entry
    return out


def duration(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.1f} ns"


def verdict(ok):
    return "yes" if ok else "**no**"


def main():
    results = pathlib.Path(sys.argv[1])
    rows = []

    def row(measure, figure, bound, ratio, target, met):
        rows.append(f"| {measure} | {figure} | {bound} | {ratio} | {target} | {met} |")

    skipped = results / "tables-skipped.txt"
    if skipped.exists():
        reason = skipped.read_text().strip()
        row("1. The queries on the largest real table", reason, "—", "—", "—", "skipped")
        row("2. `tarnsys` against `dmidecode` over the real tables", reason, "—", "—", "—", "skipped")
        row("6. The pre-flight over dumps of the real tables", reason, "—", "—", "—", "skipped")

    # 1. The queries against one memchr pass over the table copy.
    queries = medians(results / "queries.json")
    tables = {}
    for name, q in queries.items():
        tables.setdefault(name.split("/", 1)[0], q.get("table_bytes", 0))
    # The real tables largest first, the demo table last, whatever order they ran in.
    tables = sorted(tables, key=lambda t: (t == "demo", -tables[t]))
    for table in tables:
        bound = queries.get(f"{table}/memchr over the table copy (bound)")
        if bound is None:
            continue
        size, count = int(bound.get("table_bytes", 0)), int(bound.get("structures", 0))
        label = "demo table" if table == "demo" else table
        floor = queries.get(f"{table}/chase through the structure starts found beforehand (floor of a walk)")
        if floor is not None:
            row(f"1. reference, {label}: a chase through the {count} structure starts, found beforehand",
                duration(floor["ns"]), f"memchr over the copy {duration(bound['ns'])}",
                f"{floor['ns'] / bound['ns']:.1f}×", "the least a whole walk costs", "—")
        walk = queries.get(f"{table}/walk from the table start to the last structure (without the index)")
        if walk is not None:
            row(f"1. reference, {label}: the walk from the table start to the last structure, as the queries "
                "found it before the index", duration(walk["ns"]), f"memchr over the copy {duration(bound['ns'])}",
                f"{walk['ns'] / bound['ns']:.1f}×", "replaced by the index", "—")
        # In the order the benchmark lists them, whatever order they ran in.
        for name in QUERY_ORDER:
            q = queries.get(f"{table}/{name}")
            if q is None:
                continue
            ratio = q["ns"] / bound["ns"]
            row(f"1. {name}, {label} ({size} bytes, {count} structures indexed)", duration(q["ns"]),
                f"memchr over the copy {duration(bound['ns'])}", f"{ratio:.1f}×", "≤ 3×", verdict(ratio <= 3))
        # The load, with the index and without it, and the index's building beside one whole walk.
        loaded, bare = queries.get(f"{table}/load with the index"), queries.get(f"{table}/load without the index")
        if loaded is not None and bare is not None:
            row(f"1. the load (detach and attach, simulated machine) with the index, {label}", duration(loaded["ns"]),
                f"the same load without the index {duration(bare['ns'])}", f"{loaded['ns'] / bare['ns']:.2f}×",
                "reported", "—")
        build = queries.get(f"{table}/building the index alone")
        if build is not None and walk is not None:
            row(f"1. building the index alone ({count} structures), {label}", duration(build["ns"]),
                f"one walk over the table {duration(walk['ns'])}", f"{build['ns'] / walk['ns']:.1f}×", "reported",
                "—")

    # 2. The tarnsys command against dmidecode, whole processes, same files.
    for path in sorted(results.glob("process-*.txt")):
        lines = path.read_text().split("\n")
        ours, peer = (line.split() for line in lines[:2])
        runs, failures = int(ours[3]), int(ours[4]) + int(peer[4])
        ratio = float(ours[0]) / float(peer[0])
        note = f", {failures} failed runs" if failures else ""
        row(f"2. `tarnsys --from-dump {path.stem[8:]} service-tag` (median of {runs} runs{note})",
            duration(float(ours[0]) * 1e3), f"`dmidecode -s chassis-serial-number` {duration(float(peer[0]) * 1e3)}",
            f"{ratio:.2f}×", "≤ 1×", verdict(ratio <= 1 and failures == 0))

    # 3. Staging.
    zim = medians(results / "zim.json")
    exchange, copy = zim.get("NibbleExchange"), zim.get("MemcpyBound")
    if exchange and copy:
        ratio = exchange["bytes_per_second"] / copy["bytes_per_second"]
        row("3. `ExchangeNibbles` of 64 MiB, throughput", f"{exchange['bytes_per_second'] / 1e9:.1f} GB/s",
            f"memcpy of the same buffer {copy['bytes_per_second'] / 1e9:.1f} GB/s", f"{ratio:.2f}×",
            "≥ 0.5× memcpy", verdict(ratio >= 0.5))
    reads = zim.get("SectorReadsBound")
    for memory, note in (("reused_memory", "the image in memory the allocator reuses"),
                         ("fresh_memory", "the image in fresh pages, as a program that stages once gets them")):
        stage = zim.get(f"StageImageWhole/{memory}")
        if stage and reads:
            ratio = stage["ns"] / reads["ns"]
            row(f"3. `StageImage` of a 16 MiB image, simulated machine, {note}", duration(stage["ns"]),
                f"bare loop of the same 32768 reads of 512 bytes {duration(reads['ns'])}", f"{ratio:.2f}×",
                "≤ 1.5×", verdict(ratio <= 1.5))

    # 4. The token search and write: control count against the design, time per control.
    bare = zim.get("PhysicalReadsBound/1000")
    for entry in ("F0000", "FFFF0"):
        t = zim.get(f"SetCmosToken92/entry_{entry}")
        if not t:
            continue
        terms = [f"{int(t['scan'])} scan", f"{int(t['anchors'])} anchor", f"{int(t['entry'])} entry point",
                 f"{int(t['walk'])} walk", f"{int(t['records'])} record", f"{int(t['write'])} write",
                 f"{int(t['checksum'])} checksum", f"{int(t['readback'])} read-back"]
        controls, design = int(t["controls"]), int(t["design"])
        row(f"4. `SetCmosToken(92)` controls, entry point at 0x{entry}", f"{controls}",
            f"design {design} = " + " + ".join(terms), f"{controls / design:.2f}×", "= 1×",
            verdict(controls == design))
        if bare:
            per = t["ns"] / controls
            per_bare = bare["ns"] / bare["controls"]
            row(f"4. `SetCmosToken(92)` time per control, entry point at 0x{entry} ({duration(t['ns'])} in all)",
                duration(per), f"bare loop of physical reads {duration(per_bare)} per control",
                f"{per / per_bare:.2f}×", "reported", "—")

    # 5. Under Wine with the stand-in driver.
    wine = results / "wine.txt"
    if wine.exists():
        for line in wine.read_text().splitlines():
            if line.startswith("skipped:"):
                row("5. Under Wine with the stand-in driver", line, "—", "—", "—", "skipped")
            elif line.strip():
                rows.append(line)

    # 6. The pre-flight against a loop of dmidecode over the same dumps: files per second.
    preflight = results / "preflight.txt"
    if preflight.exists():
        fields = {line.split()[0]: line.split()[1:] for line in preflight.read_text().splitlines() if line}
        files, tables, cores = int(fields["files"][0]), fields["files"][2], fields["files"][4]
        ours = sorted(int(v) for v in fields["preflight_us"])[len(fields["preflight_us"]) // 2]
        peer = int(fields["dmidecode_us"][0])
        rate, peer_rate = files / (ours / 1e6), files / (peer / 1e6)
        row(f"6. `zim-sim --preflight` over {files} dumps ({tables} shared tables cycled; {cores} cores; "
            f"median of 3 runs, {ours / 1e6:.2f} s)", f"{rate:,.0f} files/s",
            f"loop of `dmidecode --from-dump FILE -t 212` {peer_rate:,.0f} files/s ({peer / 1e6:.1f} s)",
            f"{rate / peer_rate:.1f}×", "≥ 5×", verdict(rate / peer_rate >= 5))

    # 7. The fleet pre-flight over captures of mixed formats: captures per second against the
    # dmidecode loop's files per second, and its peak memory.
    fleet = results / "fleet.txt"
    if fleet.exists():
        lines = [line.split() for line in fleet.read_text().splitlines() if line.strip()]
        head = next(f for f in lines if f[0] == "captures")
        captures, cores = int(head[1]), head[3]
        runs = sorted((int(f[1]), int(f[2])) for f in lines if f[0] == "fleet")
        us, _ = runs[len(runs) // 2]
        peak_mib = max(kib for _, kib in runs) / 1024
        loop = next((f for f in lines if f[0] == "dmidecode"), None)
        if loop is not None:
            peer_rate = int(loop[1]) / (int(loop[2]) / 1e6)
        elif preflight.exists():
            peer_rate = files / (peer / 1e6)
        else:
            peer_rate = None
        rate = captures / (us / 1e6)
        peer_text = f"loop of `dmidecode --from-dump FILE -t 212` {peer_rate:,.0f} files/s" if peer_rate else "—"
        row(f"7. `zim-sim --preflight --summary --json --html` over {captures} captures (dump files, kernel "
            f"folders, Windows raw tables; {cores} cores; median of 3 runs, {us / 1e6:.1f} s)",
            f"{rate:,.0f} captures/s", peer_text, f"{rate / peer_rate:.1f}×" if peer_rate else "—", "≥ 5×",
            verdict(peer_rate is not None and rate / peer_rate >= 5))
        row(f"7. Its peak memory (largest of 3 runs) over {captures} captures", f"{peak_mib:.1f} MiB", "—", "—",
            "< 200 MB", verdict(peak_mib * 1.048576 < 200))

    print("| Measure | Figure | Bound or peer | Ratio | Target | Met |")
    print("|---|---|---|---|---|---|")
    print("\n".join(rows))


main()
