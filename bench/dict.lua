local d = {}
for i = 0, 200000 - 1 do
  d[i] = i * 2
end
local s = 0
for i = 0, 200000 - 1 do
  s = s + d[i]
end
print(s)
