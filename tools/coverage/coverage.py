#!/usr/bin/env python3
"""The driver's line and branch coverage from the whole test suite (clang source-based coverage).

    tools/coverage/coverage.py BUILD_DIR [--no-run]

BUILD_DIR is a clang build configured with -DZARN_COVERAGE=ON (only the driver's code is
instrumented). The script runs every test program of that build, each in one process (every process,
the zarnsim runs the tests start included, writes a profile of its own), merges the profiles and
prints a table per file of driver/, then every line and every branch outcome the tests never ran.
With --no-run it reports on the profiles of the last run.
"""
import argparse
import glob
import json
import os
import shutil
import subprocess
import sys


def tool(name):
    for candidate in (name, name + "-14"):
        if shutil.which(candidate):
            return candidate
    sys.exit(f"coverage: {name} not found (Debian package llvm)")


def programs(build):
    """Every program of the build that holds the driver's code and the tests run."""
    names = ["tests/zarn_tests", "tests/builds/builds_compare", "win/checks/win_checks", "zarnsim"]
    found = [os.path.join(build, n) for n in names if os.path.exists(os.path.join(build, n))]
    if not found:
        sys.exit(f"coverage: no test programs in {build}; build it first")
    return found


# The test programs, each run once in one process from the directory ctest runs it in (a process
# per test, as ctest starts them, costs ten times as long for the same counts). The checked build's
# comparison is left out: its driver is another build of the code, not the one measured.
TEST_PROGRAMS = ["tests/zarn_tests", "tests/builds/builds_compare", "win/checks/win_checks"]


def run_tests(build, profiles):
    shutil.rmtree(profiles, ignore_errors=True)
    os.makedirs(profiles)
    failed = False
    for name in TEST_PROGRAMS:
        program = os.path.abspath(os.path.join(build, name))
        if not os.path.exists(program):
            continue
        env = dict(os.environ)
        # One profile per process (%p), the zarnsim runs a test starts included. Not %m: every
        # program holds the same driver code, so they would share one signature and merge their
        # different layouts into one file, which loses counts.
        env["LLVM_PROFILE_FILE"] = os.path.join(os.path.abspath(profiles), os.path.basename(name) + "-%p.profraw")
        result = subprocess.run([program, "--gtest_brief=1"], cwd=os.path.dirname(program), env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        summary = [line for line in result.stdout.splitlines() if line.startswith(("[  PASSED  ]", "[  FAILED  ]"))]
        print(f"{name}: " + ("; ".join(summary) if summary else result.stdout[-2000:]))
        if result.returncode != 0:
            print(result.stdout[-4000:])
            failed = True
    if failed:
        print("coverage: some tests failed; the figures below are of the tests that ran")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--no-run", action="store_true", help="report on the profiles of the last run")
    args = parser.parse_args()

    build = args.build
    source = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
    driver = os.path.join(source, "driver") + os.sep
    profiles = os.path.join(build, "coverage", "profiles")
    merged = os.path.join(build, "coverage", "zarn.profdata")
    if not args.no_run:
        run_tests(build, profiles)
    raw = glob.glob(os.path.join(profiles, "*.profraw"))
    if not raw:
        sys.exit("coverage: no profiles; run the tests first")
    subprocess.run([tool("llvm-profdata"), "merge", "-sparse", "-o", merged] + raw, check=True)

    binaries = programs(build)
    objects = [binaries[0]] + [arg for b in binaries[1:] for arg in ("-object", b)]
    files = sorted(glob.glob(os.path.join(driver, "**", "*.cpp"), recursive=True) +
                   glob.glob(os.path.join(driver, "**", "*.h"), recursive=True))
    # Only driver/: the clock table's test carries counters of its own (see CMakeLists.txt).
    common = [f"-instr-profile={merged}", "-ignore-filename-regex=/tests/"] + objects
    report = subprocess.run([tool("llvm-cov"), "report", "-show-branch-summary", "-show-region-summary=false",
                             "-show-functions=false"] + common + files,
                            check=True, stdout=subprocess.PIPE, text=True).stdout
    print(report.replace(driver, "driver/"))

    lcov = subprocess.run([tool("llvm-cov"), "export", "-format=lcov"] + common + files,
                          check=True, stdout=subprocess.PIPE, text=True).stdout
    exported = subprocess.run([tool("llvm-cov"), "export", "-format=text", "-skip-expansions"] + common + files,
                              check=True, stdout=subprocess.PIPE, text=True).stdout
    print_uncovered(lcov, json.loads(exported), driver, load_reasons(os.path.join(os.path.dirname(__file__),
                                                                                  "uncovered.txt")))


def load_reasons(path):
    """The known uncovered places: (file, outcome, code fragment) -> the reason they stay uncovered."""
    reasons = []
    if not os.path.exists(path):
        return reasons
    with open(path) as listing:
        for row in listing:
            if not row.strip() or row.startswith("#"):
                continue
            file, outcome, fragment, reason = (field.strip() for field in row.split("|", 3))
            reasons.append((file, outcome, fragment, reason))
    return reasons


def reason_for(reasons, file, outcome, code):
    for known_file, known_outcome, fragment, reason in reasons:
        if known_file == file and known_outcome == outcome and fragment in code:
            return reason
    return None


def source_line(driver, file, number, cache={}):
    if file not in cache:
        with open(os.path.join(driver, file[len("driver/"):])) as source:
            cache[file] = source.read().splitlines()
    lines = cache[file]
    return lines[number - 1].strip() if 0 < number <= len(lines) else ""


def print_uncovered(lcov, exported, driver, reasons):
    lines, current = [], None
    for row in lcov.splitlines():
        if row.startswith("SF:"):
            path = os.path.normpath(row[3:])
            current = path.replace(driver, "driver/") if path.startswith(driver) else None
        elif row.startswith("DA:") and current:
            number, count = row[3:].split(",")[:2]
            if count == "0":
                lines.append((current, int(number)))

    # A function of a header has a copy in every file that includes it: an outcome counts as taken
    # when any copy took it.
    outcomes = {}
    for entry in exported["data"][0]["files"]:
        path = os.path.normpath(entry["filename"])
        if not path.startswith(driver):
            continue
        file = path.replace(driver, "driver/")
        for line, column, _, _, taken, skipped, *_ in entry["branches"]:
            for outcome, count in (("true", taken), ("false", skipped)):
                key = (file, line, column, outcome)
                outcomes[key] = outcomes.get(key, 0) + count
    branches = sorted(key for key, count in outcomes.items() if count == 0)

    print(f"Lines never run ({len(lines)}):")
    previous = (None, None)   # the file and reason of the line listed last
    for file, number in sorted(lines):
        code = source_line(driver, file, number)
        reason = reason_for(reasons, file, "line", code)
        if code == "}" and previous[0] == file:
            reason = previous[1]
        previous = (file, reason)
        print(f"  {file}:{number}: {code}" + (f"\n      ({reason})" if reason else ""))
    unexplained = 0
    print(f"Branch outcomes never taken ({len(branches)}):")
    for file, line, column, outcome in branches:
        code = source_line(driver, file, line)
        reason = reason_for(reasons, file, outcome, code)
        unexplained += reason is None
        print(f"  {file}:{line}:{column}: never {outcome}: {code}" + (f"\n      ({reason})" if reason else ""))
    print(f"Branch outcomes without a reason in tools/coverage/uncovered.txt: {unexplained}")


if __name__ == "__main__":
    main()
