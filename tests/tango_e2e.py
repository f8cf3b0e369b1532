#!/usr/bin/python3
"""End to end: dvxsim, the panel without a window serving its control socket, mirastellon-tango
without a Tango database, and a Tango client driving the stage through them.

Usage: tango_e2e.py DVXSIM MIRASTELLON MIRASTELLON_TANGO
Exits 0 when every check passed; prints each failed check."""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import tango

DVXSIM, PANEL, SERVER = sys.argv[1:4]
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def wait_for(predicate, timeout=10.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            if predicate():
                return True
        except tango.DevFailed:
            pass
        time.sleep(step)
    return False


def start_simulator(link, *extra):
    sim = subprocess.Popen([DVXSIM, "--link", link, *extra], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
    line = sim.stdout.readline()
    if not line.startswith("dvxsim: listening on "):
        raise SystemExit("dvxsim did not start: " + line)
    return sim


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(env, attempts=3, timeout=30.0):
    """Starts the device server on a free port and waits for it to say it is ready. Its output is
    drained for as long as it runs, so a chatty server never blocks on a full pipe. Another
    process may take the port between the probe and the bind: then it tries a fresh one."""
    output = []
    for _ in range(attempts):
        port = free_port()
        server = subprocess.Popen([SERVER, "test", "-nodb", "-dlist", "lab/dvx/1",
                                   "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"], env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        ready = threading.Event()

        def drain(stream=server.stdout, ready=ready):
            for line in stream:
                if len(output) < 50:
                    output.append(line.rstrip())
                if "Ready to accept request" in line:
                    ready.set()

        threading.Thread(target=drain, daemon=True).start()
        end = time.monotonic() + timeout
        while time.monotonic() < end and server.poll() is None and not ready.is_set():
            ready.wait(0.05)
        if ready.is_set():
            return server, port, output
        if server.poll() is None:
            server.kill()
        server.wait()
    return server, None, output


def main():
    runtime = tempfile.mkdtemp(prefix="mirastellon-tango-")
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen")
    env.pop("TANGO_HOST", None)
    link = os.path.join(runtime, "stage")
    processes = []

    def start_panel():
        panel = subprocess.Popen([PANEL, "--headless", "--port", link, "--control"], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        processes.append(panel)
        wait_for(lambda: os.path.exists(os.path.join(runtime, "mirastellon.sock")))
        return panel

    # Slow enough that the 500 ms poll sees the stage between start and target.
    sim = start_simulator(link, "--speed", "800")
    processes.append(sim)
    panel = start_panel()
    server, port, output = start_server(env)
    processes.append(server)
    try:
        check(port is not None, "the device server starts without a database"
              + ("" if port else ": " + " | ".join(output)))
        if port is None:
            return 1
        device = tango.DeviceProxy(f"tango://127.0.0.1:{port}/lab/dvx/1#dbase=no")
        device.set_timeout_millis(12000)

        check(wait_for(lambda: device.state() == tango.DevState.DISABLE),
              "DISABLE before Connect")
        device.Connect()
        check(device.Model == "1901" and device.Firmware == "3.12",
              "Connect identifies the controller")
        check(device.state() == tango.DevState.DISABLE and not device.Homed,
              "DISABLE before Home")
        try:
            device.MoveRelative(10.0)
            check(False, "a move before Home is refused")
        except tango.DevFailed as e:
            check(e.args[0].reason == "unavailable", "a move before Home is refused as unavailable")

        device.Home()
        check(wait_for(lambda: device.Homed and device.state() == tango.DevState.ON),
              "Home, then ON")

        events = []
        lock = threading.Lock()

        def on_change(event):
            if not event.err and event.attr_value is not None:
                with lock:
                    events.append(event.attr_value.value)

        subscription = device.subscribe_event("Position", tango.EventType.CHANGE_EVENT, on_change)
        states = []
        device.write_attribute("Position", 1000.0)
        check(wait_for(lambda: states.append(device.state()) or
                       device.state() == tango.DevState.ON and abs(device.Position - 1000) < 0.5,
                       timeout=15), "a written Position settles within 0.5 um")
        check(tango.DevState.MOVING in states, "MOVING while the move runs")
        with lock:
            during = [v for v in events if 0 < v < 1000]
        check(len(during) >= 1, f"Position change events during the move ({len(events)} in all)")
        device.unsubscribe_event(subscription)

        for hostile in (float("nan"), float("inf"), float("-inf"), 1e9):
            try:
                device.write_attribute("Position", hostile)
                check(False, f"writing {hostile} is refused")
            except tango.DevFailed as e:
                # Tango refuses a NaN or an infinity itself, before the device sees it.
                check(e.args[0].reason in ("bad_request", "API_WAttrOutsideLimit"),
                      f"writing {hostile} is refused ({e.args[0].reason}: {e.args[0].desc})")
        check(abs(device.Target - 1000) < 1e-9, "a refused write never reaches the panel")

        sim.send_signal(signal.SIGKILL)
        sim.wait()
        check(wait_for(lambda: device.state() == tango.DevState.FAULT),
              "FAULT when the controller's line drops")

        sim = start_simulator(link)
        processes.append(sim)
        panel.send_signal(signal.SIGTERM)
        panel.wait()
        check(wait_for(lambda: device.state() == tango.DevState.FAULT), "FAULT without the panel")
        try:
            device.Home()
            check(False, "a command without the panel fails")
        except tango.DevFailed as e:
            check(e.args[0].reason == "unreachable", "a command without the panel fails clearly")
        panel = start_panel()
        check(wait_for(lambda: device.state() == tango.DevState.DISABLE, timeout=15),
              "the device recovers when the panel comes back")
    finally:
        for process in processes:
            if process.poll() is None:
                process.terminate()
        for process in processes:
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
    print(f"{len(failures)} failed" if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
