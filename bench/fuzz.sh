#!/usr/bin/env bash
# Long fuzzing runs: builds the fuzz preset and runs every target until it has
# executed its share of inputs (10 million for the parsers, 1 million for the
# media decoders) or its time is up; writes bench/results/fuzz.md.
#   bench/fuzz.sh [HOURS_PER_TARGET]   (default 1)
set -euo pipefail
cd "$(dirname "$0")/.."
hours="${1:-1}"

tools/deps.sh build fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

dir=build/fuzz/fuzz
seconds=$(awk "BEGIN { print int($hours * 3600) }")
results=bench/results/fuzz.md
{
  echo "# Fuzzing results"
  echo
  echo "Measured $(date -I) on $(nproc) cores with \`bench/fuzz.sh $hours\`: libFuzzer with"
  echo "AddressSanitizer and UBSan (clang $(clang --version | sed -n 's/.*version \([0-9.]*\).*/\1/p;q'))."
  echo
  echo "| target | executions | executions per second | findings |"
  echo "|---|---|---|---|"
} >"$results"
for spec in playback_fuzz:text:10000000 utf8_fuzz:text:10000000 service_fuzz:commands:10000000 \
  midi_file_fuzz:midi:10000000 mp4_audio_track_fuzz:mp4:10000000 media_file_fuzz:media:1000000; do
  IFS=: read -r target seeds runs <<<"$spec"
  mkdir -p "$dir/corpus/$target"
  log="$dir/$target.log"
  status=0
  "$dir/$target" -runs="$runs" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$dir/crash-$target-" \
    "$dir/corpus/$target" "$dir/seeds/$seeds" >"$log" 2>&1 || status=$?
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  findings=$([ "$status" -eq 0 ] && echo none || echo "exit $status, see $log")
  echo "| $target | ${executed:-?} | ${speed:-?} | $findings |" >>"$results"
  echo "$target: ${executed:-?} executions, ${speed:-?}/s, $findings" >&2
done
cat "$results"
