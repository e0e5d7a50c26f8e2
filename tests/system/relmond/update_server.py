#!/usr/bin/env python3
"""A small firmware update server for relmond's tests and the demo.

Serves the files under --root by their URL path. Every request path is
appended to --log, one a line. A file "<root>/.rate" may hold lines
"<url path> <bytes per second>": those files are sent slowly, so that a
download can be watched while it runs. Only for private worlds: bind it to
127.0.0.1 or a lab address.
"""
import argparse
import http.server
import os
import time
import urllib.parse


def make_handler(root, log):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, *args):
            pass

        def rates(self):
            try:
                with open(os.path.join(root, ".rate")) as f:
                    pairs = (line.rsplit(None, 1) for line in f if line.strip())
                    return {p: float(r) for p, r in pairs}
            except (OSError, ValueError):
                return {}

        def do_GET(self):
            path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
            with open(log, "a") as f:
                f.write(path + "\n")
            rel = os.path.normpath(path.lstrip("/"))
            full = os.path.join(root, rel)
            if rel.startswith("..") or not os.path.isfile(full):
                self.send_error(404)
                return
            with open(full, "rb") as f:
                data = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            rate = self.rates().get(path)
            try:
                if not rate:
                    self.wfile.write(data)
                    return
                step = 8192
                for i in range(0, len(data), step):
                    self.wfile.write(data[i:i + step])
                    self.wfile.flush()
                    time.sleep(step / rate)
            except (BrokenPipeError, ConnectionResetError):
                pass

    return Handler


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--bind", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8000)
    ap.add_argument("--log", required=True)
    a = ap.parse_args()
    server = http.server.ThreadingHTTPServer((a.bind, a.port), make_handler(a.root, a.log))
    server.daemon_threads = True
    server.serve_forever()


if __name__ == "__main__":
    main()
