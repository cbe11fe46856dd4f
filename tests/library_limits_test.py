#!/usr/bin/env python3
"""The libraries at their limits, with the real runner.

Usage: library_limits_test.py KORVEL [sanitized]

1. Wrong results: one script per case; its output must match.
2. Process killers: scripts that once took all memory, run under a limit of
   the address space (left out in a sanitized build, whose shadow memory
   needs more) and a timeout far beyond their run time.
3. Lost data: a write or close that fails (a full disk, the file-size
   limit) is reported, the run goes on and ends with status 1, whatever the
   script returns or gives to exit; under the limit nothing is killed.
4. Growth: replace, match at an offset, a search whose every start
   backtracks, data built one level deeper at a time and a text built line
   by line, on two sizes of input, one ten times the other; the CPU time may
   grow about tenfold, far from the hundredfold of a cost quadratic in the
   input.
"""
import os
import re
import resource
import subprocess
import sys
import tempfile

KORVEL = sys.argv[1]
SANITIZED = len(sys.argv) > 2 and sys.argv[2] == "sanitized"
MEMORY_LIMIT = 4 << 30

# (name, body of hs_rukou, pattern that standard output + standard error
# must contain)
WRONG_RESULTS = [
    ("long index of at", 'lb l = [1, 2, 3]; dyh(l.at(4294967297));',
     r"列表越界访问，列表有3个元素，当前访问下标是 4294967297"),
    ("long start of indexOf", 'lb l = [10, 20]; dyh(l.indexOf(10, 4294967296), l.mid(1, 4294967297));',
     r"^-1 \[20\]\n"),
    ("long months", 'sj t = sj.now(); dyh(t.addMonths(4294967297));',
     r"addMonths 参数 4294967297 超出时间类型能表示的范围"),
    ("long text positions", 'zfc s = "hello"; string u = u16"hello"; '
     'dyh(s.mid(1, 4294967297), u.left(4294967297), s.indexOf("h", 4294967296)); dyh(u.at(4294967296));',
     r"^ello hello -1\n(.|\n)*位置值 4294967296 超过当前字符串长度 5"),
    ("setter on the empty time", 'sj b; dyh(b.isNull()); b.setTime("10:00:00");',
     r"^zhen\n(.|\n)*变量 b 不是有效的时间类型或是 kong 时间文件"),
    ("offset of a day", 'sj t = sj.fromString("2024-03-01 10:00:00", "yyyy-MM-dd hh:mm:ss"); '
     'sj u = t.toOffsetFromUtc(86400); t.setOffsetFromUtc(-86400); '
     'dyh(u.offsetFromUtc(), t.offsetFromUtc(), u.secsTo(t));',
     r"^86400 -86400 86400\n"),
    ("readLine with room for no byte", 'wj f = wj.open("x.txt", "w"); f.write("ab\\n"); f.close(); '
     'f = wj.open("x.txt", "r"); zs n; zfc s; n, s = f.readLine(1); dyh(n, s.size());',
     r"^-1 0\n"),
    ("cd to the empty name", 'dyh(wj.cd(""));', r"^zhen\n"),
    ("regex over a long subject", 'string s = string.fromZfc(zfc.create(200000, \'a\')); '
     'RegExp dot = "(.|\\n)*"; m := dot.match(s); it := dot.globalMatch(s); '
     'dyh(m.hasMatch(), m.capturedLength(), it.next().capturedLength());',
     r"^zhen 200000 200000\n"),
    ("regex engine giving up", 'string s = string.fromZfc(zfc.create(300000, \'a\')); '
     'RegExp r = "(a|aa)*(b|a)*(a|ab)*c"; dyh(r.match(s).hasMatch());',
     r"正则表达式 \(a\|aa\)\*\(b\|a\)\*\(a\|ab\)\*c 匹配失败：回溯次数超过了上限"),
]

PROCESS_KILLERS = [
    ("negative long count", 'czs c = -3000000000; lb l = lb.create(c, 1); dyh(l.size());',
     r"^0\n"),
    ("count beyond memory", 'lb l = lb.create(100000000000, 0);',
     r"元素个数 100000000000 过大，最多为 (\d+) 个"),
    ("regex over 10 MB", 'wj f = wj.open("big.txt", "w"); f.write(zfc.create(10000000, \'a\')); f.close(); '
     'f = wj.open("big.txt", "r"); string s = f.readAll(); '
     'RegExp dot = "(.|\\n)*"; m := dot.match(s); '
     'string b = u16"BEGIN"; b.append(s); b.append(u16"END"); '
     'RegExp block = "BEGIN((?:.|\\n)*?)END"; it := block.globalMatch(b); '
     'dyh(m.capturedLength(), it.next().capturedLength(1));',
     r"^10000000 10000000\n"),
]

FILE_SIZE_LIMIT = 1 << 20

# (name, body of hs_rukou, pattern that the output must contain, whether
# the file size is limited): the status must be 1
LOST_DATA = [
    ("close on a full disk", 'wj f = wj.open("/dev/full", "w"); f.write("buffered"); dyh(f.close());',
     r"关闭失败，数据没有全部写入文件！No space left on device\n-1\n", False),
    ("write on a full disk, then exit 0", 'wj f = wj.open("/dev/full", "w"); '
     'dyh(f.write(zfc.create(100000, \'x\')), f.close()); kor.exit(0);',
     r"写入失败！No space left on device\n-1 0\n", False),
    ("beyond the file-size limit", 'wj f = wj.open("big", "w"); '
     'dyh(f.write(zfc.create(2000000, \'x\')), f.write("tail"), f.close(), wj.open("big", "r").size()); '
     'dyh(kor.exec("sh -c \'head -c 2000000 /dev/zero > big2\'") > 128);',
     r"写入失败！File too large\n.*关闭失败，数据没有全部写入文件！File too large\n"
     r"1048576 4 -1 1048576\nzhen\n", True),
]

# (name, body run with N, small N[, what the output must contain, by
# default the end of a finished run]): the body's cost must grow linearly in N
GROWTH = [
    ("zfc replace", 'zfc s = zfc.create(N, \'a\'); s.replace("a", "bb"); s.replace("b", ""); dyh(s.size());',
     4000000),
    ("string replace", 'string s = string.fromZfc(zfc.create(N, \'a\')); s.replace(\'a\', u16"xy"); '
     's.replace(u16"x", u16""); dyh(s.size());', 500000),
    ("match at an offset", 'zfc line = "words x42 words\\n"; zfc t = ""; '
     'xun (zs i = 0; i < N / 16; i++) { t.append(line); } string s = string.fromZfc(t); '
     'RegExp r = "x\\\\d+"; zs at = 0; zs k = 0; '
     'while (zhen) { m := r.match(s, at); sf (!m.hasMatch()) { break; } k++; at = m.capturedEnd(); } dyh(k);',
     200000),
    ("match at an offset in a zfc", 'zfc line = "words x42 words\\n"; zfc t = ""; '
     'xun (zs i = 0; i < N / 16; i++) { t.append(line); } '
     'RegExp r = "x\\\\d+"; zs at = 0; zs k = 0; '
     'while (zhen) { m := r.match(t, at); sf (!m.hasMatch()) { break; } k++; at = m.capturedEnd(); } dyh(k);',
     100000),
    # every start of the search backtracks through the rest of the text: the
    # step limit covers the whole call, whatever each start takes
    ("backtracking at every start", 'string s = string.fromZfc(zfc.create(N, \'a\')); '
     'RegExp r = "(?:(a)|b)*(?:c|d)"; dyh(r.match(s).hasMatch());', 20000,
     "回溯次数超过了上限"),
    ("deep data a level at a time", 'zd k = {}; lb m = []; lb l = []; '
     'xun (zs i = 0; i < N; i++) { zd e = {}; e["k"] = k; k = e; lb f = [0]; f[0] = m; m = f; '
     'lb g = []; g.append(l); l = g; } dyh(l.size());', 2000),
    ("zfc built with s = s + line", 'zfc s = ""; zfc line = "0123456789abcdefghijklmnopqrstuvwxyz012\\n"; '
     'xun (zs i = 0; i < N; i++) { s = s + line; } dyh(s.size());', 6000),
]


def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, FILE_SIZE_LIMIT))


def run(body, limited=False, timeout=300, limit=None):
    """Runs hs_rukou with BODY in a fresh directory: (output, exit status,
    CPU seconds). LIMIT, when given, is applied in the runner's process."""
    if limited and not SANITIZED:
        limit = limit_memory
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "t.kor")
        with open(script, "w", encoding="utf-8") as f:
            f.write("hanshu hs_rukou() {\n    %s\n}\n" % body)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        proc = subprocess.run([KORVEL, script], cwd=tmp, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout,
                              preexec_fn=limit)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        return proc.stdout.decode("utf-8", "replace"), proc.returncode, cpu


def physical_memory():
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def main():
    failures = []
    for table, limited in ((WRONG_RESULTS, False), (PROCESS_KILLERS, True)):
        for name, body, pattern in table:
            out, code, _ = run(body, limited)
            found = re.search(pattern, out)
            if code < 0 or code > 255 or not found:
                failures.append("%s: status %d, output:\n%s" % (name, code, out))
            elif name == "count beyond memory" and not (
                    1 << 26 < int(found.group(1)) and int(found.group(1)) * 8 <= physical_memory()):
                # lists that fit in memory are not refused (even under the
                # limit of 4 GB, 2 ** 26 of them fit), larger ones are
                failures.append("%s: the limit %s does not follow the machine's memory" %
                                (name, found.group(1)))
    for name, body, pattern, size_limited in LOST_DATA:
        out, code, _ = run(body, limit=limit_file_size if size_limited else None)
        if code != 1 or not re.search(pattern, out, re.S):
            failures.append("%s: status %d, output:\n%s" % (name, code, out))
    for name, body, n, *expected in GROWTH:
        expected = expected[0] if expected else "程序执行完毕"
        small_out, _, small = run(body.replace("N", str(n)))
        large_out, _, large = run(body.replace("N", str(10 * n)))
        print("%s: %.3f s for %d, %.3f s for %d" % (name, small, n, large, 10 * n))
        if expected not in small_out or expected not in large_out:
            failures.append("%s: did not finish:\n%s\n%s" % (name, small_out, large_out))
        elif large > 40 * max(small, 0.05):
            failures.append("%s: ten times the input took %.1f times as long" % (name, large / small))
    for f in failures:
        print("FAILED " + f)
    total = len(WRONG_RESULTS) + len(PROCESS_KILLERS) + len(LOST_DATA) + len(GROWTH)
    print("%d passed, %d failed" % (total - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
