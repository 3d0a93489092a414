#!/usr/bin/env python3
"""scripts/setup.sh's package list against the programs the build and the
scripts call. Each must come from a package the list installs, from one of
their dependencies (recommendations left out, as setup.sh installs), or
from a bare Debian 12 (its required packages). Fails naming each program a
fresh machine would lack.

The programs: what the configured build tree runs (make, the compilers and
binary tools, from its cache), and every word in a command's place in the
shell scripts (after a line's start, ; | & ( { ! $( then do else; in a
quoted text only within $( )), what command -v looks for, and the word
after COMMAND in the CMake files. Only programs on this
machine are seen: one it lacks fails its own tests here first.

usage: setup_list.py SOURCE_DIR BUILD_DIR
"""
import glob
import os
import re
import shutil
import sys

src, build = (os.path.abspath(a) for a in sys.argv[1:3])

text = open(os.path.join(src, "scripts/setup.sh"), encoding="utf-8").read()
m = re.search(r"^packages=\(\n(.*?)^\)", text, re.M | re.S)
if not m:
    sys.exit("FAIL: no packages=( ... ) list in scripts/setup.sh")
listed = [p.split(":")[0] for p in m.group(1).split()]

# ---------------------------------------------------------------- programs
BUILTINS = set("""alias bg bind break builtin caller cd command compgen complete
compopt continue declare dirs disown echo enable eval exec exit export false fc
fg getopts hash help history jobs kill let local logout mapfile popd printf
pushd pwd read readarray readonly return set shift shopt source suspend test
times trap true type typeset ulimit umask unalias unset wait case do done elif
else esac fi for function if in select then time until while""".split())
# A word at a command's place (after assignments, and after a variable such
# as $SUDO that runs it), with what comes before and after it: a word
# before "=" is assigned to, one before ")" is a case pattern unless it
# stands alone in $( ).
SHELL_CMD = re.compile(
    r"(^|[;&|({!`]|\$\(|\b(?:then|do|else|elif|if|while|until|time|exec)\s)"
    r"\s*(?:[A-Za-z_][A-Za-z0-9_]*=\S*\s+)*(?:\$[A-Za-z_][A-Za-z0-9_]*\s+)?([A-Za-z0-9_][A-Za-z0-9_.+-]*)(?=([\s;|&)`]|$))")
# A program looked for: the first choice of first_tool (tests/machine).
LOOKED_FOR = re.compile(r"\b(?:command -v|first_tool)\s+\"?([A-Za-z0-9_][A-Za-z0-9_.+-]*)")
CMAKE_CMD = re.compile(r"\bCOMMAND\s+([A-Za-z0-9_][A-Za-z0-9_.+-]*)")

calls = {}  # program name -> where it is called


def called(name, where):
    calls.setdefault(name, set()).add(where)


files = [f for d in ("scripts", "cmake", "tests") for f in
         glob.glob(os.path.join(src, d, "**", "*"), recursive=True)]
files.append(os.path.join(src, "CMakeLists.txt"))
for f in sorted(files):
    name = os.path.basename(f)
    rel = os.path.relpath(f, src)
    if name.endswith(".sh"):
        heredoc = None
        for line in open(f, encoding="utf-8"):
            if heredoc:  # text, not commands
                heredoc = None if line.strip() == heredoc else heredoc
                continue
            m = re.search(r"(?<!<)<<-?\s*['\"]?([A-Za-z_]\w*)", line)
            heredoc = m.group(1) if m else None
            line = re.sub(r"'[^']*'", "''", line)          # sed, python, patterns
            line = re.sub(r"(^|\s)#.*", "", line)
            # Of a double-quoted text, only the commands it runs.
            line = re.sub(r'"[^"]*"', lambda m: " ".join(re.findall(r"\$\([^\"]*", m.group())), line)
            for before, word, after in SHELL_CMD.findall(line):
                if after != ")" or before in ("$(", "`"):
                    called(word, rel)
            for word in LOOKED_FOR.findall(line):
                called(word, rel)
    elif name == "CMakeLists.txt" or name.endswith(".cmake"):
        for line in open(f, encoding="utf-8"):
            for word in CMAKE_CMD.findall(re.sub(r"#.*", "", line)):
                called(word, rel)

# What the build tree runs.
for line in open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8"):
    m = re.match(r"([A-Z_]+):FILEPATH=(/.+)$", line) or \
        re.match(r"([A-Z_]+_COMMAND):INTERNAL=(/.+)$", line)
    if m and os.access(m.group(2), os.X_OK) and not os.path.isdir(m.group(2)):
        called(m.group(2), "the build tree's " + m.group(1))
for f in glob.glob(os.path.join(build, "CMakeFiles", "*", "CMake*Compiler.cmake")):
    for line in open(f, encoding="utf-8"):
        m = re.match(r'set\((CMAKE_[A-Z]+_COMPILER) "(.+)"\)$', line)
        if m:
            called(m.group(2), "the build tree's " + m.group(1))

# ---------------------------------------------------------------- packages
pkgs, provides = {}, {}
stanza, key = {}, None


def add(st):
    if "install ok installed" not in st.get("Status", ""):
        return
    pkgs.setdefault(st["Package"], []).append(st)
    for p in st.get("Provides", "").split(","):
        if p.strip():
            provides.setdefault(p.split()[0], set()).add(st["Package"])


for line in open("/var/lib/dpkg/status", encoding="utf-8"):
    line = line.rstrip("\n")
    if not line:
        if stanza:
            add(stanza)
        stanza, key = {}, None
    elif line[0] in " \t":
        if key:
            stanza[key] += " " + line.strip()
    else:
        key, _, val = line.partition(":")
        stanza[key] = val.strip()
if stanza:
    add(stanza)


def installed(name):
    name = name.split(":")[0]
    if name in pkgs:
        return name
    return min(provides.get(name, {""})) or None


def closure(start):
    seen, todo = set(), list(start)
    while todo:
        p = todo.pop()
        if p in seen:
            continue
        seen.add(p)
        for st in pkgs.get(p, []):
            for group in (st.get("Pre-Depends", "") + "," + st.get("Depends", "")).split(","):
                # apt takes the first choice it can; here the first one installed.
                for alt in group.split("|"):
                    q = installed(alt.split("(")[0].strip()) if alt.strip() else None
                    if q:
                        todo.append(q)
                        break
    return seen


base = closure(n for n, sts in pkgs.items()
               if any(s.get("Priority") == "required" or s.get("Essential") == "yes" for s in sts))
have = base | closure(installed(p) or p for p in listed)

owner = {}
for lst in glob.glob("/var/lib/dpkg/info/*.list"):
    pkg = os.path.basename(lst)[:-5].split(":")[0]
    for f in open(lst, encoding="utf-8", errors="replace"):
        owner.setdefault(f.rstrip("\n"), pkg)


def owner_of(path):
    for p in (path, os.path.realpath(path)):
        for q in (p, p.replace("/usr/", "/", 1), "/usr" + p):
            if q in owner:
                return owner[q]
    return None


# ------------------------------------------------------------------- check
programs = {}  # path -> where it is called
for name, where in calls.items():
    path = shutil.which(name)
    # Not a program on this machine: a function, a variable.
    if path and os.path.basename(name) not in BUILTINS:
        programs.setdefault(path, set()).update(where)
missing = checked = 0
for path, where in sorted(programs.items()):
    pkg = owner_of(path)
    if pkg is None:
        continue  # from no package: nothing a list could install
    checked += 1
    if pkg not in have:
        missing += 1
        print(f"FAIL: {os.path.basename(path)} ({path}, package {pkg}) is not installed "
              f"by scripts/setup.sh; called in " + ", ".join(sorted(where)[:3]))
print(f"{checked} programs checked against the {len(listed)} packages of scripts/setup.sh "
      f"and the {len(base)} of a bare Debian: {missing} missing")
sys.exit(1 if missing else 0)
