#!/usr/bin/env bash
# Builds the benchmark in Release, builds its datastores into a temporary
# directory, prints one line per figure and removes the datastores again.
#
#   scripts/bench.sh                        all ten figures, full size
#   scripts/bench.sh --only 1,2             some figures (the build is still whole)
#   scripts/bench.sh --format-dirs 200 --format-free 2000
#                                           a smaller format-recovery case
#   scripts/bench.sh --format-spread --format-dirs 1100 --format-free 10924
#                                           the format-recovery case laid out as
#                                           on a reformatted datastore
#   scripts/bench.sh --small                scaled-down datastores, a quick check
#   scripts/bench.sh --huge [FILES]         the full-size datastore: 32 members of 2 TiB
#                                           (sparse, about 3 GB on the host) and a million
#                                           files (FILES: fewer), the datumsift program
#                                           timed on it command by command; takes minutes
#
# The full run needs about 9 GB free under BENCH_TMP (default: TMPDIR or
# /tmp): 4.2 GB of images and two 2 GiB output files at a time.
# Environment: BUILD_DIR (default build-bench), JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-bench}
jobs=${JOBS:-2}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDATUMSIFT_BENCH=ON \
  -DDATUMSIFT_GUI=OFF -DDATUMSIFT_TESTS=OFF >/dev/null
huge=0
if [ "${1:-}" = "--huge" ]; then
  huge=1
  shift
fi
targets=(datumsift_bench)
[ "$huge" -eq 1 ] && targets+=(datumsift)
cmake --build "$build" -j"$jobs" --target "${targets[@]}" >/dev/null

work=$(mktemp -d "${BENCH_TMP:-${TMPDIR:-/tmp}}/datumsift-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
changes=$(git status --porcelain --untracked-files=no -- src 2>/dev/null | wc -l)
[ "$changes" -ne 0 ] && commit="$commit+local changes"
echo "# datumsift bench: commit $commit, Release, $(nproc) cores, load $(cut -d" " -f1-3 /proc/loadavg), $(date -u +%Y-%m-%dT%H:%MZ)"
echo "# arguments: ${*:-(none)}; best of several runs, page cache warm, peak RSS per measuring process"
if [ "$huge" -eq 1 ]; then
  files=()
  [ $# -gt 0 ] && files=(--files "$1")
  "$build/bench/datumsift_bench" huge "$work" "${files[@]}" --cli "$build/src/cli/datumsift"
else
  "$build/bench/datumsift_bench" all "$work" "$@"
fi
