#!/usr/bin/env bash
# A batch of many short files converted in 4 shards, 2 at a time (GNU parallel, as a runner on
# one machine would start them), against one unsharded --jobs 2 run of the same batch: the wall
# times and their ratio (close to 1: the point is that the shards together convert exactly the
# batch, not speed on one machine), the check that both runs give the same outputs, each
# decoding cleanly, the time a resumed run of a finished batch takes per job, and the ledger's
# cost per job (orvane-ledger-bench). With SLURM=1 and a Slurm cluster answering (see
# bench/slurm-local.sh), the same batch also runs as a 4-task array job.
#
# Usage: bench/shard-bench.sh [BUILD_DIR]
#   BUILD_DIR  a Release build of this tree (default: build beside this folder)
# Environment:
#   COUNT=200   files in the batch
#   PROFILE=0   output profile
#   ROUNDS=3    timed rounds of each run (the order alternates; the medians are compared)
#   SLURM=1     also run the batch as a Slurm array job
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build}
count=${COUNT:-200}
profile=${PROFILE:-0}
[[ $count =~ ^[1-9][0-9]*$ ]] || { echo "COUNT must be a positive whole number" >&2; exit 2; }
for tool in ffmpeg parallel; do
  command -v $tool >/dev/null || { echo "shard-bench: $tool is needed (scripts/install-deps)" >&2; exit 2; }
done
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target orvane-convert orvane-ledger-bench -j2 >/dev/null
convert=$build/orvane-convert

# The work folder lies on shared storage for the Slurm run: under the build folder.
work=$(mktemp -d "$build/shard-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/config" "$work/home"
export XDG_CONFIG_HOME=$work/config HOME=$work/home

# 1 s of 160x120 MPEG-4 with AAC sound in Matroska, copied under COUNT names.
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=160x120:rate=25:duration=1 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -c:v mpeg4 -q:v 5 -c:a aac -b:a 64k \
  -fflags +bitexact "$work/src.mkv"
for ((i = 1; i <= count; i++)); do cp "$work/src.mkv" "$work/in/clip$(printf %04d "$i").mkv"; done
ls "$work"/in/*.mkv | awk '{ printf "[file%d]\nSourceFile=%s\n", NR, $0 }' > "$work/jobs.ini"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { print b - a }'; }
calc() { awk "BEGIN { print $* }"; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Wall time to NAME.times, CPU time (user + system, the processes started included) to NAME.cpu.
timed() {
  local name=$1; shift
  local t0; t0=$(now)
  /usr/bin/time -f "%U %S" -o "$work/$name.rusage" "$@"
  elapsed "$t0" "$(now)" >> "$work/$name.times"
  awk '{ print $1 + $2 }' "$work/$name.rusage" >> "$work/$name.cpu"
}
whole_run() {
  rm -rf "$work/whole"
  timed whole "$convert" -q --jobs 2 --profile "$profile" --output-dir "$work/whole" --batch "$work/jobs.ini"
}
sharded_run() {
  rm -rf "$work/shards"
  timed shards parallel --will-cite -j 2 "$convert" -q --resume --shard {}/4 --profile "$profile" \
    --output-dir "$work/shards" --batch "$work/jobs.ini" ::: 0 1 2 3
}

rounds=${ROUNDS:-3}
echo "Batch: $count files of 1 s, profile $profile, on $(nproc) cores; median of $rounds rounds, the order alternating"
for ((r = 0; r < rounds; r++)); do
  if ((r % 2 == 0)); then whole_run; sharded_run; else sharded_run; whole_run; fi
done
t2=$(now)
"$convert" -q --resume --profile "$profile" --output-dir "$work/shards" --batch "$work/jobs.ini"
t3=$(now)
whole=$(median < "$work/whole.times")
sharded=$(median < "$work/shards.times")
resumed=$(elapsed "$t2" "$t3")
wholeCpu=$(median < "$work/whole.cpu")
shardedCpu=$(median < "$work/shards.cpu")
printf 'unsharded --jobs 2:             %8.2f s wall (%s), %.2f s CPU\n' "$whole" "$(tr '\n' ' ' < "$work/whole.times")" \
  "$wholeCpu"
printf '4 shards, 2 at a time:          %8.2f s wall (%s), %.2f s CPU; ratios: wall %.3f, CPU %.3f\n' "$sharded" \
  "$(tr '\n' ' ' < "$work/shards.times")" "$shardedCpu" "$(calc "$sharded / $whole")" "$(calc "$shardedCpu / $wholeCpu")"
printf 'resumed run of the done batch:  %8.2f s   %.2f ms per job\n' "$resumed" "$(calc "$resumed * 1000 / $count")"

names() { (cd "$1" && ls -A | grep -v '^orvane-convert.ledger$' | sort); }
check() {
  local dir=$1 what=$2
  if ! diff <(names "$work/whole") <(names "$dir") >/dev/null; then
    echo "$what: the outputs differ from the unsharded run's"; return 1
  fi
  local lines bad=0
  lines=$(wc -l < "$dir/orvane-convert.ledger")
  for f in "$dir"/*_\(new*; do
    [[ -z $(ffmpeg -nostdin -v error -i "$f" -f null - 2>&1) ]] || bad=$((bad + 1))
  done
  echo "$what: $(names "$dir" | wc -l) outputs, the names of the unsharded run; $lines ledger entries; $bad decoding with errors"
  [[ $lines -eq $count && $bad -eq 0 ]]
}
check "$work/shards" "4 shards"

echo "Ledger cost per job:"
"$build/bench/orvane-ledger-bench" "$work" 1000 | sed 's/^/  /'

if [[ ${SLURM:-0} == 1 ]]; then
  if ! sinfo -h >/dev/null 2>&1; then
    echo "Slurm: no cluster answers (start one with bench/slurm-local.sh start)"
  else
    cat > "$work/convert.sbatch" <<SBATCH
#!/bin/bash
#SBATCH --array=0-3
#SBATCH --cpus-per-task=1
#SBATCH --output=$work/slurm-%a.out
export XDG_CONFIG_HOME=$work/config HOME=$work/home
exec "$convert" -v --json --resume --profile $profile --output-dir "$work/slurm" --batch "$work/jobs.ini"
SBATCH
    t4=$(now)
    sbatch --wait --quiet "$work/convert.sbatch"
    t5=$(now)
    slurm=$(elapsed "$t4" "$t5")
    printf 'Slurm array of 4 tasks:         %8.2f s   ratio %.3f\n' "$slurm" "$(calc "$slurm / $whole")"
    grep -ho 'shard [0-9] of 4 (index from [A-Z_]*' "$work"/slurm-*.out | sort | sed 's/^/  /'
    check "$work/slurm" "Slurm"
  fi
fi
