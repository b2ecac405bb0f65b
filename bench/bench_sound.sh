#!/usr/bin/env bash
# The sound benchmark: 120 s of 1080p H.264 at 4 Mbit/s with A-law speech in
# a program stream, converted to MP4 (the sound encoded to AAC) and to AVI
# (the sound copied), and the same streams muxed by ffmpeg with its own AAC
# encoder; runs interleaved, medians. Then the fidelity of the AAC: the
# segmental SNR of the speech (espeak-ng) and of a tone sweep, ours against
# FFmpeg's native encoder at our bit rate, both against the decoded A-law.
#   bench/bench_sound.sh [runs]         (default 5)
# BENCH_DIR holds the inputs (made once when missing, default
# /tmp/trelvo-bench-sound), TRELVO_BUILD the build directory (default build).
# Needs espeak-ng (not installed for CI: apt-get install espeak-ng).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
build=${TRELVO_BUILD:-build}
dir=${BENCH_DIR:-/tmp/trelvo-bench-sound}
prog=$build/bin/trelvo-convert
writer=$build/testbin/trelvo_ps_writer
snr=$build/testbin/bench_seg_snr
work=$dir/work
[ -x "$prog" ] && [ -x "$writer" ] && [ -x "$snr" ] ||
  { echo "build trelvo-convert, trelvo_ps_writer and bench_seg_snr first" >&2; exit 1; }
command -v espeak-ng >/dev/null || { echo "needs espeak-ng (apt-get install espeak-ng)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }
mkdir -p "$work"
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# Speech: a text read out, again and again, to 120 s at 8 kHz in A-law; the
# sweep: 50 Hz to 3.9 kHz over 30 s, a third of full scale.
if [ ! -s "$dir/speech.ps" ]; then
  text="The camera at the north gate recorded a delivery van at seven minutes past nine. \
The driver left the engine running, spoke to the guard for half a minute and drove on. \
Please check the recordings of the loading bay between nine and ten o'clock."
  espeak-ng -s 150 -w "$dir/speech.wav" "$text"
  ff -stream_loop -1 -i "$dir/speech.wav" -t 120 -ar 8000 -ac 1 -f alaw "$dir/speech.alaw"
  ff -f lavfi -i "aevalsrc=0.33*sin(2*PI*(50*t+(3850/60)*t*t)):s=8000:d=30" -f alaw "$dir/sweep.alaw"
  # Noise keeps the encoder from compressing the test pattern to nothing.
  ff -f lavfi -i testsrc2=size=1920x1080:rate=25 -vf noise=alls=12:allf=t -t 120 -pix_fmt yuv420p \
    -c:v libx264 -preset ultrafast -b:v 4M -maxrate 4M -bufsize 8M -g 50 -threads 2 "$dir/video.h264"
  ff -f lavfi -i testsrc2=size=320x180:rate=25 -t 30 -pix_fmt yuv420p -c:v libx264 -preset ultrafast \
    -g 50 "$dir/small.h264"
  "$writer" --video "$dir/small.h264" --alaw "$dir/sweep.alaw" "$dir/sweep.ps" 2>/dev/null
  "$writer" --video "$dir/video.h264" --alaw "$dir/speech.alaw" "$dir/speech.ps" 2>/dev/null
fi
input=$dir/speech.ps
echo "input: $input, $(stat -c %s "$input") bytes; $runs runs each, interleaved"

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
declare -A wall cpu rss
# timed NAME CMD...: wall and processor seconds and peak KiB of one run.
timed() {
  local name=$1
  shift
  local t0 t1 u s k
  t0=$(date +%s%N)
  /usr/bin/time -f "%U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>&1 </dev/null || true
  t1=$(date +%s%N)
  read -r u s k <"$work/time.txt"
  wall[$name]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }') "
  cpu[$name]+="$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }') "
  rss[$name]+="$k "
}
med() { local -n m=$1; tr ' ' '\n' <<<"${m[$2]}" | grep . | median; }
for i in $(seq "$runs"); do
  rm -f "$work"/*.mp4 "$work"/*.avi
  timed mp4 "$prog" --quiet --output-dir "$work" "$input"
  timed avi "$prog" --quiet --format avi --output-dir "$work" "$input"
  timed ffmpeg ffmpeg -nostdin -loglevel error -y -r 25 -i "$dir/video.h264" -f alaw -ar 8000 -i "$dir/speech.alaw" \
    -c:v copy -c:a aac "$work/ff.mp4"
done
awk -v mp4="$(med wall mp4)" -v avi="$(med wall avi)" -v ffw="$(med wall ffmpeg)" -v cmp4="$(med cpu mp4)" \
    -v cavi="$(med cpu avi)" -v cff="$(med cpu ffmpeg)" -v rmp4="$(med rss mp4)" -v ravi="$(med rss avi)" \
    -v rff="$(med rss ffmpeg)" 'BEGIN {
  printf "median wall s: trelvo mp4 %.3f, avi %.3f, ffmpeg (sound to AAC) %.3f\n", mp4, avi, ffw
  printf "median CPU s:  trelvo mp4 %.2f, avi %.2f, ffmpeg %.2f\n", cmp4, cavi, cff
  printf "MP4 / AVI wall:    %.2f   (goal <= 1.25)\n", mp4 / avi
  printf "MP4 / ffmpeg CPU:  %.2f   (goal <= 0.30)\n", cmp4 / cff
  printf "peak RSS: trelvo mp4 %.1f MiB, avi %.1f MiB, ffmpeg %.1f MiB\n", rmp4 / 1024, ravi / 1024, rff / 1024
}'

# Fidelity, at the bit rate our track has.
rm -f "$work"/*.mp4
"$prog" --quiet --output-dir "$work" "$input" "$dir/sweep.ps" >/dev/null
kbps=$(ffprobe -v error -select_streams a:0 -show_entries stream=bit_rate -of csv=p=0 "$work/speech.mp4")
kbit=$(( (kbps + 500) / 1000 ))
for what in speech sweep; do
  ff -f alaw -ar 8000 -i "$dir/$what.alaw" -f s16le "$work/ref.s16"
  ff -i "$work/$what.mp4" -map 0:a -f s16le -ar 8000 -ac 1 "$work/ours.s16"
  ff -f alaw -ar 8000 -i "$dir/$what.alaw" -c:a aac -b:a "${kbit}k" "$work/native.m4a"
  ff -i "$work/native.m4a" -f s16le "$work/native.s16"
  read -r ours lag_ours < <("$snr" "$work/ref.s16" "$work/ours.s16")
  read -r native lag_native < <("$snr" "$work/ref.s16" "$work/native.s16")
  dur=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 "$work/$what.mp4")
  printf "%-6s segmental SNR at %d kbit/s: ours %.2f dB, FFmpeg native %.2f dB (%+.2f; goal >= -1); lag %d/%d samples; track %.4f s of %.4f s\n" \
    "$what" "$kbit" "$ours" "$native" "$(awk -v a="$ours" -v b="$native" 'BEGIN{print a-b}')" "$lag_ours" "$lag_native" \
    "$dur" "$(awk -v n="$(stat -c %s "$dir/$what.alaw")" 'BEGIN{print n/8000}')"
done
rm -f "$work"/*.mp4 "$work"/*.avi "$work"/*.s16 "$work"/*.m4a
