#!/usr/bin/env python3
"""CPU per position line of the panel under a flood, measured from outside the panel.

Every reader is a process of its own on the slave side of a fresh pseudo-terminal. This script
holds the controller's side: it answers the panel's identification request, then writes
16-byte "_cp" lines for a few seconds as fast as the reader takes them (the terminal's buffer
paces the writer). The CPU each reader spent meanwhile comes from /proc. It counts every
thread of the process, and the main thread alone is counted beside it. Readers:

  panel      the real panel (mirastellon), its window shown, connected with mirastellon-ctl
  panel+trace  the same with its Trace window open
  bare       a QSerialPort reader that only cuts the flood into lines (bench_flood_reader bare)
  pyserial   a buffered pyserial loop: ser.read(ser.in_waiting or 1), split, float()
  os.read    a Python loop on os.read of what is waiting, split, float()
  label      a naive Qt panel that sets a label per line (bench_flood_reader label)

The rounds interleave the readers, so that a busy machine slows them alike. Each ratio is taken
per round, between runs made moments apart, and its median is printed with its range.
"""

import argparse
import os
import platform
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

LINE = b"_cp 1234.567 um\r"
IDENTIFICATION = b"_Ver 312 DVX1901\r"
CHUNK_LINES = 256
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# The most each ratio of CPU per line may be, judged on its median over the rounds. The trace's
# row has the recorder on, as always, and its window open.
TARGETS = {("panel", "bare"): 1.5, ("panel", "pyserial"): 0.6, ("panel+trace", "bare"): 1.8}

PYSERIAL_READER = r"""
import sys, serial
ser = serial.Serial(sys.argv[1], 115200, timeout=None)
print("ready", flush=True)
rest = b""
last = 0.0
while True:
    data = ser.read(ser.in_waiting or 1)
    parts = (rest + data).split(b"\r")
    rest = parts.pop()
    for part in parts:
        last = float(part.split()[1])
"""

OSREAD_READER = r"""
import os, sys, termios, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
print("ready", flush=True)
rest = b""
last = 0.0
while True:
    parts = (rest + os.read(fd, 65536)).split(b"\r")
    rest = parts.pop()
    for part in parts:
        last = float(part.split()[1])
"""


def cpu_seconds(pid):
    """All threads of the process, and its main thread alone."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    process = (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
    with open(f"/proc/{pid}/task/{pid}/schedstat") as f:
        main = int(f.read().split()[0]) / 1e9
    return process, main


def read_available(fd):
    data = b""
    while select.select([fd], [], [], 0)[0]:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


class Round:
    """One reader on one fresh pseudo-terminal."""

    def __init__(self, args, reader):
        self.args = args
        self.reader = reader
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.process = None
        self.tmp = tempfile.TemporaryDirectory(prefix="mirastellon-flood-")

    def environment(self):
        env = dict(os.environ)
        if self.args.platform == "offscreen":
            env["QT_QPA_PLATFORM"] = "offscreen"
        return env

    def start(self):
        a = self.args
        if self.reader.startswith("panel"):
            socket = os.path.join(self.tmp.name, "panel.sock")
            command = [a.panel, "--port", self.path, "--control", socket]
            if self.reader == "panel+trace":
                command.append("--trace")
            self.process = subprocess.Popen(command, env=self.environment(),
                                            stdout=subprocess.DEVNULL)
            deadline = time.monotonic() + 20
            while not os.path.exists(socket):
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise RuntimeError("the panel did not start")
                time.sleep(0.05)
            ctl = subprocess.Popen([a.ctl, "--socket", socket, "connect"],
                                   stdout=subprocess.DEVNULL)
            seen = b""
            while b">inform" not in seen:
                if time.monotonic() > deadline:
                    raise RuntimeError("the panel never asked who is there")
                if select.select([self.master], [], [], 0.1)[0]:
                    seen += os.read(self.master, 4096)
            os.write(self.master, IDENTIFICATION)
            if ctl.wait(timeout=20) != 0:
                raise RuntimeError("mirastellon-ctl connect failed")
            return
        if self.reader == "pyserial":
            command = [a.python, "-c", PYSERIAL_READER, self.path]
        elif self.reader == "os.read":
            command = [a.python, "-c", OSREAD_READER, self.path]
        else:
            command = [a.reader, self.reader, self.path]
        self.process = subprocess.Popen(command, env=self.environment(), stdout=subprocess.PIPE)
        if self.process.stdout.readline().strip() != b"ready":
            raise RuntimeError(f"{self.reader} did not start")

    def flood(self, seconds):
        chunk = LINE * CHUNK_LINES
        read_available(self.master)
        time.sleep(0.3)  # the reader settles after starting
        read_available(self.master)
        process0, main0 = cpu_seconds(self.process.pid)
        written = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            readable, writable, _ = select.select([self.master], [self.master], [], 0.1)
            if readable:
                read_available(self.master)  # the panel's polls
            if writable:
                written += os.write(self.master, chunk)
        # What is left in the terminal's buffer is read before the clock stops.
        time.sleep(0.3)
        process1, main1 = cpu_seconds(self.process.pid)
        lines = written / len(LINE)
        return {"lines": lines, "process_us": (process1 - process0) / lines * 1e6,
                "main_us": (main1 - main0) / lines * 1e6, "seconds": seconds}

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)
        os.close(self.slave)
        self.tmp.cleanup()


def spread(values):
    return f"{min(values):.3f} / {statistics.median(values):.3f} / {max(values):.3f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--panel", required=True)
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--reader", required=True, help="bench_flood_reader")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--platform", default="offscreen", choices=["offscreen", "xcb"])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--readers",
                        default="panel,panel+trace,bare,pyserial,os.read,label")
    args = parser.parse_args()
    readers = args.readers.split(",")
    if "pyserial" in readers and subprocess.call(
            [args.python, "-c", "import serial"], stderr=subprocess.DEVNULL) != 0:
        print("flood: python3-serial is missing; the pyserial floor is left out", file=sys.stderr)
        readers.remove("pyserial")

    print(f"Flood of 16-byte \"_cp\" lines through a pseudo-terminal, {args.platform}: "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"Linux {platform.release()}")
    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    results = {reader: [] for reader in readers}
    for r in range(args.rounds):
        order = readers[r % len(readers):] + readers[:r % len(readers)]
        for reader in order:
            run = Round(args, reader)
            try:
                run.start()
                results[reader].append(run.flood(args.seconds))
            finally:
                run.stop()
    print(f"load average after:  {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print()
    print("| reader | CPU per line, whole process, us (min / median / max) "
          "| main thread, us | lines/s (median) |")
    print("|---|---|---|---|")
    for reader in readers:
        runs = results[reader]
        print(f"| {reader} | {spread([x['process_us'] for x in runs])} "
              f"| {spread([x['main_us'] for x in runs])} "
              f"| {statistics.median(x['lines'] / x['seconds'] for x in runs):.0f} |")
    print()
    print("| ratio, whole process, per round | median | range | target | met |")
    print("|---|---|---|---|---|")
    missed = False
    for panel in [p for p in ("panel", "panel+trace") if p in readers]:
        for floor in [f for f in ("bare", "pyserial", "os.read", "label") if f in readers]:
            ratios = [p["process_us"] / f["process_us"]
                      for p, f in zip(results[panel], results[floor])]
            median = statistics.median(ratios)
            target = TARGETS.get((panel, floor))
            met = "" if target is None else ("yes" if median <= target else "NO")
            missed = missed or met == "NO"
            print(f"| {panel} / {floor} | x {median:.2f} "
                  f"| {min(ratios):.2f} - {max(ratios):.2f} "
                  f"| {'' if target is None else f'<= x {target}'} | {met} |")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
