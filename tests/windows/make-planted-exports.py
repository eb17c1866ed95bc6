#!/usr/bin/python3
"""Writes the exports of the planted DLL (PlantedDll.cpp): every function that the given system
DLLs export, by name, as read from mingw-w64's import libraries. Each export is a jump through a
slot that the DLL fills, when it is loaded, from the genuine DLL of its own file name, so that a
copy planted under any of these names works as that DLL does.

    make-planted-exports.py NM LIBRARY_DIR OUTPUT.cpp OUTPUT.def NAME...
"""

import os
import re
import subprocess
import sys

SYMBOL = re.compile(r"^[0-9a-fA-F]* +I +__imp_([A-Za-z_][A-Za-z0-9_]*)$")


def exports_of(nm, library):
    listing = subprocess.run([nm, library], check=True, capture_output=True, text=True).stdout
    return {match.group(1) for line in listing.splitlines() if (match := SYMBOL.match(line))}


def main():
    nm, library_dir, output_cpp, output_def, *names = sys.argv[1:]
    exports = set()
    for name in names:
        # Not every DLL has an import library (cryptbase has none): its copy exports nothing.
        library = os.path.join(library_dir, f"lib{name}.a")
        if os.path.exists(library):
            exports |= exports_of(nm, library)
    exports = sorted(exports)

    with open(output_cpp, "w") as cpp:
        cpp.write("// Written by make-planted-exports.py: one jump per export, through its slot.\n")
        cpp.write('#include "PlantedExports.h"\n\n')
        cpp.write(f"void* korvane_planted_slots[{len(exports)}];\n")
        cpp.write(f"const unsigned kPlantedExportCount = {len(exports)};\n\n")
        cpp.write(f"const char* const kPlantedExports[{len(exports)}] = {{\n")
        cpp.writelines(f'    "{name}",\n' for name in exports)
        cpp.write("};\n\n")
        cpp.write("asm(\".text\\n\"\n")
        for index, _ in enumerate(exports):
            label = f"korvane_planted_{index}"
            cpp.write(f'    ".globl {label}\\n"\n')
            cpp.write(f'    "{label}: jmp *korvane_planted_slots+{8 * index}(%rip)\\n"\n')
        cpp.write(");\n")
    with open(output_def, "w") as definition:
        definition.write("EXPORTS\n")
        definition.writelines(f"    {name} = korvane_planted_{index}\n"
                              for index, name in enumerate(exports))


if __name__ == "__main__":
    main()
