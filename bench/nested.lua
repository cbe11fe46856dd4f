local m = {}
for i = 0, 299 do
  local row = {}
  for j = 0, 299 do
    row[#row + 1] = i * j
  end
  m[#m + 1] = row
end
local s = 0
for i = 1, 300 do
  for j = 1, 300 do
    s = s + m[i][j]
  end
end
print(s)
