# Struct-heavy code (same work as struct_sort.kor): records built in a loop,
# sorted by a member, then walked member by member.
class Rec:
    __slots__ = ("id", "score", "tag")

    def __init__(self, id, score, tag):
        self.id = id
        self.score = score
        self.tag = tag


def main():
    tags = ["red", "green", "blue", "gray"]
    recs = []
    n = 300000
    x = 4242
    for i in range(n):
        x = (x * 1103 + 12345) % 1000003
        recs.append(Rec(i, x % 10000, tags[x % 4]))
    recs.sort(key=lambda r: r.score)
    check = 0
    blue = 0
    for r in recs:
        check = (check * 31 + r.id) % 1000000007
        if r.tag == "blue":
            blue += 1
    first = recs[0]
    last = recs[n - 1]
    print(len(recs), first.id, first.score, last.id, last.score, blue, check)


main()
