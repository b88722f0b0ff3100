"""Turns one benchmark run (a Google Benchmark JSON file and a psutil JSON
file per process count) into the table of ratios, each between two medians
measured in the same run at the same process count, and with --scaling FILE
also into the table behind the scaling picture.

    report.py [--scaling FILE] RESULTS N:BENCH_JSON:PSUTIL_JSON..."""
import json
import sys


def medians(path):
    with open(path) as f:
        data = json.load(f)
    result = {}
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            raise SystemExit(f"{path}: {b['name']}: {b.get('error_message')}")
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        # Cases that involve other processes are timed on the wall, the rest
        # by their CPU time (see sorvik_bench.cc).
        name = b.get("run_name", b["name"])
        clock = "real_time" if name.endswith("/real_time") else "cpu_time"
        name = name.removesuffix("/real_time")
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
        result[name] = b[clock] * scale
        for counter in ("processes", "tasks"):
            if counter in b:
                result[name + ":" + counter] = b[counter]
    return result


ROWS = [
    # label, numerator, denominator, goal (at most), what it says
    ("GetTaskList / floor walk (to 500 tasks)", "call/GetTaskList", "floor/walk500", 1.2),
    ("processCanExecute / floor walk", "call/processCanExecute", "floor/walk", 1.3),
    ("snapshot alone / floor walk", "inner/takeSnapshot", "floor/walk", None),
    ("snapshot alone / its /proc walk alone", "inner/takeSnapshot", "inner/listProcesses", None),
    ("processCanExecute / snapshot alone", "call/processCanExecute", "inner/takeSnapshot", None),
    ("RefreshAllSorvikStr (350 records) / snapshot", "call/RefreshAllSorvikStr", "inner/takeSnapshot", 1.1),
    ("its counting of 350 records alone / snapshot", "inner/recountAll", "inner/takeSnapshot", None),
    ("GetControllableTaskList, no display / floor walk", "call/GetControllableTaskList", "floor/walk", None),
    ("its filter through the table (under the lock) / snapshot", "inner/keepControllable", "inner/takeSnapshot", None),
    ("psutil snapshot / processCanExecute (higher is better)", "tool/psutil", "call/processCanExecute", "5x"),
    ("psutil snapshot / floor walk (what any walk can reach)", "tool/psutil", "floor/walk", None),
    ("pgrep -c / processCanExecute (higher is better)", "tool/pgrep-c", "call/processCanExecute", None),
    ("login+logout (record 0) / semaphore pair", "call/logInOut", "floor/semaphorePair", 3.0),
    ("login+logout (record 349) / semaphore pair", "call/logInOutRecord349", "floor/semaphorePair", None),
    ("robust mutex pair / semaphore pair", "floor/robustMutexPair", "floor/semaphorePair", None),
    ("GetProcessStruAt / semaphore pair", "call/GetProcessStruAt", "floor/semaphorePair", None),
    ("login+logout, 4 processes / semaphore pair, 4 processes", "call/logInOut4", "floor/semaphorePair4", None),
    ("login+logout, 4 processes / login+logout alone", "call/logInOut4", "call/logInOut", None),
]


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


# The series of the scaling picture (bench/scaling.gp), in its column order.
SCALING = ["floor/walk", "call/processCanExecute", "call/RefreshAllSorvikStr", "tool/psutil", "tool/pgrep-c"]


def write_scaling(path, counts, runs):
    """One line per process count: the processes seen, then each series'
    median in milliseconds; "NaN" where a case was not run."""
    lines = ["# processes\t" + "\t".join(SCALING)]
    for n in counts:
        m = runs[n]
        cells = [str(int(m.get("floor/walk:processes", 0)))]
        cells += [f"{m[name] * 1e3:.6g}" if name in m else "NaN" for name in SCALING]
        lines.append("\t".join(cells))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    args = sys.argv[1:]
    scaling = None
    if args[:1] == ["--scaling"]:
        scaling, args = args[1], args[2:]
    out = args[0]
    counts = []
    runs = {}
    for run in args[1:]:
        n, bench, py = run.split(":")
        m = medians(bench)
        with open(py) as f:
            m["tool/psutil"] = json.load(f)["cpu_median"]
        counts.append(n)
        runs[n] = m

    lines = []
    head = "| ratio of medians | goal | " + " | ".join(f"N={n}" for n in counts) + " |"
    lines += [head, "|" + "---|" * (2 + len(counts))]
    for label, num, den, goal in ROWS:
        cells = []
        for n in counts:
            m = runs[n]
            if num not in m or den not in m:
                cells.append("n/a")
                continue
            r = m[num] / m[den]
            ok = ""
            if isinstance(goal, float):
                ok = " ✓" if r <= goal else " ✗"
            elif goal == "5x":
                ok = " ✓" if r >= 5 else " ✗"
            cells.append(f"{r:.2f}{ok}")
        g = "" if goal is None else (f"≥ {goal}" if isinstance(goal, str) else f"≤ {goal}")
        lines.append(f"| {label} | {g} | " + " | ".join(cells) + " |")

    lines += ["", "Cost per process, relative to N=" + counts[0] + " (1.00 = linear):", ""]
    lines += ["| per process | " + " | ".join(f"N={n}" for n in counts) + " |", "|" + "---|" * (1 + len(counts))]
    base = runs[counts[0]]
    procs = {n: runs[n].get("floor/walk:processes") for n in counts}
    for label, name in (("floor walk", "floor/walk"), ("processCanExecute", "call/processCanExecute"),
                        ("RefreshAllSorvikStr", "call/RefreshAllSorvikStr"), ("psutil", "tool/psutil")):
        cells = []
        for n in counts:
            per = runs[n][name] / procs[n]
            per0 = base[name] / procs[counts[0]]
            cells.append(f"{per / per0:.2f}")
        lines.append(f"| {label} | " + " | ".join(cells) + " |")

    lines += ["", "Medians behind the ratios (this run only; the machine is shared):", ""]
    lines += ["| case | " + " | ".join(f"N={n}" for n in counts) + " |", "|" + "---|" * (1 + len(counts))]
    lines.append("| processes in /proc | " + " | ".join(str(int(procs[n] or 0)) for n in counts) + " |")
    names = sorted({k for n in counts for k in runs[n] if ":" not in k})
    for name in names:
        lines.append(f"| {name} | " + " | ".join(fmt_time(runs[n][name]) if name in runs[n] else "n/a"
                                               for n in counts) + " |")
    if scaling:
        write_scaling(scaling, counts, runs)
    text = "\n".join(lines) + "\n"
    with open(out, "w") as f:
        f.write(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
