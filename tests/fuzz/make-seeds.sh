#!/usr/bin/env bash
# The fuzzers' seed corpus: the checked-in INI, batch and argument seeds, the program's own
# profile file, and small test clips (the first 32 KB of larger ones) for the probe.
# Usage: make-seeds.sh SOURCE_DIR MEDIA_DIR OUT_DIR
set -euo pipefail
src=${1:?usage: make-seeds.sh SOURCE_DIR MEDIA_DIR OUT_DIR}
media=${2:?}
out=${3:?}
rm -rf "$out"
mkdir -p "$out"/{ini,batch,args,probe}
cp "$src"/tests/fuzz/seeds/ini/* "$src"/data/orvanepspformat.ini "$out/ini/"
cp "$src"/tests/fuzz/seeds/batch/* "$out/batch/"
# A batch file is an INI file too.
cp "$src"/tests/fuzz/seeds/batch/* "$out/ini/"
cp "$src"/tests/fuzz/seeds/args/* "$out/args/"
# Whole small clips: MP4, Matroska and MP3 with the odd cases the tests use (no streams,
# subtitles only, rotation, anamorphic pixels, an unknown codec, cover art, 10-bit colour).
for f in no_streams.mp4 subtitles_only.mkv bars709_420.mp4 bars709_10bit.mp4 anamorphic_gray.mp4 tiny_1x1.mp4 \
         cover_art.mp3 ntsc_16x9.mkv rotated.mp4 unknown_codec.mp4 no_audio_packets.mkv; do
  cp "$media/$f" "$out/probe/"
done
# The head of the other containers: transport stream with programs, AVI, MPEG program
# stream, WAV, MP3 without header, Matroska with subtitles, MP4 with timed text.
for f in lang.ts clip.avi pal_720x576.mpg audio.wav vbr_noheader.mp3 subtitles.mkv subtitles_movtext.mp4; do
  head -c 32768 "$media/$f" > "$out/probe/head-$f"
done
