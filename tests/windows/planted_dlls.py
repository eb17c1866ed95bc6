#!/usr/bin/python3
"""A whole download by a copy of KorvaneDownloader.exe with DLLs planted beside it, as a web page
can drop them into a Downloads folder, under Wine's default load order and again with native DLLs
first for every planted name. Each planted DLL (PlantedDll.dll under the name of a DLL the program
uses, or that system DLLs load on demand) records that it was loaded and then stands in for the
genuine one. Wine's loader trace tells who asked for each load: the program's own DLLs never come
from its folder, nothing the program asks for loads a planted DLL, and the planted DLLs that load
are those Wine's own DLLs load on their own terms."""

import argparse
import collections
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import end_to_end
import program_imports
from end_to_end import wait_until, windows_path
from processes import Display  # noqa: E402  (end_to_end puts tests/support on the path)

OPTIONS = None

# Planted DLLs that Wine 8's own DLLs load whatever the program asks, measured with this test's
# trace. Windows applies the program's restriction to what system DLLs load on demand; Wine's
# loader resolves its DLLs' imports and delay imports (a request with no search path in the trace)
# and what they load while they attach through the search that ignores it, the program's folder
# first. Under the default load order Wine then takes its built-in DLL for a planted name, except
# dhcpcsvc, which its WinHTTP delay-imports to detect the proxy. Native first: its user32 imports
# version.dll and its comctl32 loads uxtheme while it attaches (both before wWinMain), its WinHTTP
# delay-imports iphlpapi, dhcpcsvc and secur32, and its secur32 loads sspicli while it attaches.
WINE_OWN_LOADS = {
    "default": {"dhcpcsvc.dll"},
    "native first": {"version.dll", "uxtheme.dll", "iphlpapi.dll", "dhcpcsvc.dll", "secur32.dll",
                     "sspicli.dll"},
}
# What LoadLibrary searches once the program has restricted the search (Wine's trace of it).
SYSTEM_DIRECTORY = "c:\\windows\\system32"

TRACE_LINE = re.compile(r"^(?P<pid>[0-9a-f]+):(?P<tid>[0-9a-f]+):trace:(?P<what>\S+) (?P<text>.*)$")
LOADED = re.compile(r'Loaded L"(?P<path>.*)" at [0-9A-Fa-f]+: (?P<kind>native|builtin)$')
REQUEST = re.compile(r'looking for L"(?P<name>.*)" in (?:L"(?P<path>.*)"|\(null\))$')
ATTACH = re.compile(r'\((?P<module>[0-9A-Fa-f]+)(?: L"(?P<name>[^"]*)")?,PROCESS_ATTACH,'
                    r'[0-9A-Fa-f]+\) - (?P<step>CALL|RETURN)')

Load = collections.namedtuple("Load", "name path kind requester search line")


def unescaped(text):
    return text.replace("\\\\", "\\")


def base_name(path):
    return path.rsplit("\\", 1)[-1].lower()


def program_loads(trace, program_path, normal_imports):
    """Every DLL that the program's process loaded, in order, with the request that loaded it: who
    asked ("program" or a DLL's name, or "Wine's loader" for a Wine DLL's import or delay import)
    and the folders searched (None: the loader's own search). Also every request the program made
    with a search of its own."""
    pid = None
    attaching = collections.defaultdict(list)  # per thread, the DLLs whose attach is running
    requests = {}  # per DLL name, its latest request
    loads, program_searches = [], []
    for line in trace.splitlines():
        match = TRACE_LINE.match(line)
        if not match:
            continue
        text = match["text"]
        if pid is None:
            loaded = LOADED.search(text)
            if loaded and unescaped(loaded["path"]).lower() == program_path.lower():
                pid = match["pid"]
            continue
        if match["pid"] != pid:
            continue
        stack = attaching[match["tid"]]
        if match["what"] == "module:MODULE_InitDLL" and (attach := ATTACH.search(text)):
            if attach["step"] == "CALL":
                stack.append((attach["module"], attach["name"]))
            elif stack and stack[-1][0] == attach["module"]:
                stack.pop()
        elif match["what"] == "module:load_dll" and (request := REQUEST.search(text)):
            name = unescaped(request["name"])
            search = unescaped(request["path"]) if request["path"] is not None else None
            if search is None and "\\" not in name:
                requester = "program" if name.lower() in normal_imports else "Wine's loader"
            else:
                # A DLL's attach asks through it; outside any, the program's code or the system
                # DLLs it called asked.
                requester = stack[-1][1] if stack else "program"
                if requester == "program" and search is not None and "\\" not in name:
                    program_searches.append((name, search, line))
            requests[base_name(name)] = (requester, search)
        elif match["what"] == "loaddll:build_module" and (loaded := LOADED.search(text)):
            path = unescaped(loaded["path"])
            requester, search = requests.get(base_name(path), ("unknown", None))
            loads.append(Load(base_name(path), path, loaded["kind"], requester, search, line))
    return loads, program_searches


class PlantedDlls(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="korvane-planted-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.folder = os.path.join(self.work, "Downloads")
        os.mkdir(self.folder)
        self.program = os.path.join(self.folder, "KorvaneDownloader.exe")
        shutil.copy(OPTIONS.program, self.program)
        for name in OPTIONS.planted_names:
            shutil.copy(OPTIONS.planted_dll, os.path.join(self.folder, name + ".dll"))
        self.docroot = os.path.join(self.work, "docroot")
        os.mkdir(self.docroot)
        shutil.copy(OPTIONS.setup_stand_in, os.path.join(self.docroot, "KorvaneSetup.exe"))
        self.started = os.path.join(self.work, "started.txt")
        self.planted_record = os.path.join(self.work, "planted.txt")
        self.log = os.path.join(self.work, "server.log")
        self.display = Display().__enter__()
        self.addCleanup(self.display.__exit__)
        self.prefix = os.environ.get("KORVANE_WINEPREFIX") or OPTIONS.wine_prefix
        self.addCleanup(self.remove_downloads)
        self.imports = program_imports.normal_imports(OPTIONS.objdump, OPTIONS.program)
        self.delay_loaded = program_imports.delay_loaded(OPTIONS.nm, OPTIONS.program)
        self.assertTrue(self.delay_loaded)
        self.own = self.imports | self.delay_loaded

    def temporary_folders(self):
        """The temporary folders of the prefix's users (Wine 8 keeps them in the profile itself,
        Windows in AppData)."""
        users = os.path.join(self.prefix, "drive_c", "users")
        return [folder for user in (os.listdir(users) if os.path.isdir(users) else ())
                for temp in (("Temp",), ("AppData", "Local", "Temp"))
                if os.path.isdir(folder := os.path.join(users, user, *temp))]

    def remove_downloads(self):
        for temp in self.temporary_folders():
            for folder in glob.glob(os.path.join(temp, "Korvane-" + "[0-9a-f]" * 32)):
                shutil.rmtree(folder)

    def serve(self):
        server = subprocess.Popen(
            [sys.executable, end_to_end.SERVER, "--pki", OPTIONS.pki, "--dual-port",
             str(OPTIONS.port), "--dual-port-listener", "tls", "--docroot", self.docroot,
             "--setup", "/file/KorvaneSetup.exe", "--log", self.log],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(end_to_end.stop, server)
        ports = server.stdout.readline()
        self.assertTrue(ports, server.stderr.read() if server.poll() is not None else "")
        json.loads(ports)

    def environment(self, overrides):
        env = dict(os.environ, DISPLAY=self.display.name, KORVANE_WINEPREFIX=self.prefix,
                   KORVANE_TEST_RECORD=windows_path(self.started),
                   KORVANE_PLANTED_RECORD=windows_path(self.planted_record),
                   KORVANE_WINEDEBUG="+pid,+loaddll,+module")
        if overrides:
            env["KORVANE_WINEDLLOVERRIDES"] = overrides
        return env

    def download(self, overrides):
        """Runs the planted copy through a whole download; returns the loader's trace."""
        self.serve()
        env = self.environment(overrides)
        trace_path = os.path.join(self.work, "trace.txt")
        with open(trace_path, "w") as trace:
            program = subprocess.Popen([OPTIONS.wine_run, self.program], env=env,
                                       stdout=subprocess.DEVNULL, stderr=trace)
            self.addCleanup(end_to_end.stop, program)
            self.assertEqual(program.wait(timeout=180), 0)
        command_line = wait_until(self.started_with, 30, "the setup program to start")
        self.assertTrue(command_line.rstrip("\n").endswith(" /LANG=fr"), command_line)
        with open(trace_path, errors="replace") as trace:
            return trace.read()

    def started_with(self):
        if not os.path.exists(self.started):
            return None
        with open(self.started, encoding="utf-8") as record:
            return record.read()

    def planted_loads(self):
        """The paths of the planted DLLs whose code ran, by their own record, in lower case."""
        if not os.path.exists(self.planted_record):
            return []
        with open(self.planted_record, encoding="utf-8") as record:
            return [line.strip().lower() for line in record]

    def loads_from_the_temporary_folder(self):
        """The planted DLLs whose code ran from a user's temporary folder itself (drive C: or Z:,
        however the program that loaded it was named)."""
        return [path for path in self.planted_loads() if path.endswith("\\temp\\version.dll")]

    def planted_code_loaded(self):
        """The planted DLLs beside the program whose code ran."""
        folder = windows_path(self.folder).lower() + "\\"
        return {base_name(path) for path in self.planted_loads() if path.startswith(folder)}

    def check(self, trace, run):
        folder = windows_path(self.folder).lower() + "\\"
        loads, program_searches = program_loads(trace, windows_path(self.program), self.imports)
        self.assertTrue(loads, "no loader trace of the program's process")
        from_folder = [load for load in loads if load.path.lower().startswith(folder)
                       and load.name != "korvanedownloader.exe"]

        # The program's own DLLs: from the system, whatever the load order, and the delay-loaded
        # ones (a download with its signature check calls into each) through a search of the
        # system directory only.
        for load in loads:
            if load.name in self.own:
                self.assertFalse(load.path.lower().startswith(folder), load.line)
        for name in sorted(self.delay_loaded):
            first = next((load for load in loads if load.name == name), None)
            self.assertIsNotNone(first, f"{name} was never loaded")
            self.assertEqual(first.requester, "program", first.line)
            self.assertEqual((first.search or "").lower().rstrip("\\"), SYSTEM_DIRECTORY,
                             first.line)

        # Everything the program asked for with a search searched the system directory only:
        # its search was restricted before its first load. What a DLL that COM loads by its full
        # path imports is looked for in that DLL's folder, the system directory, first.
        self.assertTrue(program_searches)
        for name, search, line in program_searches:
            self.assertEqual({folder.lower().rstrip("\\") for folder in search.split(";")},
                             {SYSTEM_DIRECTORY}, line)

        # Planted code that ran: the trace and the DLLs' own record agree, nothing of it was the
        # program's asking, and Wine's own loads are the known ones.
        native = [load for load in from_folder if load.kind == "native"]
        self.assertEqual({load.name for load in native}, self.planted_code_loaded())
        for load in native:
            self.assertNotEqual(load.requester, "program", load.line)
        unexpected = {load.name for load in native} - WINE_OWN_LOADS[run]
        self.assertEqual(unexpected, set(),
                         "\n".join(load.line for load in native if load.name in unexpected))
        # The loads, for whoever reads the test's output.
        for load in from_folder:
            print(f"{run}: {load.name} {load.kind}, asked by {load.requester}"
                  f" (search {load.search})\n    {load.line}", file=sys.stderr)

    def test_the_default_load_order(self):
        self.check(self.download(None), "default")

    def test_native_dlls_first_for_every_planted_name(self):
        self.check(self.download(",".join(OPTIONS.planted_names) + "=n,b"), "native first")

    def test_a_dll_left_in_the_temporary_folder_stays_out_of_the_setup_program(self):
        """version.dll, left in the user's temporary folder by whatever ran before, with native
        DLLs first: a setup program that imports it would load it from beside itself, and it is
        started from the run's own folder instead."""
        temporary = self.temporary_folders()
        self.assertTrue(temporary)
        for temp in temporary:
            shutil.copy(OPTIONS.planted_dll, os.path.join(temp, "version.dll"))
            self.addCleanup(os.remove, os.path.join(temp, "version.dll"))
        shutil.copy(OPTIONS.setup_importing_version, os.path.join(self.docroot, "KorvaneSetup.exe"))

        self.download("version=n,b")
        self.assertEqual(self.loads_from_the_temporary_folder(), [])

        # The same setup program started from the temporary folder itself loads it: the planted
        # DLL and the load order are such that the run above would have shown it.
        if os.path.exists(self.planted_record):
            os.remove(self.planted_record)
        control = os.path.join(temporary[0], "KorvaneSetupControl.exe")
        shutil.copy(OPTIONS.setup_importing_version, control)
        self.addCleanup(os.remove, control)
        subprocess.run([OPTIONS.wine_run, control], env=self.environment("version=n,b"),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                       check=True)
        self.assertNotEqual(self.loads_from_the_temporary_folder(), [])


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("program", "planted-dll", "setup-stand-in", "setup-importing-version", "pki",
                 "wine-run", "wine-prefix", "objdump", "nm"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--planted-names", required=True, type=lambda names: names.split(","))
    parser.add_argument("--port", type=int, required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
