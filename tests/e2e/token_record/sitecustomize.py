"""Loaded by Python at start when this folder is on PYTHONPATH: every random
token the test authorization server makes (codes, access and refresh tokens,
device codes) is appended to the file BRIEFLOTSE_TOKEN_RECORD names, so that
an end-to-end test can look for them where they must not be."""
import os
import secrets

_record = os.environ.get("BRIEFLOTSE_TOKEN_RECORD")
if _record:
    _token_urlsafe = secrets.token_urlsafe

    def _recorded(nbytes=None):
        token = _token_urlsafe(nbytes)
        with open(_record, "a") as f:
            f.write(token + "\n")
        return token

    secrets.token_urlsafe = _recorded
