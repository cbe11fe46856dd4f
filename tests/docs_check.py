#!/usr/bin/env python3
"""Keeps the manual in docs/ true.

  docs_check.py examples KORVEL CHAPTER.md
      Runs every runnable example of the chapter: a fenced block with the info
      string "kor" followed (blank lines allowed) by a fenced block with the
      info string "output". The script runs with KORVEL in a fresh temporary
      directory, without arguments; its standard output followed by its
      standard error must equal the output block (the block's last line end
      is not part of the comparison). A library chapter (10-... to 19-...)
      must hold at least one.

  docs_check.py commands README.md GETTING_STARTED.md
      Every command of the README's "Commands" section (its indented lines)
      stands verbatim in the getting-started chapter.

  docs_check.py links DOCS_DIR
      Every relative Markdown link of every chapter names an existing file
      and, after "#", a heading of that file (anchors as the usual Markdown
      renderers make them); the index README.md links every chapter.
"""
import os
import re
import subprocess
import sys
import tempfile
import unicodedata

FENCE = re.compile(r"^(```+|~~~+)\s*([^\s`]*)\s*$")
LIBRARY_CHAPTER = re.compile(r"^1\d-")  # 10-zfc.md ... 19-hux.md


def fenced_blocks(text):
    """Yields (info, body, line) for each fenced block, and ("", None, line)
    for each non-blank line outside blocks, so that callers can tell whether
    two blocks follow each other."""
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            if lines[i].strip():
                yield "", None, i + 1
            i += 1
            continue
        fence, info, start = m.group(1), m.group(2), i + 1
        body = []
        i += 1
        while i < len(lines) and not lines[i].startswith(fence):
            body.append(lines[i])
            i += 1
        if i >= len(lines):
            raise SystemExit("%d: fenced block not closed" % start)
        i += 1
        yield info, "\n".join(body), start


def runnable_examples(text):
    """(line, script, expected output) of each kor block directly followed by
    an output block."""
    found, pending = [], None
    for info, body, line in fenced_blocks(text):
        if info == "output" and pending:
            found.append((pending[0], pending[1], body))
        pending = (line, body) if info == "kor" else None
    return found


def run_examples(korvel, chapter):
    with open(chapter, encoding="utf-8") as f:
        examples = runnable_examples(f.read())
    failed = 0
    for line, script, want in examples:
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "example.kor")
            with open(path, "w", encoding="utf-8") as f:
                f.write(script + "\n")
            proc = subprocess.run([korvel, path], cwd=tmp, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        got = (proc.stdout + proc.stderr).decode("utf-8", "replace")
        if got.endswith("\n"):
            got = got[:-1]
        if got != want or proc.returncode < 0:
            failed += 1
            print("--- %s:%d: output differs (exit %d)\n--- expected:\n%s\n--- got:\n%s\n" %
                  (chapter, line, proc.returncode, want, got))
    name = os.path.basename(chapter)
    print("%s: %d runnable examples, %d failed" % (name, len(examples), failed))
    if LIBRARY_CHAPTER.match(name) and not examples:
        print("%s: a library chapter needs at least one runnable example" % name)
        return 1
    return 1 if failed else 0


def check_commands(readme, chapter):
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    section = re.search(r"^## Commands\n(.*?)^## ", text, re.S | re.M)
    if not section:
        print("%s: no Commands section" % readme)
        return 1
    commands = [l.strip() for l in section.group(1).split("\n") if l.startswith("    ") and l.strip()]
    with open(chapter, encoding="utf-8") as f:
        manual = f.read()
    missing = [c for c in commands if c not in manual]
    for c in missing:
        print("%s lacks the README command: %s" % (chapter, c))
    if len(commands) != 2:
        print("%s: expected two commands, found %d" % (readme, len(commands)))
        return 1
    return 1 if missing else 0


def heading_anchor(title):
    """Lower case; letters, digits, "-", "_" and blanks kept; blanks become "-"."""
    kept = [c for c in title.strip().lower()
            if c in " -_" or unicodedata.category(c)[0] in "LN"]
    return "".join(kept).replace(" ", "-")


def prose_lines(text):
    """(line number, line) of each line outside fenced blocks."""
    inside = False
    for number, line in enumerate(text.split("\n"), 1):
        if FENCE.match(line) or (inside and line.startswith("```")):
            inside = not inside
            continue
        if not inside:
            yield number, line


def anchors(text):
    found, seen = set(), {}
    for _, line in prose_lines(text):
        m = re.match(r"#{1,6}\s+(.*)", line)
        if m:
            a = heading_anchor(m.group(1))
            n = seen.get(a, 0)
            seen[a] = n + 1
            found.add(a if n == 0 else "%s-%d" % (a, n))
    return found


def check_links(docs):
    chapters = sorted(f for f in os.listdir(docs) if f.endswith(".md"))
    texts = {}
    for f in chapters:
        with open(os.path.join(docs, f), encoding="utf-8") as fh:
            texts[f] = fh.read()
    bad = []
    for f in chapters:
        for number, line in prose_lines(texts[f]):
            line = re.sub(r"`[^`]*`", "", line)  # code is not a link
            for target in re.findall(r"\]\(([^)\s]+)\)", line):
                if re.match(r"[a-z]+:", target):
                    continue
                name, _, fragment = target.partition("#")
                name = name or f
                if name not in texts and not os.path.exists(os.path.join(docs, name)):
                    bad.append("%s:%d: no file %s" % (f, number, target))
                elif fragment and name in texts and fragment not in anchors(texts[name]):
                    bad.append("%s:%d: no heading for %s" % (f, number, target))
    index = texts.get("README.md", "")
    bad += ["README.md does not link %s" % f for f in chapters
            if f != "README.md" and "(%s)" % f not in index]
    for b in bad:
        print(b)
    print("%d chapters, %d broken links" % (len(chapters), len(bad)))
    return 1 if bad else 0


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "examples":
        return run_examples(sys.argv[2], sys.argv[3])
    if len(sys.argv) == 4 and sys.argv[1] == "commands":
        return check_commands(sys.argv[2], sys.argv[3])
    if len(sys.argv) == 3 and sys.argv[1] == "links":
        return check_links(sys.argv[2])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
