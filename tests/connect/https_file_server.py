#!/usr/bin/env python3
"""HTTPS file server for the driver download tests.

usage: https_file_server.py ROOT CERT KEY PORT_FILE

Serves ROOT on 127.0.0.1 at a free port, which it writes to PORT_FILE once listening.
  /r/N/PATH     redirects to /r/N-1/PATH; /r/0/PATH serves PATH (redirect chains)
  /slow/PATH    serves PATH in 16 KiB pieces, 50 ms apart (cancellation tests)
"""
import functools
import http.server
import os
import ssl
import sys
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def _redirect_target(self):
        parts = self.path.split("/", 3)
        if len(parts) == 4 and parts[1] == "r" and parts[2].isdigit():
            hops = int(parts[2])
            if hops == 0:
                self.path = "/" + parts[3]
                return None
            return "/r/%d/%s" % (hops - 1, parts[3])
        return None

    def _handle(self, head):
        target = self._redirect_target()
        if target is not None:
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        slow = self.path.startswith("/slow/")
        if slow:
            self.path = self.path[len("/slow"):]
        if head:
            return super().do_HEAD()
        if not slow:
            return super().do_GET()
        f = self.send_head()
        if f is None:
            return
        try:
            while True:
                piece = f.read(16 * 1024)
                if not piece:
                    break
                self.wfile.write(piece)
                self.wfile.flush()
                time.sleep(0.05)
        except (BrokenPipeError, ConnectionResetError):
            pass
        finally:
            f.close()

    def do_GET(self):
        self._handle(False)

    def do_HEAD(self):
        self._handle(True)


def main():
    root, cert, key, port_file = sys.argv[1:5]
    handler = functools.partial(Handler, directory=root)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    tmp = port_file + ".tmp"
    with open(tmp, "w") as out:
        out.write(str(server.server_address[1]))
    os.rename(tmp, port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
