#!/usr/bin/env bash
# Builds every fuzz/*_fuzz.cpp as a libFuzzer program (clang++, AddressSanitizer
# and UndefinedBehaviorSanitizer) into build-fuzz/ (or FUZZ_OUT) and runs each
# for FUZZ_SECONDS (default 60). Targets named as arguments run alone. Exits
# non-zero when a target fails to build or finds a crash or leak.
#
# A target names what it needs in comment lines:
#   // fuzz-sources: dns/SmartNSMessage.cpp net/*.cpp
#   // fuzz-corpus: fuzz/corpus/dns
#   // fuzz-pkg: Qt6Core
#   // fuzz-moc: protocollog/LogView.h
# fuzz-sources may use wildcards. fuzz-moc names headers of Qt classes with
# signals; their moc output is compiled in. fuzz-pkg names pkg-config packages to compile
# and link with (Qt wants -fPIC).
# Without fuzz-sources it gets every source of dns/ and net/ (no Qt there;
# net/ needs OpenSSL, which every target links);
# without fuzz-corpus it uses fuzz/corpus/<name without _fuzz>/ when present.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
out=${FUZZ_OUT:-build-fuzz}
cxx=${FUZZ_CXX:-clang++}
flags=(-std=c++17 -g -O1 -I. -Wall -Wextra -Wpedantic -Werror
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)

shopt -s nullglob
targets=(fuzz/*_fuzz.cpp)
if [ $# -gt 0 ]; then
  targets=("$@")
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets"
  exit 0
fi
mkdir -p "$out"

declared() { # $1 file, $2 key: the words after "// <key>:" on all such lines
  sed -n "s#^//[[:space:]]*$2:[[:space:]]*##p" "$1" | tr '\n' ' '
}

failed=0
for target in "${targets[@]}"; do
  name=$(basename "$target" .cpp)
  read -r -a patterns <<<"$(declared "$target" fuzz-sources)"
  sources=()
  for pattern in "${patterns[@]}"; do
    sources+=($pattern) # wildcards expand here
  done
  if [ ${#sources[@]} -eq 0 ]; then
    sources=(dns/*.cpp net/*.cpp)
  fi
  corpus=$(declared "$target" fuzz-corpus | awk '{print $1}')
  read -r -a pkgs <<<"$(declared "$target" fuzz-pkg)"
  extra=()
  if [ ${#pkgs[@]} -gt 0 ]; then
    read -r -a extra <<<"$(pkg-config --cflags --libs "${pkgs[@]}") -fPIC"
  fi
  if [ -z "$corpus" ]; then
    corpus=fuzz/corpus/${name%_fuzz}
  fi
  read -r -a headers <<<"$(declared "$target" fuzz-moc)"
  for header in "${headers[@]}"; do
    moc_out="$out/moc_$(basename "$header" .h).cpp"
    "$(pkg-config --variable=libexecdir Qt6Core)/moc" "$header" -o "$moc_out"
    sources+=("$moc_out")
  done

  echo "== fuzz: building $name (${sources[*]})"
  if ! "$cxx" "${flags[@]}" "$target" "${sources[@]}" "${extra[@]}" -lssl -lcrypto -lpthread -o "$out/$name"; then
    echo "fuzz: $name does not build"
    failed=1
    continue
  fi

  # New inputs go to a work folder; the checked-in seeds stay as they are.
  work="$out/corpus-$name"
  artifacts="$out/artifacts-$name/"
  mkdir -p "$work" "$artifacts"
  seeds=()
  if [ -d "$corpus" ]; then
    seeds=("$corpus")
  fi
  echo "== fuzz: running $name for ${seconds}s"
  # Qt's font set-up leaves system-library allocations behind at exit.
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp} \
      "$out/$name" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$work" "${seeds[@]}"; then
    echo "fuzz: $name failed; inputs in $artifacts"
    failed=1
  fi
done
exit $failed
