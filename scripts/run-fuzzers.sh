#!/usr/bin/env bash
# Runs every fuzz target in a folder for a bounded time each, starting from its corpus in
# fuzz/corpus/<name> and, for seeds the build makes (the device images), in
# <bin>/../corpus/<name> (new inputs go to a scratch folder, never into the repository).
set -euo pipefail
bin=${1:?folder of fuzz_* programs}
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
found=0
for f in "$bin"/fuzz_*; do
  [ -x "$f" ] || continue
  found=1
  name=$(basename "$f")
  name=${name#fuzz_}
  scratch=$(mktemp -d)
  seeds=()
  [ -d "$root/fuzz/corpus/$name" ] && seeds=("$root/fuzz/corpus/$name")
  [ -d "$bin/../corpus/$name" ] && seeds+=("$bin/../corpus/$name")
  echo "fuzz: $name for ${seconds}s"
  "$f" -max_total_time="$seconds" -print_final_stats=0 "$scratch" "${seeds[@]}" >"$scratch.log" 2>&1 || {
    tail -40 "$scratch.log"; echo "fuzz: $name FAILED"; rm -rf "$scratch"; exit 1; }
  grep -E '^(Done|#[0-9]+.*DONE)' "$scratch.log" | tail -1 || true
  rm -rf "$scratch" "$scratch.log"
done
[ $found -eq 1 ] || echo "fuzz: no targets built"
