#!/usr/bin/env bash
# Instructions per received byte of the receive demultiplexer, counted by callgrind: runs
# bench_rx_count (N high-speed transfers of 8 chunks of 508 bytes) with collection on only
# inside ParseDataTransfer, so set-up and ring resets are not counted, then prints the
# instructions per payload byte and per wire byte and where they go (per function,
# callees included). The count is exact and repeats from run to run.
#
# Usage: bench/callgrind.sh [BUILD_DIR] [TRANSFERS]
#   BUILD_DIR  an optimised build (QSX_SANITIZER=none) with bench_rx_count
#              (default: build/release in the source tree, the Makefile's optimised build)
#   TRANSFERS  transfers to parse (default 2000)
# Goal: at most 1 instruction per payload byte.
set -euo pipefail

build=${1:-$(cd "$(dirname "$0")/.." && pwd)/build/release}
transfers=${2:-2000}
program=$build/bin/bench_rx_count

command -v valgrind >/dev/null || { echo "callgrind.sh: valgrind is not installed" >&2; exit 1; }
[ -x "$program" ] || { echo "callgrind.sh: $program not built (ninja -C $build bench_rx_count)" >&2; exit 1; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
    --toggle-collect='ParseDataTransfer(*' "$program" "$transfers" >"$out/stdout" 2>"$out/stderr" || {
    cat "$out/stderr" >&2
    exit 1
}

# "transfers N payload_bytes P wire_bytes W"
read -r _ _ _ payload _ wire <"$out/stdout"
instructions=$(awk '/^summary:/ { print $2 }' "$out/callgrind.out")
if [ -z "$instructions" ] || [ "$payload" -le 0 ]; then
    echo "callgrind.sh: nothing was counted" >&2
    exit 1
fi

awk -v i="$instructions" -v p="$payload" -v w="$wire" -v n="$transfers" 'BEGIN {
    printf "transfers          %d (8 chunks of 508 bytes each)\n", n
    printf "instructions       %d\n", i
    printf "per payload byte   %.3f   (goal <= 1)\n", i / p
    printf "per wire byte      %.3f\n", i / w
    printf "per chunk          %.0f\n", i / (n * 8)
}'

self=$(callgrind_annotate --inclusive=no "$out/callgrind.out" 2>/dev/null |
    awk '/:ParseDataTransfer\(/ { c = $1; gsub(",", "", c); print c; exit }')
awk -v s="${self:-0}" -v n="$transfers" -v i="$instructions" 'BEGIN {
    printf "ParseDataTransfer alone (no callees): %.0f per chunk, %.1f%%\n", s / (n * 8), 100 * s / i
}'

echo
echo "where they go (inclusive, per chunk and share of the total):"
callgrind_annotate --inclusive=yes "$out/callgrind.out" 2>/dev/null |
    awk -v n="$transfers" -v total="$instructions" '
        /file:function/ { body = 1; next }
        body && /^ *[0-9,]+ / {
            count = $1; gsub(",", "", count)
            name = $0; sub(/^ *[0-9,]+ \([^)]*\) +/, "", name)
            sub(/ \[.*\]$/, "", name); sub(/^[^:]*:/, "", name)
            if (name ~ /^(main|\(below main\)|0x|__libc_start)/) next
            sub(/\(.*$/, "", name)
            if (count / total < 0.02) next
            printf "  %6.0f  %5.1f%%  %s\n", count / (n * 8), 100 * count / total, name
        }'
