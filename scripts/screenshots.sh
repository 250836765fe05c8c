#!/usr/bin/env bash
# Pictures of the program for the README: the built program on a private Xvfb
# display with openbox, driven with xdotool through one typical session
# against a small scripted POP3 server on loopback. Writes main.png,
# connected.png, anatomy.png, finder.png, assistant.png, authpage.png,
# tokendialog.png, about.png and servercheck.png to docs/screenshots/, each
# cropped to its window.
#
#   scripts/screenshots.sh [build folder, default build]
set -euo pipefail

Root=$(cd "$(dirname "$0")/.." && pwd)
Build=$(cd "${1:-$Root/build}" && pwd)
Program=$Build/brieflotse
Out=$Root/docs/screenshots
for Tool in Xvfb openbox xdotool import python3; do
  command -v "$Tool" >/dev/null || { echo "$Tool fehlt (scripts/install-deps.sh test)" >&2; exit 1; }
done
[ -x "$Program" ] || { echo "$Program fehlt: erst bauen" >&2; exit 1; }
mkdir -p "$Out"

Work=$(mktemp -d)
Pids=()
Finish() {
  for Pid in "${Pids[@]}"; do kill "$Pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$Work"
}
trap Finish EXIT

# A POP3 server that answers a typical session; it writes its port first.
cat >"$Work/server.py" <<'PY'
import socket, sys, threading
Message = ("From: Anna Beispiel <anna@example.org>\r\nTo: bernd@example.org\r\n"
           "Subject: Treffen am Freitag\r\nDate: Mon, 7 Dec 2026 10:15:00 +0100\r\n\r\n"
           "Hallo Bernd,\r\n\r\nbleibt es bei Freitag um zehn?\r\n\r\nGruss, Anna\r\n")
Replies = {"USER": "+OK Benutzer bekannt", "PASS": "+OK Mailbox geoeffnet, 2 Nachrichten",
           "STAT": "+OK 2 %d" % (len(Message) + 512), "NOOP": "+OK", "RSET": "+OK",
           "DELE": "+OK Nachricht geloescht", "QUIT": "+OK Auf Wiedersehen"}
def Serve(Peer):
    Peer.sendall(b"+OK Brieflotse-Testserver bereit\r\n")
    Buffer = b""
    while True:
        Data = Peer.recv(4096)
        if not Data:
            return
        Buffer += Data
        while b"\r\n" in Buffer:
            Line, Buffer = Buffer.split(b"\r\n", 1)
            Word = Line.decode("latin-1").split(" ")[0].upper()
            if Word == "LIST":
                Reply = "+OK 2 Nachrichten\r\n1 %d\r\n2 512\r\n." % len(Message)
            elif Word == "RETR":
                Reply = "+OK %d Bytes\r\n%s." % (len(Message), Message)
            else:
                Reply = Replies.get(Word, "-ERR unbekanntes Kommando")
            Peer.sendall(Reply.encode() + b"\r\n")
            if Word == "QUIT":
                Peer.close()
                return
Listener = socket.socket()
Listener.bind(("127.0.0.1", 0))
Listener.listen(4)
print(Listener.getsockname()[1], flush=True)
while True:
    Peer, _ = Listener.accept()
    threading.Thread(target=Serve, args=(Peer,), daemon=True).start()
PY
python3 "$Work/server.py" >"$Work/port" &
Pids+=($!)
for _ in $(seq 50); do [ -s "$Work/port" ] && break; sleep 0.1; done
Port=$(head -1 "$Work/port")

# Xvfb picks a free display and names it on descriptor 3.
exec 3>"$Work/display"
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x1024x24 >"$Work/xvfb.log" 2>&1 &
Pids+=($!)
exec 3>&-
for _ in $(seq 150); do [ -s "$Work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -1 "$Work/display")
openbox --sm-disable >"$Work/openbox.log" 2>&1 &
Pids+=($!)
sleep 1

export XDG_CONFIG_HOME=$Work/config LANG=C.UTF-8 LC_ALL=C.UTF-8
unset QT_QPA_PLATFORM QT_SCALE_FACTOR
"$Program" >"$Work/program.log" 2>&1 &
Pids+=($!)
Main=$(xdotool search --sync --onlyvisible --name '^Brieflotse$' | head -1)
xdotool windowactivate --sync "$Main"

Key() { xdotool key --delay 60 "$@"; sleep 0.6; }
Type() { xdotool type --delay 30 "$1"; sleep 0.3; }
# The active window, its frame left out.
Shot() { sleep 0.8; import -window "$(xdotool getactivewindow)" -strip "$Out/$1"; echo "$Out/$1"; }

Shot main.png

# The finder (offered while not connected) and the about box. Menus open first, then take their entry's key.
Key alt+s
Key s
Type example.org
Shot finder.png
Key Escape

Key alt+i
Key b
Shot about.png
Key Escape

# Connect, log in, look at the mailbox, fetch a message.
Key alt+m
Type "127.0.0.1:$Port"
Key Return
Key alt+u
Shot assistant.png
Type anna
Key Return
Key alt+p
Type geheim
Key Return
Key alt+a
for Line in list "retr 1"; do
  Key alt+k
  Type "$Line"
  Key Return
done
Shot connected.png

# "&Befehle" > "AUTH", XOAUTH2 (one above the last entry), then "Token &holen ...".
Key alt+b
Key h
Key alt+v
Key End Up
Key alt+n
Key ctrl+a
Type anna@example.org
Shot authpage.png
Key alt+h
Shot tokendialog.png
Key Escape
Key Escape

# "&Befehle" > "Nachricht &zerlegen ...", the subject chosen in "Kopf".
Key alt+b
Key z
Key Home Down Down
Shot anatomy.png
Key alt+F4

Key alt+k
Type quit
Key Return

# The server check of the practice server ("&Server" > "&Übungs-Server
# starten", then "Server &prüfen ..."), its report once finished.
Key alt+s
Key udiaeresis
Key alt+s
Key p
Key Return
sleep 4
Shot servercheck.png
Key Escape
