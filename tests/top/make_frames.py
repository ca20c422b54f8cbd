#!/usr/bin/env python3
"""Writes the writes the simulator publishes (--frames: u32 length + bytes
each) for the tarn-vrx-top tests, and the figures they must produce, as
shell assignments.

Sample ids 1..200 with ids 50-54 and 120 missing (6 in 2 gaps), id 80 sent
twice in a row (a repeat the inspector skips), id 100 again after 101 (a
repeat) and 151 before 150 (out of order); one buffer whose second record
has magic 0 and one of 61 bytes (both dropped whole: 3 records in 2
buffers). Every 10th id is an I-frame. Percentiles are nearest-rank over
the frames' values as the CSV log prints them (thousandths).

usage: make_frames.py FRAMES_FILE EXPECT_FILE
"""
import struct
import sys

MAGIC = 0x5441524E


def f32(v):
    return struct.unpack('<f', struct.pack('<f', v))[0]


def record(i, magic=MAGIC):
    iframe = i % 10 == 0
    vrx = 5 + (i % 37) * 0.5 + i * 0.001 + (10 if iframe else 0)
    stages = [vrx * 0.3, vrx * 0.1, vrx * 0.4, vrx * 0.15]
    values = dict(vrx=f32(vrx), vtx=f32(3 + i * 0.01), frame=f32(stages[0]), fec=f32(stages[1]),
                  decode=f32(stages[2]), render=f32(stages[3]))
    data = struct.pack('<IIffffffffiiiff', magic, i, 12.5, values['vtx'], values['vrx'], values['frame'],
                       values['fec'], values['decode'], values['render'], 16.7,
                       101 if iframe else 65, 8, -50 - i % 5, 60.0, 16.8)
    return data, values, iframe


def thousandths(v):
    return round(v * 1000)  # half to even on the double, as the log rounds


def nearest_rank(values, pct):
    v = sorted(values)
    k = max(1, (pct * len(v) + 99) // 100)
    return v[k - 1]


def main():
    frames_path, expect_path = sys.argv[1], sys.argv[2]
    order = [i for i in range(1, 201) if not (50 <= i <= 54 or i == 120)]
    order.insert(order.index(80) + 1, 80)   # repeated at once: skipped
    order.insert(order.index(101) + 1, 100)  # repeated later: a frame and a repeat
    a, b = order.index(150), order.index(151)
    order[a], order[b] = order[b], order[a]

    writes = []
    shown = []
    last_id = None
    for i in order:
        data, values, iframe = record(i)
        writes.append(data)
        if i != last_id:
            shown.append((values, iframe))
        last_id = i
        if i == 30:
            writes.append(record(500)[0] + record(501, magic=0)[0])
            writes.append(b'\x00' * 61)
    with open(frames_path, 'wb') as f:
        for w in writes:
            f.write(struct.pack('<I', len(w)) + w)

    def ms(q):
        return f'{q / 1000:.3f}'

    out = {'FRAMES': len(shown), 'MISSING': 6, 'GAPS': 2, 'REPEATS': 2, 'OUT_OF_ORDER': 1,
           'BAD_RECORDS': 3, 'BAD_BUFFERS': 2, 'I_FRAMES': sum(1 for _, i in shown if i),
           'P_FRAMES': sum(1 for _, i in shown if not i), 'RECORDS': len(order),
           'LOST_PCT': f'{100 * 6 / (len(shown) + 6):.2f}'}
    series = {'VRX': [thousandths(v['vrx']) for v, _ in shown],
              'VRXI': [thousandths(v['vrx']) for v, i in shown if i],
              'DECODE': [thousandths(v['decode']) for v, _ in shown]}
    for name, vals in series.items():
        out[f'{name}_N'] = len(vals)
        out[f'{name}_LAST'] = ms(vals[-1])
        for p in (50, 95, 99, 100):
            out[f'{name}_P{p}'] = ms(nearest_rank(vals, p))
        out[f'{name}_MIN'] = ms(min(vals))
    with open(expect_path, 'w') as f:
        for k, v in out.items():
            f.write(f'{k}={v}\n')


if __name__ == '__main__':
    main()
