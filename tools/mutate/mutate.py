#!/usr/bin/env python3
"""Mutation testing of the driver: how many small faults in driver/ the normal build's tests catch.

    tools/mutate/mutate.py [--seed N] [--sample N] [--build DIR] [--list] [--only FILE:LINE...] [--fresh]
    tools/mutate/mutate.py --all [--files FILE...] [--build DIR] [--list] [--only FILE:LINE...] [--fresh]

Each mutant changes one operator or constant of one line of driver/ (a comparison turned around or
moved by one, a logical or bit operator swapped, a shift turned around, + and - swapped, a number
made one larger or smaller). The script keeps a copy of the sources in DIR/src and a build of it in
DIR/build (g++, optimized, no link-time optimization, so that a mutant rebuilds one object and
relinks). For each mutant it rebuilds the driver's library and the test programs, then runs the
tests in one process with fail-fast: first the tests that caught earlier mutants of the same file
and those named for its part of the driver, then all others. A mutant that no test fails survives.
A mutant that does not compile is not counted. The sample is drawn from every mutant with the seed,
so a seed and a sample size name the same mutants whatever the speed of the machine.

Each result is appended to DIR/results.jsonl as soon as it is known, so that a run that was stopped
continues where it stopped. A result is taken again only for the same mutant of the same sources
outside tests/ (driver/, sim/, pe/ and the build files): a mutant that was caught counts as caught
while the test that caught it is still in the suite (tests are added, not removed), one that did not
compile counts as such, and a survivor (or a mutant caught by a crash or a timeout) only when tests/
is unchanged too (a new test may catch it).
--fresh ignores the earlier results.

--all (`make mutate-all`) runs every operator mutant of driver/ rather than a sample: each comparison,
boundary, logical, bit, shift, + and - operator changed, `true` and `false` swapped, and each number
of a statement in a .cpp file made one larger or smaller; the numbers of constant definitions, of
headers and of data rows (register offsets and bits, mode tables) are data and stay with the sample.
A mutant that survives the normal build's tests is built and run again on the sanitizer build
(DIR/build-sanitize, the sanitizers of `make asan`), where a read or write one past the end of an
array or a block stops the test. Its result is kept for the text of the mutated file, the tests and
the rest of what the tests are built from apart from driver/ (sim/, pe/, tools/zarnsim,
driver/platform, the build files): a change to one driver file redoes only that file's mutants (after a change to a header that
other files include, run with --fresh). A line per mutant shows the mutants left and the time they
should take at the pace so far; the end shows the total, the stillborn (do not compile), those killed
on the normal build, those killed only on the sanitizer build, the equivalent and the surviving.
--files limits the run to some driver files.

tools/mutate/equivalent.txt lists mutants that no behaviour can tell from the driver, each with the
reason ("FILE:LINE:COLUMN: 'old' -> 'new' -- why"). They still run: a listed mutant that survives is
not counted in the score (it is shown with its reason, and the score with it counted is shown too);
one that is caught is counted as caught and named as wrongly listed.
Left out: driver/platform (the platform's definitions, shared with the simulator) and rows of data
tables (five or more numbers on a line, no operator).
"""
import argparse
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# Binary operators are written with a space on each side in driver/, which tells them apart from
# templates (static_cast<T>), references (T& x), pointers and unary operators.
OPERATORS = {
    " < ": [" <= ", " > "], " <= ": [" < ", " >= "], " > ": [" >= ", " < "], " >= ": [" > ", " <= "],
    " == ": [" != "], " != ": [" == "],
    " && ": [" || "], " || ": [" && "],
    " & ": [" | ", " ^ "], " | ": [" & ", " ^ "], " ^ ": [" & ", " | "],
    " << ": [" >> "], " >> ": [" << "],
    " + ": [" - "], " - ": [" + "],
    " &= ": [" |= "], " |= ": [" &= "], " += ": [" -= "], " -= ": [" += "],
}
# Rows of data tables (a mode's timing bytes, a clock table): five or more numbers to a line and no operator. They are data,
# checked by the golden traces and scanout tables, not the driver's logic, and would be most of any
# sample; they are left out.
DataRowNumbers = 5
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")
OPERATOR = re.compile("|".join(re.escape(op) for op in sorted(OPERATORS, key=len, reverse=True)))

# The tests named for each part of the driver (gtest filter patterns), run first.
AREAS = {
    "settings": "*Setting*:*Relay*:*Regist*:*Gamma*:Names/*:Lengths/*:Buffers/*",
    "mapping": "*Mapping*:*Map*:*Memory*:*Shared*:*ThreeD*:Ranges/*:Cases/*:Handles/*:Scenarios/*",
    "modes": "*Mode*:*Timing*:*Bios*:*Screen*:*Scanout*:*Vga*:*Clock*:Straps/*:Limits/*",
    "monitor": "*Monitor*:*Power*:*Edid*:*DisplayData*:Transactions/*:SharedEdids/*",
    "colour": "*Palette*:*Gamma*:*Dac*:*Colour*:Ramps/*:Shapes/*",
    "dispatch": "*Dispatch*:*Request*:*Unserved*:*Reset*",
    "adapter": "*Discovery*:*BringUp*:*Rom*:*Adapter*:*Boards*:*Memory*:*Pci*:*Straps*:*Clock*:*Primary*:*Secondary*",
    "hw": "*Trace*:*Register*:*BringUp*",
}


def log(text):
    print(text, flush=True)


def strip_comment(line):
    """The code part of a line: no // comment, string or character literal mutates."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            out.append(" ")
            if c == "\\":
                out.append(" ")
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(" ")
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def code_lines(text):
    """The number and code part of each line that may mutate: no comment, preprocessor line,
    static_assert or data row."""
    in_block_comment = False
    for number, line in enumerate(text.split("\n"), 1):
        stripped = line.strip()
        if in_block_comment:
            if "*/" in stripped:
                in_block_comment = False
            continue
        if stripped.startswith("/*"):
            in_block_comment = "*/" not in stripped
            continue
        if stripped.startswith("#") or stripped.startswith("static_assert") or not stripped:
            continue
        code = strip_comment(line)
        if len(NUMBER.findall(code)) >= DataRowNumbers and not OPERATOR.search(code):
            continue
        yield number, code


def mutants_of(path, text):
    result = []
    for number, code in code_lines(text):
        for match in OPERATOR.finditer(code):
            for replacement in OPERATORS[match.group()]:
                result.append((path, number, match.start(), match.group(), replacement))
        for match in NUMBER.finditer(code):
            digits, suffix = match.groups()
            value = int(digits, 0)
            hexadecimal = digits.lower().startswith("0x")
            for changed in {value + 1, value - 1} - {-1}:
                shown = (hex(changed) if hexadecimal else str(changed)) + suffix
                result.append((path, number, match.start(), match.group(), shown))
    return result


BOOLEAN = re.compile(r"\b(true|false)\b")
# A line that defines a named constant (a register offset or bit, a limit): data, like the rows of tables.
CONSTANT_DEFINITION = re.compile(r"^\s*(?:static\s+)?(?:inline\s+)?(?:constexpr|const)\b")


def operator_mutants(path, text):
    """The mutants --all runs: every operator mutant, `true` and `false` swapped, and each number of a
    statement of a .cpp file made one larger or smaller (`+ 1` to `+ 2`, `< 8` to `< 9`); the
    definitions of named constants and the headers' numbers are data and stay with the sample."""
    lines = text.split("\n")
    result = []
    for mutant in mutants_of(path, text):
        _, number, _, old, _ = mutant
        if old in OPERATORS or (path.endswith(".cpp") and not CONSTANT_DEFINITION.match(lines[number - 1])):
            result.append(mutant)
    for number, code in code_lines(text):
        for match in BOOLEAN.finditer(code):
            result.append((path, number, match.start(), match.group(), "false" if match.group() == "true" else "true"))
    return sorted(result, key=lambda m: (m[1], m[2], m[4]))


def driver_files(src):
    """The driver's sources that mutate, relative to src (driver/platform holds the platform's own
    definitions, shared with the simulator)."""
    result = []
    for directory, _, names in sorted(os.walk(os.path.join(src, "driver"))):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")) and not directory.endswith("platform"):
                result.append(os.path.relpath(os.path.join(directory, name), src))
    return result


def all_mutants(src):
    result = []
    for directory, _, names in sorted(os.walk(os.path.join(src, "driver"))):
        for name in sorted(names):
            # driver/platform holds the platform's own definitions, shared with the simulator.
            if name.endswith((".cpp", ".h")) and not directory.endswith("platform"):
                path = os.path.join(directory, name)
                with open(path) as f:
                    result += mutants_of(os.path.relpath(path, src), f.read())
    return result


def sync_sources(src):
    """Copies the tracked files that changed to the mutation tree (files that did not change keep their times)."""
    files = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, stdout=subprocess.PIPE,
                           text=True).stdout.split("\n")
    for name in filter(None, files):
        origin, copy = os.path.join(ROOT, name), os.path.join(src, name)
        if not os.path.isfile(origin):
            continue
        with open(origin, "rb") as f:
            data = f.read()
        if os.path.exists(copy):
            with open(copy, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        shutil.copy(origin, copy)   # a fresh time, so that the build sees the change


def digest_files(names, read, keep):
    """A hash over the names that `keep` takes, each with its bytes, and a hash of each such file."""
    digest, files = hashlib.sha1(), {}
    for name in names:
        if not keep(name):
            continue
        data = read(name)
        if data is None:
            continue
        digest.update(name.encode() + b"\0")
        digest.update(data)
        files[name] = hashlib.sha1(data).hexdigest()
    return digest.hexdigest(), files


def test_set(names, read):
    """The fingerprint of tests/ and a hash of each of its files, from the sorted tracked names and a
    reader of a file's bytes (None: not there)."""
    return digest_files(names, read, lambda name: name.split("/")[0] == "tests")


def read_file(root):
    def read(name):
        path = os.path.join(root, name)
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()
    return read


def harness_fingerprint(src):
    """--all: a hash of what every mutant is built and tested with apart from the driver's sources and
    tests/: the simulator, the image runner, zarnsim, driver/platform and the build files. A mutant's result
    is kept for this hash and the text of its mutated file, so that a change to one driver file redoes
    only that file's mutants (--fresh redoes all, after a change to a header most files include)."""
    names = sorted(filter(None, subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, stdout=subprocess.PIPE,
                                               text=True).stdout.split("\n")))

    def is_harness(name):
        top = name.split("/")[0]
        return (top in ("sim", "pe", "cmake") or name.startswith(("driver/platform/", "tools/zarnsim/"))
                or name.endswith("CMakeLists.txt"))

    return digest_files(names, read_file(src), is_harness)[0]


def fingerprints(src):
    """Hashes of the copied sources: everything the mutants and the tests build from apart from
    tests/, tests/, and each file of tests/."""
    names = sorted(filter(None, subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, stdout=subprocess.PIPE,
                                               text=True).stdout.split("\n")))
    read = read_file(src)

    def is_code(name):
        top = name.split("/")[0]
        return top != "tests" and (top in ("driver", "sim", "pe") or name.endswith("CMakeLists.txt"))

    code, _ = digest_files(names, read, is_code)
    tests, files = test_set(names, read)
    return code, tests, files


def tests_at(revision):
    """The test set of a commit, as test_set gives it for a tree of that commit."""
    names = sorted(subprocess.run(["git", "ls-tree", "-r", "--name-only", revision], cwd=ROOT, check=True,
                                  stdout=subprocess.PIPE, text=True).stdout.split())

    def read(name):
        result = subprocess.run(["git", "show", f"{revision}:{name}"], cwd=ROOT, stdout=subprocess.PIPE)
        return result.stdout if result.returncode == 0 else None
    return test_set(names, read)


TEST_SUITE = re.compile(r"^\s*(?:TEST|TEST_P|TEST_F|TYPED_TEST)\(\s*(\w+)\s*,", re.MULTILINE)


def changed_tests_filter(src, before, now):
    """A filter of the tests in the test files that differ between two test sets, or None when a
    changed file defines no tests (a shared helper: every test may depend on it)."""
    suites = set()
    for name, digest in now.items():
        if before.get(name) == digest:
            continue
        with open(os.path.join(src, name), errors="replace") as f:
            found = TEST_SUITE.findall(f.read())
        if not found or not name.endswith(".cpp"):
            return None
        suites.update(found)
    return ":".join(f"*{suite}.*" for suite in sorted(suites)) if suites else None


def load_equivalents(path):
    """The mutants listed as equivalent, by the name the run prints, with their reasons."""
    listed = {}
    if os.path.exists(path):
        with open(path) as f:
            for text in f:
                text = text.strip()
                if text and not text.startswith("#"):
                    name, _, reason = text.partition(" -- ")
                    listed[name.strip()] = reason.strip()
    return listed


def mutant_key(mutant):
    path, line, column, old, new = mutant
    return f"{path}:{line}:{column + 1}:{old}:{new}"


def load_results(path):
    results = {}
    if os.path.exists(path):
        with open(path) as f:
            for text in f:
                try:
                    record = json.loads(text)
                except ValueError:
                    continue   # a line cut short by an interruption
                results[record["key"]] = record
                results[record["key"] + "@" + record["code"]] = record
    return results


def test_names(binary):
    """The full names of the tests in the binary."""
    result = subprocess.run([binary, "--gtest_list_tests"], cwd=os.path.dirname(binary), stdout=subprocess.PIPE,
                            text=True, errors="replace")
    names, suite = set(), ""
    for text in result.stdout.split("\n"):
        if not text.strip():
            continue
        if text.startswith("  "):
            names.add(suite + text.split()[0])
        else:
            suite = text.split()[0]
    return names


def reusable(record, code, tests, names):
    """The outcome of an earlier run of this mutant that still holds for the current sources, or None."""
    if record is None or record["code"] != code:
        return None
    if record["outcome"] == "broken" or record["tests"] == tests:
        return record
    # A crash or a timeout names no test: that result holds only for the same tests.
    if record["outcome"] in ("caught", "caught-sanitizer") and record["by"] in names:
        return record
    return None


def build(build_dir, quiet=True):
    result = subprocess.run(["nice", "-n", "10", "cmake", "--build", build_dir, "-j", os.environ.get("JOBS", "2"),
                             "--target", "zarn_tests"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0 and not quiet:
        log(result.stdout[-3000:])
    return result.returncode == 0


def run_tests(binary, gtest_filter, timeout):
    """True when every selected test passes (the mutant survives this group). The tests run as JOBS
    shards at once (GoogleTest's sharding), each with fail-fast; the first shard that fails stops
    the others."""
    shards = max(1, int(os.environ.get("JOBS", "2")))
    outputs, processes = [], []
    for index in range(shards):
        output = tempfile.TemporaryFile(mode="w+", errors="replace")
        env = dict(os.environ, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(index))
        processes.append(subprocess.Popen([binary, "--gtest_fail_fast", "--gtest_brief=1",
                                           "--gtest_filter=" + gtest_filter], cwd=os.path.dirname(binary),
                                          stdout=output, stderr=subprocess.STDOUT, env=env))
        outputs.append(output)
    deadline = None if timeout is None else time.time() + timeout
    failed = None
    try:
        while failed is None and any(process.poll() is None for process in processes):
            failed = next((i for i, process in enumerate(processes) if process.poll() not in (None, 0)), None)
            if failed is None and deadline is not None and time.time() > deadline:
                return False, "timeout"
            time.sleep(0.02)
        if failed is None:
            failed = next((i for i, process in enumerate(processes) if process.returncode != 0), None)
        if failed is None:
            return True, ""
        outputs[failed].seek(0)
        names = re.findall(r"\[  FAILED  \] (\S+)", outputs[failed].read())
        return False, names[0].rstrip(",") if names else "exit %d" % processes[failed].returncode
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        for output in outputs:
            output.close()


def configure(src, build_dir, sanitize=False):
    # Faster, not weaker: a restored file is a cache hit, the fast linker relinks the tests, and the
    # test list is read when ctest runs rather than after every link.
    env = dict(os.environ, CXX=os.environ.get("CXX", "g++"))
    # GCC 12 at -O1 warns of an uninitialized member deep in libstdc++'s <regex>, which some tests
    # use (a false alarm the project's -O2 and -O0 builds do not raise); -Werror would stop the build.
    options = ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -Wno-maybe-uninitialized",
               "-DZARN_LTO=OFF",
               "-DZARN_BENCH=OFF", "-DZARN_WIN_BUILD=" + os.path.join(ROOT, "build", "win"),
               "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"]
    if sanitize:
        # The sanitizer build of `make asan` (AddressSanitizer: a read or write one past the end of an
        # array or a block stops the test; UndefinedBehaviorSanitizer: an index past a fixed array's
        # end, an overflow, a shift too far), optimized like the normal mutation build.
        options += ["-DZARN_SANITIZE=ON"]
    if shutil.which("ccache"):
        options += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    if shutil.which("ld.lld"):
        options += ["-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld"]
    subprocess.run(["cmake", "-S", src, "-B", build_dir, "-G", "Ninja"] + options,
                   env=env, check=True, stdout=subprocess.DEVNULL)


def baseline_timeout(binary, what):
    """Runs every test of the unchanged sources; the timeout for a mutant's run, or None when one fails."""
    started = time.time()
    passed, failure = run_tests(binary, "*", None)
    baseline = time.time() - started
    if not passed:
        log(f"the unchanged sources fail {failure} on the {what}; fix that first")
        return None
    log(f"the unchanged sources pass every test of the {what} in {baseline:.0f} s")
    return max(60, 3 * baseline)


def minutes(seconds):
    return f"{seconds / 60:.0f} min" if seconds >= 600 else f"{seconds:.0f} s"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sample", type=int, default=200)
    parser.add_argument("--all", action="store_true",
                        help="every operator mutant of the driver (see operator_mutants), each survivor again on the "
                             "sanitizer build; results kept per mutated file text (make mutate-all)")
    parser.add_argument("--files", nargs="+", metavar="FILE",
                        help="with --all: only the mutants of these driver files (e.g. driver/colour/dac.cpp)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-mutate"))
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--only", nargs="+", metavar="FILE:LINE",
                        help="only the mutants of these lines (e.g. driver/modes/mode_set.cpp:40)")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the run of the unchanged sources (each mutant's tests then stop after 10 minutes)")
    parser.add_argument("--fresh", action="store_true", help="run every mutant again, ignoring earlier results")
    parser.add_argument("--tests-at", metavar="COMMIT",
                        help="record the test set of COMMIT (the one an earlier run used) so that its survivors "
                             "are run against the tests changed since")
    args = parser.parse_args()
    begun = time.time()
    if args.files and not args.all:
        parser.error("--files goes with --all")

    src, build_dir = os.path.join(args.build, "src"), os.path.join(args.build, "build")
    sanitizer_dir = os.path.join(args.build, "build-sanitize")
    os.makedirs(src, exist_ok=True)
    sync_sources(src)
    if args.all:
        files = driver_files(src)
        if args.files:
            unknown = [name for name in args.files if name not in files]
            if unknown:
                parser.error("not a driver file that mutates: " + ", ".join(unknown))
            files = [name for name in files if name in args.files]
        sample = []
        for name in files:
            with open(os.path.join(src, name)) as f:
                sample += operator_mutants(name, f.read())
        if args.only:
            sample = [m for m in sample if f"{m[0]}:{m[1]}" in args.only]
        log(f"{len(sample)} operator mutants of {len(files)} driver file{'' if len(files) == 1 else 's'}")
    else:
        mutants = all_mutants(src)
        if args.only:
            sample = [m for m in mutants if f"{m[0]}:{m[1]}" in args.only]
        else:
            sample = random.Random(args.seed).sample(mutants, min(args.sample, len(mutants)))
        log(f"{len(mutants)} mutants of driver/; sample of {len(sample)} with seed {args.seed}")
    if args.list:
        for path, line, column, old, new in sample:
            log(f"  {path}:{line}:{column + 1}: '{old.strip()}' -> '{new.strip()}'")
        return 0

    configure(src, build_dir)
    log("building the unchanged sources ...")
    if not build(build_dir, quiet=False):
        return 2
    binary = os.path.join(build_dir, "tests", "zarn_tests")

    results_path = os.path.join(args.build, "results.jsonl")
    earlier = {} if args.fresh else load_results(results_path)
    code, tests, test_files = fingerprints(src)
    harness = harness_fingerprint(src) if args.all else None
    names = test_names(binary) if earlier else set()
    # The files of every test set a result was recorded with: a survivor of an earlier run, which
    # passed all of that run's tests, is run against the tests of the files that changed since.
    sets_path = os.path.join(args.build, "testsets.json")
    test_sets = {}
    if os.path.exists(sets_path):
        with open(sets_path) as f:
            test_sets = json.load(f)
    test_sets[tests] = test_files
    if args.tests_at:
        at, files = tests_at(args.tests_at)
        test_sets[at] = files
    with open(sets_path, "w") as f:
        json.dump(test_sets, f)

    originals = {}

    def original_text(path):
        if path not in originals:
            with open(os.path.join(src, path)) as f:
                originals[path] = f.read()
        return originals[path]

    def mutated_text(mutant):
        path, line, column, old, new = mutant
        lines = original_text(path).split("\n")
        text = lines[line - 1]
        lines[line - 1] = text[:column] + new + text[column + len(old):]
        return "\n".join(lines)

    def state_of(mutant):
        """The source state a result holds for: with --all the mutated file's text and the harness,
        otherwise every source outside tests/."""
        if not args.all:
            return code
        return hashlib.sha1((harness + "\0" + mutated_text(mutant)).encode()).hexdigest()

    def earlier_result(mutant):
        if args.all:
            return earlier.get(mutant_key(mutant) + "@" + state_of(mutant))
        return earlier.get(mutant_key(mutant))

    equivalents = load_equivalents(os.path.join(ROOT, "tools", "mutate", "equivalent.txt"))
    killers = {}
    caught, caught_sanitizer, survivors, broken, reused = 0, 0, [], 0, 0
    wrongly_listed = []
    started = time.time()
    results = open(results_path, "a")
    pending = sum(1 for m in sample if not reusable(earlier_result(m), state_of(m), tests, names))
    run, run_seconds = 0, 0.0
    log(f"{len(sample) - pending} results hold from earlier runs, {pending} mutants to run")
    timeout = 600
    if pending and not args.no_baseline:
        timeout = baseline_timeout(binary, "normal build")
        if timeout is None:
            return 2
    # The sanitizer build, for the mutants that survive the normal build's tests.
    binary_s, timeout_s = None, 600
    if args.all and pending:
        log("building the sanitizer build of the unchanged sources ...")
        configure(src, sanitizer_dir, sanitize=True)
        if not build(sanitizer_dir, quiet=False):
            return 2
        binary_s = os.path.join(sanitizer_dir, "tests", "zarn_tests")
        if not args.no_baseline:
            timeout_s = baseline_timeout(binary_s, "sanitizer build")
            if timeout_s is None:
                return 2

    def record(mutant, outcome, by=""):
        results.write(json.dumps({"key": mutant_key(mutant), "code": state_of(mutant), "tests": tests,
                                  "outcome": outcome, "by": by}) + "\n")
        results.flush()

    def run_groups(binary_r, groups, timeout_r):
        for group in groups:
            ok, failure = run_tests(binary_r, group, timeout_r)
            if not ok:
                return failure
        return None

    done = 0
    try:
        for n, mutant in enumerate(sample, 1):
            done = n - 1
            path, line, column, old, new = mutant
            name = f"{path}:{line}:{column + 1}: '{old.strip()}' -> '{new.strip()}'"
            before = earlier_result(mutant)
            known = reusable(before, state_of(mutant), tests, names)
            if known:
                reused += 1
                if known["outcome"] in ("caught", "caught-sanitizer"):
                    if known["outcome"] == "caught":
                        caught += 1
                    else:
                        caught_sanitizer += 1
                    if known["by"] in names:
                        killers.setdefault(path, {})[known["by"]] = None
                    if name in equivalents:
                        wrongly_listed.append(name)
                    where = "" if known["outcome"] == "caught" else " on the sanitizer build"
                    log(f"[{n}/{len(sample)}] caught by {known['by']}{where} (earlier run): {name}")
                elif known["outcome"] == "broken":
                    broken += 1
                    log(f"[{n}/{len(sample)}] does not compile (earlier run): {name}")
                else:
                    survivors.append(name)
                    log(f"[{n}/{len(sample)}] survived (earlier run): {name}")
                continue
            full = os.path.join(src, path)
            original = original_text(path)
            mutant_started = time.time()
            with open(full, "w") as f:
                f.write(mutated_text(mutant))
            try:
                if not build(build_dir):
                    broken += 1
                    record(mutant, "broken")
                    outcome = "does not compile"
                else:
                    area = path.split("/")[1]
                    first = ":".join(list(killers.get(path, [])) + [AREAS.get(area, "")]).strip(":")
                    groups = [first, "*" + ("-" + first if first else "")] if first else ["*"]
                    note = ""
                    if before and before["code"] == state_of(mutant) and before["outcome"] == "survived" \
                            and before["tests"] in test_sets:
                        changed = changed_tests_filter(src, test_sets[before["tests"]], test_files)
                        if changed:
                            groups, note = [changed], " (survived every earlier test; run against the changed test files)"
                    failure = run_groups(binary, groups, timeout)
                    kind = "caught"
                    if failure is None and binary_s:
                        if not build(sanitizer_dir):
                            failure, kind = "no build", "sanitizer build failed"
                        else:
                            failure, kind = run_groups(binary_s, groups, timeout_s), "caught-sanitizer"
                    if failure is None or kind == "sanitizer build failed":
                        survivors.append(name)
                        record(mutant, "survived")
                        outcome = "survived" + ("" if kind != "sanitizer build failed" else
                                                " (the sanitizer build of the mutant does not build)")
                    else:
                        if kind == "caught":
                            caught += 1
                        else:
                            caught_sanitizer += 1
                        if failure not in ("timeout",) and not failure.startswith("exit"):
                            killers.setdefault(path, {})[failure] = None
                        record(mutant, kind, failure)
                        if name in equivalents:
                            wrongly_listed.append(name)
                        outcome = f"caught by {failure}" + ("" if kind == "caught" else " on the sanitizer build")
                    outcome += note
            finally:
                with open(full, "w") as f:
                    f.write(original)
            run += 1
            run_seconds += time.time() - mutant_started
            left = (pending - run) * run_seconds / run
            log(f"[{n}/{len(sample)}] {outcome}: {name}  ({run} of {pending} to run done, "
                f"about {minutes(left)} left)")
        done = len(sample)
    except KeyboardInterrupt:
        log("\ninterrupted: the figures below cover the mutants before it")
    finally:
        results.close()
        build(build_dir)
        if binary_s:
            build(sanitizer_dir)
    equivalent = [name for name in survivors if name in equivalents]
    survivors = [name for name in survivors if name not in equivalents]
    killed = caught + caught_sanitizer
    counted = killed + len(survivors)
    score = 100.0 * killed / counted if counted else 0.0
    everything = counted + len(equivalent)
    raw = 100.0 * killed / everything if everything else 0.0
    elapsed = time.time() - started
    partial = "" if done == len(sample) else f" (only the first {done} run)"
    if args.all:
        log(f"\n{len(sample)} mutants{partial}: {broken} stillborn (do not compile), {caught} killed on the normal "
            f"build, {caught_sanitizer} killed only on the sanitizer build, {len(equivalent)} equivalent "
            f"(listed in equivalent.txt), {len(survivors)} surviving; score {killed} of {counted} "
            f"({score:.1f}%) of the mutants that are not equivalent; {reused} results from earlier runs; "
            f"{minutes(time.time() - begun)} with the builds and the runs of the unchanged sources")
    else:
        log(f"\nmutation score: {caught} of {counted} mutants caught ({score:.1f}%); "
            f"{len(equivalent)} equivalent survivors not counted ({caught} of {everything}, {raw:.1f}%, with them); "
            f"{broken} did not compile; seed {args.seed}, sample {len(sample)}{partial}; "
            f"{reused} results from earlier runs; {elapsed:.0f} s")
    for name in survivors:
        log(f"  survived: {name}")
    for name in equivalent:
        log(f"  equivalent: {name} -- {equivalents[name]}")
    for name in wrongly_listed:
        log(f"  caught, although listed as equivalent: {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
