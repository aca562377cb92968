#!/usr/bin/env python3
"""An upstream made with Python's http.server speaking HTTP/1.1 (it keeps
connections alive), for the interoperability tests. The answer follows the
path, or for POST /json_rpc the method of the JSON-RPC body: length,
chunked, empty, error, big. Prints "port N" once it listens."""
import http.server
import json
import sys

from answers import answer_for, big_body


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, chunks=None):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        if chunks is None:
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for c in chunks:
            self.wfile.write(b"%x\r\n%s\r\n" % (len(c), c))
            self.wfile.flush()
        self.wfile.write(b"0\r\n\r\n")

    def serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        kind = answer_for(self.path, self.rfile.read(length))
        if kind == "length":
            self.answer(200, b'{"framing":"length","maker":"python"}')
        elif kind == "chunked":
            self.answer(200, None, [b'{"framing":"chunked",', b'"maker":"python"}'])
        elif kind == "empty":
            self.answer(200, b"")
        elif kind == "error":
            self.answer(500, b'{"error":{"code":-1,"message":"boom"},"maker":"python"}')
        elif kind == "big":
            self.answer(200, big_body())
        else:
            self.answer(404, b'{"error":"not found"}')

    do_GET = serve
    do_POST = serve


big_body()  # made before the first request
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print("port %d" % server.server_address[1], flush=True)
try:
    server.serve_forever()
except KeyboardInterrupt:
    sys.exit(0)
