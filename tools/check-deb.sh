#!/bin/sh
# Makes the Debian package of a built tree with CPack and checks it: it holds
# the tool as usr/bin/tolvane and its gzipped manual page as
# usr/share/man/man1/tolvane.1.gz, names its maintainer and the libraries it
# depends on, and the tool and page it unpacks work (--version prints the
# banner line; the page renders without warnings).
#   tools/check-deb.sh BUILD_DIR
# Installs dpkg-dev (dpkg-shlibdeps, which computes Depends) and man-db when
# missing, with apt-get, as tools/deps.sh does.
set -eu

if [ $# -ne 1 ] || [ ! -f "$1/CPackConfig.cmake" ]; then
  echo "usage: tools/check-deb.sh BUILD_DIR (a configured and built tree)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)

missing=""
for package in dpkg-dev man-db; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "tools/check-deb.sh: installing$missing" >&2
  as_root=""
  [ "$(id -u)" -eq 0 ] || as_root="sudo"
  $as_root apt-get update -q
  DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing
fi

fail() {
  echo "tools/check-deb.sh: $*" >&2
  exit 1
}

rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B "$build/package")
set -- "$build"/package/tolvane_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one tolvane_*.deb in $build/package"
deb=$1
echo "checking $deb"

contents=$(dpkg-deb -c "$deb")
echo "$contents"
echo "$contents" | awk '$6 == "./usr/bin/tolvane" && $1 ~ /^-rwxr-xr-x/ { found = 1 } END { exit !found }' ||
  fail "no executable ./usr/bin/tolvane in the package"
echo "$contents" | awk '$6 == "./usr/share/man/man1/tolvane.1.gz" && $1 ~ /^-rw-r--r--/ { found = 1 } END { exit !found }' ||
  fail "no ./usr/share/man/man1/tolvane.1.gz in the package"

dpkg-deb -f "$deb" Package Version Maintainer Depends
[ "$(dpkg-deb -f "$deb" Maintainer)" = "tolvane maintainers <tolvane-maintainers@example.org>" ] ||
  fail "unexpected Maintainer"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
# A statically linked tolvane (the default on Linux, for a fast start) needs
# no shared library and so no Depends; a dynamically linked one must name
# the C library, which dpkg-shlibdeps finds.
if LC_ALL=C readelf -d "$unpacked/usr/bin/tolvane" 2>/dev/null | grep -q '(NEEDED)'; then
  dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends does not name libc6: was dpkg-shlibdeps run?"
else
  [ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "a static tolvane should depend on nothing"
fi
version=$(dpkg-deb -f "$deb" Version)
printf 'tolvane %s by tolvane-maintainers@example.org\r\n' "$version" > "$unpacked/expected"
"$unpacked/usr/bin/tolvane" --version > "$unpacked/got" || fail "tolvane --version failed"
cmp "$unpacked/expected" "$unpacked/got" || fail "tolvane --version does not print the banner line"
gzip -t "$unpacked/usr/share/man/man1/tolvane.1.gz" || fail "the manual page is not a good gzip file"
warnings=$(MANWIDTH=80 man --warnings -l "$unpacked/usr/share/man/man1/tolvane.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page renders with warnings:
$warnings"
echo "tools/check-deb.sh: $deb is good"
