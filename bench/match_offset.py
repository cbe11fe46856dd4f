# Walking a text match by match from an offset, at two sizes, and the larger
# text once more as bytes (see match_offset.kor).
import re
import time


def walk(text, pattern):
    r = re.compile(pattern)
    count = 0
    at = 0
    while True:
        m = r.search(text, at)
        if not m:
            break
        count += 1
        at = m.end()
    return count


def text_of(lines):
    return b"some words of a line and x42 then more words here\n" * lines


small = text_of(20000).decode()
large_bytes = text_of(200000)
large = large_bytes.decode()
t0 = time.perf_counter()
a = walk(small, r"x(\d+)")
t1 = time.perf_counter()
b = walk(large, r"x(\d+)")
t2 = time.perf_counter()
c = walk(large_bytes, rb"x(\d+)")
t3 = time.perf_counter()
print(a, b, c)
print("%d ms %d ms %d ms" % ((t1 - t0) * 1000, (t2 - t1) * 1000, (t3 - t2) * 1000))
