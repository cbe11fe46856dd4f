#!/usr/bin/env python3
"""Runs one korvel script with the real runner and compares its output.

Next to NAME.kor may stand:
  NAME.out   expected standard output (byte for byte)
  NAME.err   expected standard error (byte for byte); when absent, standard
             error must be empty
  NAME.errre expected standard error as a regular expression that must match
             all of it (for messages naming a figure of the machine), in
             place of NAME.err
  NAME.code  expected exit status (default 0... see below)
  NAME.args  extra arguments for the script, one per line
  NAME.setup relative paths to create in the run directory before the run,
             one per line; a path ending in "/" is a directory, any other an
             empty file
  NAME.argv  when present, the runner gets exactly these arguments (one per
             line, "{dir}" standing for the script's folder) instead of the
             script and its arguments
  NAME.stdout when present, the path (first line) that the runner's standard
             output goes to instead of being compared, e.g. /dev/full
The script runs in a fresh temporary directory, so it may create files.
When NAME.code is absent the exit status is not checked.
"""
import os
import re
import subprocess
import sys
import tempfile


def read(path):
    with open(path, "rb") as f:
        return f.read()


def prepare_run(script, rundir):
    """Lays out RUNDIR the way SCRIPT's side files say; returns the runner's
    arguments."""
    base = script[:-4]
    argv = [script]
    if os.path.exists(base + ".args"):
        argv += read(base + ".args").decode("utf-8").splitlines()
    if os.path.exists(base + ".argv"):
        argv = [a.replace("{dir}", os.path.dirname(script))
                for a in read(base + ".argv").decode("utf-8").splitlines()]
    if os.path.exists(base + ".setup"):
        for line in read(base + ".setup").decode("utf-8").splitlines():
            rel = line.strip()
            if not rel:
                continue
            path = os.path.join(rundir, rel)
            if rel.endswith("/"):
                os.makedirs(path, exist_ok=True)
            else:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                open(path, "wb").close()
    return argv


def run_script(korvel, script):
    """Runs SCRIPT (absolute path) the way its side files say; returns the
    finished process."""
    base = script[:-4]
    with tempfile.TemporaryDirectory() as tmp:
        argv = prepare_run(script, tmp)
        if os.path.exists(base + ".stdout"):
            target = read(base + ".stdout").decode("utf-8").splitlines()[0]
            with open(target, "wb") as out:
                return subprocess.run([korvel] + argv, cwd=tmp, stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=subprocess.PIPE, timeout=300)
        return subprocess.run([korvel] + argv, cwd=tmp, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)


def main():
    korvel, script = sys.argv[1], os.path.abspath(sys.argv[2])
    base = script[:-4]
    proc = run_script(korvel, script)
    ok = True
    if os.path.exists(base + ".out"):
        want = read(base + ".out")
        if proc.stdout != want:
            ok = False
            print("--- standard output differs\n--- expected:\n%s\n--- got:\n%s" %
                  (want.decode("utf-8", "replace"), proc.stdout.decode("utf-8", "replace")))
    if os.path.exists(base + ".errre"):
        pattern = read(base + ".errre").decode("utf-8")
        if not re.fullmatch(pattern, proc.stderr.decode("utf-8", "replace"), re.S):
            ok = False
            print("--- standard error does not match\n--- pattern:\n%s\n--- got:\n%s" %
                  (pattern, proc.stderr.decode("utf-8", "replace")))
        want_err = None
    else:
        want_err = read(base + ".err") if os.path.exists(base + ".err") else b""
    if want_err is not None and proc.stderr != want_err:
        ok = False
        print("--- standard error differs\n--- expected:\n%s\n--- got:\n%s" %
              (want_err.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")))
    if os.path.exists(base + ".code"):
        want_code = int(read(base + ".code").decode().strip())
        if proc.returncode != want_code:
            ok = False
            print("--- exit status %d, expected %d" % (proc.returncode, want_code))
    elif proc.returncode < 0 or proc.returncode > 255:
        ok = False
        print("--- runner died with status %d" % proc.returncode)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
