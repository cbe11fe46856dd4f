parts = ""
for i in range(2000000):
    parts += "abc"
print(len(parts))
