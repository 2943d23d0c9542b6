#!/bin/bash
# Times tolvane against the minimal static C baseline and against other disc
# tools that report on an El Torito image, on a small bootable image and on a
# 64 GiB sparse one, and prints the results as Markdown on standard output.
#
#   bench/run.sh BUILD_DIR [bulk]
#
# Then the bulk case (bench/bulk.sh): many images checked by one
# `tolvane --check` process; with `bulk`, only that.
#
# BUILD_DIR holds tolvane, tolvane_c_baseline and tolvane_c_bulk_baseline
# (a normal build does). The
# tools it needs come from `tools/deps.sh bench`; a peer that is not installed,
# or that fails on an image, is named and left out.
#
# Wall time: hyperfine, standard output to /dev/null. The programs are timed
# in ROUNDS rounds of RUNS runs each (the order reversed every other round);
# a ratio between two programs is taken per round, from the medians of that
# round, and the table gives the median of those ratios. Pairs measured close
# together in time keep the ratio steady while the machine's load drifts.
# Peak memory: the largest "Maximum resident set size" of /usr/bin/time -v
# over a few runs. System calls: one run under strace -f.
#
# Environment: ROUNDS (default 10), RUNS (default 200), WARMUP (default 20).
set -euo pipefail

rounds=${ROUNDS:-10}
runs=${RUNS:-200}
warmup=${WARMUP:-20}
memory_runs=5

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
sample="$source_dir/samples/sample.iso"

if [ $# -lt 1 ] || [ $# -gt 2 ] || { [ $# -eq 2 ] && [ "$2" != bulk ]; }; then
  echo "usage: bench/run.sh BUILD_DIR [bulk]" >&2
  exit 2
fi
only_bulk=0
[ "${2:-}" = bulk ] && only_bulk=1
build_dir=$(cd "$1" && pwd)
tolvane="$build_dir/tolvane"
baseline="$build_dir/tolvane_c_baseline"
for program in "$tolvane" "$baseline"; do
  [ -x "$program" ] || { echo "bench/run.sh: $program is missing; build first" >&2; exit 1; }
done
for tool in hyperfine strace /usr/bin/time; do
  command -v "$tool" >/dev/null ||
    { echo "bench/run.sh: $tool is missing; run tools/deps.sh bench" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log() { echo "bench/run.sh: $*" >&2; }

source "$here/bulk.sh"
if [ $only_bulk -eq 1 ]; then
  bulk_case
  exit
fi

# The two images. The big one is sparse: 64 GiB long, with the sample's bytes
# at its start, so that its volume descriptors, boot catalog and boot images
# are the sample's, and everything after them reads as zero bytes.
small="$work/small.iso"
big="$work/big.iso"
cp "$sample" "$small"
truncate -s 64G "$big"
dd if="$sample" of="$big" conv=notrunc status=none
small_bytes=$(stat -c %s "$small")

# name|command, IMG standing for the image.
programs=(
  "tolvane|$tolvane IMG"
  "C baseline|$baseline IMG"
  "isoinfo -d|isoinfo -d -i IMG"
  "iso-info|iso-info -i IMG"
  "dumpet -i|dumpet -i IMG"
  "xorriso El Torito report|xorriso -indev IMG -report_el_torito plain"
)

names=()
commands=()
skipped=()
for entry in "${programs[@]}"; do
  name=${entry%%|*}
  command=${entry#*|}
  executable=${command%% *}
  if ! command -v "$executable" >/dev/null; then
    skipped+=("$name (\`$executable\` is not installed)")
    continue
  fi
  ok=1
  for image in "$small" "$big"; do
    if ! ${command//IMG/$image} >/dev/null 2>&1; then
      ok=0
      skipped+=("$name (failed on the $( [ "$image" = "$small" ] && echo small || echo 64 GiB ) image)")
      break
    fi
  done
  [ $ok -eq 1 ] || continue
  names+=("$name")
  commands+=("$command")
done
for s in ${skipped[@]+"${skipped[@]}"}; do log "skipped: $s"; done

# --- wall time -------------------------------------------------------------
medians="$work/medians"   # round <TAB> program index <TAB> image <TAB> median seconds
: >"$medians"
for ((round = 1; round <= rounds; round++)); do
  log "timing, round $round of $rounds"
  arguments=()
  order=()
  for ((i = 0; i < ${#names[@]}; i++)); do
    for image in small big; do order+=("$i:$image"); done
  done
  if ((round % 2 == 0)); then
    reversed=()
    for ((k = ${#order[@]} - 1; k >= 0; k--)); do reversed+=("${order[k]}"); done
    order=("${reversed[@]}")
  fi
  for item in "${order[@]}"; do
    i=${item%%:*}
    image=${item#*:}
    path=$small
    [ "$image" = big ] && path=$big
    arguments+=(-n "$i:$image" "${commands[i]//IMG/$path}")
  done
  hyperfine -N --style none --output=null --warmup "$warmup" --runs "$runs" \
    --export-csv "$work/round.csv" "${arguments[@]}" >/dev/null 2>&1
  awk -F, -v round="$round" 'NR > 1 { split($1, id, ":"); print round "\t" id[1] "\t" id[2] "\t" $4 }' \
    "$work/round.csv" >>"$medians"
done

# median_of: the median of the numbers on standard input.
median_of() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# time_ms PROGRAM IMAGE: the median over rounds of the program's round medians.
time_ms() {
  awk -F'\t' -v p="$1" -v img="$2" '$2 == p && $3 == img { print $4 * 1000 }' "$medians" | median_of
}
# ratio A IMAGE_A B IMAGE_B: median over rounds of A's round median / B's.
ratio() {
  awk -F'\t' -v a="$1" -v ia="$2" -v b="$3" -v ib="$4" '
    $2 == a && $3 == ia { x[$1] = $4 }
    $2 == b && $3 == ib { y[$1] = $4 }
    END { for (r in x) if (r in y) print x[r] / y[r] }' "$medians" | median_of
}

# --- peak memory and system calls -------------------------------------------
# peak_kib COMMAND: the largest peak resident set size over a few runs, in KiB.
peak_kib() {
  local most=0 kib
  for ((k = 0; k < memory_runs; k++)); do
    /usr/bin/time -v -o "$work/time.txt" $1 >/dev/null 2>&1
    kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
    ((kib > most)) && most=$kib
  done
  echo "$most"
}

# syscalls COMMAND IMAGE: "TOTAL IMAGE STDOUT BREAKDOWN": all system calls of
# one run (all threads and children), those on the image (calls naming its
# path, and calls on a descriptor opened for it while it is open), writes to
# standard output, and the calls on the image by name ("openat 1, ...").
syscalls() {
  strace -f -qq -s 4096 -o "$work/trace" $1 >/dev/null 2>&1 || true
  awk -v image="$(basename "$2")" '
    function on_image(call) {
      image_calls++
      if (!(call in by_name)) order[++names] = call
      by_name[call]++
    }
    # A line is "PID call(arguments) = result", or the second half of a call
    # another thread interrupted, or a signal or exit notice.
    /resumed>/ || / \+\+\+ / || / --- / { next }
    {
      line = $0
      sub(/^[0-9]+ +/, "", line)
      total++
      call = line; sub(/\(.*/, "", call)
      first = line; sub(/^[a-z0-9_]+\(/, "", first); sub(/[,)].*/, "", first)
      result = line; sub(/.*= /, "", result); sub(/ .*/, "", result)
      if (call != "execve" && (index(line, "/" image "\"") || index(line, "\"" image "\""))) {
        on_image(call)
        if (call ~ /^open/ && result ~ /^[0-9]+$/) open_fd[result] = 1
        next
      }
      if (first in open_fd) {
        on_image(call)
        if (call == "close") delete open_fd[first]
        next
      }
      if (first == "1" && call ~ /^(write|writev|pwrite64|pwritev|pwritev2|sendfile|splice)$/) to_stdout++
    }
    END {
      printf "%d %d %d ", total, image_calls, to_stdout
      for (k = 1; k <= names; k++) { printf "%s%s %d", sep, order[k], by_name[order[k]]; sep = ", " }
      print ""
    }' "$work/trace"
}

declare -A rss calls
for ((i = 0; i < ${#names[@]}; i++)); do
  log "memory and system calls: ${names[i]}"
  for image in small big; do
    path=$small
    [ "$image" = big ] && path=$big
    rss[$i:$image]=$(peak_kib "${commands[i]//IMG/$path}")
    calls[$i:$image]=$(syscalls "${commands[i]//IMG/$path}" "$path")
  done
done

# --- the tables --------------------------------------------------------------
fmt() { awk -v v="$1" -v f="$2" 'BEGIN { if (v == "nan") print "-"; else printf f, v }'; }

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
echo "Machine: $(uname -srm), ${cpu:-unknown CPU}, $(nproc) cores."
echo "tolvane $(git -C "$source_dir" describe --always --dirty 2>/dev/null || echo "(no git)"), $(hyperfine --version)."
echo "Images: small = samples/sample.iso ($small_bytes bytes); big = a 64 GiB sparse file holding the same bytes at its start."
echo "Wall time: $rounds rounds of $runs runs (after $warmup warm-up runs) per program and image, standard output to /dev/null."
echo
echo "| program | median wall time, small (ms) | median wall time, 64 GiB (ms) | 64 GiB / small | tolvane / program, small | tolvane / program, 64 GiB | peak RSS, small (KiB) | peak RSS, 64 GiB (KiB) | system calls (all / on the image / writes to stdout) |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---|"
for ((i = 0; i < ${#names[@]}; i++)); do
  read -r all image_calls out_writes breakdown <<<"${calls[$i:small]}"
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s / %s / %s |\n' \
    "${names[i]}" \
    "$(fmt "$(time_ms "$i" small)" %.3f)" "$(fmt "$(time_ms "$i" big)" %.3f)" \
    "$(fmt "$(ratio "$i" big "$i" small)" %.3f)" \
    "$(fmt "$(ratio 0 small "$i" small)" %.3f)" "$(fmt "$(ratio 0 big "$i" big)" %.3f)" \
    "${rss[$i:small]}" "${rss[$i:big]}" "$all" "$image_calls" "$out_writes"
done
echo
echo "Commands: $(for ((i = 0; i < ${#names[@]}; i++)); do
  printf '%s`%s`' "$([ "$i" -gt 0 ] && echo '; ')" "$(echo "${commands[i]//IMG/IMAGE}" | sed "s|$build_dir/|BUILD_DIR/|")"; done)."
if [ ${#skipped[@]} -gt 0 ]; then
  echo
  echo "Skipped: $(IFS=';'; echo "${skipped[*]}" | sed 's/;/; /g')."
fi
echo "System calls are counted in one run on the small image."

# --- the targets ---------------------------------------------------------------
verdict() { awk -v v="$1" -v cond="$2" 'BEGIN {
  ok = (cond == "le1.15") ? v <= 1.15 : (cond == "lt1") ? v < 1 : (cond == "band") ? (v >= 0.9 && v <= 1.1) : 0
  print (v == "nan") ? "not measured" : ok ? "met" : "NOT met" }'; }
echo
echo "Targets:"
for image in small big; do
  label=small; [ "$image" = big ] && label="64 GiB"
  r=$(ratio 0 "$image" 1 "$image")
  echo "- wall time at most 1.15 times the C baseline's, $label image: $(fmt "$r" %.3f) ($(verdict "$r" le1.15))"
  for ((i = 2; i < ${#names[@]}; i++)); do
    r=$(ratio 0 "$image" "$i" "$image")
    echo "- faster than ${names[i]}, $label image: tolvane / ${names[i]} = $(fmt "$r" %.3f) ($(verdict "$r" lt1))"
  done
done
r=$(ratio 0 big 0 small)
echo "- same cost for the small and the 64 GiB image (0.9 to 1.1): $(fmt "$r" %.3f) ($(verdict "$r" band))"
for image in small big; do
  label=small; [ "$image" = big ] && label="64 GiB"
  mine=${rss[0:$image]}
  r=$(awk -v a="$mine" -v b="${rss[1:$image]}" 'BEGIN { print a / b }')
  echo "- peak RSS at most 1.5 times the C baseline's, $label image: $mine / ${rss[1:$image]} KiB = $(fmt "$r" %.2f) ($(awk -v r="$r" 'BEGIN { print (r <= 1.5) ? "met" : "NOT met" }'))"
  below=met
  for ((i = 2; i < ${#names[@]}; i++)); do
    ((mine < ${rss[$i:$image]})) || below="NOT met (${names[i]}: ${rss[$i:$image]} KiB)"
  done
  echo "- peak RSS below every peer's, $label image: $mine KiB ($below)"
done
read -r all image_calls out_writes breakdown <<<"${calls[0:small]}"
echo "- system calls on the image: $image_calls ($breakdown; before the block cache: 8, open 1, status 1, pread 5, close 1); writes to standard output: $out_writes"

bulk_case
