local s = 0
for i = 0, 10000000 - 1 do
  s = s + i % 7 * 3
end
print(s)
