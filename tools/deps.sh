#!/bin/sh
# Installs the Debian packages that tolvane's build needs, when missing.
#   tools/deps.sh build   compiler and CMake: enough to build the tool
#   tools/deps.sh test    also GoogleTest and the disc tools the tests use
#   tools/deps.sh fuzz    also clang and its sanitizer and libFuzzer runtimes
#   tools/deps.sh bench   the build, plus what bench/run.sh times and measures with
#                         and the disc tools it compares tolvane with
#   tools/deps.sh windows the build, plus the MinGW-w64 cross compilers and
#                         wine (64- and 32-bit) for tools/check-windows.sh
# Runs apt-get (through sudo when not root) only if something is missing.
set -eu

build="cmake make g++ nlohmann-json3-dev"
# test: mount gives losetup, for the loop device test (run as root).
test="$build libgtest-dev xorriso genisoimage dumpet mtools mount"
fuzz="$build clang libclang-rt-14-dev"
# bench: hyperfine times, time gives /usr/bin/time -v (peak memory), strace
# counts system calls; genisoimage (isoinfo), libcdio-utils (iso-info), dumpet
# and xorriso are the tools compared with.
bench="$build hyperfine time strace genisoimage libcdio-utils dumpet xorriso"
# windows: mingw-w64 (g++-mingw-w64) cross-compiles for i686 and x86_64; wine64
# runs the 64-bit executable and wine32:i386 the 32-bit one, which needs the
# i386 architecture enabled in dpkg (done below when it is missing).
windows="$build mingw-w64 g++-mingw-w64 wine wine64 wine32:i386"

case "${1:-}" in
  build) wanted=$build ;;
  test) wanted=$test ;;
  fuzz) wanted=$fuzz ;;
  bench) wanted=$bench ;;
  windows) wanted=$windows ;;
  *) echo "usage: tools/deps.sh build|test|fuzz|bench|windows" >&2; exit 2 ;;
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
# A package of another architecture (wine32:i386) can only be installed once
# dpkg knows that architecture; the update below then fetches its lists.
for package in $missing; do
  case "$package" in
    *:*)
      arch=${package##*:}
      if [ "$arch" != "$(dpkg --print-architecture)" ] &&
         ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        echo "tools/deps.sh: adding the $arch architecture to dpkg" >&2
        $as_root dpkg --add-architecture "$arch"
      fi
      ;;
  esac
done
$as_root apt-get update -q
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing
