local t = {}
for i = 1, 2000000 do
  t[#t + 1] = "abc"
end
print(#table.concat(t))
