#!/usr/bin/env bash
# Runs every benchmark once against its peers (Dovecot + curl, dnsmasq + dig)
# and prints one table. The raw output and the table are kept under
# bench/results/ with the date. Usage: bash bench/run.sh [build folder]
set -uo pipefail

build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
pop3=$build/bench/bench_pop3
mx=$build/bench/bench_mx
waitcpu=$build/bench/bench_wait_cpu
check=$build/bench/bench_check
finder=$build/bench/bench_finder
message=$build/bench/bench_message
for program in "$pop3" "$mx" "$waitcpu" "$check" "$finder" "$message"; do
  if [ ! -x "$program" ]; then
    echo "missing $program: build the folder first (make build BUILD=$build)" >&2
    exit 1
  fi
done
for peer in curl dig dovecot dnsmasq openssl; do
  command -v "$peer" >/dev/null || [ -x "/usr/sbin/$peer" ] || { echo "missing $peer" >&2; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/config" "$scratch/runtime"
export QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 LC_ALL=C.UTF-8
export XDG_CONFIG_HOME=$scratch/config XDG_RUNTIME_DIR=$scratch/runtime

day=$(date +%F)
mkdir -p bench/results
raw=bench/results/$day-raw.txt
table=bench/results/$day-table.md
{
  echo "# Brieflotse benchmarks, $(date -u '+%F %H:%M UTC')"
  echo "# $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')), load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "# commit $(git rev-parse --short HEAD 2>/dev/null || echo '?'), build folder $build"
  echo "# $(curl --version | head -1)"
  echo "# $(dig -v 2>&1 | head -1)"
} >"$raw"

failed=0
run() {
  echo "## $*" | tee -a "$raw"
  # The offscreen platform's note about size hints is noise.
  "$@" 2>&1 | grep -v 'propagateSizeHints' | tee -a "$raw"
  local status=${PIPESTATUS[0]}
  if [ "$status" -ne 0 ]; then
    echo "## exit status $status" | tee -a "$raw"
    failed=1
  fi
}

run "$pop3" retr 1 15
run "$pop3" retr 10 5
run "$pop3" retr 50 5
run "$pop3" retr-tls 10 5
run "$pop3" line 50 7
run "$pop3" big 500
run "$pop3" list 20000 5
run "$pop3" map 1000 5
run "$pop3" wait 5
run "$pop3" flood 20
run "$waitcpu"
run "$mx" 20
run "$check" 5
BRIEFLOTSE_SOURCE_DIR=$root run "$finder" 10
run "$message" 5
run "$pop3" start 10

value() { awk -v key="$1" '$1 == "RESULT" && $2 == key { print $3 }' "$raw" | tail -1; }
# verdict <figure> <limit>: "met" when figure <= limit
verdict() {
  if [ -z "$1" ]; then echo "no figure"; return; fi
  awk -v f="$1" -v l="$2" 'BEGIN { print (f <= l) ? "met" : "NOT met" }'
}
fmt() { [ -n "$1" ] && printf "%.${2}f" "$1" || echo "-"; }

retr10=$(value retr10_seconds); curl10=$(value retr10_curl_seconds); ratio10=$(value retr10_ratio)
per1=$(value retr1_seconds_per_mb); per50=$(value retr50_seconds_per_mb)
growth=$( [ -n "$per1" ] && [ -n "$per50" ] && awk -v a="$per50" -v b="$per1" 'BEGIN { print a / b }')
memory1=$(value retr1_memory); memory=$(value retr10_memory); memory50=$(value retr50_memory)
memoryworst=$( [ -n "$memory1" ] && [ -n "$memory" ] && [ -n "$memory50" ] && awk -v a="$memory1" -v b="$memory" -v c="$memory50" 'BEGIN { m = a; if (b > m) m = b; if (c > m) m = c; print m }')
line=$(value line50_seconds); curlline=$(value line50_curl_seconds); linememory=$(value line50_memory)
noopfresh=$(value line50_noop_fresh_seconds); noopafter=$(value line50_noop_after_seconds)
noopratio=$( [ -n "$noopfresh" ] && [ -n "$noopafter" ] && awk -v a="$noopafter" -v b="$noopfresh" 'BEGIN { print a / b }')
big=$(value big500_seconds); curlbig=$(value big500_curl_seconds); bigpeak=$(value big500_peak_mb)
bigwhole=$(value big500_shown_whole); biggrowth=$(value big500_growth)
bigverdict=$( [ "$bigwhole" = "1" ] && verdict "$bigpeak" 1024 || echo "NOT met")
tls=$(value retr10_tls_seconds); curltls=$(value retr10_tls_curl_seconds); tlsratio=$(value retr10_tls_ratio)
tlsplain=$(value retr10_tls_plain_seconds); overplain=$(value retr10_tls_over_plain)
list=$(value list_seconds); uidl=$(value uidl_seconds); curllist=$(value list_curl_seconds)
listratio=$(value list_ratio); uidlratio=$(value uidl_ratio)
listworst=$( [ -n "$listratio" ] && [ -n "$uidlratio" ] && awk -v a="$listratio" -v b="$uidlratio" 'BEGIN { print (a > b) ? a : b }')
map=$(value map_seconds)
waitratio=$(value wait_cpu_ratio); waitwall=$(value wait_wall_seconds)
floodsent=$(value flood_sent_mb); floodmemory=$(value flood_memory_mb)
mxs=$(value mx_seconds); digs=$(value mx_dig_seconds); mxratio=$(value mx_ratio)
start=$(value start_seconds)
checks=$(value check_seconds); checkdelay=$(value check_delay_seconds)
finders=$(value finder_seconds); finderover=$(value finder_overhead_seconds); finderstop=$(value finder_stop_seconds)
msgatt=$(value message50_attachment_seconds); msgtext=$(value message50_text_seconds)
msgattmem=$(value message50_attachment_memory); msgtextmem=$(value message50_text_memory)
msgworst=$( [ -n "$msgatt" ] && [ -n "$msgtext" ] && awk -v a="$msgatt" -v b="$msgtext" 'BEGIN { print (a > b) ? a : b }')
msgmemworst=$( [ -n "$msgattmem" ] && [ -n "$msgtextmem" ] && awk -v a="$msgattmem" -v b="$msgtextmem" 'BEGIN { print (a > b) ? a : b }')
msgverdict=$( [ "$(verdict "$msgmemworst" 2)" = met ] && verdict "$msgworst" 0.999 || echo "NOT met")

{
  echo "Measured $(date -u '+%F') on $(nproc) cores, build folder \`$build\`; raw output in \`$raw\`."
  echo
  echo "| case | measure | figure | target | |"
  echo "|---|---|---|---|---|"
  echo "| RETR of a 10 MB message through the send action, reply reader and log until \"Bereit\" | median of 5: $(fmt "$retr10" 3) s, curl $(fmt "$curl10" 3) s | ratio $(fmt "$ratio10" 2) | ≤ 3 | $(verdict "$ratio10" 3) |"
  echo "| the same with 1 MB and 50 MB | s/MB at 50 MB ($(fmt "$per50" 4)) / s/MB at 1 MB ($(fmt "$per1" 4)) | $(fmt "$growth" 2) | ≤ 1.2 | $(verdict "$growth" 1.2) |"
  echo "| the same RETRs of 1, 10 and 50 MB | (peak − baseline resident memory) / message size: $(fmt "$memory1" 2), $(fmt "$memory" 2), $(fmt "$memory50" 2) | largest $(fmt "$memoryworst" 2) | ≤ 1.5 | $(verdict "$memoryworst" 1.5) |"
  echo "| RETR of a message that is one 50 MB line, shown whole | median of 7: $(fmt "$line" 3) s, curl $(fmt "$curlline" 3) s; memory $(fmt "$linememory" 2) × the message | $(fmt "$line" 3) s | < 1 s | $(verdict "$line" 0.999) |"
  echo "| NOOP after that line, next to NOOP on a fresh log, run for run | median of 7: $(fmt "$noopafter" 4) s / $(fmt "$noopfresh" 4) s | ratio $(fmt "$noopratio" 2) | ≤ 1.5 | $(verdict "$noopratio" 1.5) |"
  echo "| RETR of a 500 MB message in a window process of its own | $(fmt "$big" 2) s (curl $(fmt "$curlbig" 2) s), shown whole: $( [ "$bigwhole" = "1" ] && echo yes || echo no ), growth $(fmt "$biggrowth" 2) × the message | peak resident $(fmt "$bigpeak" 0) MB | ≤ 1024 MB, whole | $bigverdict |"
  echo "| the same 10 MB RETR over pop3s (TLS from the first byte, verified certificate), next to plain in the same run | median of 5: $(fmt "$tls" 3) s, curl pop3s $(fmt "$curltls" 3) s (ratio $(fmt "$tlsratio" 2)), plain $(fmt "$tlsplain" 3) s | TLS / plain $(fmt "$overplain" 2) | ≤ 1.3 | $(verdict "$overplain" 1.3) |"
  echo "| LIST and UIDL of 20 000 messages | median of 5: LIST $(fmt "$list" 3) s, UIDL $(fmt "$uidl" 3) s, curl LIST $(fmt "$curllist" 3) s | ratio $(fmt "$listratio" 2) / $(fmt "$uidlratio" 2) | ≤ 10 | $(verdict "$listworst" 10) |"
  echo "| \"Postfach-Übersicht\" of 1 000 messages against Dovecot (LIST, UIDL, TOP n 0 each, pipelined) | median of 5 | $(fmt "$map" 3) s | < 3 s | $(verdict "$map" 2.999) |"
  echo "| one 5 s wait for a silent server's greeting | processor / wall time (wall $(fmt "$waitwall" 3) s) | $(fmt "$waitratio" 5) | ≤ 0.02 | $(verdict "$waitratio" 0.02) |"
  echo "| 20 s of lines nobody asked for, as fast as loopback carries them, window idle ($(fmt "$floodsent" 0) MB sent) | growth of peak resident memory (the log holds at most 600 M characters) | $(fmt "$floodmemory" 0) MB | ≤ 1024 MB | $(verdict "$floodmemory" 1024) |"
  echo "| MX look-up against dnsmasq | median of 20: $(fmt "$mxs" 5) s, dig +tcp $(fmt "$digs" 5) s | ratio $(fmt "$mxratio" 3) | ≤ 2 | $(verdict "$mxratio" 2) |"
  echo "| server check of one address, both ports (TLS and plain with STLS), against Dovecot on loopback | median of 5 (with Dovecot's 2 s delay after a failed log-in: $(fmt "$checkdelay" 2) s) | $(fmt "$checks" 3) s | < 2 s | $(verdict "$checks" 1.999) |"
  echo "| address finder for anna@beispiel.test, every source at once (dnsmasq, HTTPS config server on loopback; database 0.6 s late) | median of 10: $(fmt "$finders" 3) s; worst whole search minus its slowest chain of questions | $(fmt "$finderover" 3) s | ≤ 0.5 s | $(verdict "$finderover" 0.5) |"
  echo "| stop of the address finder while every source waits on a silent server | worst of 10 | $(fmt "$finderstop" 4) s | ≤ 0.1 s | $(verdict "$finderstop" 0.1) |"
  echo "| decomposing a 50 MB message (\`DecomposeMessage\`): a 49 MB base64 attachment / 50 MB of quoted-printable text | median of 5: $(fmt "$msgatt" 3) s / $(fmt "$msgtext" 3) s; growth of peak resident memory $(fmt "$msgattmem" 2) / $(fmt "$msgtextmem" 2) × the message | $(fmt "$msgworst" 3) s | < 1 s, ≤ 2 × | $msgverdict |"
  echo "| program start to main window shown (offscreen) | median of 10 | $(fmt "$start" 3) s | report | - |"
} >"$table"

echo
cat "$table"
cat "$table" >>"$raw"
exit "$failed"
