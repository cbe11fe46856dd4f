-- Sorts 1 000 000 pseudo-random integers (same sequence as sort_ints.kor).
local n = 1000000
local a = {}
local x = 12345
for i = 1, n do
  x = (x * 1103 + 12345) % 1000003
  a[i] = x
end
table.sort(a)
print(table.concat({#a, a[1], a[n // 2 + 1], a[n]}, " "))
table.sort(a, function(p, q) return p > q end)
print(a[1] .. " " .. a[n])
