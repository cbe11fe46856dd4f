# replace at two sizes, one ten times the other (see replace_growth.kor).
import time


def edit(n):
    s = b"a" * n
    s = s.replace(b"a", b"bb")
    u = s.decode("utf-8")
    u = u.replace("b", "xy")
    u = u.replace("x", "")
    return len(s) + len(u)


t0 = time.perf_counter()
a = edit(2000000)
t1 = time.perf_counter()
b = edit(20000000)
t2 = time.perf_counter()
print(a, b)
print("%d ms %d ms" % ((t1 - t0) * 1000, (t2 - t1) * 1000))
