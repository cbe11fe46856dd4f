#!/usr/bin/env python3
"""Deep and long inputs, generated here: nesting up to the limit runs, deeper
nesting ends with the nesting message, longer chains of format strings with
their message, and long or deep evaluations end with the evaluator's stack
message; never a crash, never more than CPU_SECONDS of processor time a run.

usage: deep_input_test.py KORVEL [CPU_SECONDS]   (bound on each run, default 5)

The bound is on the processor time the run uses, which a busy machine hardly
changes, and lies ten times above the slowest case on a quiet machine: it
catches a parse that grows faster than its input, not a slow machine. The
wall-clock figures, with their tight limit, are printed by
bench/responsiveness.py.
"""
import os
import resource
import subprocess
import sys
import tempfile
import time

LIMIT = 1000
NESTING = "嵌套层数超过 1000 层"
STACK = "嵌套过深"
FORMATS = "格式字符串连续串联超过 6 个"

# name: body of hs_rukou for n levels (f is a one-argument function)
SHAPES = {
    "parentheses": lambda n: "zs a = " + "(" * n + "1" + ")" * n + ";",
    "calls": lambda n: "zs a = " + "f(" * n + "1" + ")" * n + ";",
    "not": lambda n: "bl a = " + "!" * n + "zhen;",
    "lists": lambda n: "lb a = " + "[" * n + "]" * n + ";",
    "dicts": lambda n: "zd a = " + "{1:" * n + "1" + "}" * n + ";",
    "blocks": lambda n: "{" * n + "}" * n,
    "sf chain": lambda n: "sf zhen " * n + "dy << 1;",
    "while chain": lambda n: "while jia " * n + "dy << 1;",
    "qt sf chain": lambda n: "sf jia {} " + "qt sf jia {} " * (n // 2 - 1) + "qt { dy << 1; }",
    "indexes": lambda n: "lb l = [0]; zs a = " + "l[" * (n - 1) + "0" + "]" * (n - 1) + ";",
}

PROGRAM = "hanshu f(zs x) (zs) {{ fanhui x; }}\nhanshu hs_rukou() {{\n{}\ndyh(\"ok\");\n}}\n"

# (name, source, expected exit status, text expected on stderr or None)
CASES = []
for name, shape in SHAPES.items():
    # the function body's braces are one level
    CASES.append((name + " at the limit", PROGRAM.format(shape(LIMIT - 1)), 0, None))
    CASES.append((name + " beyond the limit", PROGRAM.format(shape(LIMIT + 2)), 1, NESTING))
    CASES.append((name + " far beyond", PROGRAM.format(shape(30000)), 1, NESTING))

def formats(n):
    return "zfc a = " + " % ".join(['"%1"'] * n) + " % 1;"


# long but flat: never taken for nesting
CASES += [
    ("3000 if statements in a row", PROGRAM.format("bl b = zhen;\n" + "sf b { b = !b; }\n" * 3000), 0,
     None),
    ("3000 single-statement ifs", PROGRAM.format("zs n = 0;\n" + "sf n < 5 n++;\n" * 3000), 0, None),
    ("zsf chain of 3000", PROGRAM.format("zs n = 1;\nsf n == 0 { n = 1; }" +
                                          " zsf n == 0 { n = 1; }" * 3000 + " qt { n = 2; }"), 0, None),
    ("zsf chain of 3000 with in, not and !",
     PROGRAM.format("zs n = 1;\nlb l = [0];\nbl b = zhen;\nsf n in l { n = 1; }" +
                    " zsf n in l { n = 1; } zsf !b { n = 1; } zsf not b { n = 1; }" * 1000 +
                    " qt { n = 2; }"), 0, None),
    ("3000 prefixed arguments", PROGRAM.format("lb l = [" + ", ".join(["!zhen"] * 3000) + "];"), 0,
     None),
    ("3000 format strings in statements",
     PROGRAM.format("zfc s = \"\";\n" + "s = \"%1 %2\" % (s.size(), \"%1\" % 1);\n" * 3000), 0,
     None),
]
CASES += [
    ("format strings at the limit", PROGRAM.format(formats(6)), 0, None),
    ("format strings beyond the limit", PROGRAM.format(formats(7)), 1, FORMATS),
    ("format strings far beyond", PROGRAM.format(formats(30000)), 1, FORMATS),
    # long evaluations: the sum when the stack holds it, else the stack message
    ("flat sum of 30000 terms", PROGRAM.format("zs a = " + " + ".join(["1"] * 30000) + ";"), None,
     STACK),
    ("flat sum inside deep recursion",
     "hanshu g(zs n) (zs) { sf n == 0 { fanhui " + " + ".join(["1"] * 30000) +
     "; } fanhui g(n - 1); }\nhanshu hs_rukou() { dyh(g(900)); dyh(\"ok\"); }\n", None, STACK),
]


def cpu_of_children():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_case(korvel, path):
    """Runs the runner on PATH; the finished process, its wall-clock time and
    its processor time (user + system)."""
    cpu = cpu_of_children()
    start = time.monotonic()
    # the time-out only ends a hung run (far above any run's time)
    proc = subprocess.run([korvel, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, timeout=600)
    return proc, time.monotonic() - start, cpu_of_children() - cpu


def main():
    korvel = sys.argv[1]
    bound = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, source, code, text in CASES:
            path = os.path.join(tmp, "deep.kor")
            with open(path, "w", encoding="utf-8") as f:
                f.write(source)
            proc, wall, took = run_case(korvel, path)
            err = proc.stderr.decode("utf-8", "replace")
            out = proc.stdout.decode("utf-8", "replace")
            if code is None:
                ok = (proc.returncode == 0 and "ok" in out) or (proc.returncode == 1 and text in err)
            else:
                ok = proc.returncode == code and (text is None or text in err)
            if code == 0:
                ok = ok and "ok" in out
            if took > bound:
                ok = False
                err += "\ntook %.2f s of processor time, more than %.1f s" % (took, bound)
            print("%-40s exit %d  %.2f s processor, %.2f s wall" % (name, proc.returncode, took, wall))
            if code is None:
                code = "0 or 1"
            if not ok:
                failures.append("%s: exit %d, expected %s with %r\n%s%s" %
                                (name, proc.returncode, code, text, out[-400:], err[-800:]))
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
