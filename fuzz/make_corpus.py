#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Deterministic: running it again gives the same files. Each seed is small and
shows the target one kind of input it should explore from.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = 0x5441524E


def rec(sample_id, frame_type=65, vrx=20.0, magic=MAGIC):
    return struct.pack("<II8fiiiff", magic, sample_id, 12.5, 8.0, vrx, 3.0, 1.0, 4.0, 2.0, 16.6,
                       frame_type, 7, -50, 60.0, 16.5)


def buf(data):
    """An inspector command: one buffer of these bytes."""
    return b"\x00" + struct.pack("<H", len(data)) + data


def chunk(data):
    return struct.pack("<H", len(data)) + data


CORPUS = {
    "fuzz_inspector": {
        "one_record": b"\x00" + buf(rec(1, 101)),
        "saved_newline": b"\x03" + buf(rec(1, 101) + rec(2)) + buf(rec(2) + rec(3, 1)),
        "h265_types": b"\x05" + buf(rec(1, 19) + rec(2, 1) + rec(3, 32) + rec(4, 77)),
        "bad_magic": b"\x01" + buf(rec(5) + rec(6, magic=0)) + buf(rec(7)),
        "partial": b"\x01" + buf(rec(8)[:59]) + buf(rec(9) + b"\x4e"),
        "odd_calls": b"\x01\xf2" + b"\xf0\x05\x00" + b"\xf1\x3c\x00" + b"\xf4" + b"\xf3" + buf(rec(0)),
        "repeats": b"\x03" + buf(rec(0) + rec(0) + rec(4) + rec(4) + rec(5) + rec(4)),
    },
    "fuzz_validators": {
        "ext_fc": b"\x00\x00" + struct.pack("<II", MAGIC, 1) * 3,
        "ndc_unaligned": b"\x01\x03" + (struct.pack("<I", MAGIC) + b"\x00" * 20) * 2,
        "doodle": b"\x02\x01" + (b"\x01\x02\x03\x04" + struct.pack("<I", MAGIC) + b"\x00" * 24) * 2,
        "tflite_partial": b"\x03\x00" + struct.pack("<I", MAGIC) + b"\x00" * 96,
        "generic": b"\x04\x02" + b"\x38\x04" + (b"\x00" * 4 + struct.pack("<I", MAGIC) + b"\x00" * 52) * 2,
        "fixed_failures": b"\x05\x00" + b"\xff" * 8,
    },
    "fuzz_json_read": {
        "plain": b"\x01\x14" + b'{"encoding": "h265", "width": 1280}\n',
        "header": b"\x01\x08" + b'/**\n * tarn-vrx Configuration File\n */\n{"encoding": "h264"}\n',
        "line_comments": b"\x00\x03" + b'// one\n// two\n{"a": [1, 2.5, true, null], "b": {"c": "d"}}',
        "unclosed_comment": b"\x00\x05" + b'/* no end\n{"x": 1}',
        "trailing_garbage": b"\x00\x05" + b'{"x": 1} }',
        "nul_inside": b"\x01\x05" + b'{"x": "a\x00b"}',
    },
    "fuzz_pipe_location": {
        "name": b"vrx_latency",
        "absolute": b"/run/bpa/vrx_latency/",
        "dot_dot": b"/run/bpa/../etc",
        "long": b"a" * 60,
        "double_slash": b"/tmp//x",
    },
    "fuzz_pipe_client": {
        "one_record": chunk(rec(1)),
        "several": chunk(rec(1)) + chunk(rec(2) + rec(3)) + chunk(b"x"),
        "empty_and_oversize": chunk(b"") + chunk(b"\x01" * 5000) + chunk(rec(4)),
    },
    "fuzz_scenario": {
        "every_kind": b"# at for what how much\n0s - rate 120\n10s 20s decode +6ms ramp\n30s 3s loss 25%\n"
                      b"35s 2s burst 10 1s\n40s 0.9s stall\n45s 5s iframe +14ms\n50s - restart 2s\n"
                      b"55s 10s rssi -78dBm ramp\n60s 5s rate 60\n62s 1s bad 5%\n70s - codec h265\n90s - end\n",
        "out_of_order": b"5s - end\n1s 10s vtx -1.5ms\n0 - fec 0.002s\n",
        "overlap": b"0s 5s decode +1ms\n2s 1s decode +2ms\n",
        "no_line_end": b"1min 500ms frame +1ms",
        "nul_inside": b"0s - rate 5\n1s - ra\x00te 5\n",
    },
    # fuzz_events: 8 bytes a step: time, id step (+8), latencies, RSSI,
    # fps / 2, codec and value bits, flags.
    "fuzz_events": {
        "steady": bytes([8, 9, 40, 12, 50, 60, 0, 1]) * 2000,
        "gaps_and_ticks": (bytes([8, 9, 40, 12, 50, 60, 0, 1]) * 1300 + bytes([8, 40, 40, 12, 50, 60, 0, 1])
                           + bytes([100, 0x80, 0, 0, 0, 0, 0, 0x80]) * 5) * 3,
        "restart_and_bad": bytes([8, 9, 40, 12, 50, 60, 0, 1]) * 1300 + bytes([0, 0, 0, 0, 0, 0, 0, 0x10])
                           + bytes([200, 0x80, 0, 0, 0, 0, 0, 0x10]) + bytes([8, 9, 40, 12, 50, 60, 2, 0x61]) * 300,
        "rise_and_fade": bytes([8, 9, 40, 12, 50, 60, 0, 1]) * 1300 + bytes([8, 9, 200, 12, 90, 20, 0, 0x09]) * 600,
        # Lost, back, lost again and back before a frame came.
        "reconnect_twice": bytes([8, 9, 40, 12, 50, 60, 0, 1]) * 100 + bytes([50, 0, 0, 0, 0, 0, 0, 0x10]) * 4
                           + bytes([8, 9, 40, 12, 50, 60, 0, 1]) * 10,
    },
}


def main():
    for target, seeds in CORPUS.items():
        folder = os.path.join(HERE, "corpus", target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
    print("wrote %d seeds for %d targets" % (sum(map(len, CORPUS.values())), len(CORPUS)))


if __name__ == "__main__":
    main()
