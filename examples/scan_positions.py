#!/usr/bin/env python3
"""Homes the stage through a running Mirastellon panel, steps through five positions, waiting at
each until the stage has settled, and prints where it settled.

Start the panel with scripting on, then run this script:

    mirastellon --control &
    python3 examples/scan_positions.py --port /dev/ttyUSB0

Only Python's standard library is used: the panel speaks JSON lines on a Unix-domain socket.
"""

import argparse
import json
import os
import socket
import stat
import struct
import sys
import tempfile


def default_socket():
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime and os.path.isabs(runtime):
        return os.path.join(runtime, "mirastellon.sock")
    return os.path.join(tempfile.gettempdir(), "mirastellon-%d" % os.getuid(), "mirastellon.sock")


class Panel:
    """One connection to the panel; requests are answered in order, one reply line each.

    Nothing is sent to a socket that another local user put where the panel's should be: the
    socket must belong to this user, and so must the process listening on it."""

    def __init__(self, path):
        info = os.lstat(path)
        if not stat.S_ISSOCK(info.st_mode):
            raise OSError("%s is not a socket; not talking to it" % path)
        if info.st_uid != os.getuid():
            raise OSError("%s belongs to user %d, not to user %d; not talking to it"
                          % (path, info.st_uid, os.getuid()))
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        credentials = self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                           struct.calcsize("3i"))
        _, uid, _ = struct.unpack("3i", credentials)
        if uid != os.getuid():
            self.sock.close()
            raise OSError("%s is served by a process of user %d, not of user %d; not talking to it"
                          % (path, uid, os.getuid()))
        self.stream = self.sock.makefile("rwb")
        self.next_id = 1

    def request(self, cmd, **arguments):
        request = {"id": self.next_id, "cmd": cmd}
        request.update(arguments)
        self.next_id += 1
        self.stream.write((json.dumps(request) + "\n").encode("utf-8"))
        self.stream.flush()
        while True:
            line = self.stream.readline()
            if not line:
                raise RuntimeError("the panel closed the connection")
            reply = json.loads(line)
            if "event" in reply:  # only subscribers get these; skip them anyway
                continue
            if reply["id"] != request["id"]:
                raise RuntimeError("reply to another request: %r" % reply)
            if not reply["ok"]:
                error = reply["error"]
                raise RuntimeError("%s failed: %s (%s)" % (cmd, error["message"], error["code"]))
            return reply["result"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--socket", default=default_socket(), help="the panel's control socket")
    parser.add_argument("--port", help="connect the panel to this serial port first")
    parser.add_argument("--positions", default="500,1000,1500,2000,2500",
                        help="comma-separated targets in micrometres")
    args = parser.parse_args()
    targets = [float(text) for text in args.positions.split(",")]

    try:
        panel = Panel(args.socket)
    except OSError as error:
        print("cannot reach the panel at %s: %s" % (args.socket, error), file=sys.stderr)
        return 2
    try:
        state = panel.request("state")
        if not state["connected"]:
            state = panel.request("connect", **({"port": args.port} if args.port else {}))
        print("controller %s, firmware %s on %s" % (state["model"], state["firmware"],
                                                    state["port"]))
        panel.request("home")
        # Homing drives to 0; waiting for a move to 0 waits for it to get there.
        panel.request("move_to", um=0, wait=True, timeout_s=60)
        for target in targets:
            result = panel.request("move_to", um=target, wait=True, tolerance_um=0.5,
                                   timeout_s=30)
            print("target %8.1f um  settled at %9.3f um after %.2f s"
                  % (target, result["position_um"], result["elapsed_s"]))
    except RuntimeError as error:
        print(error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
