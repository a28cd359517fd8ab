#!/usr/bin/env bash
# The main window's responsiveness while a 1080p clip plays in its preview panel: the longest
# gap between two ticks of a 5 ms timer on the main thread, idle (the reference) and while
# playing (with a seek by the mouse), and the time Stop takes.
#
# Usage: bench/panel-responsiveness.sh [BUILD_DIR]   (default: build beside this folder)
# Environment: SECONDS_PLAYED=20
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build}
played=${SECONDS_PLAYED:-20}
cmake --build "$build" --target orvane-panel-bench >/dev/null
media=$build/bench-media
mkdir -p "$media"
clip=$media/panel_1080p30_h264_aac.mp4
if [[ ! -f $clip ]]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=1920x1080:rate=30:duration=40" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=40" -ac 2 -c:v libx264 -preset veryfast -g 60 \
    -pix_fmt yuv420p -c:a aac -b:a 128k "$clip"
fi
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} SDL_AUDIODRIVER=dummy "$build/bench/orvane-panel-bench" "$clip" "$played"
