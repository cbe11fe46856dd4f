# Sorts 1 000 000 pseudo-random integers (same sequence as sort_ints.kor).
def main():
    n = 1000000
    a = []
    x = 12345
    for _ in range(n):
        x = (x * 1103 + 12345) % 1000003
        a.append(x)
    a.sort()
    print(len(a), a[0], a[n // 2], a[-1])
    a.sort(reverse=True)
    print(a[0], a[-1])


main()
