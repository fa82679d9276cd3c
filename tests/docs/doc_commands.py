#!/usr/bin/env python3
"""Runs every command that README.md and docs/*.md show, so that the documents stay true.

Blocks of a document, by the language of their fence:
  sh    each command runs (a line ending in a backslash continues), in a scratch directory where
        `build` is the build tree and every other entry of the source tree but `docs` is linked;
        it must end with status 0. A command that starts with `make` is checked with `make -n`
        in the source tree (it builds trees of its own). A command ending in `# not run here: WHY`
        is checked for its syntax and for the files it names.
  gdb   the first line starts zarnsim with --gdb, the second gdb; then `(gdb) ` lines, gdb's
        commands. zarnsim runs on a free port and gdb in batch mode with those commands.
  text  output: each line of a text block right after a sh or gdb block must appear in what the
        block's last command printed, in order.
A file a command writes that the source tree holds too (such as docs/screen.png) must equal it.
"""
import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

TIMEOUT = 300


def blocks(path):
    """The fenced blocks of a Markdown file: (language, lines, line number)."""
    found, language, lines, start = [], None, [], 0
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if language is None:
            match = re.fullmatch(r"```(\S*)", line)
            if match:
                language, lines, start = match.group(1), [], number
        elif line == "```":
            found.append((language, lines, start))
            language = None
        else:
            lines.append(line)
    return found


def commands(lines):
    """Shell commands of a sh block, continuation lines joined."""
    joined, current = [], ""
    for line in lines:
        if not current and (not line.strip() or line.lstrip().startswith("#")):
            continue
        current += line
        if current.endswith("\\"):
            current = current[:-1] + " "
            continue
        joined.append(current.strip())
        current = ""
    return joined


def scratch(source, build):
    directory = tempfile.mkdtemp(prefix="doc-commands-")
    for entry in os.listdir(source):
        if entry == "docs" or entry.startswith("build") or entry.startswith("."):
            continue
        os.symlink(os.path.join(source, entry), os.path.join(directory, entry))
    os.symlink(build, os.path.join(directory, "build"))
    os.mkdir(os.path.join(directory, "docs"))
    return directory


def run_sh(command, source, directory):
    """Runs one command; returns (failure or None, output)."""
    if re.search(r"#\s*not run here:\s*\S", command):
        check = subprocess.run(["bash", "-n", "-c", command], capture_output=True, text=True)
        if check.returncode:
            return f"not valid shell: {check.stderr.strip()}", ""
        for word in shlex.split(command.split("#")[0]):
            word = word.split("=", 1)[-1]
            if "/" in word and not word.startswith(("/", "-")) and not os.path.exists(os.path.join(source, word)):
                return f"names {word}, which the source tree does not hold", ""
        return None, ""
    if command.startswith("make"):
        words = shlex.split(command.split("#")[0])
        check = subprocess.run(["make", "-n"] + words[1:], cwd=source, capture_output=True, text=True)
        return (f"make -n fails: {check.stderr.strip()}" if check.returncode else None), check.stdout
    done = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=directory, capture_output=True,
                          text=True, timeout=TIMEOUT)
    output = done.stdout + done.stderr
    if done.returncode:
        return f"status {done.returncode}: {output[-600:]}", output
    return None, output


def run_gdb(lines, directory):
    """Runs a gdb block: zarnsim with --gdb on a free port, gdb in batch mode with its commands."""
    zarnsim = re.sub(r"--gdb \S+", "--gdb 127.0.0.1:0", lines[0])
    gdb = shlex.split(lines[1].split("#")[0])
    typed = [line[len("(gdb) "):] for line in lines[2:] if line.startswith("(gdb) ")]
    process = subprocess.Popen(["bash", "-c", "exec " + zarnsim], cwd=directory, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    try:
        match = re.search(r"target remote (\S+)\)", process.stderr.readline())
        if not match:
            return "zarnsim did not wait for gdb", ""
        arguments = [gdb[0], "-batch", "-nx"] + gdb[1:]
        arguments = [a.replace("127.0.0.1:1234", match.group(1)) for a in arguments]
        for command in typed:
            arguments += ["-ex", command]
        done = subprocess.run(arguments, cwd=directory, capture_output=True, text=True, timeout=TIMEOUT)
        process.wait(timeout=TIMEOUT)
        return None, done.stdout + done.stderr
    finally:
        if process.poll() is None:
            process.kill()


def check_shown(shown, output):
    at = 0
    for line in shown:
        if not line.strip():
            continue
        found = output.find(line.strip(), at)
        if found < 0:
            return f"the output lacks {line.strip()!r} (in order)"
        at = found + len(line.strip())
    return None


def check_document(path, source, build):
    directory = scratch(source, build)
    try:
        return run_document(path, source, directory)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def run_document(path, source, directory):
    failures, ran = [], 0
    found = blocks(path)
    for index, (language, lines, start) in enumerate(found):
        if language not in ("sh", "gdb"):
            continue
        output, where = "", f"{os.path.relpath(path, source)}:{start}"
        if language == "gdb":
            failure, output = run_gdb(lines, directory)
            ran += 1
            if failure:
                failures.append(f"{where}: {failure}")
        else:
            for command in commands(lines):
                failure, output = run_sh(command, source, directory)
                ran += 1
                if failure:
                    failures.append(f"{where}: `{command}`: {failure}")
        following = found[index + 1] if index + 1 < len(found) else None
        if following and following[0] == "text" and following[2] > start:
            failure = check_shown(following[1], output)
            if failure:
                failures.append(f"{where}: {failure}")
    docs = os.path.join(directory, "docs")
    for name in os.listdir(docs):
        kept = os.path.join(source, "docs", name)
        if os.path.exists(kept) and open(kept, "rb").read() != open(os.path.join(docs, name), "rb").read():
            failures.append(f"docs/{name} differs from what its command writes now")
    return ran, failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("documents", nargs="+", help="Markdown files, relative to the source tree")
    options = parser.parse_args()
    total, failures = 0, []
    for document in options.documents:
        ran, failed = check_document(os.path.join(options.source, document), options.source, options.build)
        total += ran
        failures += failed
    for failure in failures:
        print(failure)
    print(f"{total} commands run, {len(failures)} failed")
    return 1 if failures or total == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
