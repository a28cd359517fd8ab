#!/usr/bin/env bash
# The same files and profile converted by the desktop program (Start on the real main window,
# driven by orvane-gui-run-bench) and by the command line orvane-convert. Prints the median
# wall times, their ratio (desktop / command line, goal at most 1.03) and the longest stall of
# the desktop program's main thread during its runs (goal at most 50 ms).
#
# Usage: bench/gui-run.sh [BUILD_DIR]   (default: build beside this folder)
# Environment: COUNT=3 copies of CLIP=long.mp4 (120 s 320x240), RUNS=3, PROFILE (number; default
# the settings' profile 1)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build}
count=${COUNT:-3}
runs=${RUNS:-3}
clip=${CLIP:-long.mp4}
cmake --build "$build" --target orvane-gui-run-bench orvane-convert testmedia >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/cfg QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} SDL_AUDIODRIVER=dummy
mkdir -p "$XDG_CONFIG_HOME/orvane-video-converter" "$work/in"
ini=$XDG_CONFIG_HOME/orvane-video-converter/orvanepspvideoconverter.ini
files=()
for ((i = 0; i < count; i++)); do
  f=$work/in/$(printf '%02d' "$i")_$clip
  cp "$build/testmedia/$clip" "$f"
  files+=("$f")
done
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
gui=()
cli=()
gap=()
ev=()
for ((r = 0; r < runs; r++)); do
  rm -rf "$work/out" && mkdir -p "$work/out"
  printf '[settings]\nOutPutDir=%s\nFormatCode=%s\n' "$work/out" "${PROFILE:-1}" >"$ini"
  t0=$(date +%s%N)
  "$build/orvane-convert" -q --output-dir "$work/out" "${files[@]}"
  cli+=($((($(date +%s%N) - t0) / 1000000)))
  rm -rf "$work/out" && mkdir -p "$work/out"
  out=$("$build/bench/orvane-gui-run-bench" "${files[@]}")
  echo "$out" | sed 's/^/  /'
  gui+=("$(echo "$out" | sed -n 's/.* ms, \([0-9]*\) ms;.*/\1/p')")
  gap+=("$(echo "$out" | sed -n 's/.*gap \([0-9]*\) ms$/\1/p')")
  ev+=("$(echo "$out" | sed -n 's/^longest event.*: \([0-9.]*\) ms wall, \([0-9.]*\) ms CPU$/\1 \2/p')")
done
clim=$(printf '%s\n' "${cli[@]}" | median)
guim=$(printf '%s\n' "${gui[@]}" | median)
echo "command line, $count x $clip: ${clim} ms (median of $runs, whole process)"
echo "desktop program, Start to end: ${guim} ms (median of $runs)"
echo "ratio desktop / command line: $(awk -v a="$guim" -v b="$clim" 'BEGIN {printf "%.3f", a / b}')"
echo "longest main-thread stall during the runs: $(printf '%s\n' "${gap[@]}" | sort -n | tail -1) ms (worst run; includes waiting for a processor)"
echo "longest single main-thread event (wall ms, CPU ms): $(printf '%s\n' "${ev[@]}" | sort -n | tail -1) (worst run)"
