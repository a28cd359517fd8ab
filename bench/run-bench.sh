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
#   JOBS="a b c d r s p h w x y" which jobs to run
#   KEEP=1           keep the outputs of the last run in BUILD_DIR/bench-out
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
runs=${RUNS:-3}
jobs=${JOBS:-a b c d r s p h w x y}
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
cmake --build "$build" --target orvane-bench orvane-convert -j2 >/dev/null
cli=$build/orvane-convert

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

# The picture watermark of the command-line jobs, and the font ffmpeg's drawtext uses for the
# text (the command line draws with the system's default sans-serif face, DejaVu Sans here).
logo=$media/logo.png
[[ -s $logo ]] || ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc=size=200x80:rate=1" \
  -frames:v 1 "$logo"
font=$(fc-match -f '%{file}' sans-serif 2>/dev/null || true)
[[ -f $font ]] || font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf

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

# The command-line jobs: orvane-convert with a profile and the per-file settings, against the
# ffmpeg command with the profile's options and the closest filter chain.
# Profile 1 (PSP MPEG-4 normal quality): 320x180 in a 320x240 frame, 29.97 fps, 512k / 96k.
ff_p1=(-c:v mpeg4 -b:v 512k -r 29.97 -aspect 16:9 -c:a aac -ac 2 -ar 48000 -b:a 96k -f psp)
ff_fit1="scale=320:180,pad=320:240:0:30"
# Profile 102 (PS3 MPEG-4 720p): 1280x720, 29.97 fps, 4000k / 192k.
ff_p102=(-c:v mpeg4 -b:v 4000k -r 29.97 -aspect 16:9 -c:a aac -ac 2 -ar 48000 -b:a 192k -f mp4)
ff_fit102="pad=1280:720:0:0"
# The full hook: brightness 300 (a lookup per byte; ffmpeg: lutrgb on bgr24), the text "Hello"
# (26 pt = 35 px, blue, at 10,10) and the picture at 10,10; ffmpeg: drawtext and overlay.
hook_args=(--brightness 300 --text Hello --image "$logo")
ff_hook="format=bgr24,lutrgb=r='val*300/256':g='val*300/256':b='val*300/256',drawtext=fontfile=$font:text=Hello:x=10:y=10:fontsize=35:fontcolor=0x0000FF[t];[t][1:v]overlay=10:10,format=yuv420p"
# (p) profile 1, nothing drawn.
eng_p=(--profile 1)
ff_p=(-vf "$ff_fit1" "${ff_p1[@]}")
# (h) profile 1 with the full hook.
eng_h=(--profile 1 "${hook_args[@]}")
ff_h=(-i "$logo" -filter_complex "[0:v]$ff_hook,$ff_fit1[v]" -map "[v]" -map 0:a "${ff_p1[@]}")
# (w) profile 1 with the picture shown 2 s of the 60 (seconds 10 and 11); ffmpeg: overlay
# with enable= on the YUV picture.
eng_w=(--profile 1 --image "$logo" --wm-time 10,11)
ff_w=(-i "$logo" -filter_complex "[0:v][1:v]overlay=10:10:enable='between(t,10,12)',$ff_fit1[v]" -map "[v]" -map 0:a
      "${ff_p1[@]}")
# (x) profile 102, nothing drawn; (y) profile 102 with the full hook.
eng_x=(--profile 102)
ff_x=(-vf "$ff_fit102" "${ff_p102[@]}")
eng_y=(--profile 102 "${hook_args[@]}")
ff_y=(-i "$logo" -filter_complex "[0:v]$ff_hook,$ff_fit102[v]" -map "[v]" -map 0:a "${ff_p102[@]}")
declare -A cli_job=([p]=1 [h]=1 [w]=1 [x]=1 [y]=1)

declare -A ext=([a]=mp4 [b]=mp4 [c]=mkv [d]=mp4 [r]=mp4 [s]=mp4 [p]=mp4 [h]=mp4 [w]=mp4 [x]=mp4 [y]=mp4)
declare -A title=(
  [a]="MPEG-4 video (mpeg4) 2000k + AAC 128k, MP4"
  [b]="H.264 (libx264-mp4 settings) 1200k + AAC 128k, MP4"
  [c]="stream copy to MKV"
  [d]="job a + colour lookup on every pixel (engine: OnCustomHook; ffmpeg: lutrgb on bgr24)"
  [r]="job a + BGR round trip without drawing (engine: empty OnCustomHook; ffmpeg: format=bgr24)"
  [s]="job a scaled to 640x360"
  [p]="command line, profile 1 (PSP MPEG-4 320x240), nothing drawn"
  [h]="command line, profile 1 + --brightness 300 --text Hello --image logo.png (ffmpeg: lutrgb, drawtext, overlay on bgr24)"
  [w]="command line, profile 1 + picture shown 2 s of 60 (ffmpeg: overlay with enable=)"
  [x]="command line, profile 102 (PS3 MPEG-4 720p), nothing drawn"
  [y]="command line, profile 102 + --brightness 300 --text Hello --image logo.png (ffmpeg: lutrgb, drawtext, overlay on bgr24)"
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
  # The command line names its output itself: it writes into a folder of its own, from where
  # the file is moved after the run. Its settings live in a home folder of the benchmark's.
  e_dir=
  e_cmd=("$driver" "${e_args[@]}" "$src" "$eo")
  if [[ -n ${cli_job[$job]:-} ]]; then
    e_dir=$out/cli_$job
    e_cmd=(env HOME="$out/home" "$cli" -q "${e_args[@]}" --output-dir "$e_dir" "$src")
  fi
  : >"$out/e_$job.txt"
  : >"$out/f_$job.txt"
  for ((r = 1; r <= runs; ++r)); do
    rm -rf "$eo" "$fo" "${e_dir:-$out/none}"
    if ((r % 2)); then
      measure "$out/e_$job.txt" "${e_cmd[@]}"
      measure "$out/f_$job.txt" "${ffq[@]}" "${f_args[@]}" "$fo"
    else
      measure "$out/f_$job.txt" "${ffq[@]}" "${f_args[@]}" "$fo"
      measure "$out/e_$job.txt" "${e_cmd[@]}"
    fi
    [[ -z ${cli_job[$job]:-} ]] || mv "$e_dir"/*.mp4 "$eo"
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
for pair in r:a d:a h:p w:p y:x; do
  job=${pair%:*} base=${pair#*:}
  if [[ -n ${e_wall[$base]:-} && -n ${e_wall[$job]:-} ]]; then
    printf 'Job %s / job %s: wall time engine %s, ffmpeg %s; CPU time engine %s, ffmpeg %s\n' "$job" "$base" \
      "$(ratio "${e_wall[$job]}" "${e_wall[$base]}")" "$(ratio "${f_wall[$job]}" "${f_wall[$base]}")" \
      "$(ratio "${e_cpu[$job]}" "${e_cpu[$base]}")" "$(ratio "${f_cpu[$job]}" "${f_cpu[$base]}")"
  fi
done
# The hook's goals: a watermark shown 2 s of 60 costs at most 1.05 x the plain job (w / p);
# the full hooked job at most 0.75 x the ffmpeg command's chain (h and y, engine / ffmpeg)
# and at most 1.25 x the plain job on the 720p profile (y / x). CPU time, the steadier figure
# on a shared machine.
goal() {
  local label=$1 value=$2 limit=$3
  [[ -n $value && $value != n/a ]] || return 0
  printf '  %-58s %s (goal <= %s: %s)\n' "$label" "$value" "$limit" \
    "$(awk -v v="$value" -v l="$limit" 'BEGIN { print (v <= l) ? "met" : "NOT met" }')"
}
if [[ -n ${e_cpu[w]:-}${e_cpu[h]:-}${e_cpu[y]:-} ]]; then
  echo "Hook goals (median CPU time):"
  [[ -z ${e_cpu[w]:-} || -z ${e_cpu[p]:-} ]] || goal "w / p (watermark 2 s of 60 / plain), engine" "$(ratio "${e_cpu[w]}" "${e_cpu[p]}")" 1.05
  [[ -z ${e_cpu[h]:-} ]] || goal "h engine / h ffmpeg (profile 1, full hook)" "$(ratio "${e_cpu[h]}" "${f_cpu[h]}")" 0.75
  [[ -z ${e_cpu[y]:-} ]] || goal "y engine / y ffmpeg (profile 102, full hook)" "$(ratio "${e_cpu[y]}" "${f_cpu[y]}")" 0.75
  [[ -z ${e_cpu[y]:-} || -z ${e_cpu[x]:-} ]] || goal "y / x (profile 102: full hook / plain), engine" "$(ratio "${e_cpu[y]}" "${e_cpu[x]}")" 1.25
  [[ -z ${e_cpu[h]:-} || -z ${e_cpu[p]:-} ]] || goal "h / p (profile 1: full hook / plain), engine" "$(ratio "${e_cpu[h]}" "${e_cpu[p]}")" 1.25
fi
# The floor under the hooked jobs' goal against ffmpeg: our plain job, with no hook work at all,
# against ffmpeg's hooked chain. Both sides run the same codecs with the same settings, so no
# hook can bring a hooked job below this ratio.
if [[ -n ${e_cpu[y]:-} && -n ${e_cpu[x]:-} ]]; then
  printf '  %-58s %s
' "floor: x engine (no hook) / y ffmpeg" "$(ratio "${e_cpu[x]}" "${f_cpu[y]}")"
fi
if [[ -n ${e_cpu[h]:-} && -n ${e_cpu[p]:-} ]]; then
  printf '  %-58s %s
' "floor: p engine (no hook) / h ffmpeg" "$(ratio "${e_cpu[p]}" "${f_cpu[h]}")"
fi
