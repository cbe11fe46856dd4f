"""Writes the ~100 MB access log that lines_file and regex_scan read.

The lines come from a fixed pseudo-random sequence, so every run (and every
machine) gets the same file; a file of the right size is kept between runs.
Usage: gen_lines.py [PATH [MEGABYTES]]
"""
import os
import sys

PATH = "/tmp/korvel_bench_lines.txt"  # the benchmarks read it from here
METHODS = ["GET", "GET", "GET", "POST", "PUT", "DELETE"]
STATUS = [200, 200, 200, 200, 200, 200, 200, 301, 304, 404, 404, 500, 502, 503]


def generate(path=PATH, megabytes=100):
    target = megabytes * 1024 * 1024
    if os.path.exists(path) and os.path.getsize(path) >= target:
        return path
    x = 4242
    written = 0
    tmp = path + ".part"
    with open(tmp, "w", encoding="ascii", newline="\n") as out:
        chunk = []
        while written < target:
            x = (x * 1103 + 12345) % 1000003
            day = 1 + x % 28
            sec = x % 86400
            user = x % 997
            x = (x * 1103 + 12345) % 1000003
            line = "2026-11-%02d %02d:%02d:%02d 10.0.%d.%d user%03d %s /api/v1/items/%d %d %d %dms\n" % (
                day, sec // 3600, sec // 60 % 60, sec % 60, x % 256, user % 256, user,
                METHODS[x % 6], x % 5000, STATUS[x % 14], x % 50000, x % 900)
            chunk.append(line)
            written += len(line)
            if len(chunk) == 10000:
                out.write("".join(chunk))
                chunk = []
        out.write("".join(chunk))
    os.replace(tmp, path)
    return path


if __name__ == "__main__":
    generate(sys.argv[1] if len(sys.argv) > 1 else PATH,
             int(sys.argv[2]) if len(sys.argv) > 2 else 100)
