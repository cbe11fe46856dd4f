# Walking a text match by match from an offset, at two sizes (see
# match_offset.kor).
import re
import time


def walk(text):
    r = re.compile(r"x(\d+)")
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
    return "some words of a line and x42 then more words here\n" * lines


small = text_of(20000)
large = text_of(200000)
t0 = time.perf_counter()
a = walk(small)
t1 = time.perf_counter()
b = walk(large)
t2 = time.perf_counter()
print(a, b)
print("%d ms %d ms" % ((t1 - t0) * 1000, (t2 - t1) * 1000))
