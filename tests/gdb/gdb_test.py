#!/usr/bin/env python3
"""gdb on the shipped image: zarnsim --driver zarn.sys --gdb serves Debian's gdb-multiarch, which reads
the image's debug information from zarn.debug, in batch mode. One session per row of SESSIONS (run one
with `gdb_test.py ... NAME`): the commands gdb runs, what its output must show, and how zarnsim ends.
The session `protocol` talks the remote protocol itself, for what gdb's batch mode cannot do
(an interrupt while the run goes on)."""

import argparse
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

TIMEOUT = 50   # seconds for each program of a session

# (name, zarnsim arguments, gdb commands, patterns gdb's output shows in this order, zarnsim's exit
# status). {trace} is a trace file of the session; a row with `corrupt` runs a copy of the image whose
# first instruction of that routine is replaced by those bytes.
SESSIONS = [
    dict(name="stops_before_driver_entry_and_breaks_by_name",
         zarnsim="run",
         gdb="""
             info symbol $pc
             break HwFindAdapter
             continue
             backtrace
             finish
             """,
         expect=[r"DriverEntry@8 in section \.text",
                 r"Breakpoint 1, HwFindAdapter.* at \S*driver/adapter/discovery\.cpp:\d+",
                 r"#0  HwFindAdapter.* at \S*driver/adapter/discovery\.cpp:\d+",
                 r"Value returned is \$1 = 0\n",
                 r"detached"],
         status=0),
    dict(name="finish_shows_a_refusal",
         zarnsim="--adapter device=9 run",
         gdb="""
             break HwFindAdapter
             continue
             finish
             continue
             """,
         expect=[r"Breakpoint 1, HwFindAdapter", r"Value returned is \$1 = 55\n",
                 r"exited with code 01"],
         status=1),
    dict(name="watchpoint_on_a_device_extension_field",
         zarnsim="run",
         gdb="""
             break HwFindAdapter
             continue
             watch -l ((AdapterState*)hwDeviceExtension)->debugLevel
             continue
             """,
         expect=[r"Hardware watchpoint 2: -location", r"Old value = 0\nNew value = -1\n",
                 r"in SetDefaults .* at \S*driver/adapter/discovery\.cpp:\d+"],
         status=0),
    dict(name="stepping_over_a_register_write_shows_it_in_the_trace",
         zarnsim="run --trace {trace}",
         gdb="""
             break WriteMmio
             continue
             x/x adapter->registerBase + offset
             while *(unsigned short*)$pc != 0x15ff
               stepi
             end
             printf "write 0x%06x 0x%08x\\n", offset, value
             shell echo before: $(tail -n 1 {trace})
             nexti
             shell echo after: $(tail -n 1 {trace})
             """,
         expect=[r"Breakpoint 1(\.1)?, WriteMmio",
                 r"Cannot access memory at address",
                 r"write (?P<offset>0x[0-9a-f]{6}) (?P<value>0x[0-9a-f]{8})\n",
                 r"before: (?P<before>.*)\n",
                 r"after: W 32 mmio (?P=offset) \S+ (?P=value)\n"],
         differ=("before", r"W 32 mmio (?P=offset) \S+ (?P=value)"),
         status=0),
    dict(name="corrupted_image_stops_with_sigsegv_where_it_faulted",
         zarnsim="run",
         corrupt=("HwFindAdapter", "a100000000"),   # mov eax, [0]
         gdb="""
             continue
             x/i $pc
             continue
             """,
         expect=[r"Program received signal SIGSEGV",
                 r"=> 0x[0-9a-f]+ <_Z13HwFindAdapter\S*>:\s+mov\s+0x0,%eax",
                 r"exited with code 03"],
         status=3),
    dict(name="invalid_instruction_stops_with_sigill",
         zarnsim="run",
         corrupt=("HwFindAdapter", "0f0b"),   # ud2
         gdb="""
             continue
             x/i $pc
             """,
         expect=[r"Program received signal SIGILL",
                 r"=> 0x[0-9a-f]+ <_Z13HwFindAdapter\S*>:\s+ud2"],
         status=3),
]


def start_zarnsim(zarnsim, image, arguments, stdin=subprocess.DEVNULL):
    """Starts zarnsim with --gdb on a free port; returns the process and the address gdb connects to."""
    command = [zarnsim, "--driver", image, "--gdb", "127.0.0.1:0"] + arguments
    process = subprocess.Popen(command, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = process.stderr.readline()
    match = re.search(r"target remote (\S+)\)", line)
    if not match:
        process.kill()
        raise AssertionError(f"zarnsim did not wait for gdb: {line!r}")
    rest = {}
    def drain(name, stream):
        rest[name] = stream.read()
    threads = [threading.Thread(target=drain, args=(n, s)) for n, s in (("out", process.stdout), ("err", process.stderr))]
    for thread in threads:
        thread.start()
    def finish():
        status = process.wait(timeout=TIMEOUT)
        for thread in threads:
            thread.join()
        return status, rest["out"], rest["err"]
    return process, match.group(1), finish


def symbol_address(map_file, name):
    for line in open(map_file):
        fields = line.split()
        if len(fields) == 2 and fields[0].startswith("0x") and re.fullmatch(r"_*Z\d+" + name + r"\S*", fields[1]):
            return int(fields[0], 16)
    raise AssertionError(f"{name} is not in {map_file}")


def corrupted_copy(image, map_file, routine, patch, directory):
    """A copy of the image whose routine starts with the patch bytes."""
    data = bytearray(open(image, "rb").read())
    address = symbol_address(map_file, routine)
    header = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional = struct.unpack_from("<H", data, header + 6)[0], struct.unpack_from("<H", data, header + 20)[0]
    base = struct.unpack_from("<I", data, header + 24 + 28)[0]
    for index in range(sections):
        _, size, rva, _, raw = struct.unpack_from("<8sIIII", data, header + 24 + optional + 40 * index)
        if rva <= address - base < rva + size:
            offset = address - base - rva + raw
            data[offset:offset + len(bytes.fromhex(patch))] = bytes.fromhex(patch)
            path = os.path.join(directory, "corrupted.sys")
            open(path, "wb").write(data)
            return path
    raise AssertionError(f"{routine} lies in no section")


def run_session(session, options, directory):
    trace = os.path.join(directory, "trace.txt")
    image = options.image
    if "corrupt" in session:
        image = corrupted_copy(options.image, options.map, *session["corrupt"], directory)
    # One -ex per command, so that a command that fails (as reading a device window does) does not end the
    # session; a block (while ... end) is sourced from a file of its own.
    commands, block = ["set pagination off", "target remote {address}"], []
    for line in session["gdb"].strip().splitlines():
        line = line.strip().replace("{trace}", trace)
        if block or line.startswith("while "):
            block.append(line)
            if line == "end" and sum(l.startswith("while ") for l in block) == block.count("end"):
                path = os.path.join(directory, f"block{len(commands)}.gdb")
                open(path, "w").write("\n".join(block) + "\n")
                commands.append("source " + path)
                block = []
        else:
            commands.append(line)
    arguments = session["zarnsim"].replace("{trace}", trace).split()
    process, address, finish = start_zarnsim(options.zarnsim, image, arguments)
    try:
        arguments = [options.gdb, "-batch", "-nx", options.debug]
        for command in commands:
            arguments += ["-ex", command.replace("{address}", address)]
        gdb = subprocess.run(arguments, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=TIMEOUT)
        status, out, err = finish()
    finally:
        if process.poll() is None:
            process.kill()
    shown = gdb.stdout
    failures = []
    at = 0
    groups = {}
    for pattern in session["expect"]:
        for name, value in groups.items():
            pattern = pattern.replace(f"(?P={name})", re.escape(value))
        match = re.compile(pattern).search(shown, at)
        if not match:
            failures.append(f"gdb's output lacks /{pattern}/ after offset {at}")
            break
        groups.update({k: v for k, v in match.groupdict().items() if v is not None})
        at = match.end()
    if "differ" in session and not failures:
        name, pattern = session["differ"]
        for key, value in groups.items():
            pattern = pattern.replace(f"(?P={key})", re.escape(value))
        if re.search(pattern, groups[name]):
            failures.append(f"the trace showed the write before the step: {groups[name]!r}")
    if status != session["status"]:
        failures.append(f"zarnsim exited with {status}, expected {session['status']}")
    if failures:
        print(f"--- gdb:\n{shown}\n--- zarnsim stdout:\n{out}\n--- zarnsim stderr:\n{err}")
    return failures


class Remote:
    """The remote protocol as gdb speaks it, acknowledgements included."""

    def __init__(self, address):
        host, port = address.rsplit(":", 1)
        self.socket = socket.create_connection((host, int(port)), timeout=TIMEOUT)
        self.input = b""

    def send(self, payload):
        data = payload.encode()
        self.socket.sendall(b"$%s#%02x" % (data, sum(data) & 0xFF))
        return self.reply()

    def reply(self):
        while True:
            start = self.input.find(b"$")
            end = self.input.find(b"#", start)
            if start >= 0 and end >= 0 and len(self.input) >= end + 3:
                payload = self.input[start + 1:end]
                self.input = self.input[end + 3:]
                self.socket.sendall(b"+")
                return payload.decode()
            chunk = self.socket.recv(4096)
            if not chunk:
                raise AssertionError("zarnsim closed the connection")
            self.input += chunk


def run_protocol(options, directory):
    """An interrupt while the run goes on, the image's offsets, registers and the run's end."""
    process, address, finish = start_zarnsim(options.zarnsim, options.image, ["script", "-"], stdin=subprocess.PIPE)
    failures = []
    try:
        remote = Remote(address)
        checks = [("qOffsets", "Text=f79f0000;Data=f79f0000;Bss=f79f0000"),
                  ("?", "T05"),
                  ("m0,4", "E14"),   # nothing backs address 0
                  ("p8", None)]
        for packet, expected in checks:
            answer = remote.send(packet)
            if expected is not None and answer != expected:
                failures.append(f"{packet} answered {answer!r}, expected {expected!r}")
        entry = struct.unpack("<I", bytes.fromhex(remote.send("p8")))[0]
        if not 0xF7A00000 <= entry < 0xF7A20000:
            failures.append(f"the run stopped at 0x{entry:08x}, outside the image")
        remote.socket.sendall(b"$c#63")
        remote.socket.sendall(b"\x03")
        # The image runs again for these requests, and the interrupt stops it there.
        process.stdin.write("mode 0\nmode 1\nmode 2\nmode 3\n")
        process.stdin.close()
        stop = remote.reply()
        if stop != "T02":
            failures.append(f"the interrupt stopped the run with {stop!r}, expected T02")
        eip = struct.unpack("<I", bytes.fromhex(remote.send("g")[64:72]))[0]
        if not 0xF7A00000 <= eip < 0xF7A20000:
            failures.append(f"the interrupt stopped the run at 0x{eip:08x}, outside the image")
        remote.socket.sendall(b"$c#63")
        end = remote.reply()
        if end != "W00":
            failures.append(f"the run's end was reported as {end!r}, expected W00")
        status, out, err = finish()
        if status != 0:
            failures.append(f"zarnsim exited with {status}: {err}")
    finally:
        if process.poll() is None:
            process.kill()
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--zarnsim", required=True)
    parser.add_argument("--image", required=True, help="zarn.sys")
    parser.add_argument("--debug", required=True, help="zarn.debug, the image's debug information")
    parser.add_argument("--map", required=True, help="zarn.map")
    parser.add_argument("--gdb", required=True)
    parser.add_argument("session", choices=[s["name"] for s in SESSIONS] + ["protocol"])
    options = parser.parse_args()
    if not os.access(options.gdb, os.X_OK):
        print(f"gdb-multiarch not found ({options.gdb}): `make deps` installs it")
        return 1
    with tempfile.TemporaryDirectory() as directory:
        if options.session == "protocol":
            failures = run_protocol(options, directory)
        else:
            failures = run_session(next(s for s in SESSIONS if s["name"] == options.session), options, directory)
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
