#!/usr/bin/env bash
# Runs the same conversions through the engine (bench/orvane-bench) and through the ffmpeg
# command, alternating, and prints the median wall time and peak memory of each side and their
# ratios (engine / ffmpeg).
#
# Usage: bench/run-bench.sh [BUILD_DIR]
#   BUILD_DIR  where the driver is built (Release) and the source clip is kept
#              (default: build-bench beside this folder)
# Environment:
#   RUNS=3           runs per side and job
#   JOBS="a b c d r s" which jobs to run
#   KEEP=1           keep the outputs of the last run in BUILD_DIR/bench-out
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
runs=${RUNS:-3}
jobs=${JOBS:-a b c d r s}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "RUNS must be a positive whole number" >&2; exit 2; }
for tool in ffmpeg ffprobe cmake /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "run-bench: $tool is needed" >&2; exit 2; }
done

# The driver, optimised: its own build folder without the test suite (brought up to date on
# every run).
driver=$build/bench/orvane-bench
if [[ ! -f $build/CMakeCache.txt ]]; then
  echo "Configuring $build ..."
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_GUI=OFF >/dev/null
fi
cmake --build "$build" --target orvane-bench -j2 >/dev/null

# The source: 60 s of 1280x720 25 fps H.264 with 48 kHz stereo AAC, made once.
media=$build/bench-media
src=$media/source_720p_60s.mp4
if [[ ! -s $src ]]; then
  echo "Making the 60 s 720p source clip ..."
  mkdir -p "$media"
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=60" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" -ac 2 \
    -c:v libx264 -preset veryfast -crf 20 -g 250 -pix_fmt yuv420p -c:a aac -b:a 128k \
    -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1 -f mp4 "$src.part"
  mv "$src.part" "$src"
fi

out=$build/bench-out
rm -rf "$out"
mkdir -p "$out"
trap '[[ -n ${KEEP:-} ]] || rm -rf "$out"' EXIT

ffq=(ffmpeg -nostdin -hide_banner -loglevel error -nostats -y -i "$src")
lut=$("$driver" --lut-filter)

# (a) MPEG-4 video (mpeg4) + AAC in MP4, the same bit rates on both sides.
eng_a=(--vcodec mpeg4 --vb 2000000 --acodec aac --ab 128000)
ff_a=(-c:v mpeg4 -b:v 2000k -c:a aac -b:a 128k)
# (b) H.264 + AAC in MP4 with the built-in "libx264-mp4" preset and the bit rates of the
# general H.264 profile; ffmpeg gets the same encoder settings in modern option names (the
# outputs' encoder settings strings are compared below).
eng_b=(--vcodec libx264 --vpre libx264-mp4 --vb 1200000 --acodec aac --ab 128000)
ff_b=(-c:v libx264 -b:v 1200k -coder 1 -flags +loop -level 30 -x264-params chroma-me=1
      -partitions i4x4,i8x8,p8x8,b8x8 -motion-est umh -subq 7 -me_range 16 -g 250 -keyint_min 25
      -sc_threshold 40 -i_qfactor 0.71 -b_strategy 1 -qcomp 0.6 -qmin 10 -qmax 51 -qdiff 4 -bf 3
      -refs 1 -direct-pred 1 -trellis 2 -maxrate 1500k -bufsize 4000k -bt 256k -c:a aac -b:a 128k)
# (c) Stream copy into Matroska.
eng_c=(--vcodec copy --acodec copy)
ff_c=(-c copy)
# (d) Job (a) with the picture hook doing a colour lookup on every pixel of the BGR picture;
# ffmpeg does the same lookup with lutrgb on a 24-bit BGR picture (converted there and back
# to the encoder's YUV 4:2:0, as the engine does).
eng_d=("${eng_a[@]}" --hook)
ff_d=(-vf "format=bgr24,$lut" -pix_fmt yuv420p "${ff_a[@]}")
# (r) Job (a) with the picture taken to 24-bit BGR and back but left unchanged: the cost of
# the round trip alone (engine: a hook that does nothing; ffmpeg: format=bgr24 and back).
eng_r=("${eng_a[@]}" --hook-mode touch)
ff_r=(-vf format=bgr24 -pix_fmt yuv420p "${ff_a[@]}")
# (s) Job (a) scaled to 640x360, as the output profiles do (bicubic on both sides).
eng_s=(--size 640x360 "${eng_a[@]}")
ff_s=(-s 640x360 "${ff_a[@]}")

declare -A ext=([a]=mp4 [b]=mp4 [c]=mkv [d]=mp4 [r]=mp4 [s]=mp4)
declare -A title=(
  [a]="MPEG-4 video (mpeg4) 2000k + AAC 128k, MP4"
  [b]="H.264 (libx264-mp4 settings) 1200k + AAC 128k, MP4"
  [c]="stream copy to MKV"
  [d]="job a + colour lookup on every pixel (engine: OnCustomHook; ffmpeg: lutrgb on bgr24)"
  [r]="job a + BGR round trip without drawing (engine: empty OnCustomHook; ffmpeg: format=bgr24)"
  [s]="job a scaled to 640x360"
)

# Runs a command under /usr/bin/time; appends "wall-seconds peak-KiB cpu-seconds" to the file
# named first (wall time from the shell's microsecond clock, CPU time user + system).
measure() {
  local record=$1 log=$out/last.log start end
  shift
  start=$EPOCHREALTIME
  if ! /usr/bin/time -f "%M %U %S" -o "$out/time.txt" "$@" >"$log" 2>&1; then
    echo "run-bench: this command failed:" >&2
    printf ' %q' "$@" >&2
    echo >&2
    cat "$log" >&2
    exit 1
  fi
  end=$EPOCHREALTIME
  tail -n 1 "$out/time.txt" | awk -v s="$start" -v e="$end" '{ printf "%.3f %d %.2f\n", e - s, $1, $2 + $3 }' >>"$record"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }'; }

# What an output holds, for a check that both sides made the same thing.
describe() {
  ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate,channels \
    -show_entries format=duration -of compact=p=0:nk=1 "$1" | tr '\n' ' '
}

echo "Source: $src ($(describe "$src"))"
echo "Runs per side: $runs, alternating (engine first in odd rounds, ffmpeg first in even ones)"
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo

declare -A e_wall e_mem e_cpu f_wall f_mem f_cpu
for job in $jobs; do
  [[ -n ${title[$job]:-} ]] || { echo "run-bench: unknown job $job" >&2; exit 2; }
  e_name=eng_$job[@]
  f_name=ff_$job[@]
  e_args=("${!e_name}")
  f_args=("${!f_name}")
  eo=$out/engine_$job.${ext[$job]}
  fo=$out/ffmpeg_$job.${ext[$job]}
  : >"$out/e_$job.txt"
  : >"$out/f_$job.txt"
  for ((r = 1; r <= runs; ++r)); do
    rm -f "$eo" "$fo"
    if ((r % 2)); then
      measure "$out/e_$job.txt" "$driver" "${e_args[@]}" "$src" "$eo"
      measure "$out/f_$job.txt" "${ffq[@]}" "${f_args[@]}" "$fo"
    else
      measure "$out/f_$job.txt" "${ffq[@]}" "${f_args[@]}" "$fo"
      measure "$out/e_$job.txt" "$driver" "${e_args[@]}" "$src" "$eo"
    fi
  done
  for side in e f; do
    for col in 1 2 3; do
      v=$(cut -d' ' -f$col "$out/${side}_$job.txt" | median)
      case $side$col in
        e1) e_wall[$job]=$v ;; e2) e_mem[$job]=$v ;; e3) e_cpu[$job]=$v ;;
        f1) f_wall[$job]=$v ;; f2) f_mem[$job]=$v ;; f3) f_cpu[$job]=$v ;;
      esac
    done
  done

  echo "Job $job: ${title[$job]}"
  echo "  engine  output: $(describe "$eo") $(stat -c %s "$eo") bytes"
  echo "  ffmpeg  output: $(describe "$fo") $(stat -c %s "$fo") bytes"
  if [[ $job == b ]]; then
    es=$(grep -a -m1 -o 'options: [ -~]*' "$eo" || true)
    fs=$(grep -a -m1 -o 'options: [ -~]*' "$fo" || true)
    if [[ -n $es && $es == "$fs" ]]; then echo "  H.264 encoder settings: identical on both sides"
    else echo "  H.264 encoder settings DIFFER:"; echo "    engine: $es"; echo "    ffmpeg: $fs"; fi
  fi
  if [[ $job != c ]]; then
    psnr=$(ffmpeg -nostdin -hide_banner -i "$eo" -i "$fo" -lavfi "[0:v][1:v]psnr" -f null - 2>&1 |
      grep -o 'average:[0-9.inf]*' | tail -n 1 || true)
    echo "  pictures of the two outputs agree: PSNR ${psnr:-unknown} dB"
  fi
  printf '  runs (wall s, KiB, CPU s)  engine: %s\n' "$(tr '\n' ';' <"$out/e_$job.txt" | sed 's/;$//; s/;/; /g')"
  printf '                             ffmpeg: %s\n' "$(tr '\n' ';' <"$out/f_$job.txt" | sed 's/;$//; s/;/; /g')"
  printf '  median wall: engine %.3f s, ffmpeg %.3f s, ratio %s\n' "${e_wall[$job]}" "${f_wall[$job]}" \
    "$(ratio "${e_wall[$job]}" "${f_wall[$job]}")"
  printf '  median CPU (user+sys): engine %.2f s, ffmpeg %.2f s, ratio %s\n' "${e_cpu[$job]}" "${f_cpu[$job]}" \
    "$(ratio "${e_cpu[$job]}" "${f_cpu[$job]}")"
  printf '  median peak RSS: engine %d KiB, ffmpeg %d KiB, ratio %s\n' "${e_mem[$job]}" "${f_mem[$job]}" \
    "$(ratio "${e_mem[$job]}" "${f_mem[$job]}")"
  echo
done

# What the picture hook adds to the plain job, on each side.
for job in r d; do
  if [[ -n ${e_wall[a]:-} && -n ${e_wall[$job]:-} ]]; then
    printf 'Job %s / job a: wall time engine %s, ffmpeg %s; CPU time engine %s, ffmpeg %s\n' "$job" \
      "$(ratio "${e_wall[$job]}" "${e_wall[a]}")" "$(ratio "${f_wall[$job]}" "${f_wall[a]}")" \
      "$(ratio "${e_cpu[$job]}" "${e_cpu[a]}")" "$(ratio "${f_cpu[$job]}" "${f_cpu[a]}")"
  fi
done
