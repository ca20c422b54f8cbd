#!/usr/bin/env python3
"""Checks for tarn-latency-report, computed independently of it.

    check_report.py json LOG REPORT.json [RUN]  the JSON report against
        statistics computed here from the CSV log (nearest-rank percentiles)
    check_report.py svg PLOT.svg PLOT.png       the SVG parses as XML, and each
        plot area of the rendered PNG holds drawn data (coloured pixels)
"""
import json
import math
import struct
import sys
import xml.etree.ElementTree as ET
import zlib

HEADER = ("Sample ID,Input MBPS,VTX Latency,VRX Latency,Average Latency,Frame Latency,FEC Latency,"
          "Decode Latency,Render Latency,PCAP Delta,FPS,RSSI,Fragments,Frame Type")
KEYS = ["input_mbps", "vtx_latency_ms", "vrx_latency_ms", "average_latency_ms", "frame_latency_ms",
        "fec_latency_ms", "decode_latency_ms", "render_latency_ms", "pcap_delta_ms", "fps", "rssi_dbm",
        "fragments"]


def read_runs(path):
    """Runs as lists of rows; a row is (id, [12 numbers], frame-type text)."""
    runs = []
    for line in open(path, encoding="utf-8", errors="replace").read().split("\n"):
        if line == HEADER:
            runs.append([])
            continue
        f = line.split(",")
        if len(f) != 14 or not f[0].isdigit():
            if line and not runs:
                runs.append([])
            continue
        try:
            # The decimal of the log itself: the report's figures must be
            # these values, not the float the inspector formatted.
            vals = [float(x) for x in f[1:11]] + [int(f[11]), int(f[12])]
        except ValueError:
            continue
        if not runs:
            runs.append([])
        runs[-1].append((int(f[0]), vals, f[13]))
    return runs


def nearest_rank(sorted_vals, p):
    n = len(sorted_vals)
    rank = max(1, math.ceil(p * n / 100))  # p and n small enough for exact floats here
    return sorted_vals[rank - 1]


def close(a, b, what):
    if a is None or b is None:
        if a != b:
            raise AssertionError("%s: %r != %r" % (what, a, b))
        return
    if abs(a - b) > 1e-4 * max(1.0, abs(b)):
        raise AssertionError("%s: report %r, reference %r" % (what, a, b))


def exact(a, b, what):
    if a != b:
        raise AssertionError("%s: report %r, log %r" % (what, a, b))


def check_stats(st, vals, what):
    vals = sorted(v for v in vals if math.isfinite(v))
    assert st["n"] == len(vals), "%s: n %r != %r" % (what, st["n"], len(vals))
    if not vals:
        assert st["p50"] is None, what
        return
    exact(st["min"], vals[0], what + " min")
    exact(st["max"], vals[-1], what + " max")
    close(st["mean"], sum(vals) / len(vals), what + " mean")
    # A mean may have more decimals, but no binary noise (...999, ...001).
    assert len(repr(st["mean"]).partition(".")[2]) <= 6, "%s mean %r" % (what, st["mean"])
    for p in (50, 95, 99):
        exact(st["p%d" % p], nearest_rank(vals, p), "%s p%d" % (what, p))


def check_json(log, report, only_run=None):
    runs = read_runs(log)
    doc = json.load(open(report))
    want_runs = [only_run] if only_run else list(range(1, len(runs) + 1))
    got_runs = [r["run"] for r in doc["runs"]]
    assert got_runs == want_runs, "runs %r, expected %r" % (got_runs, want_runs)
    for r in doc["runs"]:
        rows = runs[r["run"] - 1]
        where = "run %d" % r["run"]
        assert r["frames"] == len(rows), where + " frames"
        if rows:
            assert r["first_sample_id"] == rows[0][0] and r["last_sample_id"] == rows[-1][0], where
        # Ids unwrapped by signed 32-bit steps; missing: in the span, never seen.
        ext, ids = 0, []
        for i, (sid, _, _) in enumerate(rows):
            if i:
                step = (sid - rows[i - 1][0]) % (1 << 32)
                ext += step - (1 << 32) if step >= (1 << 31) else step
            ids.append(ext)
        seen = set(ids)
        missing = (max(ids) - min(ids) + 1 - len(seen)) if ids else 0
        repeats = len(ids) - len(seen)
        assert r["repeats"] == repeats, "%s repeats %r != %r" % (where, r["repeats"], repeats)
        assert r["missing_ids"] == missing, "%s missing %r != %r" % (where, r["missing_ids"], missing)
        assert r["i_frames"] == sum(1 for x in rows if x[2].endswith("(I)")), where
        assert r["p_frames"] == sum(1 for x in rows if x[2].endswith("(P)")), where
        for k, key in enumerate(KEYS):
            check_stats(r["columns"][key], [x[1][k] for x in rows], "%s %s" % (where, key))
        check_stats(r["vrx_latency_ms_i_frames"], [x[1][2] for x in rows if x[2].endswith("(I)")], where + " I")
        check_stats(r["vrx_latency_ms_p_frames"], [x[1][2] for x in rows if x[2].endswith("(P)")], where + " P")
        total = sum(x[1][2] for x in rows)
        if total:
            for k, stage in ((4, "frame"), (5, "fec"), (6, "decode"), (7, "render")):
                close(r["share_of_vrx_latency"][stage], sum(x[1][k] for x in rows) / total, where + " " + stage)
    print("json report matches the reference for runs %s" % want_runs)


def read_png(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, w = 8, b"", 0
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, depth, ctype = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and ctype in (2, 6), "unexpected PNG format"
            bpp = 4 if ctype == 6 else 3
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    raw = zlib.decompress(idat)
    stride = w * bpp
    rows, prev = [], bytearray(stride)
    for y in range(h):
        ftype = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if ftype == 1:
                line[i] = (line[i] + a) & 255
            elif ftype == 2:
                line[i] = (line[i] + b) & 255
            elif ftype == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif ftype == 4:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return w, h, bpp, rows


def check_svg(svg, png, min_share=0.02):
    root = ET.parse(svg).getroot()
    assert root.tag == "{http://www.w3.org/2000/svg}svg", root.tag
    plots = {e.get("id"): e for e in root.iter("{http://www.w3.org/2000/svg}rect")
             if (e.get("id") or "").startswith("plot-")}
    assert set(plots) == {"plot-latency", "plot-stages", "plot-histogram"}, sorted(plots)
    w, h, bpp, rows = read_png(png)
    assert (w, h) == (int(float(root.get("width"))), int(float(root.get("height")))), (w, h)
    for name, e in sorted(plots.items()):
        x0, y0 = int(float(e.get("x"))) + 2, int(float(e.get("y"))) + 2
        x1, y1 = x0 + int(float(e.get("width"))) - 4, y0 + int(float(e.get("height"))) - 4
        coloured = total = 0
        for y in range(y0, y1):
            line = rows[y]
            for x in range(x0, x1):
                r, g, b = line[x * bpp], line[x * bpp + 1], line[x * bpp + 2]
                total += 1
                # Data series are saturated colours; grid, axes and text are grey.
                if max(r, g, b) - min(r, g, b) > 40:
                    coloured += 1
        share = coloured / total
        print("%s: %.1f %% of the plot area drawn in colour" % (name, 100 * share))
        assert share >= min_share, "%s looks blank (%.2f %% coloured)" % (name, 100 * share)


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "json":
        check_json(sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else None)
    elif cmd == "svg":
        check_svg(sys.argv[2], sys.argv[3], float(sys.argv[4]) if len(sys.argv) > 4 else 0.02)
    else:
        sys.exit("unknown check " + cmd)
