"""Build the benchmark report from pyperf result files.

    python bench/report.py RAW.json... --out DIR [--mode fast|full]

Pairs every measurement "<name>" with its floor "<name>.floor" (measured in
the same run), takes the ratio of their means and compares it with the goal
that the measurement declares in its metadata ("goal": the largest ratio
accepted). Writes DIR/results.json, DIR/results.md and DIR/chart.png.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import platform
import sys
from pathlib import Path
from typing import Any

import pyperf

FLOOR_SUFFIX = ".floor"

# A measurement as the report keeps it (name, times, goal, verdict, ...).
Row = dict[str, Any]


def load(paths: list[Path]) -> list[Row]:
    """One row per benchmark, in file order then the file's own order."""
    benches = []
    seen: dict[str, Path] = {}
    for path in paths:
        suite = pyperf.BenchmarkSuite.load(str(path))
        for bench in suite.get_benchmarks():
            name = bench.get_name()
            if name in seen:
                raise SystemExit(f"report: {name!r} is measured in both {seen[name]} and {path}")
            seen[name] = path
            metadata = bench.get_metadata()
            values = bench.get_values()
            benches.append(
                {
                    "name": name,
                    "script": path.stem,
                    "mean": bench.mean(),
                    "stdev": bench.stdev() if len(values) > 1 else 0.0,
                    "values": len(values),
                    "unit": metadata.get("unit", "second"),
                    "goal": metadata.get("goal"),
                    "note": metadata.get("note"),
                    "metadata": {k: v for k, v in metadata.items() if k in ("requests", "dels", "loops")},
                }
            )
    return benches


def pair(benches: list[Row]) -> tuple[list[Row], list[str]]:
    by_name = {b["name"]: b for b in benches}
    rows, problems = [], []
    for bench in benches:
        name = bench["name"]
        if name.endswith(FLOOR_SUFFIX):
            if name[: -len(FLOOR_SUFFIX)] not in by_name:
                problems.append(f"floor {name!r} has no measurement {name[: -len(FLOOR_SUFFIX)]!r}")
            continue
        floor = by_name.get(name + FLOOR_SUFFIX)
        goal = bench["goal"]
        if isinstance(goal, str):
            try:
                goal = float(goal)
            except ValueError:
                problems.append(f"{name!r}: goal {goal!r} is not a number")
                goal = None
        ratio = bench["mean"] / floor["mean"] if floor and floor["mean"] > 0 else None
        if floor is None:
            verdict = "no floor"
            problems.append(f"{name!r} has no floor {name + FLOOR_SUFFIX!r}")
        elif goal is None:
            verdict = "no goal"
        else:
            verdict = "pass" if ratio <= goal else "FAIL"
        rows.append(
            {
                "name": name,
                "script": bench["script"],
                "mean_s": bench["mean"],
                "stdev_s": bench["stdev"],
                "floor_mean_s": floor["mean"] if floor else None,
                "floor_stdev_s": floor["stdev"] if floor else None,
                "ratio": ratio,
                "goal": goal,
                "verdict": verdict,
                "note": bench["note"],
                "metadata": bench["metadata"],
            }
        )
    return rows, problems


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "—"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def write_markdown(rows: list[Row], problems: list[str], run: Row, path: Path) -> None:
    lines = [
        "# Benchmark results",
        "",
        f"{run['date']} · {run['mode']} run · Python {run['python']} · {run['machine']}",
        "",
        "| measurement | time | floor | ratio | goal | result |",
        "|---|---|---|---|---|---|",
    ]
    for row in rows:
        ratio = f"{row['ratio']:.2f}×" if row["ratio"] is not None else "—"
        goal = f"≤ {row['goal']:g}×" if row["goal"] is not None else "—"
        time = fmt_time(row["mean_s"])
        if row["stdev_s"]:
            time += f" ± {fmt_time(row['stdev_s'])}"
        lines.append(
            f"| {row['name']} | {time} | {fmt_time(row['floor_mean_s'])} | {ratio} | {goal} | {row['verdict']} |"
        )
    notes = [row for row in rows if row["note"]]
    if notes:
        lines += ["", "Notes:", ""]
        lines += [f"- `{row['name']}`: {row['note']}" for row in notes]
    if problems:
        lines += ["", "Problems:", ""]
        lines += [f"- {p}" for p in problems]
    counts = {v: sum(1 for r in rows if r["verdict"] == v) for v in ("pass", "FAIL", "no goal", "no floor")}
    lines += ["", "Summary: " + ", ".join(f"{n} {v}" for v, n in counts.items() if n), ""]
    path.write_text("\n".join(lines))


def write_chart(rows: list[Row], run: Row, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    rows = [r for r in rows if r["floor_mean_s"] is not None] or rows
    names = [r["name"] for r in rows]
    n = max(len(rows), 1)
    fig, (left, right) = plt.subplots(
        1, 2, figsize=(13, 2.2 + 0.6 * n), gridspec_kw={"width_ratios": [3, 2]}, sharey=True
    )
    ys = range(len(rows))
    height = 0.38
    us = 1e6
    times = [r["mean_s"] * us for r in rows]
    floors = [(r["floor_mean_s"] or 0) * us for r in rows]
    left.barh([y - height / 2 for y in ys], times, height, label="measurement", color="#4c72b0")
    left.barh([y + height / 2 for y in ys], floors, height, label="its floor, same run", color="#bbbbbb")
    shown = [t for t in times + floors if t > 0]
    if shown and max(shown) / min(shown) > 30:
        # Benchmarks of very different sizes share the axis only on a log scale.
        left.set_xscale("log")
        left.set_xlim(min(shown) / 3, max(shown) * 4)
        left.set_xlabel("time per call (µs, log scale)")
        left.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda x, _: f"{x:g}"))
    else:
        left.set_xlim(0, max(shown or [1]) * 1.3)
        left.set_xlabel("time per call (µs)")
    left.set_yticks(list(ys), names)
    left.invert_yaxis()
    left.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, fontsize=8, frameon=False)
    left.grid(axis="x", which="major", alpha=0.3)
    for y, r in zip(ys, rows, strict=True):
        left.text(r["mean_s"] * us, y - height / 2, " " + fmt_time(r["mean_s"]), va="center", fontsize=7)
        if r["floor_mean_s"]:
            left.text(r["floor_mean_s"] * us, y + height / 2, " " + fmt_time(r["floor_mean_s"]), va="center",
                      fontsize=7, color="#555555")

    colors = {"pass": "#55a868", "FAIL": "#c44e52"}
    ratios = [r["ratio"] or 0 for r in rows]
    right.barh(list(ys), ratios, 0.6, color=[colors.get(r["verdict"], "#8172b2") for r in rows])
    for y, r in zip(ys, rows, strict=True):
        if r["goal"] is not None:
            right.plot([r["goal"], r["goal"]], [y - 0.4, y + 0.4], color="black", lw=2)
        if r["ratio"] is not None:
            right.text(r["ratio"], y, f" {r['ratio']:.2f}× ({r['verdict']})", va="center", fontsize=7)
    right.axvline(1.0, color="#999999", lw=0.8, ls="--")
    right.set_xlabel("ratio to floor (bar) and goal (black mark)")
    top = max([*ratios, *[r["goal"] or 0 for r in rows], 1.0])
    right.set_xlim(0, top * 1.35)
    right.grid(axis="x", alpha=0.3)
    fig.suptitle(f"com_like benchmarks: {run['mode']} run, {run['date']}", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="+", type=Path)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--mode", default="full")
    args = parser.parse_args(argv)

    rows, problems = pair(load(args.files))
    run = {
        "date": dt.datetime.now().isoformat(timespec="seconds"),
        "mode": args.mode,
        "python": platform.python_version(),
        "machine": f"{platform.machine()}, {platform.system()}",
        "files": [str(p) for p in args.files],
    }
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "results.json").write_text(
        json.dumps({"run": run, "measurements": rows, "problems": problems}, indent=2, ensure_ascii=False)
    )
    write_markdown(rows, problems, run, args.out / "results.md")
    if rows:
        write_chart(rows, run, args.out / "chart.png")
    print((args.out / "results.md").read_text())
    return 0


if __name__ == "__main__":
    sys.exit(main())
