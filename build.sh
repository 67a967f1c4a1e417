#!/usr/bin/env bash
# Installs what the build needs (Debian packages), builds, and runs:
#   ./build.sh run [asan|tsan]    the main job: the server, the simulated start
#                                 post and a trelvanectl session (tools/demo);
#                                 builds those three programs only
#   ./build.sh test [asan|tsan]   builds everything and runs every test (the
#                                 server's real-interval lifetime cases, the
#                                 install and package test and the compile
#                                 probes in the plain build only; the sanitizer
#                                 builds leave out the benchmarks no test runs;
#                                 asan is a clang build with the fuzz targets)
#   ./build.sh bench              the benchmarks
#   ./build.sh soak [asan|tsan]   the soak of the server program (minutes)
#   ./build.sh fuzz [seconds]     each fuzz target for that long (60 s), built in
#                                 the asan build, whose clang also checks the
#                                 locking annotations (-Wthread-safety)
#   ./build.sh format [fix]       checks that the sources are formatted as
#                                 .clang-format says (fix: formats them)
#   ./build.sh tidy               runs the checks of .clang-tidy over the
#                                 product's code (not tests nor benchmarks);
#                                 any finding fails it
#   ./build.sh windows            the build for 64-bit Windows (MinGW-w64) in
#                                 build-windows/
#   ./build.sh test windows       that build and its suites under Wine
#   ./build.sh bench windows      the acknowledge under Wine beside the same on
#                                 Linux (bench/wine_ack_latency.cpp): builds
#                                 its programs in build-windows/ and build/
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-run}
windows=""
if [ "$mode" = windows ] || [ "$mode:${2:-}" = test:windows ]; then windows=yes; fi
# libsystemd-dev: sd-bus for the D-Bus face; the bus daemon, busctl (in
# systemd) and Python's bus bindings for its tests; libedit-dev: the
# simulator's prompt; lld: the quicker linker.
packages=(cmake ninja-build g++ lld libgtest-dev libgmock-dev pkgconf libedit-dev libsystemd-dev
          dbus-daemon systemd python3-dbus python3-gi)
wine_bench=""
if [ "$mode:${2:-}" = bench:windows ]; then wine_bench=yes; fi
if [ -n "$windows" ] || [ -n "$wine_bench" ]; then
    # The cross compiler (its posix-threads variant), widl, Wine to run the
    # suites, Wine's .idl files for widl, GoogleTest's sources to build for
    # Windows; python3 plays the device behind a pty.
    windows_packages=(g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 libwine-dev googletest python3)
    if [ -n "$wine_bench" ]; then packages+=("${windows_packages[@]}")
    else packages=(cmake ninja-build "${windows_packages[@]}"); fi
fi
# The install test makes and checks the packages and compiles the client
# headers beside curses' and X11's; the thread-safety cases compile their
# probes with clang.
[ "$mode" = test ] && [ -z "$windows" ] && packages+=(lintian dpkg-dev clang libncurses-dev libx11-dev)
# The asan build (which the fuzz targets are part of) is a clang build.
{ [ "$mode" = fuzz ] || [ "${2:-}" = asan ]; } && packages+=(clang libclang-rt-dev)
[ "$mode" = format ] && packages=(clang-format git)
[ "$mode" = tidy ] && packages+=(clang clang-tidy git)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

if [ -n "$windows" ]; then
    echo "build.sh: configuring and building build-windows/ for Windows" >&2
    cmake --preset windows >/dev/null
    cmake --build --preset windows
    [ "$mode" = test ] || exit 0
    # The first run makes the Wine prefix (about 30 s); the suites start a
    # persistent wineserver and stop it again at the end.
    echo "build.sh: running the Windows suites under Wine" >&2
    exec ctest --preset windows
fi

if [ -n "$wine_bench" ]; then
    echo "build.sh: building the acknowledge benchmark under Wine (build-windows/, build/)" >&2
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target trelvane_wine_benchmarks
    cmake --preset plain >/dev/null
    cmake --build --preset plain --target bench_wine_ack_latency
    exec build/bench/bench_wine_ack_latency build-windows
fi

if [ "$mode" = format ]; then
    mapfile -t sources < <(git ls-files '*.cpp' '*.h')
    if [ "${2:-}" = fix ]; then exec clang-format -i "${sources[@]}"; fi
    echo "build.sh: checking the format of ${#sources[@]} files" >&2
    exec clang-format --dry-run --Werror "${sources[@]}"
fi

if [ "$mode" = tidy ]; then
    # The checks run on the compile database of the asan preset's clang
    # build; configuring it makes every generated source, so nothing is
    # built. The product's code only: the tests and benchmarks (GoogleTest
    # in every file) would more than double the time.
    cmake --preset asan >/dev/null
    root=$(pwd -P)
    mapfile -t sources < <(grep -o '"file": "[^"]*"' build-asan/compile_commands.json | cut -d'"' -f4 |
        sed -n "s|^$root/||p" | grep -E '^(platform|serial|protocol|driver|contract|client|server|tools)/' | sort -u)
    echo "build.sh: clang-tidy over ${#sources[@]} files (.clang-tidy)" >&2
    # Each file's findings come out together; the counts of warnings in
    # other people's headers do not come out at all.
    printf '%s\n' "${sources[@]}" | xargs -P2 -n1 clang-tidy -p build-asan --quiet 2>&1 |
        { grep -v '^[0-9]* warnings\? generated\.$' || true; } ||
        { echo "build.sh: clang-tidy has findings (above)" >&2; exit 1; }
    exit 0
fi

if [ "$mode" = fuzz ]; then
    exec fuzz/run "${2:-60}"
fi

# The builds are the presets of CMakePresets.json: plain, asan, tsan.
case ${2:-} in
    "") preset=plain ;;
    asan | tsan) preset=$2 ;;
    *) echo "unknown build kind: $2 (asan or tsan)" >&2; exit 2 ;;
esac
dir=build  # the preset's binary folder
[ "$preset" = plain ] || dir=build-$preset

say() { echo "build.sh: $*" >&2; }
say "configuring the $preset build"
cmake --preset "$preset" >/dev/null
if [ "$mode" = run ]; then
    # The main job needs the server, the simulator and trelvanectl only.
    say "building the server, trelvane-sim and trelvanectl ($preset)"
    cmake --build --preset "$preset" --target trelvane trelvane-sim trelvanectl
    say "running the main job (tools/demo/trelvane-demo)"
else
    # The sanitizer builds leave out of "all" the benchmarks that no test
    # runs; bench and soak ask for them.
    targets=(all)
    [ "$mode" = test ] || targets+=(trelvane_benchmarks)
    say "building ${targets[*]} ($preset): programs, tests and benchmarks"
    cmake --build --preset "$preset" --target "${targets[@]}"
    say "running $mode"
fi

case $mode in
    run) tools/demo/trelvane-demo "$dir" ;;
    # The real-interval cases (the server's lifetime) mostly sleep: they run
    # all at once, and only in the plain build, where timing means something.
    test) ctest --preset "$preset"
          [ "$preset" != plain ] || ctest --preset real-intervals ;;
    bench) "$dir/bench/bench_channel_latency" && "$dir/bench/bench_ack_latency" && "$dir/bench/bench_pty_ack_latency" &&
           "$dir/bench/bench_registry_lookup" && "$dir/bench/bench_remote_calls" && "$dir/bench/bench_remote_events" &&
           "$dir/bench/bench_activation" && "$dir/bench/bench_idle_server" && "$dir/bench/bench_dbus_face" ;;
    soak) "$dir/bench/bench_soak" ;;
    *) echo "unknown mode: $mode (run, test, bench, soak, fuzz, format, tidy or windows)" >&2; exit 2 ;;
esac
