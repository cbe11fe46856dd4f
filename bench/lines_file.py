# Line-by-line processing of the ~100 MB access log (same work as lines_file.kor).
def main():
    hits = {}
    nbytes = {}
    lines = 0
    total = 0
    with open("/tmp/korvel_bench_lines.txt", "r") as f:
        for line in f:
            fields = line.split(" ")
            user = fields[3]
            b = int(fields[7])
            lines += 1
            total += b
            if user in hits:
                hits[user] = hits[user] + 1
                nbytes[user] = nbytes[user] + b
            else:
                hits[user] = 1
                nbytes[user] = b
    users = sorted(hits)
    with open("/tmp/korvel_bench_lines.py.out", "w") as out:
        for u in users:
            out.write("%s %d %d\n" % (u, hits[u], nbytes[u]))
    print(lines, len(users), total)


main()
