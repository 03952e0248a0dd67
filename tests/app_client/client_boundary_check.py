#!/usr/bin/python3
"""The boundary between zelmar_app and libzel_app_client: every strong, unversioned symbol the library
leaves undefined is defined by the program or a library it loads; no symbol is defined by both (a
second copy of a global); and the program needs the library.
Usage: client_boundary_check.py APP LIB [--cross]  (--cross: skip, with exit status 77)"""
import os
import re
import subprocess
import sys

# Made by the linker in every object; not ours.
LINKER_MADE = {"_init", "_fini", "__bss_start", "_edata", "_end", "__data_start", "data_start",
               "_IO_stdin_used", "__dso_handle", "__libc_csu_init", "__libc_csu_fini", "_start"}


def dynamic_symbols(path):
    """(strong definitions, all definitions, strong unversioned references) of one ELF file; defined
    names lose their version suffix."""
    out = subprocess.run(["nm", "-D", path], check=True, capture_output=True, text=True).stdout
    strong, defined, undefined = set(), set(), set()
    for line in out.splitlines():
        parts = line.split()
        kind, name = (parts[1], parts[2]) if len(parts) == 3 else (parts[0], parts[1])
        if kind == "U":  # strong; "w" is a weak reference
            if "@" not in name:
                undefined.add(name)
            continue
        name = name.split("@")[0]
        defined.add(name)
        if kind not in ("w", "v", "W", "V", "u"):  # weak and unique definitions: one wins, by design
            strong.add(name)
    return strong, defined, undefined


def loaded_libraries(app):
    out = subprocess.run(["ldd", app], check=True, capture_output=True, text=True).stdout
    return [m.group(1) for m in re.finditer(r"(?:=> |^\s+)(/\S+)", out, re.MULTILINE)]


SKIP = 77


def main():
    app, lib = sys.argv[1], sys.argv[2]
    if len(sys.argv) > 3 and sys.argv[3] == "--cross":
        # ldd runs the program's own loader, and the host's nm reads the host's objects only.
        print("skipped: the program is cross-built; the check runs in the native build")
        return SKIP
    failures = []
    needed = subprocess.run(["readelf", "-d", app], check=True, capture_output=True, text=True).stdout
    if "[" + os.path.basename(lib) + "]" not in needed:
        failures.append("zelmar_app does not need " + os.path.basename(lib))
    lib_strong, _, lib_undefined = dynamic_symbols(lib)
    app_strong, app_defined, _ = dynamic_symbols(app)
    providers = set(app_defined)
    for path in loaded_libraries(app):
        if os.path.realpath(path) != os.path.realpath(lib):
            providers |= dynamic_symbols(path)[1]
    for name in sorted(lib_undefined - providers):
        failures.append("undefined in the library and nowhere in the program: " + name)
    for name in sorted((lib_strong & app_strong) - LINKER_MADE):
        failures.append("defined by both the program and the library: " + name)
    for line in failures:
        print(line)
    print("%d undefined symbols checked, %d failures" % (len(lib_undefined), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
