#!/usr/bin/env python3
"""Parse benchmark: generates a 20 000-line script and times the runner on it.

The script defines many functions that are never called, so the time is the
parse and the declaration pre-pass. Usage: bench/parse_bench.py [KORVEL]
"""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def generate(lines_wanted=20000):
    out = ["quanju_dingyi {", "    zs total = 0;", "}", ""]
    n = 0
    while len(out) < lines_wanted - 4:
        out += [
            "hanshu f%d(zs a, zfc s) (zs) {" % n,
            "    zs x = a * 2 + 1;",
            "    lb items = [1, 2, 3, \"x\"];",
            "    zd m = {1: \"a\", 2: \"b\"};",
            "    xun (zs i = 0; i < 10; i++) {",
            "        sf x > 5 and i != 3 {",
            "            x -= i % 3;",
            "        } zsf x == 2 {",
            "            dyh(\"值 %1 和 %2\" % (x, s));",
            "        } qt {",
            "            x += items[0];",
            "        }",
            "    }",
            "    zs y = f%d(a - 1, s) + items.size();" % n,
            "    items.append(y * 2);",
            "    fanhui x;",
            "}",
            "",
        ]
        n += 1
    out += ["hanshu hs_rukou() {", "}", ""]
    return "\n".join(out)


def main():
    korvel = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "korvel")
    text = generate()
    with tempfile.NamedTemporaryFile("w", suffix=".kor", delete=False, encoding="utf-8") as f:
        f.write(text)
        path = f.name
    try:
        start = time.perf_counter()
        proc = subprocess.run([korvel, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
    finally:
        os.unlink(path)
    print("parse: %d lines in %.3f s (exit %d)" % (text.count("\n") + 1, elapsed, proc.returncode))
    if proc.stderr:
        print(proc.stderr.decode("utf-8", "replace")[:2000])


if __name__ == "__main__":
    main()
