#!/usr/bin/env bash
# Makes the small deterministic clips the tests use, with the ffmpeg command and its
# lavfi test sources. Usage: make-media.sh OUTDIR
set -euo pipefail
out=${1:?usage: make-media.sh OUTDIR}
mkdir -p "$out"
cd "$out"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
# Bit-exact output across runs: no encoder tag with a version, fixed seeds.
common=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)

vsrc="testsrc2=size=320x240:rate=25:duration=10"
asrc="sine=frequency=440:sample_rate=44100:duration=10"

# 10 s 320x240 25 fps with 44.1 kHz stereo tone, in four containers.
ff -f lavfi -i "$vsrc" -f lavfi -i "$asrc" -ac 2 -c:v mpeg4 -q:v 4 -g 25 -c:a libmp3lame -b:a 128k "${common[@]}" clip.avi
ff -f lavfi -i "$vsrc" -f lavfi -i "$asrc" -ac 2 -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac -b:a 128k "${common[@]}" clip.mp4
ff -f lavfi -i "$vsrc" -f lavfi -i "$asrc" -ac 2 -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a libvorbis "${common[@]}" clip.mkv
ff -f lavfi -i "$vsrc" -f lavfi -i "$asrc" -ac 2 -c:v mpeg2video -q:v 4 -g 12 -c:a mp2 -b:a 192k "${common[@]}" clip.ts

# Video only, audio only.
ff -f lavfi -i "$vsrc" -c:v mpeg4 -q:v 4 -g 25 "${common[@]}" video_only.mp4
ff -f lavfi -i "$asrc" -ac 2 -c:a libmp3lame -b:a 128k "${common[@]}" audio.mp3
ff -f lavfi -i "$asrc" -ac 2 -c:a pcm_s16le "${common[@]}" audio.wav

# 720x576 with sample aspect 16:15 (PAL 4:3).
ff -f lavfi -i "testsrc2=size=720x576:rate=25:duration=4" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
   -vf setsar=16/15 -c:v mpeg2video -q:v 4 -c:a mp2 -ac 2 "${common[@]}" pal_720x576.mpg

# Two audio streams (440 Hz English, 880 Hz German).
ff -f lavfi -i "$vsrc" -f lavfi -i "$asrc" -f lavfi -i "sine=frequency=880:sample_rate=44100:duration=10" \
   -map 0:v -map 1:a -map 2:a -ac 2 -c:v mpeg4 -q:v 4 -c:a aac -b:a 96k \
   -metadata:s:a:0 language=eng -metadata:s:a:1 language=ger "${common[@]}" two_audio.mkv

# 48 kHz mono.
ff -f lavfi -i "$vsrc" -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=10" -ac 1 \
   -c:v mpeg4 -q:v 4 -c:a aac -b:a 64k "${common[@]}" mono48k.mp4

# Odd picture size.
# (The test source makes even sizes only: the odd size comes from the scaler.)
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=4" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=4" \
   -vf scale=321:241 -ac 2 -c:v libx264 -preset veryfast -pix_fmt yuv444p -c:a aac "${common[@]}" odd_321x241.mkv

# Subtitle stream (SubRip in Matroska).
cat > subs.srt <<'SRT'
1
00:00:01,000 --> 00:00:03,000
First line

2
00:00:05,000 --> 00:00:07,000
Second line
SRT
ff -f lavfi -i "$vsrc" -f lavfi -i "$asrc" -i subs.srt -map 0:v -map 1:a -map 2:s -ac 2 \
   -c:v mpeg4 -q:v 4 -c:a aac -c:s srt "${common[@]}" subtitles.mkv
rm -f subs.srt

# Text subtitles with markup, at 0.5-2.5 s over 3 s of picture without sound: an ASS script
# in Matroska (override blocks, a comma in the text, hard line break and space) and SubRip
# with an italic tag turned into mov_text in MP4.
cat > styled.ass <<'ASS'
[Script Info]
ScriptType: v4.00+
PlayResX: 320
PlayResY: 240

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Default,Sans,20,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
Dialogue: 0,0:00:00.50,0:00:02.50,Default,,0,0,0,,{\i1}Styled{\i0}, with commas\Nsecond\hrow
ASS
printf '1\n00:00:00,500 --> 00:00:02,500\n<i>Tagged</i> text\nover two lines\n' > tagged.srt
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=3" -i styled.ass -map 0:v -map 1:s \
   -c:v mpeg4 -q:v 4 -c:s ass "${common[@]}" subtitles_ass.mkv
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=3" -i tagged.srt -map 0:v -map 1:s \
   -c:v mpeg4 -q:v 4 -c:s mov_text "${common[@]}" subtitles_movtext.mp4
rm -f styled.ass tagged.srt

# Text subtitles that overlap over 3 s of picture: a sign at 0.5-2.5 s, a spoken line at
# 1.0-1.5 s and another at 1.8-2.2 s. The pictures are reordered (B-frames), with a key
# picture every 0.48 s.
printf '1\n00:00:00,500 --> 00:00:02,500\nSign\n\n2\n00:00:01,000 --> 00:00:01,500\nSpoken one\n\n3\n00:00:01,800 --> 00:00:02,200\nSpoken two\n' > overlap.srt
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=3" -i overlap.srt -map 0:v -map 1:s \
   -c:v libx264 -preset veryfast -bf 2 -g 12 -keyint_min 12 -sc_threshold 0 -pix_fmt yuv420p -c:s srt \
   "${common[@]}" subtitles_overlap.mkv
rm -f overlap.srt

# A non-ASCII name with spaces (a copy of the MP4 clip).
cp clip.mp4 "vidéo ünïcode 片.mp4"

# A truncated file (the first 40% of the AVI, index lost) and random bytes.
size=$(stat -c %s clip.avi)
head -c $((size * 2 / 5)) clip.avi > truncated.avi
# Seeded "random" bytes so failures reproduce.
python3 -c 'import random; r = random.Random(1234); open("random.bin", "wb").write(bytes(r.getrandbits(8) for _ in range(200000)))' \
  || head -c 200000 /dev/urandom > random.bin

# Container aspect 16:9 over a 1:1 bitstream (PAR/DAR differ), 29.97 fps, file metadata and
# a stream language (probe information text).
ff -f lavfi -i "testsrc2=size=320x240:rate=30000/1001:duration=1" -c:v libx264 -preset veryfast -pix_fmt yuv420p \
   "${common[@]}" ntsc_tmp.mp4
ff -i ntsc_tmp.mp4 -c copy -aspect 16:9 -metadata title="Probe Title" -metadata artist="Probe Artist" \
   -metadata creation_time=2020-01-02T03:04:05Z \
   -metadata:s:v:0 language=fre "${common[@]}" ntsc_16x9.mkv
rm -f ntsc_tmp.mp4
# One second of the transport stream with a named service and an audio language only.
ff -i clip.ts -t 1 -map 0 -c copy -metadata service_name=Orvane -metadata service_provider=Tests \
   -metadata:s:a:0 language=eng "${common[@]}" lang.ts

# Two minutes at 320x240 and 10 fps: a conversion that lasts long enough to be watched and
# stopped half-way (command-line progress and stop tests).
ff -f lavfi -i "testsrc2=size=320x240:rate=10:duration=120" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=120" \
   -ac 2 -c:v mpeg4 -q:v 8 -g 50 -c:a aac -b:a 48k "${common[@]}" long.mp4

# A transport stream whose picture size changes half-way (320x240, then 352x288).
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=2" -c:v mpeg2video -q:v 4 "${common[@]}" size_a.ts
ff -f lavfi -i "testsrc2=size=352x288:rate=25:duration=2" -c:v mpeg2video -q:v 4 -output_ts_offset 2 "${common[@]}" size_b.ts
cat size_a.ts size_b.ts > size_change.ts
rm -f size_a.ts size_b.ts

# Still colour bars at 16:9 (384x216), 4 s: frames whose pixels are known at every moment, for
# checking picture adjustments, watermarks, crops and letterbox bands in converted output.
ff -f lavfi -i "smptebars=size=384x216:rate=25:duration=4" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=4" \
   -ac 2 -c:v mpeg4 -q:v 2 -g 25 -c:a aac -b:a 96k "${common[@]}" bars_16x9.mp4

# Colour bars coded with the BT.709 matrix and tagged so (160x120, 0.5 s, no sound): limited
# 4:2:0, the 4:4:4, 4:2:2 and 10-bit formats some cameras and editors write, and full range.
for v in "420 yuv420p tv" "444 yuv444p tv" "422 yuv422p tv" "10bit yuv420p10le tv" "full yuv420p pc"; do
  set -- $v
  ff -f lavfi -i "smptebars=size=160x120:rate=25:duration=0.5" -vf "scale=out_color_matrix=bt709:out_range=$3,format=$2" \
     -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range "$3" \
     -c:v libx264 -preset veryfast -qp 4 "${common[@]}" "bars709_$1.mp4"
done

# Sound that starts half a second after the picture (4 s).
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=4" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=3.5" \
   -c:v mpeg4 -q:v 4 -c:a pcm_s16le "${common[@]}" late_audio_tmp.mkv
ff -i late_audio_tmp.mkv -itsoffset 0.5 -i late_audio_tmp.mkv -map 0:v -map 1:a -c copy "${common[@]}" late_audio.mkv
rm -f late_audio_tmp.mkv

# Damaged and awkward inputs of what people really have.
# A transport stream whose picture times jump to 5965 s while the sound starts near 0 (2.5 s).
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=2.5" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2.5" \
   -c:v mpeg2video -q:v 4 -g 12 -c:a mp2 -ac 2 "${common[@]}" -f mpegts jump_tmp.ts
ff -i jump_tmp.ts -map 0 -c copy -bsf:v setts=ts=TS+5965/TB "${common[@]}" -f mpegts jump.ts
rm -f jump_tmp.ts
# A file whose sound track has no packet at all (every one dropped).
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1" \
   -c:v mpeg4 -c:a libvorbis -bsf:a noise=drop=1 "${common[@]}" no_audio_packets.mkv
# The first 40% of the Matroska clip: its header still says 10 s.
size=$(stat -c %s clip.mkv)
head -c $((size * 2 / 5)) clip.mkv > truncated.mkv
# Two sound tracks: German at 48 kHz first, English at 22.05 kHz second and marked default.
for ext in mp4 mkv; do
  ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" -f lavfi -i "sine=frequency=880:sample_rate=48000:duration=2" \
     -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=2" -map 0:v -map 1:a -map 2:a -ac 2 \
     -c:v mpeg4 -q:v 4 -c:a aac -b:a 64k -metadata:s:a:0 language=ger -metadata:s:a:1 language=eng \
     -disposition:a:0 0 -disposition:a:1 default "${common[@]}" two_lang.$ext
done
# H.264 with a key frame every 2 s (no B-frames), in a transport and a program stream, for
# trims that start in the middle of a GOP.
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=6" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=6" \
   -c:v libx264 -preset veryfast -g 50 -bf 0 -pix_fmt yuv420p -c:a mp2 -ac 2 "${common[@]}" gop2s.ts
ff -i gop2s.ts -map 0 -c copy "${common[@]}" gop2s.mpg
# Player clips: every frame shows its own number as ten vertical stripes (bit k of the
# frame number white in stripe k, least significant on the left), 25 fps with a key frame
# every second, with a 440 Hz tone; the short one ends after 3 s.
stripes="color=black:size=320x240:rate=25:duration=DUR,format=yuv420p,geq=lum='if(mod(floor(N/pow(2,floor(X*10/W))),2),235,16)':cb=128:cr=128"
ff -f lavfi -i "${stripes/DUR/8}" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=8" -ac 2 \
   -c:v libx264 -preset veryfast -crf 12 -g 25 -x264-params keyint=25:min-keyint=25:scenecut=0 -pix_fmt yuv420p -c:a aac -b:a 128k "${common[@]}" framenum.mp4
ff -f lavfi -i "${stripes/DUR/3}" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=3" -ac 2 \
   -c:v libx264 -preset veryfast -crf 12 -g 25 -x264-params keyint=25:min-keyint=25:scenecut=0 -pix_fmt yuv420p -c:a aac -b:a 128k "${common[@]}" framenum_3s.mp4
# The numbered frames for 22 s with a key frame only every 10 s (at 0, 10 and 20 s) and
# B-frames: a seek to a time between key frames decodes forward from the one before it.
ff -f lavfi -i "${stripes/DUR/22}" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=22" -ac 2 \
   -c:v libx264 -preset veryfast -crf 12 -g 250 -x264-params keyint=250:min-keyint=250:scenecut=0:bframes=3 \
   -pix_fmt yuv420p -c:a aac -b:a 128k "${common[@]}" framenum_key10s.mp4
# Timestamps that step back: two 2 s transport-stream pieces of the numbered frames joined
# byte for byte, so the second piece's times start again where the first one's started.
ff -f lavfi -i "${stripes/DUR/2}" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2" -ac 2 \
   -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a mp2 "${common[@]}" back_piece.ts
cat back_piece.ts back_piece.ts > backwards.ts
rm -f back_piece.ts
# A file with a subtitle stream only (nothing a player can play).
printf '1\n00:00:00,500 --> 00:00:01,500\nOnly text\n' > only.srt
ff -i only.srt -c:s srt "${common[@]}" subtitles_only.mkv
rm -f only.srt
# Lengths the container only estimates. A 30 s MP3 with a varying bit rate and no length
# header (loud first, nearly silent later: the estimate from the first frames is ~23 s), and
# four 1.2 s transport-stream segments joined by cat, each starting at the same time (the
# estimate is one segment; 120 frames in all).
ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=30" -af "volume='if(lt(t,20),1,0.02)':eval=frame" \
   -ac 2 -c:a libmp3lame -q:a 0 -write_xing 0 "${common[@]}" vbr_noheader.mp3
for i in 0 1 2 3; do
  ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1.2" -c:v mpeg2video -q:v 4 -g 12 "${common[@]}" "seg$i.ts"
done
cat seg0.ts seg1.ts seg2.ts seg3.ts > joined_segments.ts
rm -f seg0.ts seg1.ts seg2.ts seg3.ts

# Shapes the zoom modes must fit (2 s each, with sound): a 16:9 DVD picture stored as
# 720x576 with pixels 64:45 wide, a clip shown turned a quarter clockwise through the
# container's display matrix (coded 320x240, shown 240x320), and a 4000x16 strip. The first
# two show still colour bars, a picture that differs from its turned and mirrored copies.
ff -f lavfi -i "smptebars=size=720x576:rate=25:duration=2" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=2" \
   -vf setsar=64/45 -c:v mpeg2video -q:v 4 -c:a mp2 -ac 2 "${common[@]}" anamorphic_720x576.mpg
ff -f lavfi -i "smptebars=size=320x240:rate=25:duration=2" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2" \
   -c:v mpeg4 -q:v 2 -c:a aac -ac 2 "${common[@]}" rotated_tmp.mp4
ff -i rotated_tmp.mp4 -c copy -metadata:s:v:0 rotate=270 "${common[@]}" rotated.mp4
rm -f rotated_tmp.mp4
ff -f lavfi -i "testsrc2=size=4000x16:rate=25:duration=2" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2" \
   -c:v mpeg4 -q:v 4 -c:a aac -ac 2 "${common[@]}" strip_4000x16.mp4

# A sound file with cover art: 3 s of MP3 with a PNG picture attached.
ff -f lavfi -i "smptebars=size=320x240" -frames:v 1 "${common[@]}" cover.png
ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=3" -i cover.png -map 0 -map 1 -c:a libmp3lame \
   -c:v png -disposition:v attached_pic "${common[@]}" cover_art.mp3
rm -f cover.png

# A plain mid-grey picture for 10 s: items drawn over it stand out at any opacity.
ff -f lavfi -i "color=c=0x808080:size=320x240:rate=25:duration=10" -f lavfi -i "$asrc" -ac 2 -c:v libx264 \
   -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac -b:a 128k "${common[@]}" gray.mp4

# Anamorphic: 176x144 coded with pixels 16:11 wide, shown 16:9 (256x144); a test pattern and a
# plain grey picture.
ff -f lavfi -i "testsrc2=size=176x144:rate=25:duration=2" -vf setsar=16/11 -c:v libx264 -preset veryfast -g 25 \
   -pix_fmt yuv420p "${common[@]}" anamorphic.mp4
ff -f lavfi -i "color=c=0x808080:size=176x144:rate=25:duration=3" -vf setsar=16/11 -c:v libx264 -preset veryfast \
   -g 25 -pix_fmt yuv420p "${common[@]}" anamorphic_gray.mp4

# Inputs to refuse with their own reason. An MP4 whose video sample entry carries a code the
# libraries do not know ("qqqq" in place of "avc1"; the sound stays decodable).
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2" \
   -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -ac 2 "${common[@]}" unknown_tmp.mp4
python3 - <<'PY'
data = bytearray(open("unknown_tmp.mp4", "rb").read())
entry = data.find(b"avc1", data.find(b"stsd"))
assert entry > 0, "no avc1 sample entry"
data[entry:entry + 4] = b"qqqq"
open("unknown_codec.mp4", "wb").write(data)
PY
rm -f unknown_tmp.mp4
# A 1x1 picture with sound (1 s).
ff -f lavfi -i "color=c=red:size=2x2:rate=25:duration=1" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1" \
   -vf scale=1:1 -c:v mpeg4 -c:a aac -ac 2 "${common[@]}" tiny_1x1.mp4
# An MP4 without any stream: the file type and a movie header alone (the ffmpeg command
# refuses to write one).
python3 - <<'PY'
import struct
def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload
ftyp = box(b"ftyp", b"isom" + struct.pack(">I", 512) + b"isomiso2mp41")
matrix = struct.pack(">9I", 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000)
mvhd = box(b"mvhd", struct.pack(">IIIII", 0, 0, 0, 1000, 0) + struct.pack(">IH", 0x10000, 0x100) + bytes(10) +
           matrix + bytes(24) + struct.pack(">I", 1))
open("no_streams.mp4", "wb").write(ftyp + box(b"moov", mvhd))
PY

# Damaged times in transport streams. 2.5 s whose picture presentation times (not their
# decoding times) lie 5963 s after the sound's.
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=2.5" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2.5" \
   -c:v mpeg2video -q:v 4 -g 12 -c:a mp2 -ac 2 "${common[@]}" -f mpegts pts_tmp.ts
ff -i pts_tmp.ts -map 0 -c copy -bsf:v setts=pts=PTS+5963/TB "${common[@]}" -f mpegts pts_jump.ts
rm -f pts_tmp.ts
# 8 s in which a 64 kB stretch at a third of the file is repeated (a copy error).
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=8" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=8" \
   -c:v mpeg2video -q:v 4 -g 12 -c:a mp2 -ac 2 "${common[@]}" -f mpegts repeat_tmp.ts
size=$(stat -c %s repeat_tmp.ts)
at=$((size / 3))
{ head -c $((at + 65536)) repeat_tmp.ts; tail -c +$((at + 1)) repeat_tmp.ts; } > repeated_chunk.ts
rm -f repeat_tmp.ts
