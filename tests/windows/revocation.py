#!/usr/bin/python3
"""The real KorvaneDownloader.exe under Wine against a signer whose certificate the maker's CA
revoked, as someone holding its stolen key would sign: a certificate of the maker's name, issued
by the pinned authority with a CRL distribution point on the scripted server (127.0.0.1 and the
test port, plain HTTP), revoked with `openssl ca -revoke`, its lists made with `openssl ca
-gencrl`; stand-in setup programs signed with osslsigncode, some time-stamped by the test
time-stamping authority before the revocation and after it. Takes the options of end_to_end.py."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from datetime import datetime, timedelta, timezone

import end_to_end
from end_to_end import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
TIMESTAMP_SERVER = os.path.join(HERE, "..", "support", "timestamp_server.py")
LIST_PATH = "/codesign-ca.crl"

# An authority as `openssl ca` keeps it, its files in {ca}, its certificate and key {authority} in
# {pki}.
CA_CONFIG = """\
[ca]
default_ca = maker
[maker]
database = {database}
new_certs_dir = {ca}
serial = {ca}/serial
crlnumber = {ca}/crlnumber
certificate = {pki}/{authority}.pem
private_key = {pki}/{authority}.key
default_md = sha256
default_days = 365
policy = any_name
unique_subject = no
[any_name]
organizationName = optional
commonName = supplied
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:http://127.0.0.1:{port}{list}
[req]
distinguished_name = dn
prompt = no
[dn]
"""


def openssl(*arguments, cwd):
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def asn1_time(moment):
    return moment.strftime("%Y%m%d%H%M%SZ")


class TimeStampingAuthority:
    """The test TSA, on a free port of 127.0.0.1, as long as the `with` lasts."""

    def __init__(self, pki, work):
        self.pki, self.port_file = pki, os.path.join(work, "tsa.port")

    def __enter__(self):
        self.process = subprocess.Popen(
            [sys.executable, TIMESTAMP_SERVER, "--cert", os.path.join(self.pki, "timestamp.pem"),
             "--key", os.path.join(self.pki, "timestamp.key"),
             "--chain", os.path.join(self.pki, "codesign-ca.pem"), "--port-file", self.port_file])
        port = wait_until(lambda: os.path.exists(self.port_file) and open(self.port_file).read(),
                          20, "the time-stamping authority")
        self.url = f"http://127.0.0.1:{port}"
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait()


class Revocation(end_to_end.EndToEnd):
    """A revoked signer's files, each served as the setup program while the list's address
    answers as the case says."""

    @classmethod
    def setUpClass(cls):
        options = end_to_end.OPTIONS
        cls.material = tempfile.mkdtemp(prefix="korvane-revocation-")
        try:
            cls.make_material(options.pki, options.port, options.setup_stand_in, cls.material)
        except BaseException:
            shutil.rmtree(cls.material, True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.material, True)

    @staticmethod
    def make_material(pki, port, stand_in, work):
        """In `work`: signer.pem/.key, the maker's name from the pinned authority; unstamped.exe,
        stamped-before.exe and stamped-after.exe, signed with it, time-stamped around the
        revocation; the lists current.crl and stale.crl, signed by the pinned authority, and
        foreign.crl by another key of its name, each of them revoking the signer."""
        # The maker's authority and another key of its name, sharing one database: the foreign
        # list revokes the same signer.
        database = os.path.join(work, "index.txt")
        open(database, "w").close()
        maker, rogue = (os.path.join(work, f"{authority}.cnf")
                        for authority in ("codesign-ca", "codesign-rogue-ca"))
        for authority, config in (("codesign-ca", maker), ("codesign-rogue-ca", rogue)):
            ca = os.path.join(work, authority)
            os.mkdir(ca)
            with open(config, "w") as text:
                text.write(CA_CONFIG.format(ca=ca, database=database, pki=pki,
                                            authority=authority, port=port, list=LIST_PATH))
            with open(os.path.join(ca, "crlnumber"), "w") as number:
                number.write("01\n")

        openssl("req", "-new", "-config", maker, "-newkey", "rsa:2048", "-nodes", "-keyout",
                "signer.key", "-subj", "/O=Korvane test/CN=Korvane test publisher", "-out",
                "signer.csr", cwd=work)
        openssl("ca", "-batch", "-config", maker, "-extensions", "signer", "-create_serial",
                "-notext", "-in", "signer.csr", "-out", "signer.pem", cwd=work)

        def sign(name, tsa=None):
            subprocess.run(["osslsigncode", "sign", "-certs", "signer.pem", "-key", "signer.key",
                            "-h", "sha256", *(["-ts", tsa.url] if tsa else []), "-in", stand_in,
                            "-out", name], cwd=work, check=True, stdout=subprocess.DEVNULL)

        sign("unstamped.exe")
        with TimeStampingAuthority(pki, work) as tsa:
            sign("stamped-before.exe", tsa)
            # Time stamps and revocation dates are in whole seconds.
            time.sleep(1.5)
            openssl("ca", "-config", maker, "-revoke", "signer.pem", "-crl_reason",
                    "keyCompromise", cwd=work)
            time.sleep(1.5)
            sign("stamped-after.exe", tsa)

        now = datetime.now(timezone.utc)
        lists = {
            "current": (maker, ["-crldays", "7"]),
            "stale": (maker, ["-crl_lastupdate", asn1_time(now - timedelta(days=8)),
                              "-crl_nextupdate", asn1_time(now - timedelta(days=1))]),
            "foreign": (rogue, ["-crldays", "7"]),
        }
        for name, (config, dates) in lists.items():
            openssl("ca", "-config", config, "-gencrl", *dates, "-out", f"{name}.pem", cwd=work)
            openssl("crl", "-in", f"{name}.pem", "-outform", "DER", "-out", f"{name}.crl",
                    cwd=work)

    def serve_with_list(self, program, list_answer):
        """Serves the signed `program` as the setup program and `list_answer` (a scripted server
        path) at the list's address, on the port's plain and TLS listener."""
        with open(os.path.join(self.material, program), "rb") as signed:
            image = signed.read()
        self.provide(image)
        for name in ("current", "stale", "foreign"):
            shutil.copy(os.path.join(self.material, f"{name}.crl"), self.docroot)
        self.serve("/file/KorvaneSetup.exe", "--dual-port-listener", "dual",
                   "--revocation-list", list_answer)
        return image

    def assert_list_asked(self):
        self.assertIn(f"GET {LIST_PATH} HTTP/1.1", self.requests())

    def test_on_the_current_list_only_a_time_stamp_before_the_revocation_starts(self):
        cases = [  # the file; whether it starts
            ("unstamped.exe", False),
            ("stamped-after.exe", False),
            ("stamped-before.exe", True),
        ]
        for program, started in cases:
            with self.subTest(program):
                self.forget_the_start()
                self.remove_downloads()
                image = self.serve_with_list(program, "/file/current.crl")
                if started:
                    self.expect_started(self.start_program())
                else:
                    self.expect_refused(self.start_program())
                    # Refused once whole, not for a transfer that failed.
                    self.assertEqual([event["bytes"] for event in self.events("file-sent")
                                      if event["name"] == "KorvaneSetup.exe"], [len(image)])
                self.assert_list_asked()

    def test_without_a_current_list_from_the_pinned_authority_the_run_goes_on(self):
        """Each time the unstamped file, which the current list refuses."""
        cases = [  # what answers at the list's address
            ("a list past its next update", "/file/stale.crl"),
            ("a list signed by another key of the authority's name", "/file/foreign.crl"),
            ("no list there", "/status/404"),
            ("no answer within the read time-out", "/stall-headers"),
        ]
        for case, answer in cases:
            with self.subTest(case):
                self.forget_the_start()
                self.remove_downloads()
                self.serve_with_list("unstamped.exe", answer)
                began = time.monotonic()
                self.expect_started(self.start_program())
                self.assert_list_asked()
                if answer == "/stall-headers":
                    # The client's 30 s read time-out, and the run's own time around it.
                    self.assertLess(time.monotonic() - began, 90)


def load_tests(loader, tests, pattern):
    """This file's cases, not those it inherits from end_to_end.py."""
    names = sorted(name for name in vars(Revocation) if name.startswith("test_"))
    return unittest.TestSuite(Revocation(name) for name in names)


if __name__ == "__main__":
    end_to_end.main()
