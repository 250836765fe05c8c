"""Python's poplib against the practice server: every command of RFC 1939,
and the messages byte for byte.

    poplib_session.py PORT TLS_PORT FOLDER

CAPA, STLS, APOP and AUTH PLAIN. FOLDER holds the built-in messages as files 1..6 and the server's
certificate as cert.pem. Exits 1 with a message at the first difference.
"""
import base64
import poplib
import ssl
import sys

port, tls_port, folder = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
expected = [open(f"{folder}/{n}", "rb").read() for n in range(1, 7)]


def check(condition, what):
    if not condition:
        print("FAILED:", what)
        sys.exit(1)


def joined(lines):
    # poplib hands back the lines without CR LF and without dot-stuffing.
    return b"".join(line + b"\r\n" for line in lines)


def unverified():
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def log_in(box):
    check(box.user("lotse").startswith(b"+OK"), "USER")
    check(box.pass_("uebung").startswith(b"+OK"), "PASS")


# Plain, then STLS; CAPA before and after.
box = poplib.POP3("127.0.0.1", port, timeout=20)
check(b"<" in box.getwelcome() and b"@" in box.getwelcome(), "APOP timestamp in " + repr(box.getwelcome()))
capa = box.capa()
for name in ("TOP", "UIDL", "USER", "STLS", "RESP-CODES"):
    check(name in capa, name + " in CAPA " + repr(capa))
box.stls(unverified())
check("STLS" not in box.capa(), "no STLS once encrypted")
try:
    box.pass_("uebung")
    check(False, "PASS before USER is refused")
except poplib.error_proto:
    pass
log_in(box)
total = sum(len(m) for m in expected)
check(box.stat() == (6, total), f"STAT {box.stat()} against (6, {total})")
_, listing, _ = box.list()
check(listing == [f"{n + 1} {len(m)}".encode() for n, m in enumerate(expected)], "LIST " + repr(listing))
_, ids, _ = box.uidl()
check(len(ids) == 6 and len(set(i.split()[1] for i in ids)) == 6, "six unique ids " + repr(ids))
for number, text in enumerate(expected, 1):
    _, lines, octets = box.retr(number)
    check(joined(lines) == text, f"RETR {number} byte for byte")
head, _, _ = expected[1].partition(b"\r\n\r\n")
_, lines, _ = box.top(2, 3)
body = expected[1][len(head) + 4:].split(b"\r\n")
check(joined(lines) == head + b"\r\n\r\n" + b"".join(line + b"\r\n" for line in body[:3]), "TOP 2 3")
box.dele(1)
check(box.stat()[0] == 5, "DELE marks")
try:
    box.retr(1)
    check(False, "RETR of a deleted message is refused")
except poplib.error_proto:
    pass
box.rset()
check(box.stat()[0] == 6, "RSET unmarks")
box.dele(2)
box.quit()

# Every session starts from the same mailbox; the ids stay.
box = poplib.POP3("127.0.0.1", port, timeout=20)
log_in(box)
check(box.stat() == (6, total), "a new session sees all six again")
check(box.uidl()[1] == ids, "UIDL ids stable across sessions")
box.quit()

# APOP with the greeting's timestamp; AUTH PLAIN with an initial response.
box = poplib.POP3("127.0.0.1", port, timeout=20)
try:
    box.apop("lotse", "falsch")
    check(False, "APOP with a wrong password is refused")
except poplib.error_proto as error:
    check(b"[AUTH]" in error.args[0], "APOP refusal " + repr(error.args))
box.quit()
box = poplib.POP3("127.0.0.1", port, timeout=20)
check(box.apop("lotse", "uebung").startswith(b"+OK"), "APOP")
check(box.stat()[0] == 6, "STAT after APOP")
box.quit()
box = poplib.POP3("127.0.0.1", port, timeout=20)
check("PLAIN" in box.capa().get("SASL", []), "SASL PLAIN in CAPA")
check(box._shortcmd("AUTH PLAIN " + base64.b64encode(b"\0lotse\0uebung").decode()).startswith(b"+OK"), "AUTH PLAIN")
check(joined(box.retr(2)[1]) == expected[1], "RETR 2 after AUTH PLAIN")
box.quit()

# TLS from the first byte, the certificate checked against its own PEM for
# "localhost" and 127.0.0.1.
for host in ("localhost", "127.0.0.1"):
    context = ssl.create_default_context(cafile=f"{folder}/cert.pem")
    box = poplib.POP3_SSL(host, tls_port, context=context, timeout=20)
    log_in(box)
    check(joined(box.retr(5)[1]) == expected[4], "RETR 5 over TLS")
    box.quit()
print("ok")
