# Shared by the benchmark scripts: `best CMD...` prints the best wall time of 3 runs of the
# command, in seconds (output of the command discarded). Before each run (outside the timing)
# the data written so far is flushed, so that no run waits for the last one's writes to reach
# the disk.
best() {
  local best=999999 s e
  for _ in 1 2 3; do
    sync
    s=$EPOCHREALTIME; "$@" >/dev/null; e=$EPOCHREALTIME
    best=$(awk -v s="$s" -v e="$e" -v b="$best" 'BEGIN { t = e - s; print (t < b ? t : b) }')
  done
  echo "$best"
}

# `alternate NEW CMD_A OUT_A CMD_B OUT_B` runs the commands (shell functions without
# arguments) alternately, 5 times each, so that a slow spell of the machine hits both, and
# prints the best wall time of each ("A B"), each run after a flush as above. With NEW=1 the
# command's output file is removed before each of its runs (outside the timing), so that it
# writes a new file instead of replacing the last one: replacing a file makes the file system
# discard the old one's pages and blocks at the rename, which takes as long whatever the
# number of cores.
alternate() {
  local new=$1 a=$2 outA=$3 b=$4 outB=$5 bestA=999999 bestB=999999 s e
  for _ in 1 2 3 4 5; do
    [ "$new" = 1 ] && rm -f "$outA"
    sync
    s=$EPOCHREALTIME; "$a" >/dev/null; e=$EPOCHREALTIME
    bestA=$(awk -v s="$s" -v e="$e" -v b="$bestA" 'BEGIN { t = e - s; print (t < b ? t : b) }')
    [ "$new" = 1 ] && rm -f "$outB"
    sync
    s=$EPOCHREALTIME; "$b" >/dev/null; e=$EPOCHREALTIME
    bestB=$(awk -v s="$s" -v e="$e" -v b="$bestB" 'BEGIN { t = e - s; print (t < b ? t : b) }')
  done
  echo "$bestA $bestB"
}
