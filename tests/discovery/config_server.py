"""Config files for the finder's tests: one HTTPS and one HTTP port on
loopback, answering by Host header and path from a routes file.

    config_server.py ROUTES.json CERT KEY PORTS-FILE

ROUTES maps "host path" (or "http host path" for the HTTP port alone) to
{"status", "body", "location", "size", "delay"} ("size": that many bytes of
filler instead of a body; "delay": seconds to wait before answering). The
two ports go to PORTS-FILE as "https http" once both listen.
"""
import http.server
import json
import os
import ssl
import sys
import threading
import time

routes_path, cert, key, ports_path = sys.argv[1:5]
with open(routes_path, encoding="utf-8") as f:
    routes = json.load(f)


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        host = (self.headers.get("Host") or "").split(":")[0].lower()
        key = host + " " + self.path.split("?")[0]
        route = routes.get(self.server.scheme + " " + key) or routes.get(key)
        if route is None:
            self.send_error(404)
            return
        time.sleep(route.get("delay", 0))
        body = route.get("body", "").encode("utf-8")
        if "size" in route:
            body = b"<" * route["size"]
        self.send_response(route.get("status", 200))
        if "location" in route:
            self.send_header("Location", route["location"])
        self.send_header("Content-Type", "text/xml")
        # A large body comes without a length, so that only the reader's own limit stops it.
        if "size" not in route:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


secure = Server(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
# The handshake on the handler's thread: one slow client must not hold up the others.
secure.socket = context.wrap_socket(secure.socket, server_side=True, do_handshake_on_connect=False)
plain = Server(("127.0.0.1", 0), Handler)
secure.scheme = "https"
plain.scheme = "http"
for server in (secure, plain):
    threading.Thread(target=server.serve_forever, daemon=True).start()
with open(ports_path + ".part", "w") as f:
    f.write("%d %d\n" % (secure.server_address[1], plain.server_address[1]))
os.rename(ports_path + ".part", ports_path)
threading.Event().wait()
