#!/usr/bin/env python3
"""Makes the benchmark table of the rows benchModules wrote, one file per Octave version: a row
per call and baseline, with each version's times side by side.

  bench/bench_table.py OUTPUT.md ROWS.tsv [ROWS.tsv ...]
"""
import sys


def main():
    output, inputs = sys.argv[1], sys.argv[2:]
    versions, rows, times = [], [], {}
    for name in inputs:
        with open(name, encoding="utf-8") as stream:
            for line in stream:
                version, what, other, module, floor, instead, target = line.rstrip("\n").split("\t")
                if version not in versions:
                    versions.append(version)
                if (what, other, target) not in rows:
                    rows.append((what, other, target))
                times[(what, other, version)] = (float(module), float(floor), float(instead))
    header = ["call", "instead", "target"]
    for version in versions:
        header += [f"{version}: module (host floor)", "instead", "faster by"]
    header.append("met")
    lines = ["| " + " | ".join(header) + " |",
             "| --- | --- | ---: |" + " ---: | ---: | ---: |" * len(versions) + " --- |"]
    for what, other, target in rows:
        goal = float(target)
        cells = [what, other, f"{goal:g}" if goal > 0 else "-"]
        missed = []
        for version in versions:
            if (what, other, version) not in times:
                cells += ["", "", ""]
                continue
            module, floor, instead = times[(what, other, version)]
            ratio = instead / module
            cells += [f"{1000 * module:.1f} ms ({1000 * floor:.1f})", f"{1000 * instead:.1f} ms",
                      f"{ratio:.2f}"]
            if goal > 0 and ratio < goal:
                missed.append(version)
        cells.append("-" if goal <= 0 else ("NO: " + ", ".join(missed) if missed else "yes"))
        lines.append("| " + " | ".join(cells) + " |")
    table = "\n".join(lines) + "\n"
    with open(output, "w", encoding="utf-8") as stream:
        stream.write(table)
    sys.stdout.write(table)


if __name__ == "__main__":
    main()
