#!/usr/bin/env python3
"""The tight wall-clock figures, which the tests leave out so that a busy
machine cannot fail them; run on a quiet machine, this prints each figure
with its limit:

- Stop: from a click on the console's Stop to the end of a run that has
  flooded the pane for 30 s (limit 1 s), and the host's peak resident
  memory during those 30 s (limit 300 MiB), from the window test
  floodStopsSoonInBoundedMemory;
- the longest gap of the GUI event loop while the console prints 90 000
  lines (limit 200 ms), from the window test manyLinesWhileTheWindowAnswers;
- the longest gap of the GUI event loop while a line of 1 MB or 10 MB
  reaches the pane of the console, and of the script manager for 10 MB
  (limit 200 ms), from the window test longLineWhileTheWindowAnswers;
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

# (label, window test, pattern of its printed figure, limit, unit)
LONG_LINE = r"long line: %d characters in the %s shown after \d+ ms; longest event-loop gap (\d+) ms"
WINDOW_FIGURES = [
    ("Stop to end of run", "floodStopsSoonInBoundedMemory", r"Stop to end of run (\d+) ms", 1000, "ms"),
    ("peak memory, 30 s flood", "floodStopsSoonInBoundedMemory", r"peak (\d+) MiB after", 300, "MiB"),
    ("gap, 90 000 lines", "manyLinesWhileTheWindowAnswers", r"90000 lines: .*longest event-loop gap (\d+) ms",
     200, "ms"),
    ("gap, 1 MB line", "longLineWhileTheWindowAnswers", LONG_LINE % (1000000, "console"), 200, "ms"),
    ("gap, 10 MB line", "longLineWhileTheWindowAnswers", LONG_LINE % (10000000, "console"), 200, "ms"),
    ("gap, 10 MB line, manager", "longLineWhileTheWindowAnswers", LONG_LINE % (10000000, "manager"), 200, "ms"),
]
DEEP_INPUT_LIMIT_MS = 3000
FLOOD_SECONDS = "30"


def window_figures(build):
    tests = os.path.join(build, "tests", "gui", "host_window_tests")
    env = dict(os.environ, QT_QPA_PLATFORM="xcb", KORVEL_FLOOD_SECONDS=FLOOD_SECONDS)
    functions = list(dict.fromkeys(test for _, test, _, _, _ in WINDOW_FIGURES))
    proc = subprocess.run([os.path.join(ROOT, "tests", "gui", "with_display.sh"), tests] + functions,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, timeout=900)
    out = proc.stdout.decode("utf-8", "replace")
    figures = []
    for label, test, pattern, limit, unit in WINDOW_FIGURES:
        m = re.search(pattern, out)
        figures.append((label, int(m.group(1)) if m else None, limit, unit, test))
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
    figures.append(("slowest deep input", ms, DEEP_INPUT_LIMIT_MS, "ms", case))
    over = False
    for label, value, limit, unit, source in figures:
        if value is None:
            verdict, value = "no figure", -1
        else:
            verdict = "ok" if value <= limit else "OVER"
        over = over or verdict != "ok"
        print("%-26s %6d %-3s  limit %5d %-3s  %-9s (%s)" % (label, value, unit, limit, unit, verdict, source))
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
