"""A local RFC 3161 time-stamp authority for the release tests: openssl ts
behind http.server on 127.0.0.1. Prints its URL, then serves until killed.
Usage: tsa.py CONFIG (an openssl ts configuration with a [tsa] section)"""
from __future__ import annotations

import http.server
import subprocess
import sys
import tempfile


def main(config: str) -> None:
    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self) -> None:
            with tempfile.NamedTemporaryFile() as query:
                query.write(self.rfile.read(int(self.headers["Content-Length"])))
                query.flush()
                reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", query.name,
                                        "-out", "/dev/stdout"], capture_output=True, check=True).stdout
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *_: object) -> None:
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
    print(f"http://127.0.0.1:{server.server_port}/", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main(sys.argv[1])
