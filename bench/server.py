"""Canned-response HTTP server for the benchmark.

Serves pre-generated response bodies from memory, chosen by request path, to GET and
POST alike; it checks nothing (headers, credentials and request bodies are read and
ignored). It runs in its own process so that serving does not compete with the client
being measured for the GIL.

    python bench/server.py MANIFEST

MANIFEST is a JSON object mapping each path to a file whose bytes are the body. The
server listens on 127.0.0.1 on a free port and, once ready, writes the line
"port <number>" to standard output.
"""

from __future__ import annotations

import json
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path


def build_responses(manifest: dict[str, str]) -> dict[str, bytes]:
    # The status line, headers and body of each answer as one buffer, sent with one
    # write: no per-request formatting, and no small trailing segment held back.
    responses = {}
    for path, file in manifest.items():
        body = Path(file).read_bytes()
        head = (
            "HTTP/1.1 200 OK\r\n"
            "Content-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\n"
            "\r\n"
        ).encode("ascii")
        responses[path] = head + body
    return responses


NOT_FOUND = b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"


def make_handler(responses: dict[str, bytes]) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True

        def _answer(self) -> None:
            length = int(self.headers.get("Content-Length") or 0)
            if length:
                self.rfile.read(length)
            path = self.path.split("?", 1)[0]
            self.wfile.write(responses.get(path, NOT_FOUND))

        do_GET = _answer
        do_POST = _answer

        def log_message(self, format: str, *args: object) -> None:
            pass

    return Handler


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit("usage: server.py MANIFEST")
    manifest = json.loads(Path(sys.argv[1]).read_text(encoding="utf-8"))
    server = ThreadingHTTPServer(("127.0.0.1", 0), make_handler(build_responses(manifest)))
    server.daemon_threads = True
    print(f"port {server.server_address[1]}", flush=True)
    try:
        server.serve_forever(poll_interval=0.5)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
