SIZE=${SIZE:-2000}
N=$(grep -vc '^\s*\(#\|$\)' "$RUN/frames.txt")
seq 0 $(( (N - 1) / SIZE )) | SIZE=$SIZE parallel -j 4 '
  export CHUNK=$(printf "%06d" {}) FIRST=$(( {} * SIZE + 1 )) LAST=$(( {} * SIZE + SIZE ))
  mkdir -p chunks/$CHUNK && cd chunks/$CHUNK &&
  lumivane --script ../../integrate.lvs && mv chunk_${CHUNK}_0.bsl chunk_${CHUNK}_1.bsl ..'
