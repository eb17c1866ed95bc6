#!/usr/bin/python3
"""End-to-end runs of the real KorvaneDownloader.exe under Wine on a virtual display, against the
scripted server on localhost at the fixed test port, directly or through tinyproxy named as the
user's proxy. A stand-in setup program records how it was started; WindowProbe.exe reads the
window from outside, as a user sees it."""

import argparse
import glob
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "support", "scripted_server.py")
TINYPROXY = os.path.join(HERE, "..", "support", "tinyproxy.sh")
# Where the Internet Options dialog keeps the current user's proxy settings.
CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
OPTIONS = None

FAILED_TITLE = "Téléchargement échoué !"
DOWNLOAD_FAILED = "Impossible de télécharger Korvane, veuillez vérifier votre connexion"
BUTTONS = {"Autre lien de téléchargement", "Recommencer"}


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError(f"waited {seconds} s for {what}")


class Display:
    """An Xvfb of its own, so that the program and the probe share one display."""

    def __enter__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as numbers:
            self.name = ":" + numbers.readline().strip()
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait()


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="korvane-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.docroot = os.path.join(self.work, "docroot")
        os.mkdir(self.docroot)
        shutil.copy(OPTIONS.setup_stand_in, os.path.join(self.docroot, "KorvaneSetup.exe"))
        self.record = os.path.join(self.work, "record.txt")
        self.log = os.path.join(self.work, "server.log")
        self.display = Display().__enter__()
        self.addCleanup(self.display.__exit__)
        self.env = dict(os.environ, DISPLAY=self.display.name,
                        KORVANE_TEST_RECORD=windows_path(self.record))
        self.addCleanup(self.remove_downloads)

    def remove_downloads(self):
        prefix = os.path.join(os.path.dirname(OPTIONS.program), "wine-prefix")
        for path in glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local",
                                           "Temp", "KorvaneSetup.exe")):
            os.remove(path)

    def serve(self, setup):
        server = subprocess.Popen(
            [sys.executable, SERVER, "--pki", OPTIONS.pki, "--dual-port", str(OPTIONS.port),
             "--dual-port-listener", "tls", "--docroot", self.docroot, "--setup", setup,
             "--log", self.log], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(self.stop, server)
        ports = server.stdout.readline()
        self.assertTrue(ports, server.stderr.read() if server.poll() is not None else "")
        json.loads(ports)

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.terminate()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for pipe in (process.stdout, process.stderr):
            if pipe is not None:
                pipe.close()

    def start_program(self):
        program = subprocess.Popen([OPTIONS.wine_run, OPTIONS.program], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop, program)
        return program

    def probe(self, command="state"):
        done = subprocess.run([OPTIONS.wine_run, OPTIONS.probe, command], env=self.env,
                              capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            return None
        return dict(line.split("=", 1) for line in done.stdout.splitlines() if "=" in line)

    def use_proxy(self):
        """Starts tinyproxy and names it the user's manual proxy; returns the path of its log."""
        directory = os.path.join(self.work, "proxy")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        proxy = subprocess.Popen([TINYPROXY, directory, str(port)], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop, proxy)
        log = os.path.join(directory, "tinyproxy.log")

        def ready():
            try:
                with open(log) as text, socket.create_connection(("127.0.0.1", port)):
                    return "Reloading config file finished" in text.read()
            except OSError:
                return False
        wait_until(ready, 15, "tinyproxy")

        # A version, a change counter, the flags (direct, and through the proxy), then counted
        # strings: the proxy, the exceptions, the automatic configuration's address.
        def counted(text):
            return struct.pack("<I", len(text)) + text.encode("ascii")
        settings = (struct.pack("<III", 0x46, 1, 0x3) + counted(f"127.0.0.1:{port}") +
                    counted("") + counted("") + bytes(32))
        self.registry("add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
                      "/d", settings.hex(), "/f")
        self.addCleanup(self.registry, "delete", CONNECTIONS, "/v", "DefaultConnectionSettings",
                        "/f")
        return log

    def registry(self, *arguments):
        subprocess.run([OPTIONS.wine_run, "reg", *arguments], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def requests(self):
        with open(self.log) as log:
            events = [json.loads(line) for line in log]
        return [e["request"].split("\r\n")[0] for e in events if e["event"] == "request"]

    def started_with(self):
        if not os.path.exists(self.record):
            return None
        with open(self.record, encoding="utf-8") as record:
            return record.read()

    def test_a_download_starts_the_setup_program_with_its_parameter(self):
        self.serve("/file/KorvaneSetup.exe")
        program = self.start_program()
        self.assertEqual(program.wait(timeout=120), 0)
        command_line = wait_until(self.started_with, 30, "the setup program to start")
        self.assertTrue(command_line.rstrip("\n").endswith(" /LANG=fr"), command_line)
        self.assertIn("KorvaneSetup.exe", command_line)
        self.assertEqual(self.requests(), ["GET /KorvaneSetup.exe HTTP/1.1"])

    def test_a_download_goes_through_the_users_proxy(self):
        self.serve("/file/KorvaneSetup.exe")
        proxy_log = self.use_proxy()
        program = self.start_program()
        self.assertEqual(program.wait(timeout=120), 0)
        command_line = wait_until(self.started_with, 30, "the setup program to start")
        self.assertTrue(command_line.rstrip("\n").endswith(" /LANG=fr"), command_line)
        with open(proxy_log) as log:
            self.assertIn(f"CONNECT localhost:{OPTIONS.port} HTTP/1.1", log.read())

    def test_a_refused_download_shows_the_failure_state_and_starts_nothing(self):
        self.serve("/status/404")
        program = self.start_program()
        state = wait_until(lambda: (s := self.probe()) and s["title"] == FAILED_TITLE and s,
                           120, "the failure state")
        self.assertEqual(state["status"], DOWNLOAD_FAILED)
        self.assertEqual(set(state["buttons"].split("|")), BUTTONS)
        self.probe("close")
        self.assertEqual(program.wait(timeout=60), 0)
        self.assertIsNone(self.started_with())

    def test_closing_during_the_body_ends_the_program_and_starts_nothing(self):
        # 4 MB in 400 pieces, 50 ms apart: about 20 s of body.
        self.serve("/slow/4000000/400/50")
        program = self.start_program()
        wait_until(lambda: (s := self.probe()) and int(s["position"]) >= 10, 120,
                   "the bar to move")
        self.probe("close")
        self.assertEqual(program.wait(timeout=60), 0)
        time.sleep(1)
        self.assertIsNone(self.started_with())


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("program", "probe", "setup-stand-in", "pki", "wine-run"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--port", type=int, required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
