#!/usr/bin/env python3
"""Writes an inspector CSV log the way tarn-inspect-vrx -s writes it: floats
of single precision printed with fixed decimals, the rolling average of the
last ten I- or P-frame latencies computed in single precision (adding two
floats in double and rounding to single gives the single-precision sum).

    gen_log.py [--rows N] [--seed S] [--start ID] [--gop G] [--codec h264|h265]
               [--drop-every K] [--spikes] [--bursts] [--shift MS] [--fps F]
               [--header/--no-header] > log.csv

--bursts makes the link go bad now and then as a radio link does: from a
good frame the next starts a burst with chance 1/240 (one every four
seconds at 60 fps), a burst ends after each frame with chance 1/20 (a third
of a second on average), and in a burst frame assembly and FEC take 1.8
times as long and one frame in ten loses its id. --shift adds MS to every
VRX latency (a link slower by exactly that much); --stretch FROM:COUNT:MS
adds MS to the VRX latency of COUNT frames from frame FROM on (a stretch of
slow frames, e.g. interference for a while).
"""
import argparse
import math
import random
import struct
import sys

HEADER = ("Sample ID,Input MBPS,VTX Latency,VRX Latency,Average Latency,Frame Latency,FEC Latency,"
          "Decode Latency,Render Latency,PCAP Delta,FPS,RSSI,Fragments,Frame Type\n")


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def rolling(window, v):
    if len(window) > 9:
        window.pop(0)
    window.append(v)
    s = 0.0
    for x in window:
        s = f32(s + x)
    return f32(s / len(window))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--start", type=int, default=1)
    ap.add_argument("--gop", type=int, default=30)
    ap.add_argument("--codec", default="h264")
    ap.add_argument("--drop-every", type=int, default=0, help="leave out one id in every K")
    ap.add_argument("--spikes", action="store_true", help="add a few slow frames and a congested stretch")
    ap.add_argument("--bursts", action="store_true", help="bursts of slow frames (see above)")
    ap.add_argument("--shift", type=float, default=0.0, help="milliseconds added to every VRX latency")
    ap.add_argument("--stretch", default="", help="FROM:COUNT:MS, see above")
    ap.add_argument("--fps", type=float, default=60.0)
    ap.add_argument("--no-header", action="store_true")
    a = ap.parse_args()
    rng = random.Random(a.seed)
    s_from, s_count, s_ms = (0, 0, 0.0)
    if a.stretch:
        f, c, m = a.stretch.split(":")
        s_from, s_count, s_ms = int(f), int(c), float(m)
    out = sys.stdout
    if not a.no_header:
        out.write(HEADER)
    wi, wp = [], []
    sid = a.start
    lines = []
    bad = False
    for n in range(a.rows):
        if a.bursts:
            bad = rng.random() >= 1 / 20 if bad else rng.random() < 1 / 240
            if bad and rng.random() < 0.1:
                sid = (sid + 1) & 0xFFFFFFFF
        if a.drop_every and n and n % a.drop_every == 0:
            sid = (sid + 1) & 0xFFFFFFFF
        iframe = n % a.gop == 0
        g = lambda m, s: max(0.05, rng.gauss(m, s))
        slow = 1.0
        if a.spikes and (a.rows // 2 <= n < a.rows // 2 + a.rows // 20):
            slow = 1.8
        if bad:
            slow = 1.8
        frame = f32(g(4.5 if iframe else 2.5, 0.4) * slow)
        fec = f32(g(1.6 if iframe else 0.9, 0.2) * slow)
        dec = f32(g(6.0 if iframe else 3.8, 0.5))
        ren = f32(g(1.6, 0.3))
        vrx = f32(frame + fec + dec + ren + g(0.4, 0.1))
        if a.spikes and rng.random() < 0.004:
            vrx = f32(vrx + rng.uniform(15, 40))
        # As a receiver measuring in microseconds would send it: then the
        # log's text gives back the very float the average was taken over.
        extra = a.shift + (s_ms if s_from <= n < s_from + s_count else 0.0)
        vrx = f32(float("%.3f" % (vrx + extra)))
        vtx = f32(g(11.0 if iframe else 8.5, 0.8))
        mbps = f32(g(18.0 if iframe else 12.0, 1.5))
        pcap = f32(g(16.667, 0.6))
        fps = f32(a.fps + 0.05 * rng.gauss(0, 1))
        rssi = -48 + round(3 * rng.gauss(0, 1))
        frags = 24 + int(abs(rng.gauss(0, 1)) * 6) if iframe else 6 + int(abs(rng.gauss(0, 1)) * 3)
        if a.codec == "h264":
            code_text = "H264 (I)" if iframe else "H264 (P)"
        else:
            code_text = "H265 (I)" if iframe else "H265 (P)"
        avg = rolling(wi if iframe else wp, vrx)
        lines.append("%d,%.1f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%d,%d,%s\n" % (
            sid, mbps, vtx, vrx, avg, frame, fec, dec, ren, pcap, fps, rssi, frags, code_text))
        sid = (sid + 1) & 0xFFFFFFFF
        if len(lines) >= 10000:
            out.write("".join(lines))
            lines = []
    out.write("".join(lines))


if __name__ == "__main__":
    main()
