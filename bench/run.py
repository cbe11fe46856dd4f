#!/usr/bin/env python3
"""Runs each benchmark in korvel, Python 3 and Lua 5.4 and prints the times.

Usage: bench/run.py [-n RUNS] [KORVEL] [NAME ...]
Each time is the median CPU time (user + system) of RUNS runs (default 5);
the three programs run in turn in every round, so that a machine whose speed
drifts slows them alike. KORVEL defaults to build/korvel. A benchmark is NAME.kor with NAME.py and
optionally NAME.lua beside it; a NAME.setup.py, when present, runs first
(for example to generate input files: lines_file and regex_scan read the
~100 MB log that gen_lines.py writes to /tmp once and keeps).
"""
import os
import resource
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def cpu_of_children():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed(cmd):
    start = cpu_of_children()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = cpu_of_children() - start
    out = proc.stdout.decode("utf-8", "replace").strip().splitlines()
    return elapsed, (out[0] if out else ""), proc.returncode


def timed_runs(cmds, runs):
    """Runs the commands in turn `runs` times; per command the median time,
    the first line of its output and its last exit status."""
    times = [[] for _ in cmds]
    outs = [("", 0)] * len(cmds)
    for _ in range(runs):
        for i, cmd in enumerate(cmds):
            t, out, rc = timed(cmd)
            times[i].append(t)
            outs[i] = (out, rc)
    return [(statistics.median(ts), out, rc) for ts, (out, rc) in zip(times, outs)]


def main():
    args = sys.argv[1:]
    runs = 5
    if len(args) >= 2 and args[0] == "-n":
        runs = max(1, int(args[1]))
        args = args[2:]
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
        cmds = [[korvel, base + ".kor"]]
        if os.path.exists(base + ".py"):
            cmds.append([sys.executable, base + ".py"])
        if os.path.exists(base + ".lua"):
            cmds.append(["lua5.4", base + ".lua"])
        results = timed_runs(cmds, runs)
        k, kout, krc = results[0]
        p, pout, _ = results[1] if os.path.exists(base + ".py") else (0, "", 0)
        lua = results[-1][0] if os.path.exists(base + ".lua") else None
        note = "" if kout == pout else "  (output differs: korvel %r, python %r)" % (kout, pout)
        if krc not in (0,):
            note += "  (korvel exit %d)" % krc
        print("%-16s %10.3f %10.3f %10s %9.2f %9s%s" % (
            name, k, p, "%.3f" % lua if lua is not None else "-", k / p if p else 0,
            "%.2f" % (k / lua) if lua else "-", note))


if __name__ == "__main__":
    main()
