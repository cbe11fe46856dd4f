def main():
    s = ""
    for i in range(2000000):
        s += "abc"
    print(len(s))


main()
