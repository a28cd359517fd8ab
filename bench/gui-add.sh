#!/usr/bin/env bash
# Adding 200 files in the desktop program against probing the same files with ffprobe, and the
# time until the main window is shown. Prints both times and their ratio (program / ffprobe).
#
# Usage: bench/gui-add.sh [BUILD_DIR]   (default: build beside this folder)
# Environment: COUNT=200 files (copies of the test clips), RUNS=3 (the median is reported)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build}
count=${COUNT:-200}
runs=${RUNS:-3}
cmake --build "$build" --target orvane-gui-bench testmedia >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clips=(clip.mp4 clip.avi clip.mkv audio.mp3 clip.ts)
files=()
for ((i = 0; i < count; i++)); do
  c=${clips[$((i % ${#clips[@]}))]}
  f=$work/$(printf '%03d' "$i")_$c
  cp "$build/testmedia/$c" "$f"
  files+=("$f")
done
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ff=()
gui=()
shown=()
gap=()
for ((r = 0; r < runs; r++)); do
  t0=$(date +%s%N)
  for f in "${files[@]}"; do ffprobe -v error -show_entries format=duration -of csv=p=0 "$f" >/dev/null; done
  ff+=($((($(date +%s%N) - t0) / 1000000)))
  out=$(QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} SDL_AUDIODRIVER=dummy "$build/bench/orvane-gui-bench" "${files[@]}")
  echo "$out" | sed 's/^/  /'
  shown+=("$(echo "$out" | sed -n 's/^window shown: \([0-9]*\) ms.*/\1/p')")
  gui+=("$(echo "$out" | sed -n 's/.* skipped, \([0-9]*\) ms;.*/\1/p')")
  gap+=("$(echo "$out" | sed -n 's/.*gap \([0-9]*\) ms$/\1/p')")
done
ffm=$(printf '%s\n' "${ff[@]}" | median)
guim=$(printf '%s\n' "${gui[@]}" | median)
echo "ffprobe, $count files one after another: ${ffm} ms (median of $runs)"
echo "Add in the desktop program:            ${guim} ms (median of $runs)"
echo "ratio program / ffprobe: $(awk -v a="$guim" -v b="$ffm" 'BEGIN {printf "%.2f", a / b}')"
echo "window shown after start: $(printf '%s\n' "${shown[@]}" | median) ms (median)"
echo "longest main-thread gap while adding: $(printf '%s\n' "${gap[@]}" | sort -n | tail -1) ms (worst run)"
