#!/usr/bin/python3
"""Event latency through the whole chain: a position reply leaves the controller's end of a
pseudo-terminal, the panel reads it, streams it on its control socket, mirastellon-tango pushes a
Tango change event, and a PyTango client's callback receives it. Prints p50/p99 over N events.

Usage: tango_latency.py MIRASTELLON MIRASTELLON_TANGO [N]"""

import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import tango

PANEL, SERVER = sys.argv[1:3]
COUNT = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
SPACING_S = 0.01


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            if predicate():
                return True
        except tango.DevFailed:
            pass
        time.sleep(0.05)
    return False


def main():
    master, slave = os.openpty()
    tty = os.ttyname(slave)
    sent = {}
    stop = threading.Event()

    def controller():
        # Answers identification and status; position replies are pushed below.
        buffer = b""
        while not stop.is_set():
            try:
                chunk = os.read(master, 4096)
            except OSError:
                return
            buffer += chunk
            while b"\r" in buffer:
                line, buffer = buffer.split(b"\r", 1)
                if line.startswith(b">inform"):
                    os.write(master, b"_Ver 312 DVX1901 stage controller\r_offset 2500\r")
                elif line.startswith(b">status"):
                    os.write(master, b"_status 9\r")

    threading.Thread(target=controller, daemon=True).start()
    runtime = tempfile.mkdtemp(prefix="mirastellon-latency-")
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen")
    env.pop("TANGO_HOST", None)
    port = free_port()
    panel = subprocess.Popen([PANEL, "--headless", "--port", tty, "--control"], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: os.path.exists(os.path.join(runtime, "mirastellon.sock")))
    server = subprocess.Popen([SERVER, "bench", "-nodb", "-dlist", "lab/dvx/1", "-ORBendPoint",
                               f"giop:tcp:127.0.0.1:{port}"], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    try:
        server.stdout.readline()
        device = tango.DeviceProxy(f"tango://127.0.0.1:{port}/lab/dvx/1#dbase=no")
        device.set_timeout_millis(10000)
        device.Connect()
        received = {}

        def on_change(event):
            now = time.perf_counter()
            if not event.err and event.attr_value is not None:
                received.setdefault(round(event.attr_value.value, 3), now)

        device.subscribe_event("Position", tango.EventType.CHANGE_EVENT, on_change)
        time.sleep(0.5)
        for i in range(COUNT):
            value = round(100.0 + i * 0.5, 3)
            sent[value] = time.perf_counter()
            os.write(master, b"_cp %.3f um\r" % value)
            time.sleep(SPACING_S)
        wait_for(lambda: len([v for v in sent if v in received]) >= COUNT, timeout=10)
        latencies = sorted((received[v] - t) * 1000.0 for v, t in sent.items() if v in received)
        if not latencies:
            print("no events arrived")
            return 1
        p50 = statistics.median(latencies)
        p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
        print(f"events: {len(latencies)} of {COUNT}; controller reply -> Tango callback: "
              f"p50 {p50:.2f} ms, p99 {p99:.2f} ms, max {latencies[-1]:.2f} ms; "
              f"load {os.getloadavg()[0]:.2f}")
        return 0
    finally:
        stop.set()
        for process in (server, panel):
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()


if __name__ == "__main__":
    sys.exit(main())
