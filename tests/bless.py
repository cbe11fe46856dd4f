#!/usr/bin/env python3
"""Writes NAME.out / NAME.err for script tests from the runner's current
output. Only for new tests whose output has been checked by hand.

Usage: tests/bless.py KORVEL SCRIPT.kor [...]
"""
import os
import subprocess
import sys
import tempfile


def main():
    korvel = os.path.abspath(sys.argv[1])
    for script in sys.argv[2:]:
        script = os.path.abspath(script)
        base = script[:-4]
        argv = [script]
        if os.path.exists(base + ".args"):
            argv += open(base + ".args", encoding="utf-8").read().splitlines()
        if os.path.exists(base + ".argv"):
            argv = [a.replace("{dir}", os.path.dirname(script))
                    for a in open(base + ".argv", encoding="utf-8").read().splitlines()]
        with tempfile.TemporaryDirectory() as tmp:
            if os.path.exists(base + ".setup"):
                for line in open(base + ".setup", encoding="utf-8").read().splitlines():
                    rel = line.strip()
                    if not rel:
                        continue
                    path = os.path.join(tmp, rel)
                    if rel.endswith("/"):
                        os.makedirs(path, exist_ok=True)
                    else:
                        os.makedirs(os.path.dirname(path), exist_ok=True)
                        open(path, "wb").close()
            proc = subprocess.run([korvel] + argv, cwd=tmp, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with open(base + ".out", "wb") as f:
            f.write(proc.stdout)
        if proc.stderr:
            with open(base + ".err", "wb") as f:
                f.write(proc.stderr)
        elif os.path.exists(base + ".err"):
            os.unlink(base + ".err")
        print("%s: exit %d" % (os.path.relpath(script), proc.returncode))


if __name__ == "__main__":
    main()
