#!/usr/bin/env bash
# The install as its users meet it: the tree that `cmake --install` lays out,
# the example client built against that tree alone (CMake package and
# pkg-config) and run against the installed programs, and the Debian
# packages: their files and fields, lintian, and dpkg installing, removing
# and purging them in a temporary root, where the server is registered once
# for every user.
#
#   install_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
version=$3
tmp=$(mktemp -d)
chmod 755 "$tmp"  # the user nobody reads the machine's registry store below it
# A machine store of this run's own, not the machine's (nor another run's).
export TRELVANE_MACHINE_REGISTRY=$tmp/machine
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
has() { grep -q -- "$1" "$2" || fail "$2 lacks '$1':$(printf '\n'; cat "$2")"; }
multiarch=lib/$(gcc -print-multiarch)

echo "== cmake --install into a temporary prefix"
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" > "$tmp/install.log"
for file in bin/trelvane bin/trelvane-sim bin/trelvanectl include/trelvane/trelvane.h \
    include/trelvane/interfaces.h include/trelvane/driver.h \
    "$multiarch/libtrelvane-client.a" "$multiarch/pkgconfig/trelvane.pc" \
    "$multiarch/cmake/Trelvane/TrelvaneConfig.cmake" "$multiarch/cmake/Trelvane/TrelvaneTargets.cmake" \
    share/man/man1/trelvane.1.gz share/man/man1/trelvane-sim.1.gz share/man/man1/trelvanectl.1.gz \
    share/doc/trelvane/copyright share/doc/trelvane/changelog.gz share/doc/trelvane/LICENSE \
    share/doc/trelvane/reference.md share/doc/trelvane/dbus.md share/doc/trelvane/troubleshooting.md \
    share/doc/trelvane/usage.md \
    share/doc/libtrelvane-dev/copyright share/bash-completion/completions/trelvanectl \
    share/bash-completion/completions/trelvane-sim share/dbus-1/services/org.trelvane.Tarvik1.service \
    share/dbus-1/interfaces/org.trelvane.Tarvik1.xml; do
    [ -e "$prefix/$file" ] || fail "the install lacks $file"
done
has "^Exec=$prefix/bin/trelvane\$" "$prefix/share/dbus-1/services/org.trelvane.Tarvik1.service"
cmp -s "$source/contract/org.trelvane.Tarvik1.xml" "$prefix/share/dbus-1/interfaces/org.trelvane.Tarvik1.xml" ||
    fail "the installed interface file is not contract/org.trelvane.Tarvik1.xml"
for program in trelvane trelvane-sim trelvanectl; do
    "$prefix/bin/$program" --help | head -1 | grep -q "^Usage: $program" || fail "$program --help"
done
for program in trelvane trelvane-sim trelvanectl; do
    [ "$("$prefix/bin/$program" --version | head -1)" = "$program (Trelvane) $version" ] || fail "$program --version"
done

echo "== the version in the manual pages' headers and the changelog"
for page in trelvane trelvane-sim trelvanectl; do
    zcat "$prefix/share/man/man1/$page.1.gz" | head -1 | grep -q "\"Trelvane $version\"" ||
        fail "the manual page of $page names another version: $(zcat "$prefix/share/man/man1/$page.1.gz" | head -1)"
done
zcat "$prefix/share/doc/trelvane/changelog.gz" | head -1 | grep -q "^trelvane ($version) " ||
    fail "packaging/debian/changelog does not begin with $version"
grep -q "^## $version\$" "$source/CHANGELOG.md" || fail "CHANGELOG.md has no section for $version"

echo "== bash completion"
cat > "$tmp/complete.sh" <<'SCRIPT'
_init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; was_split=""; }
compopt() { :; }
source "$1"
COMP_WORDS=(trelvanectl wat); COMP_CWORD=1; _trelvanectl; echo "${COMPREPLY[*]}"
COMP_WORDS=(trelvanectl watch --events StartNumberRequest,SP_); COMP_CWORD=3; _trelvanectl; echo "${COMPREPLY[*]}"
source "$2"
COMP_WORDS=(trelvane-sim --ve); COMP_CWORD=1; _trelvane_sim; echo "${COMPREPLY[*]}"
SCRIPT
bash "$tmp/complete.sh" "$prefix/share/bash-completion/completions/trelvanectl" \
    "$prefix/share/bash-completion/completions/trelvane-sim" > "$tmp/completions"
diff -u - "$tmp/completions" <<'EXPECTED' || fail "completion"
watch
StartNumberRequest,SP_PortOpened StartNumberRequest,SP_PortClosed StartNumberRequest,SP_Reset
--version
EXPECTED

echo "== the examples, built against the installed tree only"
cmake -S "$source/examples" -B "$tmp/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$tmp/example.log"
cmake --build "$tmp/example" >> "$tmp/example.log" || { cat "$tmp/example.log"; fail "the examples do not build"; }
flags=$(PKG_CONFIG_PATH=$prefix/$multiarch/pkgconfig pkg-config --cflags --libs trelvane)
for example in event_printer driver_example; do
    # shellcheck disable=SC2086
    g++ -o "$tmp/$example-pc" "$source/examples/$example.cpp" $flags ||
        fail "$example does not build with pkg-config's flags alone: $flags"
    # The proxies' registration, which nothing in the program names.
    nm "$tmp/$example-pc" | grep -c ' trelvane_client_interfaces$' > /dev/null || fail "$example lacks the proxies' registration"
done
# What a user's build inherits: no warnings of ours, let alone -Werror.
grep -q 'INTERFACE_COMPILE_OPTIONS' "$prefix/$multiarch/cmake/Trelvane/TrelvaneTargets.cmake" &&
    fail "the CMake package gives compile options"
PKG_CONFIG_PATH=$prefix/$multiarch/pkgconfig pkg-config --cflags trelvane | grep -qE -- '(^| )-W' &&
    fail "pkg-config gives warning options"

echo "== the examples against the installed server and simulator"
export TRELVANE_HOME=$tmp/home
"$prefix/bin/trelvane" -RegServer
"$prefix/bin/trelvanectl" --json status > "$tmp/status.json"
has '"scope":"user"' "$tmp/status.json"
printf 'expect reset within 20s\nnumber 42\nexpect final-ack 42 within 10s\nexpect disconnect within 20s\n' \
    > "$tmp/device.script"
# Runs the example program against a simulated device that wants start
# number 42 confirmed; what it printed is in $tmp/client.log.
run_example() {
    "$prefix/bin/trelvane-sim" --script "$tmp/device.script" COM4 > "$tmp/device.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do grep -q "serving COM4" "$tmp/device.log" && break; sleep 0.1; done
    "$1" 4 2 > "$tmp/client.log" 2>&1 || { cat "$tmp/client.log"; fail "$1 failed"; }
    wait "$sim_pid" || { cat "$tmp/device.log"; fail "the simulated device did not see its final acknowledge"; }
    sim_pid=""
    has "SP_PortOpened" "$tmp/client.log"
    has "StartNumberRequest 42" "$tmp/client.log"
    has "SP_PortClosed" "$tmp/client.log"
}
run_example "$tmp/example/trelvane-example"
has "confirmed 42: 0x00000000" "$tmp/client.log"
run_example "$tmp/example/trelvane-driver-example"
has "^confirmed 42\$" "$tmp/client.log"
unset TRELVANE_HOME

echo "== the Debian packages"
(cd "$build" && cpack -G DEB -B "$tmp/package" > "$tmp/cpack.log") || { cat "$tmp/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture)
deb=$tmp/package/trelvane_${version}_$arch.deb
dev=$tmp/package/libtrelvane-dev_${version}_$arch.deb
[ -f "$deb" ] && [ -f "$dev" ] || fail "cpack made $(ls "$tmp/package")"
dpkg-deb -c "$deb" | awk '{print $6}' > "$tmp/files"
dpkg-deb -c "$dev" | awk '{print $6}' > "$tmp/dev-files"
for file in ./usr/bin/trelvane ./usr/bin/trelvane-sim ./usr/bin/trelvanectl ./usr/share/man/man1/trelvanectl.1.gz \
    ./usr/share/doc/trelvane/copyright ./usr/share/doc/trelvane/changelog.gz ./usr/share/doc/trelvane/reference.md \
    ./usr/share/bash-completion/completions/trelvanectl ./usr/share/dbus-1/services/org.trelvane.Tarvik1.service \
    ./usr/share/dbus-1/interfaces/org.trelvane.Tarvik1.xml; do
    grep -qx -- "$file" "$tmp/files" || fail "trelvane lacks $file"
done
for file in ./usr/include/trelvane/trelvane.h ./usr/include/trelvane/driver.h \
    "./usr/$multiarch/libtrelvane-client.a" "./usr/$multiarch/pkgconfig/trelvane.pc" \
    "./usr/$multiarch/cmake/Trelvane/TrelvaneConfig.cmake" ./usr/share/doc/libtrelvane-dev/copyright \
    ./usr/share/doc/libtrelvane-dev/changelog.gz; do
    grep -qx -- "$file" "$tmp/dev-files" || fail "libtrelvane-dev lacks $file"
done
grep -q '^./usr/include/' "$tmp/files" && fail "trelvane carries headers"
grep -q '^./usr/bin/' "$tmp/dev-files" && fail "libtrelvane-dev carries programs"
field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$deb" Section)" = comm ] && [ "$(field "$dev" Section)" = libdevel ] || fail "sections"
[ "$(field "$deb" Version)" = "$version" ] || fail "the package's version: $(field "$deb" Version)"
for package in "$deb" "$dev"; do
    field "$package" Maintainer | grep -q '^Trelvane developers <' || fail "$package: Maintainer"
    field "$package" Homepage | grep -q '^https://' || fail "$package: Homepage"
    [ "$(field "$package" Description | wc -l)" -gt 3 ] || fail "$package: no long description"
done
field "$deb" Depends | grep -q 'libc6 (>= ' || fail "trelvane's dependencies are not dpkg-shlibdeps's: $(field "$deb" Depends)"
# The server loads libsystemd for its bus face only when it joins the bus:
# no program links it, and the package recommends it.
field "$deb" Depends | grep -q 'libsystemd' && fail "a program of trelvane links libsystemd: $(field "$deb" Depends)"
field "$deb" Recommends | grep -q '^libsystemd0 (>= ' || fail "trelvane does not recommend libsystemd0"
[ "$(field "$dev" Depends)" = "trelvane (= $version)" ] || fail "libtrelvane-dev's dependencies"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/dbus-1/services/org.trelvane.Tarvik1.service |
    grep -qx "Exec=/usr/bin/trelvane" || fail "the package's bus service does not start /usr/bin/trelvane"
dpkg-deb -e "$deb" "$tmp/control"
[ -x "$tmp/control/postinst" ] && [ -x "$tmp/control/prerm" ] && [ -x "$tmp/control/postrm" ] ||
    fail "the package's scripts are missing"

echo "== lintian: no errors; every warning kept is listed in docs/packaging.md"
lintian "$deb" "$dev" > "$tmp/lintian.log" 2>&1 || true
grep -q '^E: ' "$tmp/lintian.log" && { cat "$tmp/lintian.log"; fail "lintian reports errors"; }
while read -r _ _ tag _; do
    grep -q -- "\`$tag\`" "$source/docs/packaging.md" || fail "lintian's $tag is not in docs/packaging.md"
done < <(grep '^W: ' "$tmp/lintian.log" | sort -u)

echo "== the packages installed, removed and purged by dpkg in a temporary root"
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: the rest needs root: it writes the machine's store and reads it as the user nobody"
    exit 77
fi
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scripts run here, with DPKG_ROOT naming the root; the root holds
# nothing else, so the dependencies are taken as met.
in_root() { dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@" > "$tmp/dpkg.log" 2>&1 ||
    { cat "$tmp/dpkg.log"; fail "dpkg $*"; }; }
in_root --install "$deb" "$dev"
export TRELVANE_MACHINE_REGISTRY=$root/var/lib/trelvane/registry
mkdir "$tmp/user-home"
chown nobody "$tmp/user-home"
as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups env TRELVANE_HOME="$tmp/user-home" "$@"; }
as_user "$root/usr/bin/trelvanectl" --json status > "$tmp/status.json"
has '"registered":true' "$tmp/status.json"
has '"scope":"machine"' "$tmp/status.json"
# registered under the path it has once the root is the system's
has ':"\\"/usr/bin/trelvane' "$tmp/status.json"
grep -qF "$root" "$tmp/status.json" && fail "the registration names the root dpkg installed into"
in_root --remove libtrelvane-dev trelvane
[ -e "$root/usr/bin/trelvane" ] && fail "the server stays after the removal"
as_user "$root/usr/bin/trelvanectl" --json status > "$tmp/status.json" 2>&1 && fail "trelvanectl stays" || true
[ -d "$root/var/lib/trelvane" ] || fail "the removal took the registry store, which only a purge takes"
as_user "$prefix/bin/trelvanectl" --json status > "$tmp/status.json"
has '"registered":false' "$tmp/status.json"
in_root --purge trelvane
[ -e "$root/var/lib/trelvane" ] && fail "the purge left /var/lib/trelvane"
true
