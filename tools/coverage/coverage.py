#!/usr/bin/env python3
"""The driver's line and branch coverage from the whole test suite (clang source-based coverage).

    tools/coverage/coverage.py BUILD_DIR [--no-run]

BUILD_DIR is a clang build configured with -DZARN_COVERAGE=ON (only the driver's code is
instrumented). The script runs every test of that build through ctest (each process, including the
zarnsim runs the tests start, adds its counts to one profile per program), merges the profiles and
prints a table per file of driver/, then every line and every branch outcome the tests never ran.
With --no-run it reports on the profiles of the last run.
"""
import argparse
import glob
import os
import re
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
    names = ["tests/zarn_tests", "tests/builds/builds_compare", "zarnsim"]
    found = [os.path.join(build, n) for n in names if os.path.exists(os.path.join(build, n))]
    if not found:
        sys.exit(f"coverage: no test programs in {build}; build it first")
    return found


def run_tests(build, profiles, jobs):
    shutil.rmtree(profiles, ignore_errors=True)
    os.makedirs(profiles)
    env = dict(os.environ)
    # %m: one profile per program, merged as processes end; %4m lets four processes write at once.
    env["LLVM_PROFILE_FILE"] = os.path.join(os.path.abspath(profiles), "zarn-%4m.profraw")
    result = subprocess.run(["ctest", "-j", str(jobs), "--output-on-failure"], cwd=build, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    summary = [line for line in result.stdout.splitlines() if "tests passed" in line or "tests failed" in line]
    print("\n".join(summary) if summary else result.stdout[-2000:])
    if result.returncode != 0:
        print(result.stdout[-4000:])
        print("coverage: some tests failed; the figures below are of the tests that ran")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--no-run", action="store_true", help="report on the profiles of the last run")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("JOBS", "2")))
    args = parser.parse_args()

    build = args.build
    source = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
    driver = os.path.join(source, "driver") + os.sep
    profiles = os.path.join(build, "coverage", "profiles")
    merged = os.path.join(build, "coverage", "zarn.profdata")
    if not args.no_run:
        run_tests(build, profiles, args.jobs)
    raw = glob.glob(os.path.join(profiles, "*.profraw"))
    if not raw:
        sys.exit("coverage: no profiles; run the tests first")
    subprocess.run([tool("llvm-profdata"), "merge", "-sparse", "-o", merged] + raw, check=True)

    binaries = programs(build)
    objects = [binaries[0]] + [arg for b in binaries[1:] for arg in ("-object", b)]
    files = sorted(glob.glob(os.path.join(driver, "**", "*.cpp"), recursive=True) +
                   glob.glob(os.path.join(driver, "**", "*.h"), recursive=True))
    common = [f"-instr-profile={merged}"] + objects
    report = subprocess.run([tool("llvm-cov"), "report", "-show-branch-summary", "-show-region-summary=false",
                             "-show-functions=false"] + common + files,
                            check=True, stdout=subprocess.PIPE, text=True).stdout
    print(report.replace(driver, "driver/"))

    shown = subprocess.run([tool("llvm-cov"), "show", "-format=text", "-show-branches=count",
                            "-show-line-counts=true", "-show-expansions=true", "-show-instantiations=false"]
                           + common, check=True, stdout=subprocess.PIPE, text=True).stdout
    print_uncovered(shown, driver)


LINE = re.compile(r"^\s*(\d+)\|\s*(\S*)\|(.*)$")
BRANCH = re.compile(r"Branch \((\d+):(\d+)\): \[True: (\d+), False: (\d+)\]")


def print_uncovered(shown, driver):
    lines, branches = [], []
    current, text = None, {}
    for row in shown.splitlines():
        if row.startswith("/") and row.endswith(":"):
            current = row[:-1].replace(driver, "driver/") if row.startswith(driver) else None
            continue
        if current is None:
            continue
        match = LINE.match(row)
        if match:
            number, count, code = match.groups()
            text[(current, int(number))] = code.strip()
            if count == "0":
                lines.append(f"{current}:{number}: {code.strip()}")
            continue
        match = BRANCH.search(row)
        if match:
            line, column, taken, skipped = (int(g) for g in match.groups())
            for outcome, count in (("true", taken), ("false", skipped)):
                if count == 0:
                    code = text.get((current, line), "")
                    branches.append(f"{current}:{line}:{column}: never {outcome}: {code}")
    print(f"Lines never run ({len(lines)}):")
    for entry in lines:
        print("  " + entry)
    print(f"Branch outcomes never taken ({len(branches)}):")
    for entry in branches:
        print("  " + entry)


if __name__ == "__main__":
    main()
