# Counts word frequencies with a dict (same generated text as word_freq.kor).
def main():
    syl = ["ka", "lo", "mi", "ne", "su", "ta", "ri", "po",
           "an", "be", "cu", "do", "el", "fi", "go", "hu"]
    vocab = [a + b + c for a in syl for b in syl for c in syl]
    n = 1000000
    words = []
    x = 4242
    for _ in range(n):
        x = (x * 1103 + 12345) % 1000003
        r = x % 64
        x = (x * 1103 + 12345) % 1000003
        words.append(vocab[r * (x % 64)])

    freq = {}
    for w in words:
        if w in freq:
            freq[w] = freq[w] + 1
        else:
            freq[w] = 1

    total = 0
    best = 0
    best_word = ""
    for w in sorted(freq):
        c = freq[w]
        total += c
        if c > best:
            best = c
            best_word = w
    print(len(freq), total, best_word, best)


main()
