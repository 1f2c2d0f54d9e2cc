#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each in turn for SECONDS
# (default 60), at the lowest priority.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Targets: volume_header fsinfo bitmap descriptor dirent mbr datastore (all
# when none is named). Seeds are made by the builder into fuzz-out/seeds;
# what each run finds stays in fuzz-out/corpus/<target> for the next run,
# crashing or hanging inputs go to fuzz-out/crashes/<target>, and the full
# output to fuzz-out/logs/<target>.log. A crash found ends the script with
# status 1: copy the input to tests/hostile/inputs/<target>/ once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(volume_header fsinfo bitmap descriptor dirent mbr datastore)
fi
build=${FUZZ_BUILD_DIR:-build-fuzz}
out=${FUZZ_OUT_DIR:-fuzz-out}

scripts/setup-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDATUMSIFT_FUZZ=ON -DDATUMSIFT_GUI=OFF -DDATUMSIFT_TESTS=OFF >/dev/null
nice -n 19 cmake --build "$build" -j"$(nproc)" --target make_seeds $(printf 'fuzz_%s ' "${targets[@]}")
mkdir -p "$out/seeds" "$out/logs"
"$build/fuzz/make_seeds" "$out/seeds"

# Longest input worth mutating: the record each parser reads, a bitmap
# file's header plus its first entries, a boot record, a few patches.
max_len() {
  case "$1" in
    volume_header) echo 1024 ;;
    fsinfo) echo 512 ;;
    bitmap) echo 131072 ;;
    descriptor) echo 2048 ;;
    dirent) echo 140 ;;
    mbr) echo 512 ;;
    *) echo 16384 ;;
  esac
}

found=0
for t in "${targets[@]}"; do
  mkdir -p "$out/corpus/$t" "$out/crashes/$t"
  log="$out/logs/$t.log"
  echo "== $t: ${seconds}s"
  # -timeout: an input that runs this long is a hang, kept like a crash.
  set +e
  nice -n 19 "$build/fuzz/fuzz_$t" "$out/corpus/$t" "$out/seeds/$t" \
    -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=25 -rss_limit_mb=4096 \
    -artifact_prefix="$out/crashes/$t/" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
  if [ $rc -ne 0 ]; then
    found=1
    echo "!! $t stopped with status $rc; see $log and $out/crashes/$t/"
    grep -E '^==[0-9]+==ERROR|^SUMMARY|ALARM|Test unit written' "$log" | head -5 || true
  fi
done
exit $found
