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

# `best_new FILE CMD...`: the same, with FILE (the output of the command) removed before each
# run, outside the timing: the run then writes a new file instead of replacing the last one.
# (Replacing a file makes the file system discard the old one's pages and blocks at the
# rename, work that takes as long whatever the number of cores.)
best_new() {
  local file=$1 best=999999 s e
  shift
  for _ in 1 2 3; do
    rm -f "$file"
    sync
    s=$EPOCHREALTIME; "$@" >/dev/null; e=$EPOCHREALTIME
    best=$(awk -v s="$s" -v e="$e" -v b="$best" 'BEGIN { t = e - s; print (t < b ? t : b) }')
  done
  echo "$best"
}
