# String building with str values (same work as qstr_build.kor).
def main():
    parts = ["你", "好", "世", "界", "春", "夏", "秋", "冬"]
    s = ""
    x = 4242
    for _ in range(2000000):
        x = (x * 1103 + 12345) % 1000003
        s += parts[x % 8]
    print(len(s), s.count("好"), s.find("冬冬冬冬"), s.rfind("春夏秋"))


main()
