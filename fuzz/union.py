#!/usr/bin/env python3
"""The driver's edges that the corpora of the given harnesses cover together.

    fuzz/union.py [--binary FUZZER] [--name NAME] COVERAGE_FILE...

Each file is a harness's -print_coverage=1 output over its corpus (fuzz/run.sh writes them). Every
harness carries the same instrumented driver, so an edge is known by its function and the source
position libFuzzer names for it: an edge is covered by the union when some harness covers it.

The denominator is the driver's edges that an input can reach. With --binary (any of the fuzzers:
they carry the same driver objects) it leaves out the edges of the undefined-behaviour checks' failure
blocks: the compiler adds one block per check that calls the sanitizer's handler, which stops the run,
so no input that the corpus keeps can cover it (an input that does is a finding). They are found in
the binary's code: a coverage counter whose block calls a __ubsan_handle_ routine before it ends.
It also leaves out the functions that nothing in the binary calls, jumps to or holds the address of
(no instruction names them, and no pointer in its data does, the coverage tables aside): the copies
the compiler keeps of functions it inlined wherever they are used, which no input can run. Their
code counts where it was inlined.
"""
import argparse
import collections
import json
import os
import re
import subprocess
import sys

FUNC = re.compile(r"^(COVERED|UNCOVERED)_FUNC: hits: \d+ edges: (\d+)/(\d+) (.*?)(?: (/\S+:\d+))?$")
PC = re.compile(r"^\s+UNCOVERED_PC: (.*)$")
# objdump -d -C: a function's first line, and the instructions that matter here.
SYMBOL = re.compile(r"^[0-9a-f]+ <(.*)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\t(.*)$")
COUNTER = re.compile(r"^addb\s+\$0x1,0x[0-9a-f]+\(%rip\)")
JUMP = re.compile(r"^jmp\s+([0-9a-f]+) <")
BLOCK_END = re.compile(r"^(j[a-z]+|ret[a-z]*|ud2)\b")
HANDLER = re.compile(r"^call\s+[0-9a-f]+ <__ubsan_handle_")
# An address an instruction names, with the symbol objdump gives for it: "call 2716c0 <F(int)>",
# "lea 0x10(%rip),%rax  # 2716c0 <F(int)>".
TARGET = re.compile(r"([0-9a-f]+) <([^>]*)>")


def read(path):
    """function -> (total edges, Counter of uncovered edge positions or None when none ran)."""
    functions, current = {}, None
    with open(path, errors="replace") as f:
        for line in f:
            match = FUNC.match(line)
            if match:
                kind, _, total, name, where = match.groups()
                current = name if where and "/driver/" in where else None
                if current:
                    functions[current] = (int(total), collections.Counter() if kind == "COVERED" else None)
                continue
            match = PC.match(line)
            if match and current and functions[current][1] is not None:
                functions[current][1][match.group(1)] += 1
    return functions


def data_pointers(binary):
    """The addresses the binary's data points at (its relative relocations), but for the coverage
    tables, which name every function."""
    sections = subprocess.run(["readelf", "-SW", binary], check=True, capture_output=True, text=True).stdout
    tables = []
    for match in re.finditer(r"\] (__sancov_\w+)\s+\S+\s+([0-9a-f]+) [0-9a-f]+ ([0-9a-f]+)", sections):
        start = int(match.group(2), 16)
        tables.append((start, start + int(match.group(3), 16)))
    relocations = subprocess.run(["readelf", "-rW", binary], check=True, capture_output=True, text=True).stdout
    pointers = set()
    for match in re.finditer(r"^([0-9a-f]+)\s+[0-9a-f]+\s+R_X86_64_RELATIVE\s+([0-9a-f]+)$", relocations, re.M):
        at = int(match.group(1), 16)
        if not any(start <= at < end for start, end in tables):
            pointers.add(int(match.group(2), 16))
    return pointers


def check_blocks(binary):
    """function -> number of its counted blocks that only call an undefined-behaviour handler, and
    the functions nothing in the binary refers to (kept beside the binary until it changes: reading
    its code takes seconds)."""
    cache = binary + ".checks.json"
    stamp = [os.stat(binary).st_mtime_ns, os.stat(binary).st_size]
    try:
        with open(cache) as f:
            saved = json.load(f)
        if saved["stamp"] == stamp:
            return collections.Counter(saved["blocks"]), set(saved["unreferenced"])
    except (OSError, ValueError, KeyError):
        pass
    listing = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", binary], check=True,
                             capture_output=True, text=True).stdout
    # Each function's instructions by address, in order; where each function starts; every address
    # an instruction names outside its own function.
    functions = collections.defaultdict(list)
    starts = {}
    named = set()
    function = None
    for line in listing.splitlines():
        match = SYMBOL.match(line)
        if match:
            function = match.group(1)
            starts.setdefault(function, int(line.split()[0], 16))
            continue
        match = INSTRUCTION.match(line)
        if match and function:
            text = match.group(2).strip()
            functions[function].append((int(match.group(1), 16), text))
            for target in TARGET.finditer(text):
                if not target.group(2).startswith(function):
                    named.add(int(target.group(1), 16))
    referenced = named | data_pointers(binary)
    unreferenced = {name for name, start in starts.items() if start not in referenced}

    def calls_handler(code, at, where):
        # From a counter to the block's end, following unconditional jumps inside the function (the
        # compiler lets blocks share one handler call): does it reach a handler call first?
        for _ in range(8):
            for i in range(at + 1, len(code)):
                text = code[i][1]
                if COUNTER.match(text):
                    return False
                if HANDLER.match(text):
                    return True
                jump = JUMP.match(text)
                if jump:
                    target = where.get(int(jump.group(1), 16))
                    if target is None:
                        return False
                    at = target - 1
                    break
                if BLOCK_END.match(text):
                    return False
            else:
                return False
        return False

    blocks = collections.Counter()
    for function, code in functions.items():
        where = {address: i for i, (address, _) in enumerate(code)}
        for i, (_, text) in enumerate(code):
            if COUNTER.match(text) and calls_handler(code, i, where):
                blocks[function] += 1
    with open(cache, "w") as f:
        json.dump({"stamp": stamp, "blocks": blocks, "unreferenced": sorted(unreferenced)}, f)
    return blocks, unreferenced


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", help="a fuzzer, to leave the sanitizer's check blocks out")
    parser.add_argument("--name", default="union of the corpora", help="what the figure is of (empty: nothing before it)")
    parser.add_argument("--unreached", action="store_true", help="list the functions no input reaches")
    parser.add_argument("coverage", nargs="+")
    args = parser.parse_args()
    runs = [read(path) for path in args.coverage]
    checks, uncalled = check_blocks(args.binary) if args.binary else (collections.Counter(), set())
    names = set().union(*runs)
    covered = total = excluded = 0
    unreached = []
    uncalledEdges = 0
    for name in sorted(names):
        edges = max(run[name][0] for run in runs if name in run)
        if name in uncalled:
            uncalledEdges += edges
            continue
        unreachable = min(checks[name], edges)
        excluded += unreachable
        missing = None
        for run in runs:
            if name in run and run[name][1] is not None:
                missing = run[name][1] if missing is None else missing & run[name][1]
        total += edges - unreachable
        if missing is None:
            unreached.append(name)
            continue
        covered += edges - min(edges, sum(missing.values()))
    share = 100.0 * covered / total if total else 0.0
    line = (f"{args.name}: " if args.name else "") + f"driver code {covered} of {total} edges ({share:.1f}%)"
    if args.binary:
        line += f"; {excluded} edges of undefined-behaviour check failures not counted"
        if uncalledEdges:
            line += f", nor {uncalledEdges} of functions nothing in the fuzzer calls (inlined where used)"
    print(line)
    if args.unreached and unreached:
        print(f"driver functions no input reaches ({len(unreached)}):")
        for name in unreached:
            print("  " + name)


if __name__ == "__main__":
    sys.exit(main())
