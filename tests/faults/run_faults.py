#!/usr/bin/env python3
"""Fault tests of tarn-inspect-vrx and of the settings writer.

Each case drives the real programs (the inspector, the simulated receiver and
the helpers beside this script) through one kind of fault and checks that
nothing crashed, nothing was lost and nothing was half written. Must run as
root inside scripts/sandbox.sh: it mounts on /data and rewrites /etc/hexwing.

    run_faults.py CASE...

Every case stops by itself: each wait has a deadline. A passing case prints
one line "FIGURES <case> key=value ..." that scripts/reliability-report.sh
collects.
"""
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

BIN = os.environ["TARN_BIN"]
SRC = os.environ.get("TARN_SRC", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
EMU = os.environ.get("TARN_EMULATOR", "").split()
# The tests' one slow-machine factor (tests/slow-factor.sh): every wait is its
# quiet-machine time times SLOW.
SLOW = int(subprocess.check_output(["bash", os.path.join(SRC, "tests", "slow-factor.sh")]))


def slow_words():
    return subprocess.check_output(["bash", os.path.join(SRC, "tests", "slow-factor.sh"), "-v"],
                                   text=True).strip()
MAGIC = 0x5441524E
CONF = "/etc/hexwing/tarn-vrx.conf"
CSV = "/data/tarn-inspect-vrx.csv"


def empty_data():
    """An empty /data folder, whatever an earlier case left there (a file
    system of its own mounted on it: the cases run one after another in one
    throwaway root)."""
    while subprocess.run(["umount", "/data"], stderr=subprocess.DEVNULL).returncode == 0:
        pass
    shutil.rmtree("/data", ignore_errors=True)
    os.makedirs("/data", exist_ok=True)
HEADER_MARK = b"\x1b[1m|    id   |"
DISCONNECT = b"\nserver disconnected\n"
ROW_WIDTH = 169
CSV_HEADER = ("Sample ID,Input MBPS,VTX Latency,VRX Latency,Average Latency,Frame Latency,"
              "FEC Latency,Decode Latency,Render Latency,PCAP Delta,FPS,RSSI,Fragments,Frame Type")

WORK = None  # private scratch folder of this run


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def wait_for(pred, timeout, what):
    end = time.time() + timeout * SLOW
    while time.time() < end:
        if pred():
            return
        time.sleep(0.02)
    raise Failure("timed out after %g s (%g s x %d) waiting for %s; %s"
                  % (timeout * SLOW, timeout, SLOW, what, slow_words()))


STARTED = []  # every process a case started, stopped when the case ends


def run(cmd, **kw):
    proc = subprocess.Popen(EMU + cmd, **kw)
    STARTED.append(proc)
    return proc


def kill_leftovers():
    for proc in STARTED:
        if proc.poll() is None:
            proc.send_signal(signal.SIGCONT)
            proc.kill()
            proc.wait()
    STARTED.clear()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def stop(proc, sig=signal.SIGTERM, timeout=5):
    """Signals proc and returns its exit status; kills it if it hangs."""
    if proc.poll() is None:
        proc.send_signal(sig)
    try:
        return proc.wait(timeout=timeout * SLOW)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise Failure("process %d did not stop within %g s (%g s x %d) after signal %d; %s"
                      % (proc.pid, timeout * SLOW, timeout, SLOW, sig, slow_words()))


def set_codec_config():
    os.makedirs("/etc/hexwing", exist_ok=True)
    with open(CONF, "w") as f:
        f.write('{"encoding": "h264"}\n')


class Inspector:
    """One tarn-inspect-vrx run with its output in files of WORK."""

    count = 0

    def __init__(self, pipe, *opts):
        Inspector.count += 1
        base = os.path.join(WORK, "inspector%d" % Inspector.count)
        self.out_path, self.err_path = base + ".stdout", base + ".stderr"
        self.out, self.err = open(self.out_path, "wb"), open(self.err_path, "wb")
        self.proc = run([BIN + "/tarn-inspect-vrx", "-p", pipe, "-n"] + list(opts),
                        stdout=self.out, stderr=self.err)

    def stdout(self):
        return read(self.out_path)

    def stderr(self):
        return read(self.err_path)

    def rows(self):
        # Read while the inspector runs, the file may end in a row whose
        # write is still under way; once it has exited every row is whole.
        running = self.proc.poll() is None
        return parse_rows(self.stdout(), partial_tail_ok=running)

    def finish(self):
        status = stop(self.proc)
        self.out.close()
        self.err.close()
        return status


def parse_rows(out, partial_tail_ok=False):
    """Sample ids of the rows shown with -n; fails on any torn row (but for
    a short last line when partial_tail_ok: a write seen half done)."""
    ids = []
    lines = out.split(b"\n")
    if partial_tail_ok and lines and len(lines[-1]) < ROW_WIDTH:
        lines.pop()
    for line in lines:
        if not line.startswith(b"|") or line.startswith(b"|    id   |"):
            continue
        # A row that came in while the inspector was closing is followed by
        # the line-wrap switch on the same line.
        if line.endswith(b"\x1b[?7h"):
            line = line[:-len(b"\x1b[?7h")]
        text = line.decode("utf-8")
        check(len(text) == ROW_WIDTH and text.endswith("|"), "torn row %r" % text)
        ids.append(int(text[1:9]))
    return ids


def rows_per_header(out):
    """Sample ids shown under each table header, in order."""
    parts = out.split(HEADER_MARK)[1:]
    return [parse_rows(HEADER_MARK + p) for p in parts]


def start_sim(pipe, *args):
    proc = run([BIN + "/tarn-vrx-sim", "--pipe", pipe] + [str(a) for a in args])
    wait_for(lambda: os.path.exists(pipe + "/data") or proc.poll() is not None, 5, "the simulator")
    check(proc.poll() is None, "the simulator exited at start")
    return proc


def csv_lines(data):
    """Lines of the CSV log; fails when the log holds a partial line."""
    if not data:
        return []
    check(data.endswith(b"\n"), "the CSV log ends in a partial line %r" % data[-80:])
    lines = data.decode().split("\n")[:-1]
    for line in lines:
        check(line == CSV_HEADER or (len(line.split(",")) == 14 and line.split(",")[0].isdigit()),
              "malformed CSV line %r" % line)
    return lines


def csv_ids(lines):
    return [int(l.split(",")[0]) for l in lines if l != CSV_HEADER]


def increasing(ids):
    return all(b > a for a, b in zip(ids, ids[1:]))


def consecutive(ids):
    return all(b == a + 1 for a, b in zip(ids, ids[1:]))


# ---- cases -------------------------------------------------------------------

def case_publisher_killed():
    """The publisher dies by SIGKILL in the middle of a burst; a new one comes."""
    pipe = "/run/bpa/fault_kill"
    set_codec_config()
    sim = start_sim(pipe, "--rate", 5000, "--wait-clients", 1)
    insp = Inspector(pipe)
    wait_for(lambda: len(insp.rows()) >= 500, 10, "rows of the first burst")
    sim.send_signal(signal.SIGKILL)
    sim.wait()
    wait_for(lambda: DISCONNECT in insp.stderr(), 5, "the disconnect line")
    time.sleep(0.5)
    check(insp.proc.poll() is None, "the inspector stopped after the publisher died")

    second = 2000
    sim2 = start_sim(pipe, "--rate", 2000, "--count", second, "--start-id", 1000000,
                     "--wait-clients", 1, "--delay", 0.3, "--hold", 0.5)
    check(sim2.wait(timeout=30 * SLOW) == 0, "the second publisher failed")
    wait_for(lambda: insp.stderr().count(DISCONNECT) >= 2, 5, "the second disconnect line")
    status = insp.finish()

    check(status == 0, "inspector exit status %d" % status)
    tables = rows_per_header(insp.stdout())
    check(len(tables) == 2, "expected the header twice, saw it %d times" % len(tables))
    first, after = tables
    check(first[0] == 1 and consecutive(first), "rows of the first burst have gaps")
    check(after == list(range(1000000, 1000000 + second)),
          "after the reconnect %d of %d records shown" % (len(after), second))
    check(insp.stderr() == DISCONNECT * 2, "unexpected stderr %r" % insp.stderr()[:300])
    return {"rows_before_kill": len(first), "records_after_reconnect": second,
            "shown_after_reconnect": len(after), "lost": second - len(after)}


def case_subscriber_stopped():
    """One subscriber is stopped for 2 s during a 10,000 records/s burst."""
    pipe = "/run/bpa/fault_stop"
    set_codec_config()
    rate, count = 10000, 40000
    pub_out = open(os.path.join(WORK, "publisher.out"), "wb")
    pub = run([BIN + "/fault_publisher", pipe, str(rate), str(count), "2"], stdout=pub_out)
    wait_for(lambda: os.path.exists(pipe + "/data"), 5, "the publisher")
    stopped = Inspector(pipe)
    steady = Inspector(pipe)
    wait_for(lambda: len(stopped.rows()) >= 2000, 15, "the burst")
    stopped.proc.send_signal(signal.SIGSTOP)
    at_stop = len(steady.rows())
    time.sleep(2.0)
    during = len(steady.rows()) - at_stop
    stopped.proc.send_signal(signal.SIGCONT)
    check(pub.wait(timeout=60 * SLOW) == 0, "the publisher failed")
    pub_out.close()
    m = re.match(rb"sent (\d+) delivered (\d+) max_write_us (\d+) elapsed_ms (\d+)",
                 read(pub_out.name))
    check(m is not None, "no publisher summary")
    sent, delivered, max_write_us, elapsed_ms = map(int, m.groups())
    for insp in (stopped, steady):
        wait_for(lambda: DISCONNECT in insp.stderr(), 10, "the disconnect line")
    st_stopped, st_steady = stopped.finish(), steady.finish()

    check(st_stopped == 0 and st_steady == 0, "exit statuses %d, %d" % (st_stopped, st_steady))
    check(sent == count, "the publisher sent %d of %d" % (sent, count))
    # A write that blocked on the stopped subscriber would last until SIGCONT.
    check(max_write_us < 1000000, "a write took %d us" % max_write_us)
    got = steady.rows()
    check(got == list(range(1, count + 1)), "the running subscriber showed %d of %d records"
          % (len(got), count))
    check(during > 0, "the running subscriber got nothing while the other was stopped")
    ids = stopped.rows()  # parse_rows fails on a torn row
    check(all(b > a for a, b in zip(ids, ids[1:])), "the stopped subscriber's rows are out of order")
    check(ids[-1] == count, "the stopped subscriber did not resume to the last record")
    for insp in (stopped, steady):
        check(insp.stderr() == DISCONNECT, "unexpected stderr %r" % insp.stderr()[:300])
    return {"records": count, "rate_per_s": rate, "steady_shown": len(got),
            "steady_lost": count - len(got), "stopped_shown": len(ids),
            "stopped_dropped_whole": count - len(ids), "max_write_us": max_write_us,
            "publisher_elapsed_ms": elapsed_ms, "deliveries": delivered}


def case_sigterm_burst():
    """SIGTERM reaches the inspector with -s in the middle of a burst."""
    pipe = "/run/bpa/fault_term"
    set_codec_config()
    empty_data()
    sim = start_sim(pipe, "--rate", 10000)
    insp = Inspector(pipe, "-s")
    wait_for(lambda: len(insp.rows()) >= 3000, 15, "the burst")
    status = insp.finish()
    stop(sim)
    check(status == 0, "inspector exit status %d" % status)
    lines = csv_lines(read(CSV))
    check(lines and lines[0] == CSV_HEADER, "the CSV log does not start with its header")
    logged, shown = csv_ids(lines), insp.rows()
    check(set(logged) <= set(shown), "the CSV log holds rows that were not shown")
    check(logged == shown, "shown and logged rows differ (%d shown, %d logged)"
          % (len(shown), len(logged)))
    check(b"closing and exiting" in insp.stdout(), "no closing line")
    return {"rows_shown": len(shown), "rows_logged": len(logged), "partial_lines": 0}


def case_csv_faults():
    """The CSV folder goes missing, read-only and full, then comes back."""
    pipe = "/run/bpa/fault_csv"
    set_codec_config()
    subprocess.run(["umount", "/data"], stderr=subprocess.DEVNULL)
    shutil.rmtree("/data", ignore_errors=True)

    def mount_data():
        os.makedirs("/data", exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tarn-data", "/data"], check=True)

    def logged():
        # Lines so far; only the final log is checked strictly, since a read
        # may meet a write under way.
        return read(CSV).count(b"\n")

    def errors():
        return [l for l in insp.stderr().decode().split("\n") if l.startswith("ERROR")]

    def grows_by(n):
        base = logged()
        wait_for(lambda: logged() >= base + n, 10, "the log to resume")

    mount_data()
    # Records of one size, so that once a row no longer fits none does until
    # space returns; ids from 1000 keep the width of the id field.
    sim = run([BIN + "/fault_publisher", pipe, "200", "100000", "1", "1000"], stdout=subprocess.DEVNULL)
    wait_for(lambda: os.path.exists(pipe + "/data"), 5, "the publisher")
    insp = Inspector(pipe, "-s")
    wait_for(lambda: logged() >= 20, 10, "the first logged rows")

    # Missing folder.
    subprocess.run(["umount", "/data"], check=True)
    # The inspector may create its log in the uncovered folder meanwhile.
    wait_for(lambda: shutil.rmtree("/data", ignore_errors=True) or not os.path.exists("/data"),
             5, "/data to go")
    wait_for(lambda: len(errors()) >= 1, 5, "the error line for the missing folder")
    time.sleep(0.5)
    mount_data()
    grows_by(5)

    # Read-only.
    subprocess.run(["mount", "-o", "remount,ro", "/data"], check=True)
    wait_for(lambda: len(errors()) >= 2, 5, "the error line for the read-only folder")
    time.sleep(0.5)
    subprocess.run(["mount", "-o", "remount,rw", "/data"], check=True)
    grows_by(5)

    # Full: a filler takes every free block.
    fd = os.open("/data/filler", os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        while os.write(fd, b"\0" * 4096) > 0:
            pass
    except OSError:
        pass
    os.close(fd)
    wait_for(lambda: len(errors()) >= 3, 5, "the error line for the full folder")
    # Rows keep failing while it is full; the log stays whole meanwhile.
    time.sleep(0.5)
    while_full = logged()
    os.remove("/data/filler")
    grows_by(5)

    rows_before_stop = len(insp.rows())
    status = insp.finish()
    stop(sim)
    check(status == 0, "inspector exit status %d" % status)
    want = ["ERROR: cannot write %s: %s" % (CSV, reason) for reason in
            ("No such file or directory", "Read-only file system", "No space left on device")]
    check(errors() == want, "error lines %r" % errors())
    shown = insp.rows()
    check(shown[0] == 1000 and consecutive(shown), "rows on the terminal have gaps")
    final = csv_lines(read(CSV))
    ids = csv_ids(final)
    check(set(ids) <= set(shown) and all(b > a for a, b in zip(ids, ids[1:])),
          "the CSV log holds rows that were not shown, or out of order")
    check(len(final) > while_full, "logging did not resume after space returned")
    return {"rows_shown": len(shown), "rows_in_final_log": len(ids),
            "error_lines": len(errors()), "stretches": 3, "partial_lines": 0,
            "rows_shown_before_stop": rows_before_stop}


def vrx_header():
    with open(os.path.join(SRC, "tests", "golden", "vrx_config_header.txt")) as f:
        return f.read()


def case_config_write_killed():
    """A settings writer is SIGKILLed at random moments, over and over."""
    header = vrx_header()
    shutil.rmtree("/etc/hexwing", ignore_errors=True)
    os.makedirs("/etc/hexwing")
    # The service wrote its settings first; updates only replace them.
    initial = '{"payload": "0:"}\n'
    with open(CONF, "w") as f:
        f.write(initial)
    # How long a writer takes here to finish its first write, start-up
    # included: the kills fall from its start to well beyond that, so some
    # writes finish and some are cut however slow the machine or the build
    # (a sanitizer's) is.
    probe = os.path.join(WORK, "probe.conf")
    with open(probe, "w") as f:
        f.write(initial)
    probe_out = os.path.join(WORK, "probe.out")
    with open(probe_out, "wb") as out:
        start = time.time()
        w = run([BIN + "/fault_config_writer", probe, "1"], stdout=out)
        wait_for(lambda: read(probe_out).strip() != b"", 10, "the first write of a settings writer")
        first_write = time.time() - start
        w.send_signal(signal.SIGKILL)
        w.wait()
    window = max(0.03 * SLOW, 2 * first_write)
    rng = random.Random(20261208)
    kills, last_done, mid_write = 200, 0, 0
    previous = 0
    for i in range(kills):
        out = open(os.path.join(WORK, "writer.out"), "wb")
        w = run([BIN + "/fault_config_writer", CONF, str(last_done + 1)], stdout=out)
        time.sleep(rng.uniform(0.002, window))
        w.send_signal(signal.SIGKILL)
        w.wait()
        out.close()
        done = [int(l) for l in read(out.name).split() if l.isdigit()]
        if done:
            last_done = done[-1]
        check(os.path.exists(CONF), "kill %d: the settings file vanished" % i)
        text = read(CONF).decode()
        # An empty file is neither the old document nor a new one.
        check(text, "kill %d: the settings file is empty" % i)
        if text == initial and previous == 0:
            continue  # killed before the first setting was written
        check(text.startswith(header), "kill %d: the header is torn" % i)
        doc = json.loads(text[len(header):])
        n_text, _, xs = doc["payload"].partition(":")
        n = int(n_text)
        check(xs == "x" * (1000 + n % 7000), "kill %d: document %d is torn" % (i, n))
        # The file holds the last finished write, or the one under way when
        # the rename had happened but the writer had not said so yet.
        check(n in (last_done, last_done + 1), "kill %d: file holds %d, last write %d" % (i, n, last_done))
        check(n >= previous, "kill %d: the file went back from %d to %d" % (i, previous, n))
        previous = last_done = n
        leftovers = [f for f in os.listdir("/etc/hexwing") if ".tmp." in f]
        mid_write += len(leftovers)
        for f in leftovers:
            os.remove(os.path.join("/etc/hexwing", f))
    check(previous > 0, "no write ever finished")
    return {"kills": kills, "first_write_ms": int(first_write * 1000), "writes_finished": previous, "kills_during_a_write": mid_write,
            "torn_documents": 0}


def case_config_concurrent():
    """Two processes update one settings file 300 times each, at once."""
    header = vrx_header()
    shutil.rmtree("/etc/hexwing", ignore_errors=True)
    os.makedirs("/etc/hexwing")
    # The service wrote its settings first; updates only replace them.
    with open(CONF, "w") as f:
        f.write('{"a": 0, "b": "0", "n": 0}\n')
    count = 300

    def updaters(*jobs):
        procs = []
        start = str(int((time.time() + 0.3 * SLOW) * 1000))
        for i, (key, mode) in enumerate(jobs):
            out = open(os.path.join(WORK, "updater-%s-%d.out" % (key, i)), "wb")
            procs.append((run([BIN + "/fault_config_updater", CONF, key, str(count), mode, start],
                              stdout=out), out))
        lost = 0
        for proc, out in procs:
            check(proc.wait(timeout=120 * SLOW) == 0, "an updater failed")
            out.close()
            m = re.match(rb"lost (\d+)", read(out.name))
            check(m is not None, "no summary from an updater")
            lost += int(m.group(1))
        return lost

    # Each process its own key: a lost update shows as the key going back.
    lost = updaters(("a", "set-number"), ("b", "set-string"))
    text = read(CONF).decode()
    check(text.startswith(header), "the header is torn")
    doc = json.loads(text[len(header):])
    check(lost == 0, "%d of %d updates were lost" % (lost, 2 * count))
    check(doc == {"a": count, "b": str(count), "n": 0}, "final settings %r" % doc)

    # One key, read and incremented under the writers' lock by both.
    updaters(("n", "increment"), ("n", "increment"))
    doc = json.loads(read(CONF).decode()[len(header):])
    check(doc["n"] == 2 * count, "the counter reached %d of %d" % (doc["n"], 2 * count))
    left = [f for f in os.listdir("/etc/hexwing") if f != "tarn-vrx.conf"]
    check(not left, "files left beside the settings: %r" % left)
    return {"updates": 2 * count, "applied": 2 * count - lost, "lost": lost,
            "increments": 2 * count, "counter": doc["n"]}


def stop_timed(proc, sig):
    """Signals proc; its exit status and how long it took to end, in ms."""
    start = time.monotonic()
    status = stop(proc, sig)
    return status, int((time.monotonic() - start) * 1000)


# A stop must end the inspector within 1 s; the tests allow twice that so a
# busy machine does not fail them, and report the times measured.
STOP_LIMIT_MS = 2000 * SLOW
SIGNALS = (("TERM", signal.SIGTERM), ("INT", signal.SIGINT), ("HUP", signal.SIGHUP))


def case_stop_blocked_stdout():
    """A stop signal while standard output is a pipe nobody reads."""
    pipe = "/run/bpa/fault_stop_out"
    set_codec_config()
    sim = start_sim(pipe, "--rate", 10000)
    figures = {}
    for name, sig in SIGNALS:
        empty_data()
        err = open(os.path.join(WORK, "blocked.err"), "wb")
        proc = run([BIN + "/tarn-inspect-vrx", "-p", pipe, "-n", "-s"], stdout=subprocess.PIPE,
                   stderr=err)
        # The pipe fills after a few hundred rows; the log stops growing then.
        wait_for(lambda: read(CSV).count(b"\n") > 100, 10, "the first rows")
        last = -1
        while read(CSV).count(b"\n") != last:
            last = read(CSV).count(b"\n")
            time.sleep(0.3)
        status, ms = stop_timed(proc, sig)
        err.close()
        check(status == 0, "SIG%s: exit status %d" % (name, status))
        check(ms < STOP_LIMIT_MS, "SIG%s: the inspector took %d ms to stop" % (name, ms))
        shown = parse_rows(proc.stdout.read())  # fails on a torn row
        proc.stdout.close()
        logged = csv_ids(csv_lines(read(CSV)))
        check(shown and increasing(shown) and increasing(logged), "SIG%s: rows out of order" % name)
        check(set(shown) <= set(logged), "SIG%s: rows shown but not logged" % name)
        check(read(err.name) == b"", "SIG%s: stderr %r" % (name, read(err.name)[:200]))
        figures["sig%s_ms" % name.lower()] = ms
    stop(sim)
    return figures


def case_stop_blocked_stderr():
    """A stop signal while standard error is a pipe nobody reads."""
    pipe = "/run/bpa/fault_stop_err"
    set_codec_config()
    # Every write a bad record: two error lines each fill standard error.
    bad = struct.pack("<II8fiiiff", 0, 1, *([1.0] * 8), 101, 1, -40, 60.0, 12.0)
    path = os.path.join(WORK, "bad.frames")
    with open(path, "wb") as f:
        for _ in range(100000):
            f.write(struct.pack("<I", len(bad)) + bad)
    sim = start_sim(pipe, "--frames", path, "--rate", 5000)
    out = open(os.path.join(WORK, "blocked.out"), "wb")
    proc = run([BIN + "/tarn-inspect-vrx", "-p", pipe, "-n"], stdout=out, stderr=subprocess.PIPE)
    time.sleep(1.0 * SLOW)
    status, ms = stop_timed(proc, signal.SIGTERM)
    out.close()
    stop(sim)
    check(status == 0, "exit status %d" % status)
    check(ms < STOP_LIMIT_MS, "the inspector took %d ms to stop" % ms)
    lines = proc.stderr.read().split(b"\n")
    proc.stderr.close()
    check(len(lines) > 500, "standard error did not fill (%d lines)" % len(lines))
    check(all(l.startswith(b"ERROR") for l in lines[:-1]), "a torn error line")
    return {"sigterm_ms": ms}


def stat_is_fifo(path):
    import stat
    return stat.S_ISFIFO(os.lstat(path).st_mode)


def case_settings_not_regular():
    """The receiver's settings path is a FIFO, a device, or far too big."""
    pipe = "/run/bpa/fault_conf"
    sim = start_sim(pipe, "--rate", 2000)
    figures = {}

    def fifo():
        os.mkfifo(CONF)

    def device():
        # A device node where the sandbox allows one, else a link to one.
        try:
            os.mknod(CONF, 0o644 | 0o020000, os.makedev(1, 5))
        except OSError:
            os.symlink("/dev/zero", CONF)

    def big():
        with open(CONF, "wb") as f:
            f.truncate(2 << 20)

    for name, make, reason in (("fifo", fifo, "not a regular file"),
                               ("device", device, "not a regular file"),
                               ("big", big, "larger than 1 MiB")):
        shutil.rmtree("/etc/hexwing", ignore_errors=True)
        os.makedirs("/etc/hexwing")
        make()
        insp = Inspector(pipe)
        # The main thread reads the codec while the client thread already
        # shows rows, so its message may follow any whole row on that line.
        rows = lambda: parse_rows(insp.stdout().replace(b"cJSON parent null\n", b"", 1),
                                  partial_tail_ok=True)
        wait_for(lambda: len(rows()) >= 200, 10, "rows (%s)" % name)
        wait_for(lambda: b"cJSON parent null\n" in insp.stdout(), 5, "the read message (%s)" % name)
        status, ms = stop_timed(insp.proc, signal.SIGTERM)
        insp.out.close()
        insp.err.close()
        check(status == 0, "%s: exit status %d" % (name, status))
        check(ms < STOP_LIMIT_MS, "%s: the inspector took %d ms to stop" % (name, ms))
        check(insp.stderr() == ("json: cannot read %s: %s\n" % (CONF, reason)).encode(),
              "%s: stderr %r" % (name, insp.stderr()[:300]))
        check(b"H264 (I)" in insp.stdout(), "%s: frames not named as H.264" % name)
        figures["stop_ms_" + name] = ms
    stop(sim)
    return figures


def case_random_buffers():
    """1,000 random buffers into a running inspector, checked against the rules."""
    pipe = "/run/bpa/fault_random"
    set_codec_config()
    rng = random.Random(1000)
    frames, want_err, want_ids = [], [], []
    last, shown_any, next_id = 0, False, 1
    for _ in range(1000):
        kind = rng.random()
        if kind < 0.2:
            n = rng.randint(1, 3000)
            if n % 60 == 0:
                n += 1
            buf = bytes(rng.getrandbits(8) for _ in range(n))
            frames.append(buf)
            want_err.append("ERROR validating VRX data received through pipe: read partial packet")
            want_err.append("read %d bytes, but it should be a multiple of 60" % n)
            continue
        count = rng.randint(1, 500) if kind > 0.9 else rng.randint(1, 8)
        bad_share = 0.3 if kind < 0.45 else 0.0
        recs, ids, bad = [], [], []
        for _ in range(count):
            magic = MAGIC
            if rng.random() < bad_share:
                magic = rng.choice([0, 0xFFFFFFFF, MAGIC ^ 1, rng.getrandbits(32)])
            sid = next_id if rng.random() < 0.8 else max(next_id - 1, 0)
            next_id = sid + 1
            recs.append(struct.pack("<II8fiiiff", magic, sid, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0,
                                    8.0, rng.choice([101, 65, 19, 1, 103]), 3, -40, 60.0, 12.0))
            ids.append(sid)
            if magic != MAGIC:
                bad.append(magic - (1 << 32) if magic >= 1 << 31 else magic)
        frames.append(b"".join(recs))
        if bad:
            want_err += ["ERROR got magic number %d, expected 1413567054" % m for m in bad]
            want_err.append("ERROR validating VRX data received through pipe: %d of %d packets "
                            "failed" % (len(bad), count))
            continue
        for sid in ids:
            if shown_any and sid == last:
                continue
            want_ids.append(sid)
            last, shown_any = sid, True
    path = os.path.join(WORK, "random.frames")
    with open(path, "wb") as f:
        for b in frames:
            f.write(struct.pack("<I", len(b)) + b)

    sim = start_sim(pipe, "--frames", path, "--rate", 1000, "--wait-clients", 1, "--delay", 0.3,
                    "--hold", 0.5)
    insp = Inspector(pipe)
    check(sim.wait(timeout=60 * SLOW) == 0, "the simulator failed")
    wait_for(lambda: DISCONNECT in insp.stderr(), 10, "the disconnect line")
    check(insp.proc.poll() is None, "the inspector did not survive")
    status = insp.finish()
    check(status == 0, "inspector exit status %d" % status)
    got_err = insp.stderr().decode().replace(DISCONNECT.decode(), "").split("\n")
    got_err = [l for l in got_err if l]
    check(got_err == want_err, "stderr differs from the rules: first difference at line %d"
          % next((i for i, (a, b) in enumerate(zip(got_err, want_err)) if a != b),
                 min(len(got_err), len(want_err))))
    got_ids = insp.rows()
    check(got_ids == want_ids, "rows differ from the rules: %d shown, %d expected"
          % (len(got_ids), len(want_ids)))
    return {"buffers": len(frames), "rows": len(got_ids), "error_lines": len(got_err),
            "records": sum(len(b) // 60 for b in frames if len(b) % 60 == 0)}


# ---- another local user ------------------------------------------------------

ATTACKER = 65534  # the hostile local user
RECEIVER = 1234   # the receiver service's own account
VICTIM = "/etc/victim"
VICTIM_TEXT = b"root's own file\n"
LINK_REFUSED = "is a link of user %d, not followed" % ATTACKER


def as_user(uid, cmd):
    return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups"] + cmd


def run_as(uid, cmd, **kw):
    """Starts one of our programs (cmd[0] under BIN) as user uid. The build
    may lie where only root can reach it (a clone in /root): the program and
    the libraries are copied to a folder of root's that anybody may read."""
    shared = "/run/tarn-shared"
    for sub in ("bin", "lib"):
        os.makedirs(os.path.join(shared, sub), exist_ok=True)
    os.chmod(shared, 0o755)
    lib = os.environ.get("TARN_LIB", os.path.join(os.path.dirname(BIN), "lib"))
    for name in os.listdir(lib):
        if ".so" in name:
            shutil.copy(os.path.join(lib, name), os.path.join(shared, "lib", name))
    prog = os.path.join(shared, "bin", os.path.basename(cmd[0]))
    shutil.copy(cmd[0], prog)
    for folder in ("bin", "lib"):
        os.chmod(os.path.join(shared, folder), 0o755)
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(shared, "lib"))
    proc = subprocess.Popen(as_user(uid, EMU + [prog] + cmd[1:]), env=env, **kw)
    STARTED.append(proc)
    return proc


def attacker_does(*cmd):
    subprocess.run(as_user(ATTACKER, list(cmd)), check=True)


def make_victim(path=VICTIM, mode=0o600):
    with open(path, "wb") as f:
        f.write(VICTIM_TEXT)
    os.chmod(path, mode)


def victim_untouched(path=VICTIM, mode=0o600):
    st = os.lstat(path)
    return read(path) == VICTIM_TEXT and (st.st_mode & 0o7777) == mode and st.st_uid == 0


def fresh_data(mode, owner):
    empty_data()
    os.chown("/data", owner, owner)
    os.chmod("/data", mode)


def case_csv_links():
    """Links and hard links another user put at the CSV path: nothing is
    written through them, one line says why, the table goes on."""
    pipe = "/run/bpa/fault_csv_links"
    set_codec_config()
    sim = start_sim(pipe, "--rate", 1000)
    cron = "/etc/cron.d/x"
    os.makedirs("/etc/cron.d", exist_ok=True)
    setups = [
        ("a link, /data mode 1777", 0o1777, 0, lambda: attacker_does("ln", "-s", VICTIM, CSV), LINK_REFUSED),
        ("a link, /data the attacker's", 0o755, ATTACKER,
         lambda: attacker_does("ln", "-s", VICTIM, CSV), LINK_REFUSED),
        ("a dangling link", 0o1777, 0, lambda: attacker_does("ln", "-s", cron, CSV), LINK_REFUSED),
        ("a link to a link of root's", 0o1777, 0,
         lambda: (os.symlink(VICTIM, "/etc/victim-link"), attacker_does("ln", "-s", "/etc/victim-link", CSV)),
         LINK_REFUSED),
        # Made by root here: where the kernel's protected_hardlinks is off,
        # anybody may link a file of root's into a folder they can write.
        ("a hard link of a root file", 0o1777, 0, lambda: os.link(VICTIM, CSV),
         "has 2 names (hard links), not written"),
        ("a file of the attacker's", 0o1777, 0, lambda: attacker_does("touch", CSV),
         "belongs to user %d, not this user" % ATTACKER),
    ]
    for what, mode, owner, plant, reason in setups:
        fresh_data(mode, owner)
        for p in (VICTIM, "/etc/victim-link", cron):
            if os.path.lexists(p):
                os.remove(p)
        make_victim()
        plant()
        before = os.lstat(CSV)
        insp = Inspector(pipe, "-s")
        wait_for(lambda: len(insp.rows()) >= 50, 10, "rows (%s)" % what)
        status = insp.finish()
        check(status == 0, "%s: exit status %d" % (what, status))
        check(victim_untouched(), "%s: the victim file was written" % what)
        check(not os.path.lexists(cron), "%s: a file was created through the link" % what)
        after = os.lstat(CSV)
        check((after.st_ino, after.st_size, after.st_mode) == (before.st_ino, before.st_size, before.st_mode),
              "%s: the planted entry changed" % what)
        want = b"ERROR: cannot write %s: %s\n" % (CSV.encode(), reason.encode())
        check(insp.stderr() == want, "%s: stderr %r, expected %r" % (what, insp.stderr()[:300], want))
    stop(sim)
    fresh_data(0o755, 0)
    return {"setups": len(setups), "bytes_through_links": 0}


def case_top_save_links():
    """tarn-vrx-top -s FILE refuses the same links and files."""
    pipe = "/run/bpa/fault_top_links"
    sim = start_sim(pipe, "--rate", 200)
    sticky = "/var/tarn-sticky"  # stands in for /tmp, on the file system of /etc
    os.makedirs(sticky, exist_ok=True)
    os.chmod(sticky, 0o1777)
    log = sticky + "/top.csv"
    setups = [
        ("a link", lambda: attacker_does("ln", "-s", VICTIM, log), LINK_REFUSED),
        ("a hard link", lambda: os.link(VICTIM, log), "has 2 names (hard links), not written"),
        ("nothing yet", lambda: None, None),
    ]
    for what, plant, reason in setups:
        if os.path.lexists(log):
            os.remove(log)
        if os.path.lexists(VICTIM):
            os.remove(VICTIM)
        make_victim()
        plant()
        out = open(os.path.join(WORK, "top.out"), "wb")
        err_path = os.path.join(WORK, "top.err")
        err = open(err_path, "wb")
        top = run([BIN + "/tarn-vrx-top", "--plain", "-p", pipe, "-s", log], stdout=out, stderr=err)
        wait_for(lambda: read(out.name).count(b"\n") >= 2, 10, "two plain lines of tarn-vrx-top (%s)" % what)
        status = stop(top)
        out.close()
        err.close()
        check(status == 0, "%s: exit status %d" % (what, status))
        check(victim_untouched(), "%s: the victim file was written" % what)
        if reason is None:
            lines = csv_lines(read(log))
            check(len(lines) > 10 and lines[0] == CSV_HEADER, "%s: %d lines logged" % (what, len(lines)))
            check(read(err_path) == b"", "%s: stderr %r" % (what, read(err_path)[:300]))
        else:
            want = b"ERROR: cannot write %s: %s\n" % (log.encode(), reason.encode())
            check(read(err_path) == want, "%s: stderr %r, expected %r" % (what, read(err_path)[:300], want))
    stop(sim)
    return {"setups": len(setups)}


def case_report_svg_links():
    """The report's plots, of a run and of a comparison, in a sticky folder
    another user can write: refused with one line and status 1."""
    sticky = "/var/tarn-sticky"  # stands in for /tmp, on the file system of /etc
    os.makedirs(sticky, exist_ok=True)
    os.chmod(sticky, 0o1777)
    log = os.path.join(WORK, "run.csv")
    with open(log, "w") as f:
        f.write(CSV_HEADER + "\n")
        for i in range(1, 200):
            f.write("%d,10.0,8.000,%d.000,20.000,3.000,1.000,4.000,2.000,16.600,60.000,-50,7,H264 (P)\n"
                    % (i, 15 + i % 10))
    plot = sticky + "/plot.svg"
    victim_mode = 0o644
    setups = [
        ("a link", lambda: attacker_does("ln", "-s", VICTIM, plot), LINK_REFUSED),
        ("a link to where the attacker may not write", lambda: attacker_does("ln", "-s", "/etc/new.svg", plot),
         LINK_REFUSED),
        ("a hard link", lambda: os.link(VICTIM, plot), "has 2 names (hard links), not written"),
        ("a file of the attacker's", lambda: attacker_does("touch", plot),
         "belongs to user %d, not this user" % ATTACKER),
        ("nothing yet", lambda: None, None),
    ]
    runs = 0
    for cmd in ([BIN + "/tarn-latency-report", "--svg", plot, log],
                [BIN + "/tarn-latency-report", "--compare", "--svg", plot, log, log]):
        for what, plant, reason in setups:
            for p in (plot, VICTIM, "/etc/new.svg"):
                if os.path.lexists(p):
                    os.remove(p)
            make_victim(mode=victim_mode)
            plant()
            r = subprocess.run(EMU + cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            runs += 1
            name = "%s, %s" % (" ".join(cmd[1:3]), what)
            check(victim_untouched(mode=victim_mode), "%s: the victim file was written" % name)
            check(not os.path.lexists("/etc/new.svg"), "%s: a file was created through the link" % name)
            if reason is None:
                check(r.returncode == 0, "%s: status %d, stderr %r" % (name, r.returncode, r.stderr[:300]))
                check(read(plot).startswith(b"<svg") or b"<svg" in read(plot)[:200], "%s: no plot written" % name)
            else:
                want = b"tarn-latency-report: cannot write %s: %s\n" % (plot.encode(), reason.encode())
                check(r.returncode == 1, "%s: status %d" % (name, r.returncode))
                check(r.stderr == want, "%s: stderr %r, expected %r" % (name, r.stderr[:300], want))
    return {"runs": runs}


def case_csv_streams():
    """A FIFO with a reader gets every row; without a reader one line says
    so; a device (/dev/null itself or through root's link) takes the log."""
    pipe = "/run/bpa/fault_csv_fifo"
    set_codec_config()
    fresh_data(0o755, 0)
    sim = start_sim(pipe, "--rate", 2000)
    figures = {}

    # With a reader that reads the whole time.
    os.mkfifo(CSV)
    rfd = os.open(CSV, os.O_RDONLY | os.O_NONBLOCK)
    got = bytearray()

    def drain():
        while True:
            try:
                chunk = os.read(rfd, 65536)
            except BlockingIOError:
                return
            if not chunk:
                return
            got.extend(chunk)

    insp = Inspector(pipe, "-s")
    end = time.time() + 10 * SLOW
    while len(insp.rows()) < 300 and time.time() < end:
        drain()
        time.sleep(0.005)
    status, ms = stop_timed(insp.proc, signal.SIGTERM)
    insp.out.close()
    insp.err.close()
    drain()
    os.close(rfd)
    check(status == 0, "with a reader: exit status %d" % status)
    check(ms < STOP_LIMIT_MS, "with a reader: the inspector took %d ms to stop" % ms)
    check(insp.stderr() == b"", "with a reader: stderr %r" % insp.stderr()[:300])
    shown = insp.rows()
    lines = csv_lines(bytes(got))
    ids = csv_ids(lines)
    check(len(shown) >= 300 and lines[:1] == [CSV_HEADER], "with a reader: %d rows, log %r" % (len(shown), lines[:1]))
    check(consecutive(ids) and ids[:len(shown)] == shown,
          "with a reader: the FIFO got %d rows of the %d shown" % (len(ids), len(shown)))
    figures["fifo_rows"] = len(ids)

    # Without a reader: refused at once, never waited for.
    insp = Inspector(pipe, "-s")
    wait_for(lambda: len(insp.rows()) >= 200, 10, "rows")
    status, ms = stop_timed(insp.proc, signal.SIGTERM)
    insp.out.close()
    insp.err.close()
    check(status == 0 and ms < STOP_LIMIT_MS, "without a reader: status %d after %d ms" % (status, ms))
    check(insp.stderr() == b"ERROR: cannot write %s: no process reads the FIFO\n" % CSV.encode(),
          "without a reader: stderr %r" % insp.stderr()[:300])
    check(stat_is_fifo(CSV), "the FIFO was replaced")
    os.remove(CSV)

    # A device: the node itself where the sandbox allows one, and a link of
    # root's to /dev/null.
    devices = [("root's link to /dev/null", lambda: os.symlink("/dev/null", CSV))]
    try:
        os.mknod(CSV, 0o666 | 0o020000, os.makedev(1, 3))
        os.remove(CSV)
        devices.append(("a null device node", lambda: os.mknod(CSV, 0o666 | 0o020000, os.makedev(1, 3))))
    except OSError:
        pass
    for what, make in devices:
        make()
        insp = Inspector(pipe, "-s")
        wait_for(lambda: len(insp.rows()) >= 100, 10, "rows (%s)" % what)
        status = insp.finish()
        check(status == 0, "%s: exit status %d" % (what, status))
        check(insp.stderr() == b"", "%s: stderr %r" % (what, insp.stderr()[:300]))
        os.remove(CSV)
    figures["devices"] = len(devices)
    stop(sim)
    return figures


def case_csv_disk_full():
    """/data is a 16 KiB file system and buffers are 37 rows (about 3 KB, so
    that the disk fills in the middle of one): every whole line that fitted
    stays in the log, only a torn last line goes."""
    pipe = "/run/bpa/fault_csv_full"
    set_codec_config()
    fresh_data(0o755, 0)
    size = 16384
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tarn-full", "/data"], check=True)
    try:
        sim = start_sim(pipe, "--rate", 2000, "--batch", 37)
        insp = Inspector(pipe, "-s")
        wait_for(lambda: b"No space left on device" in insp.stderr(), 10, "the log to fill /data")
        # Later buffers try again and fail again; nothing more is said.
        shown_when_full = len(insp.rows())
        wait_for(lambda: len(insp.rows()) >= shown_when_full + 300, 10, "rows after the disk filled")
        status = insp.finish()
        stop(sim)
        data = read(CSV)
    finally:
        subprocess.run(["umount", "/data"], stderr=subprocess.DEVNULL)
    check(status == 0, "exit status %d" % status)
    check(insp.stderr() == b"ERROR: cannot write %s: No space left on device\n" % CSV.encode(),
          "stderr %r" % insp.stderr()[:300])
    lines = csv_lines(data)
    ids = csv_ids(lines)
    shown = insp.rows()
    check(lines[0] == CSV_HEADER and ids == shown[:len(ids)], "the log is not the first rows shown")
    longest = max(len(l) + 1 for l in lines[1:])
    left = size - len(data)
    check(left < longest, "%d bytes left free, room for another line of up to %d bytes" % (left, longest))
    return {"bytes_logged": len(data), "bytes_left": left, "rows_logged": len(ids)}


def case_receiver_own_account():
    """The receiver runs under its own account, its pipe folder handed to it
    by root: a root inspector reads it, through either delegation."""
    set_codec_config()
    location = "/run/bpa/vrx_own"
    setups = [
        ("root's /run/bpa, the pipe folder given to the receiver", 0, [location]),
        ("/run/bpa given to the receiver", RECEIVER, []),
    ]
    figures = {}
    for what, bpa_owner, given in setups:
        shutil.rmtree(location, ignore_errors=True)
        os.chown("/run/bpa", bpa_owner, bpa_owner)
        os.chmod("/run/bpa", 0o755)
        for folder in given:
            os.makedirs(folder)
            os.chown(folder, RECEIVER, RECEIVER)
            os.chmod(folder, 0o755)
        sim = run_as(RECEIVER, [BIN + "/tarn-vrx-sim", "--pipe", location, "--rate", "500"],
                     stdout=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(location + "/data") or sim.poll() is not None, 5, "the receiver")
        check(sim.poll() is None, "%s: the receiver did not start" % what)
        check(os.stat(location).st_uid == RECEIVER, "%s: the pipe folder is not the receiver's" % what)
        insp = Inspector("vrx_own")
        wait_for(lambda: len(insp.rows()) >= 50 or insp.proc.poll() is not None, 10, "rows (%s)" % what)
        status = insp.finish()
        stop(sim)
        check(status == 0, "%s: exit status %d, stderr %r" % (what, status, insp.stderr()[:300]))
        check(len(insp.rows()) >= 50 and insp.stderr() == b"", "%s: %d rows, stderr %r"
              % (what, len(insp.rows()), insp.stderr()[:300]))
        figures["rows_" + ("given_folder" if given else "given_bpa")] = len(insp.rows())
    shutil.rmtree(location, ignore_errors=True)
    os.chown("/run/bpa", 0, 0)
    return figures


def case_sim_truth_links():
    """tarn-vrx-sim --truth in a sticky folder another user can write: a link
    or a file of theirs is refused with one line and status 1, before the
    pipe is made; a new file gets the truth."""
    sticky = "/var/tarn-sticky"  # stands in for /tmp, on the file system of /etc
    os.makedirs(sticky, exist_ok=True)
    os.chmod(sticky, 0o1777)
    scenario = os.path.join(WORK, "s.scn")
    with open(scenario, "w") as f:
        f.write("0s - rate 2000\n10ms 10ms stall\n50ms - end\n")
    truth = sticky + "/truth.jsonl"
    pipe = os.path.join(WORK, "pipe")
    victim_mode = 0o644
    setups = [
        ("a link", lambda: attacker_does("ln", "-s", VICTIM, truth), LINK_REFUSED),
        ("a dangling link", lambda: attacker_does("ln", "-s", "/etc/new.jsonl", truth), LINK_REFUSED),
        ("a hard link", lambda: os.link(VICTIM, truth), "has 2 names (hard links), not written"),
        ("a file of the attacker's", lambda: attacker_does("touch", truth),
         "belongs to user %d, not this user" % ATTACKER),
        ("nothing yet", lambda: None, None),
    ]
    for what, plant, reason in setups:
        for p in (truth, VICTIM, "/etc/new.jsonl"):
            if os.path.lexists(p):
                os.remove(p)
        shutil.rmtree(pipe, ignore_errors=True)
        make_victim(mode=victim_mode)
        plant()
        r = subprocess.run(EMU + [BIN + "/tarn-vrx-sim", "--pipe", pipe, "--scenario", scenario, "--truth", truth],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30 * SLOW)
        check(victim_untouched(mode=victim_mode), "%s: the victim file was written" % what)
        check(not os.path.lexists("/etc/new.jsonl"), "%s: a file was created through the link" % what)
        if reason is None:
            check(r.returncode == 0, "%s: status %d, stderr %r" % (what, r.returncode, r.stderr[:300]))
            kinds = [json.loads(l)["kind"] for l in read(truth).decode().splitlines()]
            check(sorted(kinds) == ["end", "rate", "stall"], "%s: truth of %r" % (what, kinds))
        else:
            want = b"tarn-vrx-sim: cannot write %s: %s\n" % (truth.encode(), reason.encode())
            check(r.returncode == 1, "%s: status %d" % (what, r.returncode))
            check(r.stderr == want, "%s: stderr %r, expected %r" % (what, r.stderr[:300], want))
            check(not os.path.exists(pipe), "%s: the pipe was made" % what)
    return {"setups": len(setups)}


CASES = {
    "publisher_killed": case_publisher_killed,
    "subscriber_stopped": case_subscriber_stopped,
    "sigterm_burst": case_sigterm_burst,
    "csv_faults": case_csv_faults,
    "config_write_killed": case_config_write_killed,
    "random_buffers": case_random_buffers,
    "config_concurrent": case_config_concurrent,
    "stop_blocked_stdout": case_stop_blocked_stdout,
    "stop_blocked_stderr": case_stop_blocked_stderr,
    "csv_links": case_csv_links,
    "top_save_links": case_top_save_links,
    "report_svg_links": case_report_svg_links,
    "sim_truth_links": case_sim_truth_links,
    "csv_streams": case_csv_streams,
    "csv_disk_full": case_csv_disk_full,
    "receiver_own_account": case_receiver_own_account,
    "settings_not_regular": case_settings_not_regular,
}


def main():
    global WORK
    names = sys.argv[1:] or list(CASES)
    failed = 0
    for name in names:
        WORK = tempfile.mkdtemp(prefix="tarn-faults.")
        start = time.time()
        try:
            figures = CASES[name]()
            problem = None
        except Failure as e:
            problem = str(e)
        except Exception as e:  # a crash of the driver is a failure of the case
            problem = "%s: %s" % (type(e).__name__, e)
        kill_leftovers()
        took = time.time() - start
        if problem is None:
            print("%-22s ok (%.1f s)" % (name, took))
            print("FIGURES %s %s" % (name, " ".join("%s=%s" % kv for kv in figures.items())))
        else:
            failed += 1
            print("%-22s FAILED (%.1f s)\n    %s" % (name, took, problem))
            print("    scratch files kept in " + WORK)
        if problem is None:
            shutil.rmtree(WORK, ignore_errors=True)
    print("%d passed, %d failed" % (len(names) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
