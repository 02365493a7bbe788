"""Runs every benchmark script in this folder and prints one table.

Usage: python bench/run.py [name-fragment ...]
"""
import json
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).parent


def run_script(path):
    completed = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, cwd=HERE)
    rows = [json.loads(line[4:]) for line in completed.stdout.splitlines() if line.startswith("ROW ")]
    if completed.returncode != 0:
        sys.stderr.write(f"{path.name} failed:\n{completed.stderr[-3000:]}\n")
    return rows


def seconds_text(value):
    if value is None:
        return "-"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if value >= scale:
            return f"{value / scale:.3g} {unit}"
    return f"{value / 1e-9:.3g} ns"


def main(fragments):
    scripts = sorted(HERE.glob("bench_*.py"))
    if fragments:
        scripts = [s for s in scripts if any(f in s.name for f in fragments)]
    if not scripts:
        print("no benchmarks yet")
        return
    rows = [row for script in scripts for row in run_script(script)]
    header = ("benchmark", "subject", "time", "baseline", "time", "ratio", "target", "note")
    table = [header]
    for row in rows:
        ratio = "-"
        if row["seconds"] and row["baseline_seconds"]:
            ratio = f"{row['baseline_seconds'] / row['seconds']:.2f}x"
        table.append((row["benchmark"], row["subject"], seconds_text(row["seconds"]), row["baseline"],
                      seconds_text(row["baseline_seconds"]), ratio, row["target"], row["note"]))
    widths = [max(len(str(line[i])) for line in table) for i in range(len(header))]
    for index, line in enumerate(table):
        print("  ".join(str(cell).ljust(width) for cell, width in zip(line, widths)).rstrip())
        if index == 0:
            print("  ".join("-" * width for width in widths))
    print("\nratio = baseline time / subject time (above 1: the subject is faster)")


if __name__ == "__main__":
    main(sys.argv[1:])
