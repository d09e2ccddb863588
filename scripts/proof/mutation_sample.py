"""Run by scripts/proof/mutation.sh, from the repo root, once universalmutator has written the
mutants of each FILE to OUT/mutants/<FILE with / as _>/: prints the seeded sample of N of them
(N = 0: all), one tab-separated line each: mutant path, file, line, original text, mutated
text, and the reason from EQUIVALENT (tests/mutation_equivalent.txt) when it is a known
equivalent mutant, else nothing. Both texts are stripped, with \\, tab and newline escaped.
Duplicates and mutants that only touch comments or spacing are left out, and counted on stderr.

    python scripts/proof/mutation_sample.py OUT N SEED EQUIVALENT FILE... >OUT/sample.tsv
"""

import hashlib
import pathlib
import random
import re
import sys


def esc(text):
    return text.strip().replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")


def code_of(text):
    """The text without its comments, and without the blanks outside literals that do not
    part two words: a mutant that only touches a comment or the spacing leaves it unchanged."""
    pieces = re.split(r'("(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'|//[^\n]*|/\*.*?\*/)', text,
                      flags=re.S)
    code = []
    for i, piece in enumerate(pieces):
        if i % 2:  # a literal, kept as written, or a comment, dropped
            code.append(piece if piece[0] in "\"'" else "")
        else:
            code.append(re.sub(r" ?([^\w ]) ?", r"\1", " ".join(piece.split())))
    return " ".join(filter(None, code))


def known_equivalents(equivalent_list):
    known = {}
    if pathlib.Path(equivalent_list).exists():
        for line in pathlib.Path(equivalent_list).read_text().splitlines():
            if line.strip() and not line.startswith("#"):
                f, orig, mutated, reason = line.split("\t", 3)
                known[(f, orig, mutated)] = reason
    return known


def sample(out, n, seed, equivalent_list, files):
    known = known_equivalents(equivalent_list)
    rows, seen, dropped = [], set(), 0
    for f in files:
        original = pathlib.Path(f).read_text()
        orig_lines = original.splitlines(keepends=True)
        for path in sorted(pathlib.Path(out, "mutants", f.replace("/", "_")).glob("*")):
            text = path.read_text()
            digest = hashlib.sha256(text.encode()).hexdigest()
            if digest in seen or code_of(text) == code_of(original):
                dropped += 1
                continue
            seen.add(digest)
            # A mutant replaces one line by some text, which may span lines or none.
            mut_lines = text.splitlines(keepends=True)
            k = 0
            while k < min(len(orig_lines), len(mut_lines)) and orig_lines[k] == mut_lines[k]:
                k += 1
            e = 0
            while (e < min(len(orig_lines), len(mut_lines)) - k
                   and orig_lines[-1 - e] == mut_lines[-1 - e]):
                e += 1
            i1, i2, j2 = k, len(orig_lines) - e, len(mut_lines) - e
            if i1 == i2:  # text added after a line: that line is the one mutated
                i1 -= 1
            before = "".join(orig_lines[i1:i2])
            after = "".join(mut_lines[i1:j2])
            key = (f, esc(before), esc(after))
            rows.append([str(path), f, str(i1 + 1), key[1], key[2], known.get(key, "")])

    print(f"{len(rows)} mutants ({dropped} duplicates or comment-only left out)", file=sys.stderr)
    if n and n < len(rows):
        rows = random.Random(seed).sample(rows, n)
    return rows


def main(argv):
    out, n, seed, equivalent_list, files = argv[0], int(argv[1]), int(argv[2]), argv[3], argv[4:]
    for row in sample(out, n, seed, equivalent_list, files):
        print("\t".join(row))


if __name__ == "__main__":
    main(sys.argv[1:])
