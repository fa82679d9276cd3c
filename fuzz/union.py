#!/usr/bin/env python3
"""The driver's edges that the corpora of all harnesses cover together.

    fuzz/union.py COVERAGE_FILE...

Each file is a harness's -print_coverage=1 output over its corpus (fuzz/run.sh writes them). Every
harness carries the same instrumented driver, so an edge is known by its function and the source
position libFuzzer names for it: an edge is covered by the union when some harness covers it.
"""
import collections
import re
import sys

FUNC = re.compile(r"^(COVERED|UNCOVERED)_FUNC: hits: \d+ edges: (\d+)/(\d+) (.*)$")
PC = re.compile(r"^\s+UNCOVERED_PC: (.*)$")


def read(path):
    """function -> (total edges, Counter of uncovered edge positions or None when none ran)."""
    functions, current = {}, None
    with open(path, errors="replace") as f:
        for line in f:
            match = FUNC.match(line)
            if match:
                kind, _, total, name = match.groups()
                current = name if "/driver/" in name else None
                if current:
                    functions[current] = (int(total), collections.Counter() if kind == "COVERED" else None)
                continue
            match = PC.match(line)
            if match and current and functions[current][1] is not None:
                functions[current][1][match.group(1)] += 1
    return functions


def main():
    runs = [read(path) for path in sys.argv[1:]]
    names = set().union(*runs) if runs else set()
    covered = total = 0
    unreached = []
    for name in sorted(names):
        edges = max(run[name][0] for run in runs if name in run)
        missing = None
        for run in runs:
            if name in run and run[name][1] is not None:
                missing = run[name][1] if missing is None else missing & run[name][1]
        total += edges
        if missing is None:
            unreached.append(name)
            continue
        covered += edges - min(edges, sum(missing.values()))
    share = 100.0 * covered / total if total else 0.0
    print(f"union of the corpora: driver code {covered} of {total} edges ({share:.0f}%)")
    if unreached:
        print(f"driver functions no harness reaches ({len(unreached)}):")
        for name in unreached:
            print("  " + name)


if __name__ == "__main__":
    main()
