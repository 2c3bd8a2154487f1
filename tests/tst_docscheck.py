#!/usr/bin/env python3
"""The documentation check fails, naming the text, for each way the words drift:
a message changed in the code, a DIAGNOSTICS entry deleted, a usage block edited
by hand; and passes on the tree as it is. Runs the checker on a copy of the tree.

    tst_docscheck.py <source tree> <build tree>
"""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE, BUILD = Path(sys.argv[1]), Path(sys.argv[2])
COPIED = ["README.md", "man", "scripts/windows/README.txt", "kmzflash", "keyboard", "kbdprobe"]

# (case, file, text replaced, its replacement, what the finding must name)
CASES = [
    ("a message changed in the code", "kmzflash/update/updatefile.cpp",
     '"No magic key at update file end!"', '"No magic key at the update file end!"',
     'DIAGNOSTICS lacks "No magic key at the update file end!"'),
    ("a DIAGNOSTICS entry deleted", "man/kmzflash.1",
     ".TP\n\\fBTimeout!\\fR\n", "", 'DIAGNOSTICS lacks "Timeout!"'),
    ("an entry for a message no longer printed", "man/kbdprobe.1",
     "\\fBno keyboard\\fR\n", "\\fBno keyboard here\\fR\n", '"no keyboard here" is printed by no code of kbdprobe'),
    ("the usage text in the README edited", "README.md",
     "--i\tGets firmware version info.", "--i\tGets the firmware version.",
     'README.md: the block of "kmzflash --help" is not its output'),
    ("the usage text in README.txt edited", "scripts/windows/README.txt",
     "Exit codes: 0 a keyboard answered", "Exit codes: 0 a keyboard is there",
     'README.txt: the block of "kbdprobe --help" is not its output'),
]


def check(root):
    result = subprocess.run([sys.executable, str(SOURCE / "scripts" / "docscheck.py"), str(BUILD)],
                            env=dict(os.environ, KMZ_DOCS_ROOT=str(root)), capture_output=True, text=True,
                            timeout=60)
    return result.returncode, result.stdout + result.stderr


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        for name in COPIED:
            source, target = SOURCE / name, root / name
            target.parent.mkdir(parents=True, exist_ok=True)
            if source.is_dir():
                shutil.copytree(source, target)
            else:
                shutil.copy2(source, target)
        code, output = check(root)
        if code != 0:
            print(f"FAIL the tree as it is: exit {code}\n{output}")
            failures += 1
        for case, name, old, new, named in CASES:
            path = root / name
            original = path.read_text(encoding="utf-8")
            if old not in original:
                print(f"FAIL {case}: {name} no longer holds {old!r}")
                failures += 1
                continue
            path.write_text(original.replace(old, new, 1), encoding="utf-8")
            code, output = check(root)
            path.write_text(original, encoding="utf-8")
            if code != 1 or named not in output:
                print(f"FAIL {case}: exit {code}, wanted 1 and a line with {named!r}:\n{output}")
                failures += 1
            else:
                print(f"PASS {case}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
