#!/usr/bin/env python3
"""Keeps the documentation true to the programs (run by scripts/docs.sh).

1. The usage blocks: every block in the README, the manual pages and the Windows
   README.txt that is marked as a program's output is compared with what the
   built program prints.
2. The messages: every message text that kmzflash or kbdprobe can print appears
   in its manual page's DIAGNOSTICS, and every entry there is still printed.

Each finding is one line that names the text; the exit code is 1 when there is one.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

# The tree whose documents and sources are checked (KMZ_DOCS_ROOT: a copy, as the
# checker's own test makes one).
ROOT = Path(os.environ.get("KMZ_DOCS_ROOT", Path(__file__).resolve().parent.parent))

# Where each program's messages are written; keyboard/ is kmzflash's serial link.
PROGRAMS = {
    "kmzflash": {"sources": ["kmzflash", "keyboard"], "page": "man/kmzflash.1"},
    "kbdprobe": {"sources": ["kbdprobe"], "page": "man/kbdprobe.1"},
}

# Literals with words in them that are no message of the program: what --l
# prints on standard output (described under OPERATIONS), names the program
# looks for, texts it reads, and what the compiler alone sees.
NOT_MESSAGES = {
    "kmzflash": [
        r"^USB %1:%2$", r"^serial %1$", r"^ \(in use by process %1\)$", r"^ \(system console\)$",
        r"^No serial ports found\.\n$", r"^read and written in signal handlers$", r"^%1 ms$",
        r"^PNL640_\*_\*\.upd$", r"^SHA256 \($", r"^SHA256SUMS$",
        # Qt's own words for a lock it could not take, looked for to say more.
        r"^Permission error while locking the device$",
    ],
    "kbdprobe": [r"^%1 ms$", r"^read in a signal handler$",
                 # The usage, checked as a block.
                 r"^Usage: kbdprobe \[serial\]", r"^Stands in for the switcher", r"^whether a keyboard is there",
                 r"^Exit codes: 0 a keyboard answered"],
}

# The usage text (checked as a block, not as messages).
USAGE_ARRAYS = re.compile(r"const char\* const g(Usage|HelpMore)\[\] = \{.*?\};", re.S)


def strip_comments(source):
    """The source without comments and #include lines; literals kept whole."""
    out = []
    i = 0
    n = len(source)
    while i < n:
        if source.startswith("//", i):
            j = source.find("\n", i)
            i = n if j < 0 else j
        elif source.startswith("/*", i):
            j = source.find("*/", i)
            i = n if j < 0 else j + 2
        elif source[i] == "'":
            # A character literal ('"' above all) is no string's bound.
            j = i + 1
            while source[j] != "'":
                j += 2 if source[j] == "\\" else 1
            out.append("'c'")
            i = j + 1
        elif source[i] == '"':
            quote = source[i]
            j = i + 1
            while source[j] != quote:
                j += 2 if source[j] == "\\" else 1
            out.append(source[i:j + 1])
            i = j + 1
        else:
            out.append(source[i])
            i += 1
    return re.sub(r"#\s*include[^\n]*", "", "".join(out))


def unescape_c(text):
    return (text.replace("\\n", "\n").replace("\\t", "\t").replace('\\"', '"')
            .replace("\\'", "'").replace("\\\\", "\\"))


LITERAL_RUN = re.compile(r'((?:"(?:[^"\\]|\\.)*"\s*)+)')


def literals_in(code):
    """The string literals of code, adjacent ones joined, raw strings aside."""
    for match in LITERAL_RUN.finditer(code):
        if code[match.start() - 1:match.start()] == "R":
            continue
        yield unescape_c("".join(re.findall(r'"((?:[^"\\]|\\.)*)"', match.group(1))))


def code_texts(program):
    """(message literals, every literal) of the program's sources, with their files."""
    messages = {}
    everything = set()
    ignored = [re.compile(p) for p in NOT_MESSAGES[program]]
    for folder in PROGRAMS[program]["sources"]:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h"):
                continue
            code = USAGE_ARRAYS.sub("", strip_comments(path.read_text(encoding="utf-8")))
            code = re.sub(r"QRegularExpression\([^;]*?\)", "", code)
            name = str(path.relative_to(ROOT))
            streamed = set()
            for statement in re.finditer(r"q(?:Warning|Debug)\(\)(.*?);", code, re.S):
                streamed.update(literals_in(statement.group(1)))
            for literal in literals_in(code):
                everything.add(literal)
                sentence = re.search(r"[A-Za-z]{2}", literal) and " " in literal.strip()
                if (sentence or literal in streamed) and not any(p.search(literal) for p in ignored):
                    messages.setdefault(literal, name)
    return messages, everything


def pieces(literal):
    """The fixed parts of a literal: split where arguments (%1) and line breaks go."""
    return [p.strip() for p in re.split(r"%\d|\n|\t", literal) if re.search(r"[A-Za-z]", p)]


ROFF_ESCAPES = [("\\(dq", '"'), ("\\(aq", "'"), ("\\-", "-"), ("\\e", "\\"), ("\\&", ""), ("\\ ", " "),
                ("\\(em", "\u2014"), ("\\(en", "\u2013")]
PLACEHOLDER = "\x00"


def unroff(line):
    # Italic text is a placeholder for what the program puts there.
    line = re.sub(r"\\fI.*?\\f[BRP]", PLACEHOLDER, line)
    line = re.sub(r"\\f[BRPI]", "", line)
    for escape, text in ROFF_ESCAPES:
        line = line.replace(escape, text)
    return line


def section(page_text, title):
    match = re.search(r"^\.SH " + re.escape(title) + r"\n(.*?)(?=^\.SH |\Z)", page_text, re.S | re.M)
    return match.group(1) if match else None


def diagnostics(page):
    """The message of each DIAGNOSTICS entry (the line after .TP, and after each
    .TQ that gives another form of it), unescaped."""
    text = section((ROOT / page).read_text(encoding="utf-8"), "DIAGNOSTICS")
    if text is None:
        return None
    lines = text.split("\n")
    return [unroff(lines[i + 1]) for i, line in enumerate(lines[:-1]) if line in (".TP", ".TQ")]


def check_messages(program, findings):
    page = PROGRAMS[program]["page"]
    entries = diagnostics(page)
    if entries is None:
        findings.append(f"{page}: no DIAGNOSTICS section")
        return
    messages, everything = code_texts(program)
    shown = "\n".join(entries)
    for literal, source in sorted(messages.items(), key=lambda item: item[1]):
        for piece in pieces(literal):
            if piece not in shown:
                findings.append(f'{page}: DIAGNOSTICS lacks "{piece}" ({source} prints it)')
    # An entry is still printed when its fixed parts are made of the code's
    # literals (longest first; a short one only where it is the whole part).
    known = sorted({p.strip() for literal in everything for p in re.split(r"%\d|\n|\t", literal) if p.strip()},
                   key=len, reverse=True)
    for entry in entries:
        for part in re.split("[" + PLACEHOLDER + '"]', entry):
            rest = part
            for piece in known:
                if len(piece) >= 3 or piece == rest.strip():
                    rest = rest.replace(piece, " ")
            if re.search(r"[A-Za-z]", rest):
                findings.append(f'{page}: DIAGNOSTICS entry "{entry.replace(PLACEHOLDER, "<>")}" is printed by '
                               f'no code of {program} ("{" ".join(rest.split())}")')
                break


def program_output(build, program, arguments):
    path = build / program / program
    result = subprocess.run([str(path)] + arguments, capture_output=True, text=True, timeout=30)
    return result.stdout + result.stderr


# A block the documentation shows as a program's output: in Markdown a fenced
# block right after "<!-- output: kmzflash --help -->", in a manual page the
# lines between ".\" output: kmzflash --help" (and .nf) and ".fi", in README.txt
# the indented lines after "kmzflash.exe --help prints:" and a blank line.
def marked_blocks(path):
    text = path.read_text(encoding="utf-8")
    if path.suffix == ".md":
        for match in re.finditer(r"<!-- output: (.+?) -->\n```\n(.*?)```\n", text, re.S):
            yield match.group(1), match.group(2)
    elif path.suffix == ".1":
        for match in re.finditer(r'^\.\\" output: (.+?)\n\.nf\n(.*?)^\.fi\n', text, re.S | re.M):
            body = "\n".join(unroff(line) for line in match.group(2).split("\n"))
            body = re.sub(r"^\.br\n?", "", body, flags=re.M)
            yield match.group(1), body
    else:
        for match in re.finditer(r"^(\w+)(?:\.exe)? (--help) prints:\n\n((?:  .*\n|\n)*?)(?=\S|\Z)", text, re.M):
            body = "".join(line[2:] + "\n" if line else "\n" for line in match.group(3).rstrip("\n").split("\n"))
            yield match.group(1) + " " + match.group(2), body


def roff(text):
    lines = []
    for line in text.strip("\n").split("\n"):
        line = line.replace("\\", "\\e").replace("-", "\\-")
        lines.append("\\&" + line if line.startswith((".", "'")) else line)
    return "\n".join(lines) + "\n"


def write_usage(build):
    """Makes every marked block anew from the program's output."""
    for document in DOCUMENTS:
        text = document.read_text(encoding="utf-8")

        def output(command):
            words = command.split()
            return program_output(build, words[0], words[1:]).strip("\n") + "\n"

        if document.suffix == ".md":
            text = re.sub(r"(<!-- output: (.+?) -->\n```\n)(.*?)(```\n)",
                          lambda m: m.group(1) + output(m.group(2)) + m.group(4), text, flags=re.S)
        elif document.suffix == ".1":
            text = re.sub(r'(^\.\\" output: (.+?)\n\.nf\n)(.*?)(^\.fi\n)',
                          lambda m: m.group(1) + roff(output(m.group(2))) + m.group(4), text, flags=re.S | re.M)
        else:
            text = re.sub(r"(^(\w+)(?:\.exe)? (--help) prints:\n\n)((?:  .*\n|\n)*?)(?=\S|\Z)",
                          lambda m: m.group(1) + "".join("  " + line + "\n" if line else "\n" for line in
                                                         output(m.group(2) + " " + m.group(3)).split("\n")[:-1])
                          + "\n", text, flags=re.M)
        document.write_text(text, encoding="utf-8")


def normalise(text):
    # Tabs as the page lays them out; blank lines at either end do not count.
    return "\n".join(line.rstrip().replace("\t", " ") for line in text.strip("\n").split("\n"))


DOCUMENTS = [ROOT / "README.md", ROOT / "man" / "kmzflash.1", ROOT / "man" / "kbdprobe.1",
             ROOT / "scripts" / "windows" / "README.txt"]


def check_usage(build, findings):
    wanted = {("kmzflash", "--help"): 0, ("kbdprobe", "--help"): 0}
    for document in DOCUMENTS:
        for command, body in marked_blocks(document):
            words = command.split()
            if tuple(words[:2]) in wanted:
                wanted[tuple(words[:2])] += 1
            output = program_output(build, words[0], words[1:])
            if normalise(body) != normalise(output):
                shown = normalise(body).split("\n")
                real = normalise(output).split("\n")
                first = next((i for i in range(max(len(shown), len(real)))
                              if i >= len(shown) or i >= len(real) or shown[i] != real[i]), 0)
                findings.append(f'{document.relative_to(ROOT)}: the block of "{command}" is not its output '
                               f'(line {first + 1}: "{shown[first] if first < len(shown) else ""}", '
                               f'the program: "{real[first] if first < len(real) else ""}")')
    for (program, option), count in wanted.items():
        if count == 0:
            findings.append(f'no document shows "{program} {option}" as its output')


def main():
    arguments = sys.argv[1:]
    write = "--write" in arguments
    arguments = [a for a in arguments if a != "--write"]
    build = Path(arguments[0]) if arguments else ROOT / "build"
    if write:
        write_usage(build)
    findings = []
    check_usage(build, findings)
    for program in PROGRAMS:
        check_messages(program, findings)
    for finding in findings:
        print("docs: " + finding)
    if findings:
        print(f"docs: {len(findings)} finding(s)")
        return 1
    print("docs: the usage blocks are the programs' output, and DIAGNOSTICS lists what they print")
    return 0


if __name__ == "__main__":
    sys.exit(main())
