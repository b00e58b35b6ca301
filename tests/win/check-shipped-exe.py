#!/usr/bin/env python3
"""Checks the Windows program shipped to controller PCs without running it, so it runs on any
machine: every function it imports is one that 32-bit Windows XP SP3 has (the list beside this
script), it imports system DLLs only, its PE header asks for no Windows newer than XP (5.01), and
its manifest keeps asInvoker and names Windows 7 to 11.

Usage: check-shipped-exe.py EXE [--planted PLANTED_EXE]
  --planted  also checks the check: PLANTED_EXE imports RegGetValueW (Vista and later), and must
             be refused for it.
"""
import argparse
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

ALLOWED = Path(__file__).with_name("xp-sp3-imports.txt")
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 10 and 11",
}


def objdump():
    for name in ("i686-w64-mingw32-objdump", "x86_64-w64-mingw32-objdump", "objdump"):
        if shutil.which(name):
            return name
    sys.exit("check-shipped-exe: no objdump found (scripts/install-deps.sh --windows)")


def allowed_imports():
    allowed = set()
    for line in ALLOWED.read_text().splitlines():
        line = line.split("#", 1)[0].split()
        if line:
            dll, function = line
            allowed.add((dll.lower(), function))
    return allowed


def read_headers(exe):
    """The PE headers and import tables as objdump prints them: (format, fields, imports)."""
    text = subprocess.run([objdump(), "-p", str(exe)], check=True, capture_output=True,
                          text=True).stdout
    fmt = re.search(r"file format (\S+)", text)
    fields = dict(re.findall(r"^(\w+)\s+(\S+)\s*$", text, re.M))
    imports = []
    dll = None
    for line in text.splitlines():
        name = re.match(r"\s*DLL Name: (\S+)", line)
        if name:
            dll = name.group(1)
            continue
        entry = re.match(r"\t[0-9a-f]+\t\s*([0-9]+)\s+(\S+)?", line)
        if dll and entry:
            # An import by ordinal has no name: it cannot be checked against documentation.
            imports.append((dll, entry.group(2) or f"#{entry.group(1)}"))
        elif not line.strip():
            dll = None
    return (fmt.group(1) if fmt else "?"), fields, imports


def manifest_problems(exe):
    data = Path(exe).read_bytes()
    start, end = data.find(b"<?xml"), data.find(b"</assembly>")
    if start < 0 or end < start:
        return ["no manifest in the exe"]
    root = ElementTree.fromstring(data[start:end + len(b"</assembly>")])
    problems = []
    level = root.find(f".//{ASM_V3}requestedExecutionLevel")
    if level is None or level.get("level") != "asInvoker" or level.get("uiAccess") != "false":
        problems.append("manifest does not request asInvoker without uiAccess")
    named = {os.get("Id") for os in root.iter(f"{COMPATIBILITY}supportedOS")}
    problems += [f"manifest does not name {SUPPORTED_OS[i]}" for i in SUPPORTED_OS if i not in named]
    return problems


def check(exe):
    """Returns the list of problems; empty when the exe may ship."""
    fmt, fields, imports = read_headers(exe)
    problems = []
    if fmt != "pei-i386":
        problems.append(f"not a 32-bit exe ({fmt})")
    for kind in ("Subsystem", "OSystem"):
        version = (int(fields.get(f"Major{kind}Version", "99")),
                   int(fields.get(f"Minor{kind}Version", "99")))
        if version > (5, 1):
            problems.append(f"{kind.lower()} version {version[0]}.{version[1]:02d} is newer than "
                            "Windows XP's 5.01")
    allowed = allowed_imports()
    system_dlls = {dll for dll, _ in allowed}
    for dll in sorted({dll for dll, _ in imports}, key=str.lower):
        if dll.lower() not in system_dlls:
            problems.append(f"imports {dll}, which is not a system DLL of Windows XP")
    for dll, function in imports:
        if dll.lower() in system_dlls and (dll.lower(), function) not in allowed:
            problems.append(f"imports {dll}!{function}, not on the XP SP3 list ({ALLOWED.name})")
    if not imports:
        problems.append("no imports found: objdump's output was not understood")
    return problems + manifest_problems(exe), imports


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--planted")
    args = parser.parse_args()
    passed = failed = 0

    problems, imports = check(args.exe)
    for problem in problems:
        print(f"FAIL {args.exe}: {problem}")
    if problems:
        failed += 1
    else:
        passed += 1
        print(f"ok   {args.exe}: {len(imports)} imports, all on the XP SP3 list; subsystem 5.01 "
              "or older; manifest asInvoker, Windows 7 to 11")
    if args.planted:
        planted, _ = check(args.planted)
        if any("RegGetValueW" in p for p in planted):
            passed += 1
            print("ok   a planted RegGetValueW import is refused")
        else:
            failed += 1
            print(f"FAIL a planted RegGetValueW import was not refused ({args.planted})")
    print(f"import check: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
