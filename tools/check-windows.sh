#!/bin/bash
# Cross-builds tolvane for 32-bit (i686) and 64-bit (x86_64) Windows with
# MinGW-w64, and runs both executables under wine against the Linux build in
# build/: on the sample image, on fixture images, on images whose names lie
# outside any ANSI code page (Cyrillic, Chinese, beyond the Basic Multilingual
# Plane, a path of more than 260 characters), on a raw drive, and on the cases
# that end in an error, each Windows run must write the same bytes to standard
# output as the Linux run and end with the same exit status; an error line
# must name the path with the same UTF-8 bytes as on Linux.
#
#   tools/check-windows.sh
#
# Installs what is missing (tools/deps.sh windows), builds build/tolvane and
# the fixture writer if needed (configuring build/ without the tests if it is
# not configured yet), rebuilds build-win-i686/ and build-win-x86_64/ from
# scratch, and runs wine in a fresh prefix in a temporary folder. Prints one
# line per case and executable; exits 1 if any case differs.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh windows

# wine turns the command line and Unix file names into UTF-16 through the
# locale's character set: UTF-8, or the names below would arrive mangled.
export LC_ALL=C.UTF-8

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-windows.XXXXXX")
export WINEPREFIX="$work/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and wine would offer to fetch them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  # Stops only the wine server of this script's own prefix.
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# ---- The Linux reference and the fixture writer -------------------------------
# Configured first, so that a build/ made before the fixture writer's target
# existed knows it; a build/ configured already keeps its settings.
if [ -f build/CMakeCache.txt ]; then
  configure=(cmake -S . -B build)
else
  configure=(cmake -S . -B build -DTOLVANE_BUILD_TESTS=OFF)
fi
if ! { "${configure[@]}" && cmake --build build -j2 --target tolvane tolvane_fuzz_seeds; } \
     >"$work/build-linux.log" 2>&1; then
  cat "$work/build-linux.log"
  echo "tools/check-windows.sh: the Linux build failed" >&2
  exit 1
fi
linux=$PWD/build/tolvane
root=$PWD

# ---- The cross builds ---------------------------------------------------------
# From scratch each time, so that every compiler or linker warning is seen.
for arch in i686 x86_64; do
  dir=build-win-$arch
  log=$work/build-$arch.log
  rm -rf "$dir"
  if ! { cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$arch.cmake" \
           -DTOLVANE_BUILD_TESTS=OFF && cmake --build "$dir" -j2; } >"$log" 2>&1; then
    cat "$log"
    echo "tools/check-windows.sh: the $arch build failed" >&2
    exit 1
  fi
  if grep -qi 'warning' "$log"; then
    grep -i -B2 -A4 'warning' "$log"
    fail "$arch build: the build printed warnings"
  else
    echo "PASS $arch build: $dir/tolvane.exe, no warnings"
  fi

  # The executable must run on a bare Windows: it may import only from the
  # system's own DLLs, never from libstdc++, libgcc or winpthread.
  dump=$("$arch-w64-mingw32-objdump" -p "$dir/tolvane.exe")
  dlls=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: *//p' | tr '\n' ' ')
  foreign=""
  for dll in $dlls; do
    case "$(printf '%s' "$dll" | tr 'A-Z' 'a-z')" in
      kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
      *) foreign="$foreign $dll" ;;
    esac
  done
  case $arch in
    i686) magic='(PE32)' ;;
    x86_64) magic='(PE32+)' ;;
  esac
  if [ -n "$foreign" ]; then
    fail "$arch DLLs: imports from${foreign} (all: $dlls)"
  elif ! printf '%s\n' "$dump" | grep '^Magic' | grep -qF "$magic"; then
    fail "$arch DLLs: $dir/tolvane.exe is not a $magic executable"
  else
    echo "PASS $arch DLLs: $dlls$magic"
  fi
done

# ---- Fixtures -----------------------------------------------------------------
fixtures=$work/fixtures
mkdir "$fixtures"
build/tolvane_fuzz_seeds "$fixtures"
head -c 40000 samples/sample.iso >"$fixtures/truncated-sample.iso"

# A sparse image of a little over 4 GiB whose boot catalog and boot images lie
# above the 4 GiB mark: the bootable seed with its sectors 18 to 20 (catalog
# and two boot images) copied 2^21 sectors further on and every pointer to
# them moved along. The catalog's old place still holds the old catalog, so a
# build that dropped the high 32 bits of a position would print other sectors.
put_le32() {  # FILE BYTE-POSITION VALUE
  local v=$3
  printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $((v & 255)) $((v >> 8 & 255)) \
    $((v >> 16 & 255)) $((v >> 24 & 255)))" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
high=$fixtures/beyond-4-gib
shift_by=$((1 << 21))
cp "$fixtures/bootable-with-section" "$high"
truncate -s $(((shift_by + 21) * 2048)) "$high"
dd if="$fixtures/bootable-with-section" of="$high" bs=2048 skip=18 seek=$((shift_by + 18)) \
  count=3 conv=notrunc status=none
catalog=$((shift_by + 18))
put_le32 "$high" $((17 * 2048 + 71)) "$catalog"                   # boot record
put_le32 "$high" $((catalog * 2048 + 40)) $((shift_by + 19))      # initial entry
put_le32 "$high" $((catalog * 2048 + 104)) $((shift_by + 20))     # section entry
put_le32 "$high" $(((shift_by + 19) * 2048 + 12)) $((shift_by + 19))  # its boot table
put_le32 "$high" $(((shift_by + 20) * 2048 + 12)) $((shift_by + 20))  # its boot table

# ---- Names outside the ANSI code page ------------------------------------------
# Copies of the sample and of fixtures under names no ANSI code page holds, and
# one at the end of nested folders, so that its path is longer than MAX_PATH
# (260) both relative to $names and absolute.
names=$work/names
mkdir "$names"
long=""
for i in $(seq -w 1 24); do
  long="${long}папка-$i-光盘/"
done
mkdir -p "$names/$long" "$names/目录"
cp samples/sample.iso "$names/образ.iso"
cp "$fixtures/pointers-past-the-end" "$names/光盘.iso"
cp "$fixtures/bootable-with-section" "$names/💿.iso"
cp samples/sample.iso "$names/${long}💿 образ.iso"
long_name="${long}💿 образ.iso"
utf16_units() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | wc -c | awk '{print $1 / 2}'; }
long_label="long path ($(utf16_units "$long_name") UTF-16 units relative, $(utf16_units "$names/$long_name") absolute)"

# ---- wine ---------------------------------------------------------------------
echo "tools/check-windows.sh: creating a wine prefix in $WINEPREFIX" >&2
if ! { timeout 300 wineboot -i && timeout 120 wineserver -w; } >"$work/wineboot.log" 2>&1; then
  cat "$work/wineboot.log"
  echo "tools/check-windows.sh: wineboot failed" >&2
  exit 1
fi

# Report lines: the lines tolvane itself writes to standard error, without
# anything wine might add.
tool_lines() {
  grep -cE "^(tolvane|usage: tolvane|Try 'tolvane)" "$1" || true
}

# check ARCH NAME EXPECTED-STATUS STDERR ARGUMENTS...
#   STDERR: quiet (nothing from tolvane), error (one line or more), warning
#   (at least one warning), or same (as many lines as on Linux)
# Runs the Linux and the Windows executable with the same arguments and
# compares standard output byte for byte, and the exit statuses.
check() {
  local arch=$1 name=$2 expected=$3 stderr_kind=$4
  shift 4
  local out=$work/out err=$work/err
  local linux_status=0 win_status=0
  "$linux" "$@" >"$out.linux" 2>"$err.linux" || linux_status=$?
  timeout 120 wine "$root/build-win-$arch/tolvane.exe" "$@" >"$out.win" 2>"$err.win" || win_status=$?

  local problems=""
  if [ "$expected" != "-" ] && [ "$linux_status" != "$expected" ]; then
    problems="$problems; Linux status $linux_status, expected $expected"
  fi
  if [ "$win_status" != "$linux_status" ]; then
    problems="$problems; status $win_status on Windows, $linux_status on Linux"
  fi
  local differs
  if ! differs=$(cmp "$out.linux" "$out.win" 2>&1); then
    problems="$problems; standard output differs: $differs"
  fi
  local linux_lines win_lines
  linux_lines=$(tool_lines "$err.linux")
  win_lines=$(tool_lines "$err.win")
  case $stderr_kind in
    quiet) [ "$win_lines" -eq 0 ] || problems="$problems; unexpected messages on standard error" ;;
    error) [ "$win_lines" -ge 1 ] && grep -q "^tolvane: \|^usage: " "$err.win" ||
             problems="$problems; no error on standard error" ;;
    warning) grep -q '^tolvane: warning: ' "$err.win" ||
               problems="$problems; no warning on standard error" ;;
  esac
  if [ "$win_lines" -ne "$linux_lines" ]; then
    problems="$problems; $win_lines lines on standard error on Windows, $linux_lines on Linux"
  fi

  if [ -n "$problems" ]; then
    fail "$arch $name:${problems#;}"
    sed 's/^/    linux stderr: /' "$err.linux"
    sed 's/^/    windows stderr: /' "$err.win"
    return
  fi
  local said=""
  if [ "$stderr_kind" = error ] || [ "$stderr_kind" = warning ]; then
    said=" ($(head -n 1 "$err.win"))"
  fi
  echo "PASS $arch $name: status $win_status, $(wc -c <"$out.win") bytes identical$said"
}

# check_named_error ARCH NAME PREFIX ARGUMENTS...
# A run that fails on both systems (status 1, the same standard output) with
# one error line that begins with PREFIX, byte for byte, on each: the path as
# the user gave it. What follows (the system's reason) may differ, as wine's
# texts are not Linux's.
check_named_error() {
  local arch=$1 name=$2 prefix=$3
  shift 3
  local out=$work/out err=$work/err
  local linux_status=0 win_status=0
  "$linux" "$@" >"$out.linux" 2>"$err.linux" || linux_status=$?
  timeout 120 wine "$root/build-win-$arch/tolvane.exe" "$@" >"$out.win" 2>"$err.win" || win_status=$?
  local problems=""
  [ "$linux_status" = 1 ] || problems="$problems; Linux status $linux_status, expected 1"
  [ "$win_status" = 1 ] || problems="$problems; status $win_status on Windows, expected 1"
  cmp -s "$out.linux" "$out.win" || problems="$problems; standard output differs"
  local system
  for system in linux win; do
    grep -a '^tolvane: ' "$err.$system" >"$err.$system.lines" || true
    if [ "$(wc -l <"$err.$system.lines")" -ne 1 ]; then
      problems="$problems; not one error line on $system"
    elif ! cmp -s -n "$(printf '%s' "$prefix" | wc -c)" "$err.$system.lines" \
           <(printf '%s' "$prefix"); then
      problems="$problems; the $system error line does not begin with the path's bytes"
    fi
  done
  if [ -n "$problems" ]; then
    fail "$arch $name:${problems#;}"
    sed 's/^/    linux stderr: /' "$err.linux"
    sed 's/^/    windows stderr: /' "$err.win"
    return
  fi
  echo "PASS $arch $name: status 1 ($(cat "$err.win.lines"))"
}

# check_drive ARCH NAME FILE
# The same image read as a raw drive, \\.\X: in wine, which opens the file
# its dosdevices/x:: link points to as the drive's device: the report must be
# the file's report on Linux, byte for byte.
check_drive() {
  local arch=$1 name=$2 file=$3
  local out=$work/out
  local linux_status=0 win_status=0
  ln -sfn "$file" "$WINEPREFIX/dosdevices/x::"
  "$linux" "$file" >"$out.linux" 2>/dev/null || linux_status=$?
  timeout 120 wine "$root/build-win-$arch/tolvane.exe" '\\.\X:' >"$out.win" 2>"$work/err.win" ||
    win_status=$?
  if [ "$win_status" = "$linux_status" ] && cmp -s "$out.linux" "$out.win"; then
    echo "PASS $arch $name: status $win_status, $(wc -c <"$out.win") bytes identical"
  else
    fail "$arch $name: status $win_status on Windows, $linux_status on Linux, or the reports differ"
    sed 's/^/    windows stderr: /' "$work/err.win"
  fi
}

for arch in i686 x86_64; do
  check $arch "no argument" 2 error
  check $arch "--version" 0 quiet --version
  check $arch "--help (LF line ends)" 0 quiet --help
  check $arch "sample.iso" 0 quiet samples/sample.iso
  check $arch "sample.iso by absolute path" 0 quiet "$PWD/samples/sample.iso"
  check $arch "missing file" 1 error "$work/no-such-image.iso"
  check $arch "directory" 1 error "$fixtures"
  check $arch "truncated sample.iso" 0 warning "$fixtures/truncated-sample.iso"
  for image in "$fixtures"/*; do
    case ${image##*/} in
      truncated-sample.iso) ;;
      *) check $arch "fixture ${image##*/}" 0 same "$image" ;;
    esac
  done

  # Writes that fail: standard output on a full device, and no standard
  # output at all. Nothing to compare but the status and the error line.
  for output in full closed; do
    linux_status=0 win_status=0
    if [ $output = full ]; then
      "$linux" samples/sample.iso >/dev/full 2>"$work/err.linux" || linux_status=$?
      timeout 120 wine "build-win-$arch/tolvane.exe" samples/sample.iso >/dev/full \
        2>"$work/err.win" || win_status=$?
      name="write to a full device"
    else
      "$linux" samples/sample.iso >&- 2>"$work/err.linux" || linux_status=$?
      timeout 120 wine "build-win-$arch/tolvane.exe" samples/sample.iso >&- \
        2>"$work/err.win" || win_status=$?
      name="closed standard output"
    fi
    if [ "$linux_status" = 1 ] && [ "$win_status" = 1 ] &&
       grep -q '^tolvane: error writing standard output' "$work/err.win"; then
      echo "PASS $arch $name: status 1 ($(head -n 1 "$work/err.win"))"
    else
      fail "$arch $name: status $win_status on Windows, $linux_status on Linux, expected 1"
      sed 's/^/    linux stderr: /' "$work/err.linux"
      sed 's/^/    windows stderr: /' "$work/err.win"
    fi
  done

  # Names outside the ANSI code page, relative (from $names, the same text
  # on both sides, so that --json's "image" is the same) and absolute.
  cd "$names"
  for image in образ.iso 光盘.iso 💿.iso "$long_name"; do
    label=$image
    [ "$image" = "$long_name" ] && label=$long_label
    check $arch "name $label" 0 same "$image"
    check $arch "name $label, absolute" 0 same "$names/$image"
  done
  check $arch "--json, the names" 0 same --json образ.iso 光盘.iso 💿.iso "$long_name"
  check $arch "--check, the names" - same --check 光盘.iso 💿.iso "$long_name"
  for image in нет-образа.iso 没有光盘.iso 💿-нет.iso "${long}нет-💿.iso"; do
    label=$image
    [ "$image" = "${long}нет-💿.iso" ] && label=$long_label
    check_named_error $arch "missing $label" "tolvane: $image: " "$image"
    check_named_error $arch "missing $label, absolute" "tolvane: $names/$image: " "$names/$image"
    check_named_error $arch "missing $label, --json" "tolvane: $image: " --json "$image"
  done
  check_named_error $arch "directory 目录" "tolvane: 目录: Is a directory" 目录
  cd "$root"

  # A raw drive: the sample (68 sectors, so the drive ends inside the last
  # 32 KiB block), a fixture that ends inside a volume descriptor, and the
  # sample cut short, each read as \\.\X:.
  check_drive $arch "raw drive \\\\.\\X: (sample.iso)" "$root/samples/sample.iso"
  check_drive $arch "raw drive \\\\.\\X: (ends-inside-volume-descriptor)" \
    "$fixtures/ends-inside-volume-descriptor"
  check_drive $arch "raw drive \\\\.\\X: (truncated sample.iso)" "$fixtures/truncated-sample.iso"
  rm -f "$WINEPREFIX/dosdevices/x::"
done

if [ "$failures" -ne 0 ]; then
  echo "tools/check-windows.sh: $failures case(s) FAILED" >&2
  exit 1
fi
echo "tools/check-windows.sh: both Windows executables match the Linux build" >&2
