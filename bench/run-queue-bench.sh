#!/usr/bin/env bash
# Queues many small files in one engine run (bench/orvane-bench-queue) with the usual soft
# open-file limit of 1,024, prints the memory the queue holds before the first task starts and
# whether every file converted.
#
# Usage: bench/run-queue-bench.sh [BUILD_DIR]
#   BUILD_DIR  where the driver is built (Release; default: build-bench beside this folder)
# Environment:
#   COUNT=1000       files to queue
#   CODECS="mpeg4 aac"  encoders of the outputs (default: stream copy)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
count=${COUNT:-1000}
[[ $count =~ ^[1-9][0-9]*$ ]] || { echo "COUNT must be a positive whole number" >&2; exit 2; }
command -v ffmpeg >/dev/null || { echo "run-queue-bench: ffmpeg is needed" >&2; exit 2; }

driver=$build/bench/orvane-bench-queue
if [[ ! -f $build/CMakeCache.txt ]]; then
  echo "Configuring $build ..."
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_GUI=OFF >/dev/null
fi
cmake --build "$build" --target orvane-bench-queue -j2 >/dev/null

# A small source: 0.4 s of 160x120 MPEG-4 with AAC sound in Matroska.
media=$build/bench-media
src=$media/small_0.4s.mkv
if [[ ! -s $src ]]; then
  mkdir -p "$media"
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=160x120:rate=25:duration=0.4" \
    -f lavfi -i "sine=frequency=440:duration=0.4" -c:v mpeg4 -c:a aac \
    -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1 "$src.part.mkv"
  mv "$src.part.mkv" "$src"
fi

out=$build/bench-queue-out
rm -rf "$out"
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT
# shellcheck disable=SC2086
"$driver" "$count" "$src" "$out" ${CODECS:-}
