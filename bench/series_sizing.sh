#!/usr/bin/env bash
# Sizing of chunked series runs: frames per second per core and memory per worker of the
# program integrating a series from a command script (docs/examples/integrate.lvs), for
# Pilatus 1M TIFF frames and Pilatus 6M CBF frames of the shared data.
#
#   bench/series_sizing.sh [PROGRAM] [FRAMES]   (defaults build/lumivane, 400)
#
# Each series runs twice, with FRAMES and FRAMES/10 frames: the difference gives the cost of
# one frame without the program's start-up and the pixel map. CPU seconds (user + system)
# count every thread, so frames per CPU second is the rate one core sustains whatever else
# runs on the machine; wall time is given too. The frames are links to the shared files, so
# the files come from the page cache: storage slower than that adds its read time.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$here/build/lumivane}")
frames=${2:-400}
data=${LV_SHARED_DATA:-$here/../shared/data}
[ -f "$data/CeO2_Pilatus1M.tif" ] && [ -f "$data/thau_3_2_0001.cbf" ] || {
  echo "the shared data are not in $data"; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/tif" "$work/cbf"
cp "$data/CeO2_Pilatus1M.poni" "$work/tif/calibration.poni"
# The 6M frames' own geometry (mini-header) as a PONI file.
printf '%s\n' "PixelSize1: 0.000172" "PixelSize2: 0.000172" "Distance: 0.351" \
  "Poni1: 0.2248" "Poni2: 0.2170" "Wavelength: 9.6859e-11" > "$work/cbf/calibration.poni"
for ((i = 1; i <= frames; i++)); do
  name=$(printf 'f_%06d' "$i")
  ln -s "$data/CeO2_Pilatus1M.tif" "$work/tif/$name.tif"
  ln -s "$data/thau_3_2_000$(( (i - 1) % 4 + 1 )).cbf" "$work/cbf/$name.cbf"
done
for kind in tif cbf; do (cd "$work/$kind" && ls f_* > frames.txt); done
# The CBF asks whether its PONI geometry is for the image turned upside down: it is not.
sed 's/^Load_PONI/answer no\nLoad_PONI/' "$here/docs/examples/integrate.lvs" > "$work/tif.lvs"
cp "$work/tif.lvs" "$work/cbf.lvs"

# run KIND N: prints "cpu wall rss_kb" of one program run over the first N frames.
run() {
  local kind=$1 n=$2 out="$work/run_$1_$2"
  mkdir -p "$out"
  (cd "$out" && RUN="$work/$kind" FIRST_FRAME=f_000001.$kind FIRST=1 LAST=$n CHUNK=c \
     QT_QPA_PLATFORM=offscreen /usr/bin/time -f '%U %S %e %M' -o time.txt \
     "$program" --script "$work/$kind.lvs" > /dev/null 2>&1) || {
    echo "the $kind run of $n frames failed: $out/lumivane.log" >&2; tail -5 "$out/lumivane.log" >&2
    exit 1; }
  awk '{ printf "%.3f %.3f %d\n", $1 + $2, $3, $4 }' "$out/time.txt"
}

printf '%-16s %12s %12s %14s %14s %12s\n' series "ms CPU/frame" "frames/s/core" "ms wall/frame" \
  "start-up s" "worker MiB"
for kind in tif cbf; do
  small=$((frames / 10 > 0 ? frames / 10 : 1))
  read -r cpu1 wall1 rss1 < <(run "$kind" "$small")
  read -r cpu2 wall2 rss2 < <(run "$kind" "$frames")
  label=$([ "$kind" = tif ] && echo "Pilatus 1M TIFF" || echo "Pilatus 6M CBF")
  awk -v l="$label" -v n=$((frames - small)) -v c1="$cpu1" -v c2="$cpu2" -v w1="$wall1" \
      -v w2="$wall2" -v r="$rss2" -v s="$small" 'BEGIN {
    per = (c2 - c1) / n; wper = (w2 - w1) / n
    printf "%-16s %12.1f %12.1f %14.1f %14.2f %12.0f\n", l, per * 1000, 1 / per, wper * 1000,
           w1 - s * wper, r / 1024 }'
done
