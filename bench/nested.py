m = []
for i in range(300):
    row = []
    for j in range(300):
        row.append(i * j)
    m.append(row)
s = 0
for i in range(300):
    for j in range(300):
        s += m[i][j]
print(s)
