# The bulk case of bench/run.sh (sourced by it, which sets tolvane, build_dir,
# sample, work and log): many images checked by one `tolvane --check`
# process, against the same images read by a C program in one process
# (bench/bulk_baseline.c: sectors 16 and 17, the catalog's first sector and
# each boot image's first sector of every image), against one run of
# `tolvane IMAGE` per image and one run of `isoinfo -d -i` per image. Prints
# Markdown on standard output.
#
# Environment: BULK_IMAGES (default 1000), BULK_ROUNDS (default 5),
# BULK_RUNS (default 50: runs of each one-process command per round),
# BULK_SLOW_RUNS (default 3: runs of each one-run-per-image command per round).

bulk_case() {
  local count=${BULK_IMAGES:-1000} rounds=${BULK_ROUNDS:-5}
  local fast_runs=${BULK_RUNS:-50} slow_runs=${BULK_SLOW_RUNS:-3}
  local bulk_baseline="$build_dir/tolvane_c_bulk_baseline"
  local dir="$work/bulk" tree="$work/bulk-tree" list="$work/bulk.list"
  [ -x "$bulk_baseline" ] || { log "$bulk_baseline is missing; build first"; return 1; }
  mkdir -p "$dir" "$tree/boot"

  # The real images that are copied: the sample (xorriso; no emulation with a
  # boot information table, and an EFI section), and when the tools are
  # there an xorriso isohybrid image (MBR, GPT, EFI), a genisoimage image of
  # two sections, and an image with no boot record.
  local sources=("$sample")
  head -c 2048 /dev/zero | tr '\0' '\220' >"$tree/boot/boot.bin"
  head -c 65536 /dev/zero >"$tree/boot/efi.img"
  head -c 512 /dev/zero >"$work/mbr.bin"
  echo "tolvane bulk benchmark" >"$tree/README.TXT"
  if command -v xorriso >/dev/null; then
    xorriso -as mkisofs -quiet -o "$work/hybrid.iso" -isohybrid-mbr "$work/mbr.bin" \
      -b boot/boot.bin -c boot/boot.cat -no-emul-boot -boot-load-size 4 -boot-info-table \
      -eltorito-alt-boot -e boot/efi.img -no-emul-boot -isohybrid-gpt-basdat "$tree" >/dev/null 2>&1 &&
      sources+=("$work/hybrid.iso")
    xorriso -as mkisofs -quiet -o "$work/data.iso" "$tree" >/dev/null 2>&1 && sources+=("$work/data.iso")
  fi
  if command -v genisoimage >/dev/null; then
    genisoimage -quiet -o "$work/two-sections.iso" -b boot/boot.bin -c boot/boot.cat -no-emul-boot \
      -boot-load-size 4 -boot-info-table -eltorito-alt-boot -b boot/boot.bin -no-emul-boot \
      -eltorito-alt-boot -e boot/efi.img -no-emul-boot "$tree" >/dev/null 2>&1 &&
      sources+=("$work/two-sections.iso")
  fi
  : >"$list"
  local i
  for ((i = 0; i < count; i++)); do
    cp "${sources[i % ${#sources[@]}]}" "$dir/$i.iso"
    echo "$dir/$i.iso" >>"$list"
  done
  local paths bytes
  paths=$(paste -sd' ' "$list")
  bytes=$(du -cb "$dir" | awk 'END { print $1 }')
  # Every image is well made: the check must print nothing and succeed.
  local findings
  if ! findings=$($tolvane --check $paths) || [ -n "$findings" ]; then
    log "bulk: tolvane --check found something in the copies:"
    echo "$findings" | head -5 >&2
    return 1
  fi

  # name|command; the first two are one process, the others one per image.
  local programs=(
    "tolvane --check, one process|$tolvane --check $paths"
    "C bulk baseline, one process|$bulk_baseline $paths"
    "tolvane IMAGE, one run per image|xargs -a $list -n 1 $tolvane"
  )
  command -v isoinfo >/dev/null && programs+=("isoinfo -d -i, one run per image|xargs -a $list -n 1 isoinfo -d -i")
  local names=() commands=() entry
  for entry in "${programs[@]}"; do
    names+=("${entry%%|*}")
    commands+=("${entry#*|}")
  done

  # round <TAB> program <TAB> median wall s <TAB> mean user s <TAB> mean system s
  local rows="$work/bulk-rows"
  : >"$rows"
  local round
  for ((round = 1; round <= rounds; round++)); do
    log "bulk timing, round $round of $rounds"
    hyperfine -N --style none --output=null --warmup 3 --runs "$fast_runs" --export-csv "$work/bulk-fast.csv" \
      -n 0 "${commands[0]}" -n 1 "${commands[1]}" >/dev/null 2>&1
    local slow=()
    for ((i = 2; i < ${#names[@]}; i++)); do slow+=(-n "$i" "${commands[i]}"); done
    hyperfine -N --style none --output=null --warmup 1 --runs "$slow_runs" --export-csv "$work/bulk-slow.csv" \
      "${slow[@]}" >/dev/null 2>&1
    awk -F, -v round="$round" 'FNR > 1 { print round "\t" $1 "\t" $4 "\t" $5 "\t" $6 }' \
      "$work/bulk-fast.csv" "$work/bulk-slow.csv" >>"$rows"
  done

  median() {
    sort -g | awk '{ v[NR] = $1 } END {
      if (NR == 0) { print "nan"; exit }
      print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
  }
  # column 3: wall; cpu: user + system
  wall_ms() { awk -F'\t' -v p="$1" '$2 == p { print $3 * 1000 }' "$rows" | median; }
  cpu_ms() { awk -F'\t' -v p="$1" '$2 == p { print ($4 + $5) * 1000 }' "$rows" | median; }
  # the median over rounds of program a / program b, wall or cpu
  ratio_of() {
    awk -F'\t' -v a="$1" -v b="$2" -v kind="$3" '
      { v = (kind == "cpu") ? $4 + $5 : $3 }
      $2 == a { x[$1] = v } $2 == b { y[$1] = v }
      END { for (r in x) if (r in y && y[r] > 0) print x[r] / y[r] }' "$rows" | median
  }
  f() { awk -v v="$1" -v fmt="$2" 'BEGIN { if (v == "nan") print "-"; else printf fmt, v }'; }

  local rss=() calls=()
  for ((i = 0; i < ${#names[@]}; i++)); do
    /usr/bin/time -v -o "$work/bulk-time.txt" ${commands[i]} >/dev/null 2>&1
    rss+=("$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/bulk-time.txt")")
    strace -f -c -o "$work/bulk-strace.txt" ${commands[i]} >/dev/null 2>&1 || true
    # strace -c: "% time, seconds, usecs/call, calls, [errors,] syscall"
    calls+=("$(awk '$4 ~ /^[0-9]+$/ { n[$NF] = $4 }
                    END { printf "%d (", n["total"]
                          sep = ""
                          split("execve openat newfstatat fstat pread64 read close", k, " ")
                          for (j = 1; j <= 7; j++) if (n[k[j]] > 0) { printf "%s%s %d", sep, k[j], n[k[j]]; sep = ", " }
                          printf ")" }' "$work/bulk-strace.txt")")
  done

  echo
  echo "## Many images in one run"
  echo
  echo "Images: $count copies of ${#sources[@]} real images ($(for s in "${sources[@]}"; do basename "$s"; done | paste -sd, - | sed 's/,/, /g'); $bytes bytes in all), in the page cache."
  echo "Wall time: $rounds rounds; in each, $fast_runs runs of each one-process command and $slow_runs of each one-run-per-image command. CPU time: user + system."
  echo
  echo "| program | median wall time (ms) | per image (µs) | median CPU time (ms) | check / program, wall | check / program, CPU | peak RSS (KiB) | system calls (all threads and children) |"
  echo "|---|---:|---:|---:|---:|---:|---:|---|"
  for ((i = 0; i < ${#names[@]}; i++)); do
    local w
    w=$(wall_ms "$i")
    printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "${names[i]}" "$(f "$w" %.1f)" \
      "$(f "$(awk -v w="$w" -v n="$count" 'BEGIN { print w * 1000 / n }')" %.1f)" "$(f "$(cpu_ms "$i")" %.1f)" \
      "$(f "$(ratio_of 0 "$i" wall)" %.3f)" "$(f "$(ratio_of 0 "$i" cpu)" %.3f)" "${rss[i]}" "${calls[i]}"
  done
  echo
  echo "Commands: $(for ((i = 0; i < ${#names[@]}; i++)); do
    printf '%s`%s`' "$([ "$i" -gt 0 ] && echo '; ')" \
      "$(echo "${commands[i]}" | sed -e "s|$build_dir/|BUILD_DIR/|g" -e "s|$list|LIST|" -e "s|$dir/0.iso .*$dir/$((count - 1)).iso|IMAGE...|")"; done)."
  echo
  echo "Targets:"
  local r
  r=$(ratio_of 0 1 wall)
  echo "- bulk check at most 1.5 times the C bulk baseline: wall $(f "$r" %.3f) ($(awk -v r="$r" 'BEGIN { print (r == "nan") ? "not measured" : (r <= 1.5) ? "met" : "NOT met" }')), CPU $(f "$(ratio_of 0 1 cpu)" %.3f)"
  r=$(ratio_of 0 2 wall)
  echo "- bulk check at most a tenth of $count report runs: $(f "$r" %.4f) ($(awk -v r="$r" 'BEGIN { print (r == "nan") ? "not measured" : (r <= 0.1) ? "met" : "NOT met" }'))"
}
