#!/usr/bin/env bash
# The install as its users meet it: the tree that `cmake --install` lays out,
# the example client built against that tree alone (CMake package and
# pkg-config) and run against the installed programs, and the Debian package:
# its files, its scripts, and an install into a temporary root that
# registers the server once for every user.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
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

echo "== cmake --install into a temporary prefix"
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" > "$tmp/install.log"
for file in bin/trelvane bin/trelvane-sim bin/trelvanectl include/trelvane/trelvane.h \
    include/trelvane/platform/windows.h include/trelvane/platform/remoting/objbase.h lib/libtrelvane-client.a \
    lib/pkgconfig/trelvane.pc lib/cmake/Trelvane/TrelvaneConfig.cmake lib/cmake/Trelvane/TrelvaneTargets.cmake \
    share/man/man1/trelvane.1 share/man/man1/trelvane-sim.1 share/man/man1/trelvanectl.1; do
    [ -e "$prefix/$file" ] || fail "the install lacks $file"
done
for program in trelvane trelvane-sim trelvanectl; do
    "$prefix/bin/$program" --help | head -1 | grep -q "^Usage: $program" || fail "$program --help"
done

echo "== the example, built against the installed tree only"
cmake -S "$source/examples" -B "$tmp/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$tmp/example.log"
cmake --build "$tmp/example" >> "$tmp/example.log" || { cat "$tmp/example.log"; fail "the example does not build"; }
flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs trelvane)
# shellcheck disable=SC2086
g++ -std=c++20 -o "$tmp/example-pc" "$source/examples/event_printer.cpp" $flags ||
    fail "the example does not build with pkg-config's flags: $flags"

echo "== the example against the installed server and simulator"
export TRELVANE_HOME=$tmp/home
"$prefix/bin/trelvane" -RegServer
printf 'expect reset within 20s\nnumber 42\nexpect final-ack 42 within 10s\nexpect disconnect within 20s\n' \
    > "$tmp/device.script"
"$prefix/bin/trelvane-sim" --script "$tmp/device.script" COM4 > "$tmp/device.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q "serving COM4" "$tmp/device.log" && break; sleep 0.1; done
"$tmp/example/trelvane-example" 4 2 > "$tmp/client.log" 2>&1 || { cat "$tmp/client.log"; fail "the example failed"; }
wait "$sim_pid" || { cat "$tmp/device.log"; fail "the simulated device did not see its final acknowledge"; }
sim_pid=""
has "SP_PortOpened" "$tmp/client.log"
has "StartNumberRequest 42" "$tmp/client.log"
has "confirmed 42: 0x00000000" "$tmp/client.log"
has "SP_PortClosed" "$tmp/client.log"
unset TRELVANE_HOME

echo "== the Debian package"
(cd "$build" && cpack -G DEB -B "$tmp/package" > "$tmp/cpack.log") || { cat "$tmp/cpack.log"; fail "cpack"; }
deb=$(echo "$tmp"/package/trelvane_*.deb)
[ -f "$deb" ] || fail "no package in $tmp/package"
dpkg-deb -c "$deb" | awk '{print $6}' > "$tmp/files"
for file in ./usr/bin/trelvane ./usr/bin/trelvane-sim ./usr/bin/trelvanectl ./usr/include/trelvane/trelvane.h \
    ./usr/include/trelvane/platform/windows.h ./usr/lib/libtrelvane-client.a ./usr/lib/pkgconfig/trelvane.pc \
    ./usr/lib/cmake/Trelvane/TrelvaneConfig.cmake ./usr/share/man/man1/trelvanectl.1; do
    grep -qx -- "$file" "$tmp/files" || fail "the package lacks $file"
done
dpkg-deb -e "$deb" "$tmp/control"
[ -x "$tmp/control/postinst" ] && [ -x "$tmp/control/prerm" ] || fail "the package's scripts are missing"

echo "== the package installed into a temporary root, registered for every user"
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: the rest needs root: it writes the machine's store and reads it as the user nobody"
    exit 77
fi
root=$tmp/root
dpkg-deb -x "$deb" "$root"
export TRELVANE_MACHINE_REGISTRY=$root/var/lib/trelvane/registry
# The package's own scripts, run against the temporary root.
sed "s|/usr/bin/trelvane|$root/usr/bin/trelvane|" "$tmp/control/postinst" > "$tmp/postinst"
sed "s|/usr/bin/trelvane|$root/usr/bin/trelvane|" "$tmp/control/prerm" > "$tmp/prerm"
TRELVANE_HOME=$tmp/root-home sh "$tmp/postinst" configure
mkdir "$tmp/user-home"
chown nobody "$tmp/user-home"
as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups env TRELVANE_HOME="$tmp/user-home" "$@"; }
as_user "$root/usr/bin/trelvanectl" --json status > "$tmp/status.json"
has '"registered":true' "$tmp/status.json"
has "$root/usr/bin/trelvane" "$tmp/status.json"
TRELVANE_HOME=$tmp/root-home sh "$tmp/prerm" remove
as_user "$root/usr/bin/trelvanectl" --json status > "$tmp/status.json"
has '"registered":false' "$tmp/status.json"
