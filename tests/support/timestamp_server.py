#!/usr/bin/env python3
"""A time-stamping authority (RFC 3161) over HTTP on 127.0.0.1, for signing test builds.

Each POSTed time-stamp query is answered by `openssl ts -reply` with the given certificate and key,
which must carry the critical time-stamping usage. It listens on a free port, which it writes to
--port-file once it listens, and serves until killed.

    timestamp_server.py --cert tsa.pem --key tsa.key --chain ca.pem --port-file FILE
"""

import argparse
import http.server
import os
import signal
import subprocess
import sys
import tempfile

CONFIG = """\
[tsa]
default_tsa = korvane_test_tsa
[korvane_test_tsa]
serial = {work}/serial
crypto_device = builtin
signer_cert = {cert}
certs = {chain}
signer_key = {key}
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""

MAX_QUERY = 64 * 1024


def make_handler(work, config):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            if not 0 < length <= MAX_QUERY:
                self.send_error(413 if length else 411)
                return
            query, reply = os.path.join(work, "query.tsq"), os.path.join(work, "reply.tsr")
            with open(query, "wb") as f:
                f.write(self.rfile.read(length))
            made = subprocess.run(
                ["openssl", "ts", "-reply", "-config", config, "-queryfile", query, "-out", reply],
                capture_output=True)
            if made.returncode != 0:
                self.send_error(400, made.stderr.decode(errors="replace").strip()[:200])
                return
            with open(reply, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--chain", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "tsa.cnf")
        with open(config, "w") as f:
            f.write(CONFIG.format(work=work, cert=os.path.abspath(args.cert),
                                  key=os.path.abspath(args.key),
                                  chain=os.path.abspath(args.chain)))
        with open(os.path.join(work, "serial"), "w") as f:
            f.write("01\n")
        # One query at a time: they share the work files, and a build asks for one time stamp.
        server = http.server.HTTPServer(("127.0.0.1", 0), make_handler(work, config))
        with open(args.port_file + ".tmp", "w") as f:
            f.write(str(server.server_address[1]))
        os.replace(args.port_file + ".tmp", args.port_file)
        # Killed or interrupted, it still removes its work directory.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
