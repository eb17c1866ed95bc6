#!/usr/bin/env python3
"""Checks that each layer of the program sees the headers of the layers below it and no others.

Compiles, with the very command that the build uses for one source of each layer (from
compile_commands.json), a file that includes one header of every other layer: those below must
compile, those above must not be found.
"""
import argparse
import json
import pathlib
import shlex
import subprocess
import sys
import tempfile

# From the bottom up, with one source of each layer and one header of it.
LAYERS = [
    ("texts", "texts/Utf8.cpp", "texts/StatusTexts.h"),
    ("platform", "platform/Platform_linux.cpp", "platform/Platform.h"),
    ("download", "download/TlsLibraries.cpp", "download/IdHTTPProgress.h"),
    ("app", "app/qt/ProgramParts.cpp", "app/ProgramParts.h"),
]


def syntax_check(command, directory, header):
    """Compiles `#include "header"` with the source's command; True when it compiles."""
    arguments = shlex.split(command)
    kept = []
    skip = False
    for argument in arguments:
        if skip:
            skip = False
        elif argument in ("-o", "-c", "-MF", "-MT", "-MQ"):
            skip = True
        elif argument not in ("-MD", "-MMD"):
            kept.append(argument)
    with tempfile.NamedTemporaryFile("w", suffix=".cpp") as probe:
        probe.write(f'#include "{header}"\n')
        probe.flush()
        result = subprocess.run(kept + ["-fsyntax-only", probe.name], cwd=directory,
                                capture_output=True, text=True)
    return result.returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--compile-commands", required=True, type=pathlib.Path)
    arguments = parser.parse_args()
    commands = {}
    for entry in json.loads(arguments.compile_commands.read_text()):
        commands[pathlib.Path(entry["file"]).as_posix()] = entry
    failures = []
    for level, (layer, source, _) in enumerate(LAYERS):
        entry = next((e for f, e in commands.items() if f.endswith("/" + source)), None)
        if entry is None:
            failures.append(f"no compile command for {source}")
            continue
        for other_level, (other, _, header) in enumerate(LAYERS):
            if other_level == level:
                continue
            compiles = syntax_check(entry["command"], entry["directory"], header)
            if other_level < level and not compiles:
                failures.append(f"{layer} cannot include {header}, of the layer below it")
            if other_level > level and compiles:
                failures.append(f"{layer} can include {header}, of {other}, above it")
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"{len(LAYERS)} layers, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
