#!/usr/bin/env python3
"""Reads the fault list of scripts/mutate.sh and plants one fault.

  mutations.py list  LIST               id<TAB>file<TAB>description per entry
  mutations.py check LIST [ID...]       every entry's original text occurs exactly once
  mutations.py apply LIST ID            writes the replacement into the file

Exit status: 0 fine, 2 bad list or unknown id, 3 stale entry (text not found
exactly once; nothing written).
"""
import sys


def parse(path):
    entries, cur, mode, lineno = [], None, None, 0
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()

    def fail(msg):
        sys.exit(f"{path}:{lineno}: {msg}")

    for lineno, line in enumerate(lines, 1):
        if mode == "orig":
            if line == "===":
                mode = "repl"
            else:
                cur["orig"].append(line)
            continue
        if mode == "repl":
            if line == ">>>":
                mode = None
                if not cur["orig"]:
                    fail(f"{cur['id']}: empty original text")
            else:
                cur["repl"].append(line)
            continue
        if not line.strip() or line.startswith("#"):
            continue
        if line.startswith("@@ "):
            cur = {"id": line[3:].strip(), "file": None, "desc": None, "orig": [], "repl": []}
            entries.append(cur)
        elif cur is None:
            fail("text outside an entry")
        elif line.startswith("file: "):
            cur["file"] = line[6:].strip()
        elif line.startswith("desc: "):
            cur["desc"] = line[6:].strip()
        elif line == "<<<":
            mode = "orig"
        else:
            fail(f"unexpected line: {line!r}")
    if mode is not None:
        fail("entry not closed with >>>")
    seen = set()
    for e in entries:
        if not e["file"] or not e["desc"]:
            sys.exit(f"{path}: entry {e['id']} needs file: and desc:")
        if e["id"] in seen:
            sys.exit(f"{path}: duplicate id {e['id']}")
        seen.add(e["id"])
    return entries


def texts(e):
    # Whole lines: each block ends with its line break.
    orig = "\n".join(e["orig"]) + "\n"
    repl = "\n".join(e["repl"]) + "\n" if e["repl"] else ""
    return orig, repl


def occurrences(e):
    try:
        with open(e["file"], encoding="utf-8", newline="") as f:
            content = f.read()
    except OSError as err:
        return None, str(err)
    orig, _ = texts(e)
    # Anchored at a line start, so a longer line ending in the same text does not count.
    count = ("\n" + content).count("\n" + orig)
    return content, count


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    cmd, path, ids = sys.argv[1], sys.argv[2], sys.argv[3:]
    entries = parse(path)
    by_id = {e["id"]: e for e in entries}
    for i in ids:
        if i not in by_id:
            print(f"unknown id: {i}", file=sys.stderr)
            sys.exit(2)
    chosen = [by_id[i] for i in ids] if ids else entries
    if cmd == "list":
        for e in chosen:
            print(f"{e['id']}\t{e['file']}\t{e['desc']}")
    elif cmd == "check":
        stale = 0
        for e in chosen:
            content, count = occurrences(e)
            if content is None or count != 1:
                stale += 1
                what = count if content is not None else f"unreadable ({count})"
                print(f"stale: {e['id']}: original text found {what} times in {e['file']}")
        sys.exit(3 if stale else 0)
    elif cmd == "apply" and len(ids) == 1:
        e = by_id[ids[0]]
        content, count = occurrences(e)
        if content is None or count != 1:
            print(f"stale: original text found {count} times in {e['file']}", file=sys.stderr)
            sys.exit(3)
        orig, repl = texts(e)
        at = ("\n" + content).index("\n" + orig)
        with open(e["file"], "w", encoding="utf-8", newline="") as f:
            f.write(content[:at] + repl + content[at + len(orig):])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
