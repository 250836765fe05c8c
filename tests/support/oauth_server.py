"""A small OAuth2 authorization server for the token engine's tests, on one
free loopback port (plain HTTP: the engine allows that for loopback only).

    oauth_server.py PORT-FILE [--deny] [--wrong-state] [--expires SECONDS]
        [--refuse-refresh] [--slow-down] [--token-answer oversize|malformed|redirect]
        [--metadata-answer oversize|malformed|redirect|other-issuer]

Authorization endpoint: approves at once (or denies with --deny, or with
deny=1 in the query) and redirects to the redirect_uri. Token endpoint:
authorization_code with PKCE S256, refresh_token, device_code. Device
endpoint, and /device/approve?user_code=...[&deny=1] for the test. RFC 8414
metadata, RFC 7662 introspection for Dovecot. The port goes to PORT-FILE
once the server listens.
"""
import argparse
import http.server
import json
import os
import secrets
import threading
import time
import urllib.parse

from authlib.oauth2.rfc7636 import create_s256_code_challenge

parser = argparse.ArgumentParser()
parser.add_argument("port_file")
parser.add_argument("--deny", action="store_true")
parser.add_argument("--wrong-state", action="store_true")
parser.add_argument("--expires", type=int, default=3600)
parser.add_argument("--refuse-refresh", action="store_true")
parser.add_argument("--slow-down", action="store_true")
parser.add_argument("--token-answer")
parser.add_argument("--metadata-answer")
options = parser.parse_args()

CLIENT_ID = "brieflotse-test"
lock = threading.Lock()
codes = {}  # code -> (challenge, redirect_uri, user)
access_tokens = {}  # token -> (user, expires at)
refresh_tokens = {}  # token -> user
devices = {}  # device_code -> {"user_code", "state", "polls"}


def issue(user):
    access = secrets.token_urlsafe(24)
    refresh = secrets.token_urlsafe(24)
    with lock:
        access_tokens[access] = (user, time.time() + options.expires)
        refresh_tokens[refresh] = user
    return {"access_token": access, "token_type": "Bearer", "expires_in": options.expires,
            "refresh_token": refresh, "scope": "pop3"}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def base(self):
        return "http://127.0.0.1:%d" % self.server.server_port

    def reply(self, status, body, location=None):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Cache-Control", "no-store")
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        try:
            self.wfile.write(data)
        except (BrokenPipeError, ConnectionResetError):
            pass

    # The misbehaviours a test asks for instead of a proper answer; True when one was sent.
    def misbehave(self, kind):
        if kind == "oversize":
            self.reply(200, b'{"access_token": "' + b"x" * (100 * 1024) + b'"}')
        elif kind == "malformed":
            self.reply(200, b'{"access_token": "abc", "token_type": ')
        elif kind == "redirect":
            self.reply(302, b"", location="https://elsewhere.example/token")
        else:
            return False
        return True

    def form(self):
        length = int(self.headers.get("Content-Length") or 0)
        return dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path in ("/.well-known/oauth-authorization-server", "/.well-known/openid-configuration"):
            if self.misbehave(options.metadata_answer):
                return
            issuer = "http://127.0.0.1:1" if options.metadata_answer == "other-issuer" else self.base()
            self.reply(200, {"issuer": issuer, "authorization_endpoint": self.base() + "/authorize",
                             "token_endpoint": self.base() + "/token",
                             "device_authorization_endpoint": self.base() + "/device",
                             "introspection_endpoint": self.base() + "/introspect"})
        elif url.path == "/authorize":
            self.authorize(query)
        elif url.path == "/device/approve":
            with lock:
                for device in devices.values():
                    if device["user_code"] == query.get("user_code"):
                        device["state"] = "denied" if query.get("deny") else "approved"
                        self.reply(200, {"ok": True})
                        return
            self.reply(404, {"error": "no such user_code"})
        else:
            self.reply(404, {"error": "not_found"})

    def authorize(self, query):
        redirect = query.get("redirect_uri", "")
        if query.get("client_id") != CLIENT_ID or not redirect.startswith("http://127.0.0.1:"):
            self.reply(400, {"error": "invalid_request"})
            return
        state = query.get("state", "") + ("x" if options.wrong_state else "")
        if options.deny or query.get("deny"):
            answer = {"error": "access_denied", "error_description": "Der Benutzer hat abgelehnt", "state": state}
        elif query.get("response_type") != "code" or query.get("code_challenge_method") != "S256":
            answer = {"error": "invalid_request", "state": state}
        else:
            code = secrets.token_urlsafe(16)
            with lock:
                codes[code] = (query.get("code_challenge"), redirect, query.get("login_hint") or "anna")
            answer = {"code": code, "state": state}
        self.reply(302, b"", location=redirect + "?" + urllib.parse.urlencode(answer))

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        fields = self.form()
        if path == "/introspect":
            with lock:
                user, until = access_tokens.get(fields.get("token"), (None, 0))
            self.reply(200, {"active": True, "username": user} if until > time.time() else {"active": False})
        elif path == "/device":
            if fields.get("client_id") != CLIENT_ID:
                self.reply(400, {"error": "invalid_client"})
                return
            device_code = secrets.token_urlsafe(16)
            user_code = secrets.token_hex(4).upper()
            with lock:
                devices[device_code] = {"user_code": user_code, "state": "pending", "polls": 0}
            self.reply(200, {"device_code": device_code, "user_code": user_code,
                             "verification_uri": self.base() + "/device/verify", "interval": 1,
                             "expires_in": 600})
        elif path == "/token":
            if not self.misbehave(options.token_answer):
                status, body = self.token(fields)
                self.reply(status, body)
        else:
            self.reply(404, {"error": "not_found"})

    def token(self, fields):
        if fields.get("client_id") != CLIENT_ID:
            return 401, {"error": "invalid_client"}
        grant = fields.get("grant_type")
        with lock:
            if grant == "authorization_code":
                challenge, redirect, user = codes.pop(fields.get("code"), (None, None, None))
                if challenge is None or redirect != fields.get("redirect_uri"):
                    return 400, {"error": "invalid_grant", "error_description": "unknown code"}
                if create_s256_code_challenge(fields.get("code_verifier", "")) != challenge:
                    return 400, {"error": "invalid_grant", "error_description": "PKCE verification failed"}
            elif grant == "refresh_token":
                user = refresh_tokens.pop(fields.get("refresh_token"), None)
                if user is None or options.refuse_refresh:
                    return 400, {"error": "invalid_grant", "error_description": "refresh token revoked"}
            elif grant == "urn:ietf:params:oauth:grant-type:device_code":
                device = devices.get(fields.get("device_code"))
                if device is None:
                    return 400, {"error": "invalid_grant"}
                device["polls"] += 1
                if options.slow_down and device["polls"] == 1:
                    return 400, {"error": "slow_down"}
                if device["state"] == "pending":
                    return 400, {"error": "authorization_pending"}
                del devices[fields.get("device_code")]
                if device["state"] == "denied":
                    return 400, {"error": "access_denied"}
                user = "anna"
            else:
                return 400, {"error": "unsupported_grant_type"}
        return 200, issue(user)

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    # Clients that hang up on a refused answer are what the tests want.
    def handle_error(self, request, client_address):
        pass


server = Server(("127.0.0.1", 0), Handler)
with open(options.port_file + ".tmp", "w") as f:
    f.write(str(server.server_port))

os.rename(options.port_file + ".tmp", options.port_file)
server.serve_forever()
