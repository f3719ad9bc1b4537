#!/usr/bin/python3
"""An RFC 3161 time-stamp authority on 127.0.0.1 for the release tests.

  tsa_server.py TSA_CONFIG PORT_FILE [LIFETIME_SECONDS]

Answers each POSTed request with `openssl ts -reply -config TSA_CONFIG`. Listens on a port the
system picks and writes it to PORT_FILE once it listens. Stops by itself after LIFETIME_SECONDS
(default 120), so that a test that dies leaves nothing behind for long.
"""

import http.server
import os
import subprocess
import sys
import tempfile
import threading

MAX_QUERY = 64 * 1024


class Handler(http.server.BaseHTTPRequestHandler):
    config = ""

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        if not 0 < length <= MAX_QUERY:
            self.send_error(400, "no time-stamp query")
            return
        query = self.rfile.read(length)
        with tempfile.TemporaryDirectory() as scratch:
            qfile = os.path.join(scratch, "query.tsq")
            rfile = os.path.join(scratch, "reply.tsr")
            with open(qfile, "wb") as f:
                f.write(query)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", self.config, "-queryfile", qfile,
                                   "-out", rfile], capture_output=True, text=True)
            if done.returncode != 0:
                self.log_message("openssl ts -reply failed: %s", done.stderr.strip())
                self.send_error(500, "time stamp failed")
                return
            with open(rfile, "rb") as f:
                reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, fmt, *args):
        sys.stderr.write("tsa_server: " + (fmt % args) + "\n")


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    Handler.config = argv[1]
    lifetime = float(argv[3]) if len(argv) == 4 else 120.0
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    tmp = argv[2] + ".tmp"
    with open(tmp, "w") as f:
        f.write(f"{server.server_address[1]}\n")
    os.replace(tmp, argv[2])
    threading.Timer(lifetime, server.shutdown).start()
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
