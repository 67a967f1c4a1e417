#!/usr/bin/env bash
# The installed client headers beside the common C headers: a program
# includes <curses.h>, <X11/Xlib.h> or the C library's headers before or
# after ours and builds with nothing but pkg-config's flags; one uses curses'
# and X11's macros (TRUE, Status, True, None...) beside the driver's names.
# Our headers add no macro of their own.
#
#   beside_c_headers.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" --component dev > "$tmp/install.log"
export PKG_CONFIG_PATH=$tmp/prefix/lib/$(gcc -print-multiarch)/pkgconfig
cflags=$(pkg-config --cflags trelvane)
libs=$(pkg-config --libs trelvane)
ours='#include <trelvane/trelvane.h>
#include <trelvane/driver.h>'

# Compiles the program on standard input, or says which one failed and why.
compiles() {
    local name=$1
    cat > "$tmp/$name.cpp"
    # shellcheck disable=SC2086
    g++ -Wall -Wextra -Werror -fsyntax-only $cflags "$tmp/$name.cpp" 2> "$tmp/$name.log" ||
        fail "$name does not compile:$(printf '\n'; head -20 "$tmp/$name.log")"
}

echo "== our headers after and before each common header"
c_headers="assert.h ctype.h errno.h fenv.h float.h inttypes.h limits.h locale.h math.h setjmp.h signal.h stdarg.h
stddef.h stdint.h stdio.h stdlib.h string.h time.h uchar.h wchar.h wctype.h"
for header in curses.h X11/Xlib.h X11/Xutil.h "$c_headers"; do
    includes=$(for h in $header; do echo "#include <$h>"; done)
    name=$(echo "$header" | head -1 | tr -c 'a-zA-Z0-9\n' _)
    printf '%s\n%s\nint main() { return 0; }\n' "$includes" "$ours" | compiles "after_$name"
    printf '%s\n%s\nint main() { return 0; }\n' "$ours" "$includes" | compiles "before_$name"
done

echo "== curses' and X11's macros beside the driver's names, linked"
cat > "$tmp/beside.cpp" <<'PROGRAM'
#include <curses.h>
#include <X11/Xlib.h>
#include <trelvane/trelvane.h>
#include <trelvane/driver.h>

static_assert(TRUE == 1 && FALSE == 0 && OK == 0 && True == 1 && False == 0 && None == 0L);

// Opens a port through the automation interface; X11's Status is the result.
Status OpenPort(ITarvik* driver, LONG port) {
    LONG status = -1;
    const HRESULT hr = driver->Open(port, &status);
    return SUCCEEDED(hr) && status == 0 ? True : False;
}

int main(int argc, char**) {
    Bool quiet = argc > 1 ? True : False;
    if (argc > 2) {
        // Linked only: it would start the server.
        trelvane::Driver driver;
        driver.OnStartNumberRequest([&](long number) { driver.StartNumberOK(number); });
        return driver.Open(3) == trelvane::OpenStatus::Opened ? OK : ERR;
    }
    return quiet == True || OpenPort(nullptr, 0) == None ? 0 : 0;
}
PROGRAM
# shellcheck disable=SC2086
g++ -Wall -Wextra -Werror -o "$tmp/beside" "$tmp/beside.cpp" $cflags $libs 2> "$tmp/beside.log" ||
    fail "the program with curses' and X11's macros does not build:$(printf '\n'; head -20 "$tmp/beside.log")"

echo "== no macros of ours"
std_includes=$(grep -h '^#include <[a-z_]*>' "$tmp/prefix/include/trelvane/"*.h | sort -u)
# shellcheck disable=SC2086
printf '%s\n' "$std_includes" | g++ $cflags -x c++ -dM -E - | sort > "$tmp/standard.macros"
# shellcheck disable=SC2086
printf '%s\n%s\n' "$std_includes" "$ours" | g++ $cflags -x c++ -dM -E - | sort > "$tmp/ours.macros"
diff "$tmp/standard.macros" "$tmp/ours.macros" > "$tmp/macros.diff" ||
    fail "our headers define macros:$(printf '\n'; cat "$tmp/macros.diff")"

echo "== nothing but include/trelvane"
[ "$(cd "$tmp/prefix/include" && ls)" = trelvane ] || fail "the install puts headers beside include/trelvane"
find "$tmp/prefix/include/trelvane" -mindepth 1 -type d | grep -q . && fail "include/trelvane has folders"
grep -rn '#include "platform/' "$tmp/prefix/include" && fail "an installed header includes the platform's headers"
true
