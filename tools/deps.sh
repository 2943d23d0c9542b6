#!/bin/sh
# Installs the Debian packages that tolvane's build needs, when missing.
#   tools/deps.sh build   compiler and CMake: enough to build the tool
#   tools/deps.sh test    also GoogleTest and the disc tools the tests use
#   tools/deps.sh fuzz    also clang and its sanitizer and libFuzzer runtimes
#   tools/deps.sh bench   the build, plus what bench/run.sh times and measures with
#                         and the disc tools it compares tolvane with
# Runs apt-get (through sudo when not root) only if something is missing.
set -eu

build="cmake make g++"
test="$build libgtest-dev xorriso genisoimage dumpet mtools"
fuzz="$build clang libclang-rt-14-dev"
# bench: hyperfine times, time gives /usr/bin/time -v (peak memory), strace
# counts system calls; genisoimage (isoinfo), libcdio-utils (iso-info), dumpet
# and xorriso are the tools compared with.
bench="$build hyperfine time strace genisoimage libcdio-utils dumpet xorriso"

case "${1:-}" in
  build) wanted=$build ;;
  test) wanted=$test ;;
  fuzz) wanted=$fuzz ;;
  bench) wanted=$bench ;;
  *) echo "usage: tools/deps.sh build|test|fuzz|bench" >&2; exit 2 ;;
esac

missing=""
for package in $wanted; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0

echo "tools/deps.sh: installing$missing" >&2
as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
$as_root apt-get update -q
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing
