s = 0
for i in range(10000000):
    s += i % 7 * 3
print(s)
