#!/usr/bin/env python3
"""Checks a scenario run of tarn-vrx-sim as the inspector logged it.

  check_scenario.py SCENARIO RUN.csv BASELINE.csv TRUTH.jsonl INSPECTOR.err

RUN.csv is the inspector's CSV log of the scenario, BASELINE.csv the log of
the same seed and rate with no step at all (the same jitter frame by frame).
From the scenario's steps it works out, frame by frame, the frame's time,
connection and id, which frames a stall or a burst takes, and the offsets
each stage must show against the baseline; random loss and bad records are
taken from the truth file and checked against the rows. Handles the steps
the shell test uses: plain (not ramped) rate steps, one restart.
Prints one line per failed check and exits 1 if any failed.
"""
import csv
import datetime
import json
import sys

EPS = 1e-9
GOP = 30
BASE_RSSI = -48

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def parse_time(s):
    for unit, f in (("ms", 0.001), ("min", 60), ("s", 1)):
        if s.endswith(unit):
            return float(s[: -len(unit)]) * f
    return float(s)


def read_scenario(path):
    steps = []
    for no, line in enumerate(open(path), 1):
        words = line.split("#")[0].split()
        if not words:
            continue
        at, dur, kind, rest = words[0], words[1], words[2], words[3:]
        st = {"line": no, "at": parse_time(at), "dur": 0 if dur == "-" else parse_time(dur),
              "kind": kind, "ramp": bool(rest) and rest[-1] == "ramp"}
        v = rest[:-1] if st["ramp"] else rest
        if kind in ("frame", "fec", "decode", "render", "vtx", "iframe"):
            st["value"] = float(v[0].replace("ms", ""))
        elif kind == "rssi":
            st["value"] = float(v[0].replace("dBm", ""))
        elif kind in ("rate",):
            st["value"] = float(v[0])
        elif kind in ("loss", "bad"):
            st["value"] = float(v[0].rstrip("%")) / 100
        elif kind == "burst":
            st["value"], st["period"] = int(v[0]), parse_time(v[1])
        elif kind == "restart":
            st["value"] = parse_time(v[0])
        elif kind == "codec":
            st["value"] = v[0]
        steps.append(st)
    return steps


def active(st, t):
    return st["at"] <= t + EPS and (st["dur"] == 0 or not st["at"] + st["dur"] <= t + EPS)


def value(steps, kind, t, base):
    v = base
    for st in steps:
        if st["kind"] == kind and active(st, t):
            if st["dur"] and st["ramp"]:
                v = base + (st["value"] - base) * min(1, max(0, (t - st["at"]) / st["dur"]))
            else:
                v = st["value"]
    return v


def slots(steps):
    """Every frame of the run: time, connection, id, frame index, GOP index,
    and whether a stall or a burst took it (step line or None)."""
    out = []
    t, conn, fid, n, g = 0.0, 1, 1, 0, 0
    seg_t0, seg_rate, k = 0.0, None, 0
    restart = next((s for s in steps if s["kind"] == "restart"), None)
    end = next((s for s in steps if s["kind"] == "end"), None)
    bursts = {}  # line -> [origin, next index, left]
    while True:
        if end and t + EPS >= end["at"]:
            break
        if restart and conn == 1 and t + EPS >= restart["at"]:
            conn, fid, g = 2, 1, 0
            t = restart["at"] + restart["value"]
            seg_rate = None
            continue
        rate = value(steps, "rate", t, 2000)
        if rate != seg_rate:
            seg_t0, seg_rate, k = t, rate, 0
        taken = None
        for st in steps:
            if st["kind"] == "stall" and active(st, t):
                taken = st["line"]
        for st in steps:
            if st["kind"] == "burst" and active(st, t):
                b = bursts.setdefault(st["line"], [st["at"], 0, 0])
                if t + EPS >= b[0] + b[1] * st["period"]:
                    b[2] = st["value"]
                    b[1] = int((t + EPS - b[0]) // st["period"]) + 1
                if b[2] > 0:
                    b[2] -= 1
                    taken = taken or st["line"]
        out.append({"t": t, "conn": conn, "id": fid, "n": n, "iframe": g % GOP == 0, "taken": taken,
                    "rate": rate})
        fid, n, g, k = fid + 1, n + 1, g + 1, k + 1
        t = seg_t0 + k / rate
    return out


def read_rows(path):
    """Rows of the log, split into connections where the ids start again."""
    conns, last = [], None
    for r in csv.reader(open(path)):
        if not r or r[0] == "Sample ID":
            continue
        fid = int(r[0])
        if last is None or fid < last:
            conns.append({})
        conns[-1][fid] = r
        last = fid
    return conns


def ids_of(ranges):
    return {i for a, b in ranges for i in range(a, b + 1)}


def iso(s):
    return datetime.datetime.strptime(s, "%Y-%m-%dT%H:%M:%S.%fZ")


def main():
    scn, run_csv, base_csv, truth_path, err_path = sys.argv[1:6]
    steps = read_scenario(scn)
    frames = slots(steps)
    run = read_rows(run_csv)
    base = read_rows(base_csv)
    truth = [json.loads(l) for l in open(truth_path)]
    by_line = {t["line"]: t for t in truth}
    err = open(err_path).read().splitlines()
    step_of = {s["line"]: s for s in steps}

    check(len(truth) == len(steps), f"{len(truth)} truth lines for {len(steps)} steps")
    check(len(run) == 2, f"the log shows {len(run)} connections, not 2 (ids from 1 again after the restart)")
    check(len(base) == 1, "the baseline has one connection")
    if failures:
        return
    # Random loss and bad records: as the truth says, inside their windows.
    lost_random, bad = set(), set()
    for t in truth:
        st = step_of[t["line"]]
        if st["kind"] == "loss":
            ids = ids_of(t["lost_ids"])
            lost_random |= {(t["connection"], i) for i in ids}
            inside = {f["id"] for f in frames if f["conn"] == t["connection"] and active(st, f["t"])}
            check(ids <= inside, "lost ids outside the loss step's window")
            check(0.1 * len(inside) < len(ids) < 0.4 * len(inside),
                  f"loss of {st['value']:.0%}: {len(ids)} of {len(inside)} frames lost")
            check(t["lost"] == len(ids) and t["ids_complete"], "loss: count and ids agree")
        if st["kind"] == "bad":
            ids = ids_of(t["bad_ids"])
            bad |= {(t["connection"], i) for i in ids}
            check(t["bad"] == len(ids) > 0, "bad: some records, count and ids agree")
    # The inspector names each bad record (one per write here) and drops it.
    magic = sum(1 for l in err if l == "ERROR got magic number 0, expected 1413567054")
    failed = sum(1 for l in err if l.endswith("1 of 1 packets failed"))
    check(magic == len(bad) == failed, f"{len(bad)} bad records, the inspector counted {magic} ({failed} buffers)")
    # The restart's disconnection comes before the bad records of the new
    # connection (the one at the end of the run may come after the
    # inspector was stopped).
    first_bad = next((i for i, l in enumerate(err) if l.startswith("ERROR got magic number")), len(err))
    check("server disconnected" in err[:first_bad], "the restart disconnected the inspector")

    # Rows: exactly the frames nothing took, per connection.
    for c in (1, 2):
        want = [f["id"] for f in frames if f["conn"] == c and not f["taken"] and (c, f["id"]) not in lost_random
                and (c, f["id"]) not in bad]
        got = list(run[c - 1].keys())
        check(got == want, f"connection {c}: {len(got)} rows, {len(want)} expected; first difference at "
              f"{next((a for a, b in zip(got, want) if a != b), None)}")

    # Values against the baseline, frame by frame (connection 1 keeps the
    # baseline's frame numbering: its frame n has id n + 1).
    cols = {"vtx": 2, "vrx": 3, "frame": 5, "fec": 6, "decode": 7, "render": 8, "fps": 10, "rssi": 11, "type": 13}
    bad_values = 0
    for f in frames:
        row = run[0 if f["conn"] == 1 else 1].get(f["id"])
        if row is None:
            continue
        t = f["t"]
        if f["conn"] == 1:
            b = base[0][f["n"] + 1]
            want = {k: value(steps, k, t, 0) for k in ("frame", "fec", "decode", "render", "vtx")}
            if f["iframe"]:
                want["frame"] += value(steps, "iframe", t, 0)
            want["vrx"] = want["frame"] + want["fec"] + want["decode"] + want["render"]
            for k, w in want.items():
                d = float(row[cols[k]]) - float(b[cols[k]])
                if abs(d - w) > 0.0025:
                    bad_values += 1
                    if bad_values < 5:
                        failures.append(f"id {f['id']} at {t:.4f}s: {k} off by {d:.3f} ms, not {w:.3f}")
            rssi = int(row[cols["rssi"]]) - int(b[cols["rssi"]])
            want_rssi = round(value(steps, "rssi", t, BASE_RSSI) - BASE_RSSI)
            if rssi != want_rssi:
                bad_values += 1
                failures.append(f"id {f['id']}: rssi {rssi:+d} dB from the baseline, not {want_rssi:+d}")
        if abs(float(row[cols["fps"]]) - f["rate"]) > 1:
            bad_values += 1
            failures.append(f"id {f['id']}: fps {row[cols['fps']]}, not {f['rate']}")
        h265 = value(steps, "codec", t, "h264") == "h265"
        want_type = ("H264 (?) 19" if h265 else "H264 (I)") if f["iframe"] else "H264 (P)"
        if row[cols["type"]] != want_type:
            bad_values += 1
            failures.append(f"connection {f['conn']} id {f['id']}: frame type {row[cols['type']]}, not {want_type}")
    check(bad_values == 0, f"{bad_values} values differ from what the scenario asked")

    # The truth of every step agrees with the frames and rows.
    starts = []
    for st in steps:
        t = by_line.get(st["line"])
        if t is None:
            failures.append(f"no truth for line {st['line']}")
            continue
        check(t["kind"] == st["kind"], f"line {st['line']}: kind {t['kind']}")
        starts.append(iso(t["start"]))
        check(iso(t["start"]) <= iso(t["end"]), f"line {st['line']}: ends before it starts")
        if st["kind"] == "restart":
            last1 = max(f["id"] for f in frames if f["conn"] == 1)
            check(t["closed_after_id"] == last1, f"restart closed after {t['closed_after_id']}, not {last1}")
            check((t["first_id"], t["connection"], t["previous_connection"]) == (1, 2, 1), "restart: ids from 1 on connection 2")
            check(t["closed_after_id"] == max(run[0].keys()), "restart: the last row before it")
            continue
        if st["kind"] == "end" or st["dur"] == 0:
            continue
        win = [f for f in frames if active(st, f["t"])]
        conn = win[0]["conn"]
        rows = run[conn - 1]
        check((t["first_id"], t["last_id"], t["connection"]) == (win[0]["id"], win[-1]["id"], conn),
              f"line {st['line']} {st['kind']}: ids {t['first_id']}-{t['last_id']} on {t['connection']}, "
              f"frames say {win[0]['id']}-{win[-1]['id']} on {conn}")
        shown = sum(1 for f in win if f["id"] in rows)
        nbad = t.get("bad", 0)
        check(t["frames"] == shown + nbad, f"line {st['line']} {st['kind']}: {t['frames']} frames published, "
              f"{shown} rows and {nbad} bad records")
        if st["kind"] in ("stall", "burst"):
            taken = {f["id"] for f in win if f["taken"] == st["line"]}
            check(ids_of(t["lost_ids"]) == taken and t["lost"] == len(taken),
                  f"line {st['line']} {st['kind']}: lost ids differ from the frames it took")
            check(not any(i in rows for i in taken), f"line {st['line']}: a lost id has a row")
        if st["kind"] == "burst":
            check(t["bursts"] == len({int((f["t"] - st["at"] + EPS) // st["period"]) for f in win}),
                  "burst: one burst a period")
        if st["kind"] in ("frame", "fec", "decode", "render", "vtx", "iframe"):
            ref = [f for f in win if f["iframe"]] if st["kind"] == "iframe" else win
            want = value(steps, st["kind"], ref[-1]["t"], 0)
            check(abs(t["offset_ms"] - want) < 1e-6, f"line {st['line']}: offset reached {t['offset_ms']}, not {want}")
            if st["kind"] == "iframe":
                check(t["iframes"] == len(ref), f"iframe: {t['iframes']} I-frames, not {len(ref)}")
        if st["kind"] == "rssi":
            check(t["dbm"] == st["value"], "rssi: level reached")
        if st["kind"] == "rate":
            check(t["fps"] == st["value"], "rate: fps")
    check(starts == sorted(starts), "truth: steps started in scenario order")
    codec = next(t for t in truth if t["kind"] == "codec")
    check(codec["codec"] == "h265" and codec["connection"] == 2, "codec step on connection 2")


if __name__ == "__main__":
    main()
    for f in failures:
        print("check_scenario:", f)
    sys.exit(1 if failures else 0)
