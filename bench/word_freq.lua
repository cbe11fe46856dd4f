-- Counts word frequencies with a table (same generated text as word_freq.kor).
local syl = {"ka", "lo", "mi", "ne", "su", "ta", "ri", "po",
             "an", "be", "cu", "do", "el", "fi", "go", "hu"}
local vocab = {}
for i = 1, 16 do
  for j = 1, 16 do
    for k = 1, 16 do
      vocab[#vocab + 1] = syl[i] .. syl[j] .. syl[k]
    end
  end
end

local n = 1000000
local words = {}
local x = 4242
for i = 1, n do
  x = (x * 1103 + 12345) % 1000003
  local r = x % 64
  x = (x * 1103 + 12345) % 1000003
  words[i] = vocab[r * (x % 64) + 1]
end

local freq = {}
local distinct = 0
for _, w in ipairs(words) do
  local c = freq[w]
  if c then
    freq[w] = c + 1
  else
    freq[w] = 1
    distinct = distinct + 1
  end
end

local keys = {}
for w in pairs(freq) do keys[#keys + 1] = w end
table.sort(keys)
local total, best, bestWord = 0, 0, ""
for _, w in ipairs(keys) do
  local c = freq[w]
  total = total + c
  if c > best then
    best = c
    bestWord = w
  end
end
print(table.concat({distinct, total, bestWord, best}, " "))
