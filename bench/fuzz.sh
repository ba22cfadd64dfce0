#!/usr/bin/env bash
# Long fuzzing runs: builds the fuzz preset and runs every target (or the
# TARGETs named) until it has executed its share of inputs (10 million for
# the parsers, 1 million for the media decoders) or its time is up; writes
# bench/results/fuzz.md, where a target not run keeps its earlier row.
#   bench/fuzz.sh [HOURS_PER_TARGET [TARGET...]]   (default 1, every target)
set -euo pipefail
cd "$(dirname "$0")/.."
hours="${1:-1}"
shift || true
only=("$@")

tools/deps.sh build fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

dir=build/fuzz/fuzz
seconds=$(awk "BEGIN { print int($hours * 3600) }")
results=bench/results/fuzz.md
# The system's libsndfile leaks on some malformed Ogg headers: not ours.
export LSAN_OPTIONS="suppressions=$PWD/cmake/lsan.supp"
declare -A rows=()
if [ -f "$results" ]; then
  while IFS= read -r line; do
    target=$(sed -n 's/^| \([a-z0-9_]*_fuzz\) |.*/\1/p' <<<"$line")
    [ -n "$target" ] && rows[$target]="$line"
  done <"$results"
fi
specs=(playback_fuzz:text:10000000 utf8_fuzz:text:10000000 service_fuzz:commands:10000000
  midi_file_fuzz:midi:10000000 mp4_audio_track_fuzz:mp4:10000000 media_file_fuzz:media:1000000)
for spec in "${specs[@]}"; do
  IFS=: read -r target seeds runs <<<"$spec"
  if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " == *" $target "* ]]; then continue; fi
  mkdir -p "$dir/corpus/$target"
  log="$dir/$target.log"
  status=0
  "$dir/$target" -runs="$runs" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
    -malloc_limit_mb="$([ "$target" = media_file_fuzz ] && echo 2560 || echo 1024)" \
    -print_final_stats=1 -artifact_prefix="$dir/crash-$target-" \
    "$dir/corpus/$target" "$dir/seeds/$seeds" >"$log" 2>&1 || status=$?
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  findings=$([ "$status" -eq 0 ] && echo none || echo "exit $status, see $log")
  rows[$target]="| $target | ${executed:-?} | ${speed:-?} | $findings | $(date -I), \`bench/fuzz.sh $hours\` |"
  echo "$target: ${executed:-?} executions, ${speed:-?}/s, $findings" >&2
done
{
  echo "# Fuzzing results"
  echo
  echo "Measured on $(nproc) cores: libFuzzer with AddressSanitizer and UBSan"
  echo "(clang $(clang --version | sed -n 's/.*version \([0-9.]*\).*/\1/p;q')). Each row says when and"
  echo "with which command its target ran."
  echo
  echo "| target | executions | executions per second | findings | run |"
  echo "|---|---|---|---|---|"
  for spec in "${specs[@]}"; do
    target=${spec%%:*}
    [ -n "${rows[$target]:-}" ] && echo "${rows[$target]}"
  done
} >"$results.new"
mv "$results.new" "$results"
cat "$results"
