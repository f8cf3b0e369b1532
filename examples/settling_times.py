#!/usr/bin/env python3
"""Prints the settling time of each move from the panel's files, with Python's standard library
only: a trace CSV (Trace > Export > Trace as CSV...) and, if given, the session log of the same
run (mirastellon --log FILE, or File > Session log...).

    python3 examples/settling_times.py trace.csv [session.jsonl]

A move starts at its command: the "move" events of the session log, or without a log the first
sample that carries the new target (later than the command by up to a sampling interval). It has settled at the first sample from which the position
stays within the tolerance of the trace's header (0.5 um unless it says otherwise) for at least
three samples and up to the next move. The panel's own moves table (Export > Moves as CSV...)
measures the same way.
"""

import csv
import datetime
import json
import sys


def utc(text):
    """A time_utc field ("2026-12-07T14:03:22.123Z") as an aware datetime."""
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc)


def read_trace(path):
    """The header's "# key: value" lines as a dict, and the sample rows (events left out)."""
    header, rows = {}, []
    with open(path, newline="", encoding="utf-8") as f:
        lines = []
        for line in f:
            if line.startswith("#"):
                key, _, value = line[1:].partition(":")
                header[key.strip()] = value.strip()
            else:
                lines.append(line)
    for row in csv.DictReader(lines):
        if row["position_um"]:
            rows.append({"time": utc(row["time_utc"]), "segment": row["segment"],
                         "um": float(row["position_um"]),
                         "target": float(row["target_um"]) if row["target_um"] else None})
    return header, rows


def moves_from_log(path):
    """(time, target) of every move the session log recorded."""
    moves = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            try:
                entry = json.loads(line)
            except ValueError:
                continue  # the last line of a log cut short
            if entry.get("kind") == "event" and entry.get("event") == "move" and entry["text"]:
                moves.append((utc(entry["time_utc"]), float(entry["text"])))
    return moves


def moves_from_trace(rows):
    """(time, target) wherever a connection's samples first carry a new target."""
    moves, last = [], (None, None)
    for row in rows:
        key = (row["segment"], row["target"])
        if row["target"] is not None and key != last:
            moves.append((row["time"], row["target"]))
        last = key
    return moves


def settling(rows, start, end, target, tolerance, run=3):
    """Seconds from start to the first sample of the last run inside the band, or None. The
    samples from start up to end count (a sample at start is the move's own first one)."""
    window = [r for r in rows if start <= r["time"] < end]
    inside = [abs(r["um"] - target) <= tolerance for r in window]
    times = [r["time"] for r in window]
    entry = None
    for i, ok in enumerate(inside):
        if not ok:
            entry = None
        elif entry is None:
            entry = i
    if entry is None or len(inside) - entry < run:
        return None
    return (times[entry] - start).total_seconds()


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    header, rows = read_trace(argv[1])
    written = header.get("tolerance_um", "-")
    tolerance = float(written) if written != "-" else 0.5
    moves = moves_from_log(argv[2]) if len(argv) == 3 else moves_from_trace(rows)
    far = datetime.datetime.max.replace(tzinfo=datetime.timezone.utc)
    print("%s %s, tolerance %g um" % (header.get("model", "-"), header.get("port", "-"), tolerance))
    for i, (start, target) in enumerate(moves):
        end = moves[i + 1][0] if i + 1 < len(moves) else far
        seconds = settling(rows, start, end, target, tolerance)
        result = "settled after %.3f s" % seconds if seconds is not None else "not settled"
        print("%s  move to %10.3f um  %s" % (start.isoformat(timespec="milliseconds"), target,
                                              result))


if __name__ == "__main__":
    main(sys.argv)
