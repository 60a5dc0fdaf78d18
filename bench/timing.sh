# Shared by the benchmark scripts: `best CMD...` prints the best wall time of 3 runs of the
# command, in seconds (output of the command discarded).
best() {
  local best=999999 s e
  for _ in 1 2 3; do
    s=$EPOCHREALTIME; "$@" >/dev/null; e=$EPOCHREALTIME
    best=$(awk -v s="$s" -v e="$e" -v b="$best" 'BEGIN { t = e - s; print (t < b ? t : b) }')
  done
  echo "$best"
}
