#!/usr/bin/env bash
# Usage: check-packaging.sh BUILD_DIR SOURCE_DIR "Class1;Class2;..." MMSC_SIM NAME PACKAGE QT
# The library as a consumer meets it, for the build's Qt: NAME is its name
# (tarnex, tarnex-qt6: file, SONAME, header directory, .pc file), PACKAGE its
# CMake package (Tarnex, TarnexQt6), QT the Qt it links (Qt5, Qt6).
set -euo pipefail
build=$1 top=$2 classes=$3 mmsc_sim=$4 name=$5 package=$6 qt=$7
soname=lib$name.so.1
work=$(mktemp -d)
sim_pid=""
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

lib=$build/$soname.0.0
[ "$(objdump -p "$lib" | awk '/SONAME/ {print $2}')" = "$soname" ] || fail "$lib has not the SONAME $soname"
# One Qt in a process: a library of one flavour pulling in the other's Qt
# would load both.
qtlibs=$(objdump -p "$lib" | awk '/NEEDED/ && $2 ~ /^libQt/ {print $2}')
[ -n "$qtlibs" ] && ! grep -v "^lib$qt" <<<"$qtlibs" || fail "$lib, built for $qt, links: $qtlibs"

# Exported dynamic symbols: every defined one must belong to a public class
# or be one of GprsContext's stream operators.
allowed='^(vtable for |typeinfo for |typeinfo name for )?('"${classes//;/|}"')::|^(vtable for |typeinfo for |typeinfo name for )('"${classes//;/|}"')$'
allowed+='|^operator(<<|>>)\((QDBusArgument|QDebug)( const)?&, GprsContext( const)?&\)$'
leaks=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- | grep -v -E "$allowed" || true)
[ -z "$leaks" ] || fail "symbols exported that are not public API:
$leaks"
nm -D --defined-only -C "$lib" | grep 'MmsSenderBase::staticMetaObject' >/dev/null || fail "public class missing"

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name "$soname" -printf '%h\n' | head -n1)
[ -n "$libdir" ] || fail "$soname not installed"
# The handset's libraries are its vendor's, and the tools are for developers:
# an install brings them only when asked, and never into libtarnex's headers.
asked() { grep -q "^TARNEX_INSTALL_$1:BOOL=ON$" "$build/CMakeCache.txt"; }
extras() { find "$prefix" \( "$@" \) -printf '%P\n'; }
standins=$(extras -name 'libselvra.so*' -o -name 'libkavlo.so*' -o -name mmslogger.h -o -name kavlo.h)
tools=$(extras -name mms-demo -o -name mmspdu -o -name mmsc-sim -o -name gprs-sim -o -name tarnex-demo)
asked PLATFORM_STANDINS || [ -z "$standins" ] || fail "installed without being asked for: $standins"
asked TOOLS || [ -z "$tools" ] || fail "installed without being asked for: $tools"
! grep "^include/$name/" <<<"$standins" || fail "the handset's headers installed among libtarnex's"
# Nothing under the other flavour's names, so both install into one prefix.
[ -f "$prefix/include/$name/mmssender.h" ] || fail "public headers not under include/$name"
clash=$(find "$prefix" \( -name 'libtarnex*' -o -name 'tarnex*.pc' -o -path '*/include/tarnex*' -prune -o -path '*/cmake/Tarnex*' -prune \) \
    ! -name "lib$name.so*" ! -name "$name.pc" ! -name "$name" ! -name "$package" -printf '%P\n')
[ -z "$clash" ] || fail "installed under names that are not this flavour's: $clash"

# The handset's libraries where its vendor put them, outside libtarnex's
# prefix: only the linkers know where.
vendor=$work/vendor
mkdir -p "$vendor"
cp -P "$build"/platform/selvra/libselvra.so.1* "$build"/platform/kavlo/libkavlo.so.0* "$vendor"/
export LD_LIBRARY_PATH=$vendor:$libdir PKG_CONFIG_PATH=$libdir/pkgconfig
pkg-config --static --libs "$name" | grep -q -- '-lselvra' || fail "$name.pc lost its private libraries"

# Each installed header compiles on its own, with no private or handset header.
for f in "$prefix"/include/"$name"/*.h; do
    ! grep -E '_p\.h|#include [<"](mmslogger|kavlo)\.h' "$f" || fail "$f needs a header clients do not have"
    g++ -std=c++17 -fPIC -fsyntax-only -x c++ - $(pkg-config --cflags "$name") <<<"#include <${f##*/}>" \
        || fail "${f##*/} does not compile on its own"
done
[ -z "$(find "$prefix/include" -name '*_p.h')" ] || fail "private header installed"

# The send-one example built as a consumer builds it, through pkg-config and
# through find_package, links libtarnex and not the handset's libraries, and
# sends the sample to the simulated MMSC with either transfer.
example=$top/examples/send-one
g++ -std=c++17 -fPIC -Wl,--no-as-needed "$example/send-one.cpp" -o "$work/by-pkgconfig" \
    $(pkg-config --cflags --libs "$name") || fail "send-one does not build through pkg-config"
cmake -S "$example" -B "$work/by-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DTARNEX_PACKAGE="$package" \
    -DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-as-needed >/dev/null && cmake --build "$work/by-cmake" >/dev/null \
    || fail "send-one does not build through find_package($package)"
mkfifo "$work/sim.fifo"
"$mmsc_sim" --listen 127.0.0.1 --port 0 --log "$work/sim.log" >"$work/sim.fifo" 2>"$work/sim.err" &
sim_pid=$!
read -r -t 20 ready <"$work/sim.fifo" || true
port=${ready#ready port=}
[[ "$port" =~ ^[0-9]+$ ]] || fail "mmsc-sim did not start: $ready $(cat "$work/sim.err")"
version=$(sed -n 's/^project(tarnex VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
for run in "by-pkgconfig" "by-cmake/send-one --nm"; do
    program=$work/${run%% *}
    needed=$(objdump -p "$program" | awk '/NEEDED/ {print $2}')
    grep -qx "$soname" <<<"$needed" && ! grep -Eq '^lib(selvra|kavlo)\.' <<<"$needed" \
        || fail "$program links: $needed"
    out=$($work/$run "http://127.0.0.1:$port/mms" "$top/examples/data/m-send-req.mms") || fail "$run: $out"
    [[ "$out" == "libtarnex $version, MmsSender"*": 200 HTTP 200, "* ]] || fail "$run printed '$out'"
done
echo "packaging: ok"
