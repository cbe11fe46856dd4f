# Splits a ~50 MB text into lines and words, joins the lines again and
# searches the text (same generated text as zfc_split_join.kor).
def main():
    syl = ["ka", "lo", "mi", "ne", "su", "ta", "ri", "po",
           "an", "be", "cu", "do", "el", "fi", "go", "hu"]
    vocab = [(a + b + c).encode() for a in syl for b in syl for c in syl]
    out = []
    x = 4242
    for _ in range(1000):
        words = []
        for _ in range(8):
            x = (x * 1103 + 12345) % 1000003
            words.append(vocab[x % 4096])
        out.append(b" ".join(words) + b"\n")
    block = b"".join(out)
    text = block * (50000000 // len(block) + 1)

    # lines, and the words of every line
    lines = text.split(b"\n")
    words = 0
    for line in lines:
        words += len(line.split(b" "))

    # the lines joined again give the text back
    joined = b"\n".join(lines)
    same = joined == text

    # a split at a text separator
    parts = text.split(b"ka ")

    # searching
    hits = text.count(b"kalomi")
    found = 0
    pos = text.find(b"hugohu")
    while pos >= 0:
        found += 1
        pos = text.find(b"hugohu", pos + 1)
    last = text.rfind(b"kakaka")
    print(len(text), len(lines), words, "zhen" if same else "jia", len(parts), hits, found, last)


main()
