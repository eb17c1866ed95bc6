#!/usr/bin/python3
"""What KorvaneDownloader.exe imports, read from the file on the Linux side: normal imports of
KnownDLLs (and comctl32, from the manifest's side-by-side assembly) only, and exactly the expected
DLLs delay-loaded, so that none is resolved before the program restricts the DLL search and a DLL
linked normally by mistake is caught. Also the placement the build asks of the system, and the
stack protector with the program's own guard, seeded by wWinMain once the DLL search is
restricted."""

import argparse
import re
import struct
import subprocess
import sys
import unittest

OPTIONS = None

# Windows 10's KnownDLLs (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs), which
# the loader maps from System32 whatever lies beside the program, and ntdll and kernelbase, which
# every process has before its first import is resolved. comctl32 comes from the side-by-side
# assembly that the manifest names, never from the program's folder.
ALLOWED_IMPORTS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
    "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll",
    "ntdll.dll", "kernelbase.dll",
    "comctl32.dll",
}
# The program's own DLLs beyond those, loaded at their first call (cmake/delayload).
DELAY_LOADED = {"winhttp.dll", "crypt32.dll", "wintrust.dll"}


def normal_imports(objdump, program):
    """The DLLs of the import directory, in lower case."""
    dump = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                          text=True).stdout
    tables = dump.split("The Import Tables", 1)
    if len(tables) < 2:
        return set()
    # The import tables end where objdump's next part begins (delay imports, exports, relocations).
    tables = re.split(r"\n(?:The |There is |PE File Base Relocations)", tables[1], maxsplit=1)[0]
    return {name.lower() for name in re.findall(r"DLL Name: (\S+)", tables)}


class Image:
    """A PE image's bytes, read by relative virtual address."""

    def __init__(self, path):
        with open(path, "rb") as image:
            self.bytes = image.read()
        headers = struct.unpack_from("<I", self.bytes, 0x3C)[0]
        sections, optional_size = struct.unpack_from("<H", self.bytes, headers + 6)[0], \
            struct.unpack_from("<H", self.bytes, headers + 20)[0]
        self.base = struct.unpack_from("<Q", self.bytes, headers + 24 + 24)[0]
        self.sections = []
        for index in range(sections):
            entry = headers + 24 + optional_size + 40 * index
            virtual_size, address, raw_size, raw = struct.unpack_from("<IIII", self.bytes,
                                                                      entry + 8)
            self.sections.append((address, max(virtual_size, raw_size), raw))

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def string(self, rva):
        start = self.offset(rva)
        return self.bytes[start:self.bytes.index(b"\0", start)].decode("ascii")


def delay_loaded(nm, program):
    """The DLLs that the program delay-loads, in lower case. GNU ld fills no delay-import
    directory, so the descriptors that dlltool's libraries bring are found by their symbols (the
    test build keeps its symbol table) and their DLL names read from the image."""
    image = Image(program)
    symbols = subprocess.run([nm, program], check=True, capture_output=True, text=True).stdout
    names = set()
    for line in symbols.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[2].startswith("__DELAY_IMPORT_DESCRIPTOR_"):
            descriptor = image.offset(int(fields[0], 16) - image.base)
            attributes, name = struct.unpack_from("<II", image.bytes, descriptor)
            assert attributes == 1, f"{fields[2]}: not a descriptor by relative addresses"
            names.add(image.string(name).lower())
    return names


def symbols(nm, program):
    """The program's symbols and their addresses."""
    listing = subprocess.run([nm, program], check=True, capture_output=True, text=True).stdout
    return {fields[2]: int(fields[0], 16) for fields in map(str.split, listing.splitlines())
            if len(fields) == 3}


FUNCTION = re.compile(r"^[0-9a-f]+ <(?P<name>.+)>:$")
CALL = re.compile(r"\scall\s.*?<(?P<target>.+)>$")


def functions(objdump, program):
    """What each function of the program calls, in order, by the demangled names of both."""
    dump = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", program], check=True,
                          capture_output=True, text=True).stdout
    calls, current = {}, None
    for line in dump.splitlines():
        if match := FUNCTION.match(line):
            current = calls.setdefault(match["name"], [])
        elif current is not None and (match := CALL.search(line)):
            current.append(match["target"])
    return calls


class ProgramImports(unittest.TestCase):
    def test_only_known_dlls_and_comctl32_are_imported_normally(self):
        imports = normal_imports(OPTIONS.objdump, OPTIONS.program)
        self.assertIn("kernel32.dll", imports)  # the import tables were read
        self.assertEqual(imports - ALLOWED_IMPORTS, set(),
                         "resolved from the program's folder before wWinMain restricts the search")

    def test_the_program_s_other_dlls_are_delay_loaded(self):
        self.assertEqual(delay_loaded(OPTIONS.nm, OPTIONS.program), DELAY_LOADED)

    def test_the_program_is_placed_at_random_and_runs_no_data(self):
        dump = subprocess.run([OPTIONS.objdump, "-p", OPTIONS.program], check=True,
                              capture_output=True, text=True).stdout
        flags = dump.split("DllCharacteristics", 1)[1].split("SizeOfStackReserve", 1)[0].split()
        # Placed at random anywhere in the 64-bit space, its data never run.
        self.assertLessEqual({"DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT"}, set(flags))


class StackProtector(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.calls = functions(OPTIONS.objdump, OPTIONS.program)
        # The functions with a canary: they call the failure handler when it was overwritten.
        cls.checked = {name for name, targets in cls.calls.items()
                       if "__stack_chk_fail" in targets}

    def test_the_program_s_functions_check_a_canary(self):
        self.assertTrue({name for name in self.checked if name.startswith("korvane::")})
        # wWinMain's run of the program, not inlined into it: the guard changes under these two.
        self.assertIn("(anonymous namespace)::Run()", self.checked)
        self.assertNotIn("wWinMain", self.checked)
        self.assertNotIn("korvane::platform::SeedStackGuard()", self.checked)

    def test_the_guard_is_the_program_s_own(self):
        # libssp's guard would be seeded by its constructor through the crypto provider, before
        # wWinMain: none of its code, nor its DLL or the crypto provider among the imports.
        defined = symbols(OPTIONS.nm, OPTIONS.program)
        self.assertTrue("__stack_chk_guard" in defined, "no stack guard")
        self.assertFalse("__stack_chk_fail_local" in defined, "libssp's code is linked")
        dump = subprocess.run([OPTIONS.objdump, "-p", OPTIONS.program], check=True,
                              capture_output=True, text=True).stdout
        self.assertFalse("libssp" in dump.lower(), "libssp's DLL is imported")
        self.assertFalse("CryptAcquireContext" in dump, "the crypto provider is imported")
        # The program's guard holds its fixed value from the start (libssp's is zero until seeded).
        image = Image(OPTIONS.program)
        start = struct.unpack_from("<Q", image.bytes,
                                   image.offset(defined["__stack_chk_guard"] - image.base))[0]
        self.assertNotEqual(start, 0)

    def test_wwinmain_seeds_the_guard_once_the_dll_search_is_restricted(self):
        self.assertEqual(self.calls["wWinMain"][:2], ["__imp_SetDefaultDllDirectories",
                                                      "korvane::platform::SeedStackGuard()"])


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("program", "objdump", "nm"):
        parser.add_argument("--" + name, required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
