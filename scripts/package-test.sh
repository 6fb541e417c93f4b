#!/usr/bin/env bash
# Builds the Debian package with cpack, installs it with dpkg, checks that
# taq is on the PATH with its manual page and bash completion and that it
# round-trips a file, then removes the package and checks that nothing is
# left. Needs root (or sudo). Builds in ./build, as test.sh does.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$root/scripts/ensure-tools.sh"
taq_ensure_tools
build="$root/build"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

if dpkg -s taq >/dev/null 2>&1; then
    echo "package test: a taq package is installed already; not touching it" >&2
    exit 1
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAQ_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target taq
rm -f "$build"/taq_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/taq_*.deb)
echo "package test: $deb"
dpkg-deb --contents "$deb" | awk '{print "  " $NF}'

work=$(mktemp -d)
cleanup() {
    rm -rf "$work"
    dpkg -s taq >/dev/null 2>&1 && $sudo dpkg -r taq >/dev/null
    return 0
}
trap cleanup EXIT

fail() {
    echo "package test: FAILED: $*" >&2
    exit 1
}

$sudo dpkg -i "$deb" >/dev/null
[ "$(command -v taq)" = /usr/bin/taq ] || fail "taq is not on the PATH"
taq --version | grep -qx "TAQ Archiver v.0.60d Kelvo" || fail "taq --version"
MANWIDTH=80 man taq 2>&1 | grep -q "taq - context-mixing file archiver" || fail "man taq"
[ -f /usr/share/bash-completion/completions/taq ] || fail "no bash completion"
head -c 100000 "$deb" > "$work/input"
(cd "$work" && taq a -m0 round.taq input >/dev/null && taq x round.taq out >/dev/null) || fail "taq a/x"
cmp -s "$work/input" "$work/out/input" || fail "round trip differs"

$sudo dpkg -r taq >/dev/null
hash -r
! command -v taq >/dev/null || fail "taq still on the PATH after dpkg -r"
for f in /usr/bin/taq /usr/share/man/man1/taq.1 /usr/share/bash-completion/completions/taq; do
    [ ! -e "$f" ] || fail "$f left behind"
done
echo "package test: installs, runs, and removes cleanly"
