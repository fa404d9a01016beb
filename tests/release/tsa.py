"""A local RFC 3161 time-stamp authority for the release tests: openssl ts
behind http.server on 127.0.0.1. Run, it prints its URL and serves until
killed. Usage: tsa.py CONFIG (an openssl ts configuration with a [tsa] section)"""
from __future__ import annotations

import http.server
import subprocess
import sys
import tempfile


def reply(config: str, query: bytes) -> bytes:
    """openssl ts's reply to a query, as the authority of `config`."""
    with tempfile.NamedTemporaryFile() as file:
        file.write(query)
        file.flush()
        return subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", file.name, "-out",
                               "/dev/stdout"], capture_output=True, check=True).stdout


def answer(handler: http.server.BaseHTTPRequestHandler, body: bytes) -> None:
    handler.send_response(200)
    handler.send_header("Content-Type", "application/timestamp-reply")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


def main(config: str) -> None:
    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self) -> None:
            answer(self, reply(config, self.rfile.read(int(self.headers["Content-Length"]))))

        def log_message(self, *_: object) -> None:
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
    print(f"http://127.0.0.1:{server.server_port}/", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main(sys.argv[1])
