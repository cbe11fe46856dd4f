def main():
    s = ""
    line = "0123456789abcdefghijklmnopqrstuvwxyz012"
    for i in range(1000000):
        s += line + "\n"  # (s = s + ... would copy s every time in Python)
    print(len(s))


main()
