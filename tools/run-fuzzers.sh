#!/usr/bin/env bash
# Builds the libFuzzer targets with the "fuzz" preset and runs each one for a
# set time (default 600 s each) on a working copy of its seed corpus, with its
# dictionary (fuzz/<target>.dict). fuzz/make_pdf_seeds.py writes the hostile
# seed documents into fuzz/corpus/pdf.
# Findings land in build-fuzz/findings/<target>/; keep each as a regression
# input in fuzz/regressions/<target>/ once its cause is fixed.
#
#   tools/run-fuzzers.sh [SECONDS] [TARGET...]     targets: pdf packets
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-600}"
shift || true
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(pdf packets)

"$here/tools/install-deps.sh"
cd "$here"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for target in "${targets[@]}"; do
    work="$here/build-fuzz/corpus-work/$target"
    findings="$here/build-fuzz/findings/$target"
    log="$here/build-fuzz/fuzz_$target.log"
    mkdir -p "$work" "$findings"
    cp -n "$here/fuzz/corpus/$target"/* "$work"/ 2>/dev/null || true
    echo "== fuzz_$target for ${seconds}s (log: $log)"
    if ! "$here/build-fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=4096 -max_len=262144 -print_final_stats=1 -dict="$here/fuzz/$target.dict" \
        -artifact_prefix="$findings/" "$work" >"$log" 2>&1; then
        echo "fuzz_$target stopped on a finding:"
        grep -E 'SUMMARY|artifact' "$log" || tail -n 20 "$log"
        status=1
    fi
    # Coverage when the seeds were read, and when the run ended.
    grep -m1 -E 'INITED' "$log" || true
    grep -E '^#[0-9]+' "$log" | tail -n 1 || true
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' "$log" || true
done
exit "$status"
