#!/usr/bin/env python3
"""External commands run by scripts, checked from outside the runner:
kor.exec keeps none of a command's output (the peak memory of a run whose
command writes 800 MB is close to that of one writing 8 MB: two sizes in one
run, so it holds for the sanitizer build too), and a termination signal that
reaches korvel while it waits for a command also ends the command's process
group (a group of its own, which a terminal's Ctrl-C would not reach).

usage: process_test.py KORVEL
"""
import os
import signal
import subprocess
import sys
import tempfile
import time


def script(folder, name, command):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write("hanshu hs_rukou() {\n  dyh(kor.exec(\"%s\"));\n}\n" % command)
    return path


def peak_kib(korvel, path):
    proc = subprocess.Popen([korvel, path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.wait4(proc.pid, 0)[2].ru_maxrss


def running(pid):
    """True while the process exists and is no zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def wait_until(predicate, seconds):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(0.1)
    return predicate()


def output_not_kept(korvel, folder):
    small = peak_kib(korvel, script(folder, "small.kor", "head -c 8000000 /dev/zero"))
    big = peak_kib(korvel, script(folder, "big.kor", "head -c 800000000 /dev/zero"))
    if big - small > 200 * 1024:
        return "peak memory %d KiB for 800 MB of output, %d KiB for 8 MB" % (big, small)


def signal_passed_on(korvel, folder):
    pid_file = os.path.join(folder, "sleep.pid")
    path = script(folder, "signal.kor", "sh -c 'sleep 97 & echo $! > %s; wait'" % pid_file)
    proc = subprocess.Popen([korvel, path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    read_pid = lambda: os.path.exists(pid_file) and open(pid_file).read().strip()
    sleeper = int(read_pid()) if wait_until(read_pid, 60) else 0
    proc.send_signal(signal.SIGTERM)
    proc.wait(timeout=60)
    survived = sleeper and not wait_until(lambda: not running(sleeper), 30)
    if survived:
        os.kill(sleeper, signal.SIGKILL)
    if not sleeper or proc.returncode != -signal.SIGTERM or survived:
        return "command started: %s, korvel ended with %d, child survived: %s" % (
            bool(sleeper), proc.returncode, bool(survived))


def main():
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        for check in (output_not_kept, signal_passed_on):
            problem = check(sys.argv[1], folder)
            if problem:
                failures.append("%s: %s" % (check.__name__, problem))
    print("\n".join(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
