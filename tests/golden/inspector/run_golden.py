#!/usr/bin/env python3
"""Golden-output tests of tarn-inspect-vrx.

Each case feeds exact buffers to the real inspector through the simulator's
--frames mode and compares what the inspector printed (stdout, stderr, the CSV
log and its exit status) with the files <case>.stdout, <case>.stderr and
<case>.csv beside this script. Must run as root inside scripts/sandbox.sh:
it rewrites /etc/hexwing and /data.

    run_golden.py [--update] [CASE...]
"""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BIN = os.environ["TARN_BIN"]
EMU = os.environ.get("TARN_EMULATOR", "").split()
MAGIC = 0x5441524E
PIPE = "/run/bpa/golden"
CONF = "/etc/hexwing/tarn-vrx.conf"
CSV = "/data/tarn-inspect-vrx.csv"
# The tests' one slow-machine factor (tests/slow-factor.sh): every wait is its
# quiet-machine time times SLOW.
SLOW_FACTOR = os.path.join(HERE, "..", "..", "slow-factor.sh")
SLOW = int(subprocess.check_output(["bash", SLOW_FACTOR]))
TMP = tempfile.mkdtemp(prefix="tarn-golden-")  # /tmp is shared with the host

FIELDS = ("magic sample_id input_mbps vtx vrx frame fec decode render pcap "
          "frame_type fragments rssi fps vbat").split()


def rec(sample_id, frame_type=65, vrx=20.0, **kw):
    v = dict(magic=MAGIC, sample_id=sample_id, input_mbps=10.0, vtx=8.0, vrx=vrx, frame=3.0,
             fec=1.0, decode=4.0, render=2.0, pcap=16.6, frame_type=frame_type, fragments=7,
             rssi=-50, fps=60.0, vbat=16.5)
    v.update(kw)
    return struct.pack("<II8fiiiff", *(v[f] for f in FIELDS))


WORKED = rec(1234, 101, vrx=20.25, input_mbps=12.34, vtx=10.5, frame=3.2, fec=1.1, decode=5.5,
             render=2.0, pcap=0.75, fragments=12, rssi=-45, fps=59.94, vbat=16.8)

# name: (inspector options, config file text or None for no file, list of
#        runs of the simulator (each a list of buffers), extra flags)
CASES = {
    "worked_example": (["-s"], '{"encoding": "h264"}', [[WORKED]], {}),
    "framing_default": ([], '{"encoding": "h264"}', [[rec(1) + rec(2, 101)]], {"keep_conf": True}),
    "framing_newline": (["-n"], '{}', [[rec(1), rec(2, 101)]], {}),
    "repeats": (["-n", "-s"], '{}',
                [[rec(0), rec(0, vrx=99.0) + rec(7), rec(7) + rec(8) + rec(7)]], {}),
    "windows": (["-n"], '{}',
                [[b"".join(rec(i, 65, vrx=10.0) for i in range(1, 10)),
                  rec(10, 101, vrx=40.0), rec(11, 103, vrx=7.0), rec(12, 104, vrx=8.0),
                  rec(13, 77, vrx=9.0), b"".join(rec(14 + i, 65, vrx=float(i)) for i in range(12)),
                  rec(30, 101, vrx=20.0), rec(31, 5, vrx=5.0)]], {}),
    "h265_config": (["-n", "-s"], '/* receiver settings */\n{"encoding": "h265", "x": 1}',
                    [[rec(1, 19), rec(2, 1), rec(3, 32) + rec(4, 33) + rec(5, 34), rec(6, 77),
                      rec(7, 101)]], {}),
    "upper_case_codec": (["-n"], '{"encoding": "H265"}', [[rec(1, 19), rec(2, 65)]], {}),
    "long_codec_value": (["-n"], '{"encoding": "h265h265h265h265h265h265"}',
                         [[rec(1, 19), rec(2, 101)]], {}),
    "missing_key": (["-n"], '{"other": true}', [[rec(1, 19), rec(2, 101)]], {"keep_conf": True}),
    "no_config_file": (["-n"], None, [[rec(1, 101)]], {"message": "No configuration file found, "
                       "created a new empty configuration file using defaults: " + CONF + "\n"}),
    "unwritable_config_dir": (["-n"], "readonly", [[rec(1, 19)]],
                              {"message": "Error creating config file\n"}),
    "invalid_config": (["-n"], '{"encoding": "h265",', [[rec(1, 19)]],
                       {"message": "cJSON parent null\n"}),
    "validation_messages": (["-n", "-s"], '{}',
                            [[rec(1)[:59], rec(2) + rec(3)[:1], rec(4) + struct.pack("<I", 0) + rec(5)[4:],
                              b"\xff\xff\xff\xff" + rec(6)[4:] + b"\x01" * 60 + struct.pack("<I", 7) + rec(8)[4:],
                              rec(9)]], {}),
    "server_restart": (["-n"], '{}', [[rec(1), rec(2)], [rec(3), rec(4)]], {}),
    "two_runs_append": (["-s"], '{}', [[rec(1, 101), rec(2)]], {"runs": 2}),
    "csv_folder_missing": (["-n", "-s"], '{}', [[rec(1), rec(2), rec(3)]], {"no_data": True}),
}


def run(cmd, **kw):
    return subprocess.Popen(EMU + cmd, **kw)


def wait_for(pred, timeout, what):
    end = time.time() + timeout * SLOW
    while time.time() < end:
        if pred():
            return
        time.sleep(0.02)
    words = subprocess.check_output(["bash", SLOW_FACTOR, "-v"], text=True).strip()
    raise AssertionError("timed out after %g s (%g s x %d) waiting for %s; %s"
                         % (timeout * SLOW, timeout, SLOW, what, words))


def set_config(conf):
    subprocess.run(["umount", "/etc/hexwing"], stderr=subprocess.DEVNULL)
    subprocess.run(["rm", "-rf", "/etc/hexwing"], check=True)
    os.makedirs("/etc/hexwing")
    if conf == "readonly":
        subprocess.run(["mount", "-t", "tmpfs", "-o", "ro", "tarn-ro", "/etc/hexwing"], check=True)
    elif conf is not None:
        with open(CONF, "w") as f:
            f.write(conf)


def one_inspector_run(opts, sims):
    """Starts the first simulator, the inspector, then each further simulator
    after the previous one left; stops the inspector with SIGTERM."""
    out = open(os.path.join(TMP, "stdout"), "wb")
    err = open(os.path.join(TMP, "stderr"), "wb")
    insp = None
    for i, bufs in enumerate(sims):
        frames = os.path.join(TMP, "frames")
        with open(frames, "wb") as f:
            for b in bufs:
                f.write(struct.pack("<I", len(b)) + b)
        sim = run([BIN + "/tarn-vrx-sim", "--pipe", PIPE, "--frames", frames, "--rate", "50",
                   "--wait-clients", "1", "--delay", str(0.3 * SLOW), "--hold", str(0.3 * SLOW)])
        wait_for(lambda: os.path.exists(PIPE + "/data"), 5, "the simulator's pipe")
        if insp is None:
            insp = run([BIN + "/tarn-inspect-vrx", "-p", PIPE] + opts, stdout=out, stderr=err)
        assert sim.wait(timeout=20 * SLOW) == 0, "simulator failed"
        want = (i + 1) * b"\nserver disconnected\n"
        wait_for(lambda: open(os.path.join(TMP, "stderr"), "rb").read().count(
            b"server disconnected") >= i + 1, 5, "the inspector to see the disconnect")
    insp.send_signal(signal.SIGTERM)
    status = insp.wait(timeout=5 * SLOW)
    out.close()
    err.close()
    return status, open(os.path.join(TMP, "stdout"), "rb").read(), open(os.path.join(TMP, "stderr"), "rb").read()


def run_case(name, update):
    opts, conf, sims, extra = CASES[name]
    set_config(conf)
    subprocess.run(["rm", "-rf", "/data"], check=True)
    if not extra.get("no_data"):
        os.makedirs("/data")
    got_out = b""
    got_err = b""
    for _ in range(extra.get("runs", 1)):
        status, o, e = one_inspector_run(opts, sims)
        got_out += o + b"exit %d\n" % status
        got_err += e
    problems = []
    msg = extra.get("message")
    if msg:
        # The main thread prints this while the pipe thread may print the
        # header, so only its presence is fixed, not its place.
        if got_out.count(msg.encode()) != 1:
            problems.append("expected once on stdout: %r" % msg)
        got_out = got_out.replace(msg.encode(), b"")
    got = {"stdout": got_out, "stderr": got_err}
    if "-s" in opts:
        got["csv"] = open(CSV, "rb").read() if os.path.exists(CSV) else b"(no file)\n"
    if conf not in (None, "readonly") and extra.get("keep_conf"):
        if open(CONF).read() != conf:
            problems.append("the configuration file changed")
    if conf is None and open(CONF).read().strip() != "{}":
        problems.append("the created configuration file is not an empty object")
    for kind, data in got.items():
        path = os.path.join(HERE, "%s.%s" % (name, kind))
        if update:
            with open(path, "wb") as f:
                f.write(data)
            continue
        want = open(path, "rb").read() if os.path.exists(path) else b"(missing golden file)"
        if data != want:
            problems.append("%s differs:\n  want %r\n  got  %r" % (kind, want, data))
    return problems


def main():
    args = sys.argv[1:]
    update = "--update" in args
    names = [a for a in args if not a.startswith("--")] or list(CASES)
    failed = 0
    for name in names:
        try:
            problems = run_case(name, update)
        except Exception as e:  # a hung or crashed run is a failure of that case
            problems = ["%s: %s" % (type(e).__name__, e)]
        print("%-24s %s" % (name, "ok" if not problems else "FAILED"))
        for p in problems:
            print("    " + p)
        failed += bool(problems)
    shutil.rmtree(TMP, ignore_errors=True)
    print("%d passed, %d failed" % (len(names) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
