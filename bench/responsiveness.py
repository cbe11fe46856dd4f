#!/usr/bin/env python3
"""The tight wall-clock figures, which the tests leave out so that a busy
machine cannot fail them; run on a quiet machine, this prints each figure
with its limit:

- Stop: from a click on the console's Stop to the end of a run that floods
  the pane (limit 1 s), from the window test floodStopsSoonInBoundedMemory;
- the longest gap of the GUI event loop while the console prints 100 000
  lines (limit 200 ms), from the window test manyLinesWhileTheWindowAnswers;
- the slowest run of the deep and long inputs of tests/deep_input_test.py
  (limit 3 s).

Usage: bench/responsiveness.py [BUILD]   (default build/; the limits are
for the normal build, the sanitizer build is several times slower). The exit
status is 1 when a figure is over its limit. The window tests need an X
display; without one they run under xvfb-run.
"""
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
import deep_input_test  # noqa: E402

# (label, window test, pattern of its printed figure, limit in ms)
WINDOW_FIGURES = [
    ("Stop to end of run", "floodStopsSoonInBoundedMemory", r"Stop to end of run (\d+) ms", 1000),
    ("longest event-loop gap", "manyLinesWhileTheWindowAnswers", r"longest event-loop gap (\d+) ms", 200),
]
DEEP_INPUT_LIMIT_MS = 3000


def window_figures(build):
    tests = os.path.join(build, "tests", "gui", "host_window_tests")
    env = dict(os.environ, QT_QPA_PLATFORM="xcb")
    proc = subprocess.run([os.path.join(ROOT, "tests", "gui", "with_display.sh"), tests] +
                          [test for _, test, _, _ in WINDOW_FIGURES],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, timeout=600)
    out = proc.stdout.decode("utf-8", "replace")
    figures = []
    for label, test, pattern, limit in WINDOW_FIGURES:
        m = re.search(pattern, out)
        figures.append((label, int(m.group(1)) if m else None, limit, test))
    return figures


def slowest_deep_input(korvel):
    slowest, name = 0.0, ""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "deep.kor")
        for case, source, _, _ in deep_input_test.CASES:
            with open(path, "w", encoding="utf-8") as f:
                f.write(source)
            _, wall, _ = deep_input_test.run_case(korvel, path)
            if wall > slowest:
                slowest, name = wall, case
    return int(slowest * 1000), name


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
    figures = window_figures(build)
    ms, case = slowest_deep_input(os.path.join(build, "korvel"))
    figures.append(("slowest deep input", ms, DEEP_INPUT_LIMIT_MS, case))
    over = False
    for label, value, limit, source in figures:
        if value is None:
            verdict, value = "no figure", -1
        else:
            verdict = "ok" if value <= limit else "OVER"
        over = over or verdict != "ok"
        print("%-24s %6d ms  limit %5d ms  %-9s (%s)" % (label, value, limit, verdict, source))
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
