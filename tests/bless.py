#!/usr/bin/env python3
"""Writes NAME.out / NAME.err for script tests from the runner's current
output. Only for new tests whose output has been checked by hand.

Usage: tests/bless.py KORVEL SCRIPT.kor [...]
"""
import os
import sys

from run_script_test import run_script


def main():
    korvel = os.path.abspath(sys.argv[1])
    for script in sys.argv[2:]:
        script = os.path.abspath(script)
        base = script[:-4]
        proc = run_script(korvel, script)
        if proc.stdout is not None:
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
