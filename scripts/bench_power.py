#!/usr/bin/env python3
"""What the daemon costs while it runs: CPU, memory and wake-ups per state.

Starts each given build of the daemon in turn, with a private PulseAudio
server (a null sink), a 1920 x 1080 Xvfb and the emulated keyboard, and
measures, per state, the CPU share of one core (the scheduler's run time of
every thread), the resident memory and the wake-ups per second (voluntary +
involuntary context switches) of each thread, and in the states with a host
the host's own; then the wake latency (a request after a rest -> the first
key packet), the sound-to-key latency (a tone starts 0.6 s after the last
one ended -> the first key packet), the same with the delay given (--delay,
200 ms) and the difference of the two, the delay measured (a build without
the source route gets no delayed figure), and the same after 10 s of silence
(the pipeline has settled: "sound returns"), each the median of several
tries; and how often the effect reply changes in silence over an animated
background. The builds take turns over several rounds. Prints Markdown
tables.

    scripts/bench_power.py --build old=/tmp/old/build --build new=build-power \
        [--keyboard build-power/fake-hid] [--rounds 3]

Each build directory holds tonvik, tonvik-host and fake-hid/ (the emulated
keyboard). The keyboard's own work is not the daemon's: --keyboard gives every
build the same one, and while the states are measured it keeps no log (a line
appended per call cost more than the lighting thread's own work). The
latencies are read from its log, with a second daemon started for them. The
daemon listens on the API ports 9191-9199: run it where no other daemon does
(a private network namespace, say).
"""

import argparse
import math
import os
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

LAYOUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "layouts", "ansi-104.json")
MODE_BARS = "/api/keyboard/musiceffect?param=2&60&0&100&1"
# The latency the tone player asks of the sink, as the end-to-end tests' player does. The null sink
# then renders (and its monitor delivers) every 5 ms, so the capture wakes that often while it plays,
# whatever fragment size the daemon asks for.
PLAYER_LATENCY_MS = int(os.environ.get("TONVIK_POWER_PLAYER_LATENCY_MS", "20"))


def now_us():
    return int(time.clock_gettime(time.CLOCK_MONOTONIC) * 1e6)


def wait_for(predicate, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def stop(process, timeout=10):
    """Ends a process this script started, by its pid."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Rig:
    """The sound server, the X server and the files they share."""

    def __init__(self):
        # In memory where there is room: the emulated keyboard appends a line per call, which a
        # disk file system's journal would make cost far more than a real device's write.
        memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        self.dir = tempfile.mkdtemp(prefix="tonvik-power-", dir=memory)
        os.chmod(self.dir, 0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.dir, HOME=self.dir,
                        PULSE_SERVER="unix:" + self.dir + "/pulse/native")
        self.pulse_pid = None
        self.xvfb = None
        self.tone = os.path.join(self.dir, "tone.raw")
        frames = 48000 * 30
        with open(self.tone, "wb") as out:
            cycle = [0.8 * math.sin(2 * math.pi * 440 * n / 48000) for n in range(48000 // 40)]
            block = b"".join(struct.pack("<ff", s, s) for s in cycle)
            out.write(block * (frames // len(cycle)))

    def start(self):
        subprocess.run(["pulseaudio", "-D", "-n", "--exit-idle-time=-1", "--log-target=file:" + self.dir + "/pulse.log",
                        "--load=module-native-protocol-unix auth-anonymous=1",
                        "--load=module-null-sink sink_name=power rate=48000 channels=2"],
                       env=self.env, check=True)
        wait_for(lambda: subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode == 0, 10)
        with open(os.path.join(self.dir, "pulse", "pid")) as pid:
            self.pulse_pid = int(pid.read().split()[0])
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1080x24",
                                      "-nolisten", "tcp", "-noreset"], pass_fds=[write_end],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        display = os.read(read_end, 32).decode().strip()
        os.close(read_end)
        self.env["DISPLAY"] = ":" + display
        # Something on the screen that is not black, so mode 100 has colours to send.
        wait_for(lambda: subprocess.run(["xsetroot", "-solid", "#3060c0"], env=self.env,
                                        stderr=subprocess.DEVNULL).returncode == 0, 5, 0.2)
        # A null sink renders two seconds ahead at first; let real time catch up.
        time.sleep(2.5)

    def play(self, path=None):
        command = ["pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                   "--latency-msec=%d" % PLAYER_LATENCY_MS, "--device=power", path or self.tone]
        player = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return player

    def close(self):
        stop(self.xvfb)
        if self.pulse_pid:
            try:
                os.kill(self.pulse_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            wait_for(lambda: not os.path.exists("/proc/%d" % self.pulse_pid), 5)
        shutil.rmtree(self.dir, ignore_errors=True)


class DaemonRun:
    def __init__(self, build, rig, keyboard=None, log=True):
        self.build = build
        self.rig = rig
        self.hid_log = os.path.join(rig.dir, "hid-%d.log" % id(self))
        env = dict(rig.env)
        env["LD_LIBRARY_PATH"] = keyboard or os.path.join(build, "fake-hid")
        if log:
            env["TONVIK_FAKE_HID_LOG"] = self.hid_log
        self.err = open(os.path.join(rig.dir, "daemon-%d.err" % id(self)), "w+")
        self.process = subprocess.Popen([os.path.join(build, "tonvik")], env=env, stdout=subprocess.DEVNULL,
                                        stderr=self.err)
        self.port = 0
        wait_for(self._find_port, 10)
        if not self.port:
            raise RuntimeError("the daemon in %s did not listen" % build)
        self.host = None

    def _find_port(self):
        self.err.seek(0)
        found = re.search(r"listening on [0-9.]+:(\d+)", self.err.read())
        self.port = int(found.group(1)) if found else 0
        return self.port != 0

    def get(self, target):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as connection:
            connection.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % target).encode())
            reply = b""
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    return reply
                reply += chunk

    def upload_layout(self):
        with open(LAYOUT) as layout:
            document = layout.read()
        self.get("/api/keyboard/musiceffect/layout?layout=" + urllib.parse.quote(document, safe=""))

    def start_host(self, mode):
        self.host = subprocess.Popen([os.path.join(self.build, "tonvik-host"), "--layout", LAYOUT, "--mode", str(mode),
                                      "--port", str(self.port)], env=self.rig.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop_host(self):
        stop(self.host)
        self.host = None

    def key_packets_after(self, since_us):
        """Times of the key packets (and column reports) written at or after since_us."""
        times = []
        try:
            with open(self.hid_log) as log:
                for line in log:
                    fields = line.split()
                    if len(fields) >= 5 and fields[1] == "write" and int(fields[0]) >= since_us:
                        times.append(int(fields[0]))
        except FileNotFoundError:
            pass
        return times

    def close(self):
        self.stop_host()
        stop(self.process)
        self.err.close()


def thread_counters(pid):
    """Per thread: (name, run time in ns, voluntary switches, involuntary switches)."""
    threads = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        base = "/proc/%d/task/%s/" % (pid, tid)
        try:
            with open(base + "comm") as comm:
                name = comm.read().strip()
            # The scheduler's own account of the run time: exact, where the
            # clock-tick counts in stat miss most of many short runs.
            with open(base + "schedstat") as schedstat:
                run_ns = int(schedstat.read().split()[0])
            switches = {}
            with open(base + "status") as status:
                for line in status:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        key, value = line.split(":")
                        switches[key] = int(value)
        except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
            continue
        threads[int(tid)] = (name, run_ns, switches.get("voluntary_ctxt_switches", 0),
                             switches.get("nonvoluntary_ctxt_switches", 0))
    return threads


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def measure(pid, seconds, host_pid=None):
    """The process's figures over the time; with a host, the host's own under "host"."""
    before = thread_counters(pid)
    host_before = thread_counters(host_pid) if host_pid else None
    start = time.monotonic()
    time.sleep(seconds)
    after = thread_counters(pid)
    elapsed = time.monotonic() - start
    figures = figures_between(pid, before, after, elapsed)
    if host_pid:
        figures["host"] = figures_between(host_pid, host_before, thread_counters(host_pid), elapsed)
    return figures


def figures_between(pid, before, after, elapsed):
    run_ns = 0
    wakeups = {}
    for tid, (name, ran, voluntary, involuntary) in after.items():
        old = before.get(tid, (name, 0, 0, 0))
        run_ns += ran - old[1]
        # Unnamed threads carry the program's name: told apart by their id.
        label = name if name != "tonvik" or tid == pid else "tid%d" % tid
        if tid == pid:
            label = "main"
        rates = wakeups.setdefault(label, [0.0, 0.0, 0.0])
        rates[0] += (voluntary - old[2]) / elapsed
        rates[1] += (involuntary - old[3]) / elapsed
        rates[2] += 100.0 * (ran - old[1]) / 1e9 / elapsed
    return {"cpu": 100.0 * run_ns / 1e9 / elapsed, "rss": rss_mib(pid), "wakeups": wakeups}


def median_latency_ms(attempts):
    values = [a for a in attempts if a is not None]
    return (statistics.median(values) / 1000.0, len(values)) if values else (None, 0)


def wake_latency(run, rig, tries):
    """A request after a rest of 3 s -> the first key packet, while a tone plays."""
    results = []
    for _ in range(tries):
        player = rig.play()
        run.get(MODE_BARS)
        time.sleep(0.5)
        run.get(MODE_BARS)
        time.sleep(3.0)
        asked = now_us()
        run.get("/api/keyboard/musiceffect")
        time.sleep(0.4)
        stop(player)
        packets = run.key_packets_after(asked)
        results.append(packets[0] - asked if packets else None)
    return results


def sound_to_key_latency(run, rig, tries, silence=0.6):
    """A tone starts playing into the sink after `silence` seconds of silence -> the first key
    packet, while polled 5 times a second. After 0.6 s the bars have fallen (nothing goes out)
    but the pipeline has not settled yet; after 10 s it has."""
    polling = threading.Event()
    # New parameters pause the analysis for 150 ms: set once, then polled without.
    run.get(MODE_BARS)

    def poll():
        while not polling.is_set():
            run.get("/api/keyboard/musiceffect")
            time.sleep(0.2)

    poller = threading.Thread(target=poll)
    poller.start()
    results = []
    try:
        for _ in range(tries):
            time.sleep(silence)
            onset = now_us()
            player = rig.play()
            time.sleep(0.6)
            stop(player)
            packets = run.key_packets_after(onset)
            results.append(packets[0] - onset if packets else None)
    finally:
        polling.set()
        poller.join()
    return results


def choose_delay(run, delay):
    """Sets the capture's delay through the source route; False where the build has no such route."""
    return b'"current"' in run.get("/api/audio/source?delay=%s" % delay)


def animated_changes(run, seconds=3.0):
    """Changes a second of the effect reply (its timestamp left out) in silence over background
    style 4, polled 100 times a second: about one per lighting tick when nothing stands still."""
    run.get("/api/keyboard/musiceffect?param=19&60&4&100&1")
    time.sleep(3.0)
    last = None
    changes = 0
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        body = re.sub(rb'"timestamp":\d+', b"", run.get("/api/keyboard/musiceffect").split(b"\r\n\r\n", 1)[-1])
        changes += last is not None and body != last
        last = body
        time.sleep(0.01)
    run.get(MODE_BARS)
    return changes / (time.monotonic() - start)


def bench(build, keyboard, seconds, tries, settled_tries, latency_only=False, delay=200):
    """The states' costs, the wake, sound-to-key, delayed and settled sound-to-key latencies of each
    try (None: no packet), and the reply's changes a second over an animated background."""
    rig = Rig()
    rows = []
    wake = sound = delayed = settled = []
    changes = None
    try:
        rig.start()
        if not latency_only:
            rows = cost_per_state(DaemonRun(build, rig, keyboard, log=False), rig, seconds)
        run = DaemonRun(build, rig, keyboard)
        try:
            time.sleep(3.0)
            run.upload_layout()
            if not latency_only:
                wake = wake_latency(run, rig, tries)
                changes = animated_changes(run)
            has_delay = choose_delay(run, 0)
            sound = sound_to_key_latency(run, rig, tries)
            settled = sound_to_key_latency(run, rig, settled_tries, silence=10.0)
            if has_delay and choose_delay(run, delay):
                delayed = sound_to_key_latency(run, rig, tries)
        finally:
            run.close()
    finally:
        rig.close()
    return rows, wake, sound, delayed, settled, changes


def cost_per_state(run, rig, seconds):
    rows = []
    try:
        time.sleep(3.0)
        rows.append(("idle: no host, nothing playing", measure(run.process.pid, seconds)))
        # A fresh tone for each state with sound: one file lasts 30 s.
        player = rig.play()
        time.sleep(3.0)
        rows.append(("sound, no host", measure(run.process.pid, seconds)))
        for mode, state in ((19, "lit: sound, tonvik-host polling"),
                            (100, "screen mode 100 (1920 x 1080), host polling")):
            stop(player)
            player = rig.play()
            run.start_host(mode)
            time.sleep(3.0)
            rows.append((state, measure(run.process.pid, seconds, run.host.pid)))
            run.stop_host()
        # What most of a day looks like: the host polls, nothing plays, the background is static.
        stop(player)
        run.start_host(19)
        time.sleep(5.0)
        rows.append(("silent, host polling (after 5 s of silence)", measure(run.process.pid, seconds, run.host.pid)))
        run.stop_host()
        player = rig.play()
        time.sleep(3.0)
        rows.append(("after the host left (mode 100, sound)", measure(run.process.pid, seconds)))
        stop(player)
    finally:
        run.close()
    return rows


def median_round(rounds, index):
    """Of one state's measurements in several rounds, the one with the median CPU."""
    ranked = sorted((rows[index][1] for rows in rounds), key=lambda figures: figures["cpu"])
    return ranked[len(ranked) // 2]


def fmt_threads(wakeups):
    """Per thread, busiest first: voluntary (waits ended) + involuntary (preempted) switches a
    second, and the thread's share of a core."""
    busy = sorted(wakeups.items(), key=lambda item: -(item[1][0] + item[1][1]))
    return ", ".join("%s %.0f+%.0f (%.2f %%)" % (name, *rates)
                     for name, rates in busy if rates[0] + rates[1] >= 0.5) or "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", action="append", required=True, help="LABEL=DIR, once per build")
    parser.add_argument("--keyboard", help="the emulated keyboard's directory for every build (default: each build's own)")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each measurement (10)")
    parser.add_argument("--tries", type=int, default=10, help="latency tries per build and round (10)")
    parser.add_argument("--settled-tries", type=int, default=30,
                        help="tries of the sound-to-key latency after 10 s of silence, per build and round (30)")
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds of the states, builds taking turns; each row is the round with the median CPU (3)")
    parser.add_argument("--latency-only", action="store_true", help="only the sound-to-key latency")
    parser.add_argument("--delay", type=int, default=200, help="the delay of the delayed sound-to-key latency, ms (200)")
    args = parser.parse_args()

    builds = [(label, os.path.abspath(directory)) for label, _, directory in
              (entry.partition("=") for entry in args.build)]
    keyboard = os.path.abspath(args.keyboard) if args.keyboard else None
    rounds = {label: [] for label, _ in builds}
    latencies = {label: ([], [], [], []) for label, _ in builds}
    changes = {label: [] for label, _ in builds}
    # Builds take turns, so a machine that gets busier or quieter meanwhile
    # weighs on each alike; the latencies are the medians of every round's tries.
    count = 1 if args.latency_only else max(1, args.rounds)
    for number in range(count):
        for label, directory in builds:
            print("round %d of %d: %s (%s) ..." % (number + 1, count, label, directory), file=sys.stderr)
            rows, wake, sound, delayed, settled, animated = bench(directory, keyboard, args.seconds, args.tries,
                                                                  args.settled_tries, args.latency_only, args.delay)
            rounds[label].append(rows)
            latencies[label][0].extend(wake)
            latencies[label][1].extend(sound)
            latencies[label][2].extend(delayed)
            latencies[label][3].extend(settled)
            if animated is not None:
                changes[label].append(animated)

    print("| state | build | CPU (% of a core) | RSS (MiB) | wake-ups/s | per thread: voluntary+involuntary wake-ups/s (CPU %) |")
    print("|---|---|---|---|---|---|")
    states = [] if args.latency_only else [name for name, _ in rounds[builds[0][0]][0]]
    for index, state in enumerate(states):
        for label, _ in builds:
            figures = median_round(rounds[label], index)
            print("| %s | %s | %.2f | %.1f | %.0f | %s |" % (state, label, figures["cpu"], figures["rss"],
                                                           sum(r[0] + r[1] for r in figures["wakeups"].values()),
                                                           fmt_threads(figures["wakeups"])))
            if "host" in figures:
                host = figures["host"]
                print("| %s: tonvik-host itself | %s | %.2f | %.1f | %.0f | %s |" % (
                    state, label, host["cpu"], host["rss"], sum(r[0] + r[1] for r in host["wakeups"].values()),
                    fmt_threads(host["wakeups"])))
    print()
    print("| build | wake latency (ms, median) | sound-to-key latency (ms, median) "
          "| with delay %d ms | delay measured (ms) "
          "| sound returns after 10 s of silence (ms, median) | reply changes/s, animated background in silence |"
          % args.delay)
    print("|---|---|---|---|---|---|---|")
    for label, _ in builds:
        wake, sound, delayed, settled = (median_latency_ms(tries) for tries in latencies[label])

        def show(value):
            return "%.1f (%d tries)" % value if value[0] is not None else "none"
        measured = "%.1f" % (delayed[0] - sound[0]) if delayed[0] is not None and sound[0] is not None else "none"
        animated = "%.0f" % statistics.median(changes[label]) if changes[label] else "-"
        print("| %s | %s | %s | %s | %s | %s | %s |" % (label, show(wake), show(sound), show(delayed), measured,
                                                        show(settled), animated))


if __name__ == "__main__":
    main()
