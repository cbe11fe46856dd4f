#!/usr/bin/env python3
"""Runs each benchmark in korvel, Python 3 and Lua 5.4 and prints the times.

Usage: bench/run.py [KORVEL] [NAME ...]
KORVEL defaults to build/korvel. A benchmark is NAME.kor with NAME.py and
optionally NAME.lua beside it; a NAME.setup.py, when present, runs first
(for example to generate input files: lines_file and regex_scan read the
~100 MB log that gen_lines.py writes to /tmp once and keeps).
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def timed(cmd):
    start = time.perf_counter()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    out = proc.stdout.decode("utf-8", "replace").strip().splitlines()
    return elapsed, (out[0] if out else ""), proc.returncode


def main():
    args = sys.argv[1:]
    korvel = os.path.join(HERE, "..", "build", "korvel")
    if args and not args[0].endswith(".kor") and os.path.sep in args[0]:
        korvel = args.pop(0)
    names = args or sorted(f[:-4] for f in os.listdir(HERE) if f.endswith(".kor"))
    print("%-16s %10s %10s %10s %9s %9s" % ("benchmark", "korvel s", "python s", "lua s",
                                            "k/py", "k/lua"))
    for name in names:
        base = os.path.join(HERE, name)
        if os.path.exists(base + ".setup.py"):
            subprocess.run([sys.executable, base + ".setup.py"], check=True)
        k, kout, krc = timed([korvel, base + ".kor"])
        p, pout, _ = timed([sys.executable, base + ".py"]) if os.path.exists(base + ".py") else (0, "", 0)
        lua = None
        if os.path.exists(base + ".lua"):
            lua, lout, _ = timed(["lua5.4", base + ".lua"])
        note = "" if kout == pout else "  (output differs: korvel %r, python %r)" % (kout, pout)
        if krc not in (0,):
            note += "  (korvel exit %d)" % krc
        print("%-16s %10.3f %10.3f %10s %9.2f %9s%s" % (
            name, k, p, "%.3f" % lua if lua is not None else "-", k / p if p else 0,
            "%.2f" % (k / lua) if lua else "-", note))


if __name__ == "__main__":
    main()
