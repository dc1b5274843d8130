#!/usr/bin/env bash
# Usage: check-packaging.sh BUILD_DIR SOURCE_DIR "Class1;Class2;..." MMSC_SIM NAME PACKAGE QT
# NAME is the library's name for the build's Qt (tarnex, tarnex-qt6): its
# file, SONAME, header directory and .pc file; PACKAGE its CMake package
# (Tarnex, TarnexQt6); QT the Qt it is built with (Qt5, Qt6).
# Checks the SONAME, that nothing but the public classes is exported, that an
# install holds libtarnex alone (not the handset's libraries), and that a
# consumer and the send-one example build and run against the installed tree
# through pkg-config and through find_package, with the handset's libraries
# somewhere else, as on a device.
set -euo pipefail
build=$1 top=$2 classes=$3 mmsc_sim=$4 name=$5 package=$6 qt=$7
soname=lib$name.so.1
work=$(mktemp -d)
sim_pid=""
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

lib=$build/$soname.0.0
[ -f "$lib" ] || fail "no $lib"
got=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[ "$got" = "$soname" ] || fail "SONAME is '$got'"
# One Qt in a process: a library of one flavour pulling in the other's Qt
# would load both.
qtlibs=$(objdump -p "$lib" | awk '/NEEDED/ && $2 ~ /^libQt/ {print $2}')
[ -n "$qtlibs" ] || fail "$lib links no Qt"
wrong=$(grep -v "^lib$qt" <<<"$qtlibs" || true)
[ -z "$wrong" ] || fail "$lib, built for $qt, links $wrong"

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
libdir=$(find "$prefix" -name "$soname" | head -n1)
[ -n "$libdir" ] || fail "$soname not installed"
libdir=$(dirname "$libdir")
# On a handset these are the vendor's: an install brings them only when asked,
# and never into libtarnex's own header directory.
option() { grep -q "^$1:BOOL=ON$" "$build/CMakeCache.txt"; }
extras() { find "$prefix" \( "$@" \) -printf '%P\n' | sort | tr '\n' ' '; }
standins=$(extras -name 'libselvra.so*' -o -name 'libkavlo.so*' -o -name mmslogger.h -o -name kavlo.h)
tools=$(extras -name mms-demo -o -name mmspdu -o -name mmsc-sim -o -name gprs-sim -o -name tarnex-demo)
if option TARNEX_INSTALL_PLATFORM_STANDINS; then
    want="include/kavlo.h include/mmslogger.h ${libdir#"$prefix"/}/libkavlo.so"
    [[ "$standins" == "$want"* ]] || fail "stand-ins installed as: $standins"
else
    [ -z "$standins" ] || fail "installed without being asked for: $standins"
fi
if option TARNEX_INSTALL_TOOLS; then
    [ "$(wc -w <<<"$tools")" = 5 ] || fail "tools installed: $tools"
else
    [ -z "$tools" ] || fail "installed without being asked for: $tools"
fi
# Nothing under the other flavour's names, so both install into one prefix.
[ -f "$prefix/include/$name/mmssender.h" ] || fail "public headers not under include/$name"
clash=$(find "$prefix" \( -name 'libtarnex*' -o -name 'tarnex*.pc' -o -path '*/include/tarnex*' -prune -o -path '*/cmake/Tarnex*' -prune \) \
    ! -name "lib$name.so*" ! -name "$name.pc" ! -name "$name" ! -name "$package" -printf '%P\n')
[ -z "$clash" ] || fail "installed under names that are not this flavour's: $clash"
for f in "$prefix"/include/"$name"/*.h; do
    grep -q '_p\.h' "$f" && fail "$f includes a private header"
    grep -Eq '#include [<"](mmslogger|kavlo)\.h' "$f" && fail "$f needs a header of the handset's libraries"
done
[ -z "$(find "$prefix/include" -name '*_p.h')" ] || fail "private header installed"

# The handset's libraries, where its vendor put them: not in libtarnex's prefix.
# Only the run-time linker (and the link editor, checking libtarnex's own
# needs) is told where they are.
vendor=$work/vendor
mkdir -p "$vendor"
cp -P "$build"/platform/selvra/libselvra.so.1* "$build"/platform/kavlo/libkavlo.so.0* "$vendor"/
export LD_LIBRARY_PATH=$vendor:$libdir

# A consumer that includes every installed header and touches the library.
mkdir -p "$work/consumer"
{
    for f in "$prefix"/include/"$name"/*.h; do echo "#include <$(basename "$f")>"; done
    cat <<'CPP'
#include <QCoreApplication>
#include <cstdio>
#if TARNEX_VERSION < TARNEX_VERSION_CHECK(1, 0, 0)
#error tarnexversion.h is not in step with the library
#endif
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("%s %s\n", MmsSenderBase::staticMetaObject.className(), TARNEX_VERSION_STRING);
    return 0;
}
CPP
} > "$work/consumer/main.cpp"
version=$(sed -n 's/^project(tarnex VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"

# Links only what it names: libtarnex and Qt, never the handset's libraries.
only_tarnex() {
    local needed
    needed=$(objdump -p "$1" | awk '/NEEDED/ {print $2}')
    grep -qx "$soname" <<<"$needed" || fail "$1 does not link libtarnex"
    ! grep -Eq '^lib(selvra|kavlo)\.' <<<"$needed" || fail "$1 links the handset's libraries itself"
}

export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs "$name") || fail "pkg-config $name"
grep -Eq -- '-l(selvra|kavlo)' <<<"$flags" && fail "$name.pc hands the handset's libraries to clients: $flags"
pkg-config --static --libs "$name" | grep -q -- '-lselvra' || fail "$name.pc lost its private libraries"
g++ -std=c++17 -fPIC -Wl,--no-as-needed "$work/consumer/main.cpp" -o "$work/consumer/by-pkgconfig" $flags
only_tarnex "$work/consumer/by-pkgconfig"
out=$("$work/consumer/by-pkgconfig") || fail "pkg-config consumer did not run"
[ "$out" = "MmsSenderBase $version" ] || fail "pkg-config consumer printed '$out'"

cat > "$work/consumer/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 17)
find_package($package 1 REQUIRED)
add_executable(by-cmake main.cpp)
target_link_libraries(by-cmake PRIVATE $package::tarnex)
CM
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-as-needed >/dev/null || fail "find_package($package) consumer did not configure"
cmake --build "$work/consumer/build" >/dev/null || fail "find_package($package) consumer did not build"
only_tarnex "$work/consumer/build/by-cmake"
out=$("$work/consumer/build/by-cmake") || fail "cmake consumer did not run"
[ "$out" = "MmsSenderBase $version" ] || fail "cmake consumer printed '$out'"

# The example, both ways, sending the sample to the simulated MMSC and once to
# a port where nothing listens.
example=$top/examples/send-one
g++ -std=c++17 -fPIC "$example/send-one.cpp" -o "$work/send-one-pc" $(pkg-config --cflags --libs "$name") \
    || fail "send-one does not build through pkg-config"
cmake -S "$example" -B "$work/send-one" -DCMAKE_PREFIX_PATH="$prefix" -DTARNEX_PACKAGE="$package" >/dev/null \
    && cmake --build "$work/send-one" >/dev/null || fail "send-one does not build through find_package"

mkfifo "$work/sim.fifo"
"$mmsc_sim" --listen 127.0.0.1 --port 0 --log "$work/sim.log" >"$work/sim.fifo" 2>"$work/sim.err" &
sim_pid=$!
read -r -t 20 ready <"$work/sim.fifo" || true
port=${ready#ready port=}
[[ "$port" =~ ^[0-9]+$ ]] || fail "mmsc-sim did not start: $ready $(cat "$work/sim.err")"
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

sample=$top/examples/data/m-send-req.mms
while read -r program variant url want_rc want; do
    [ "$variant" = nm ] && opt=--nm || opt=""
    url=${url/PORT/$port}
    url=${url/CLOSED/$closed}
    rc=0
    out=$("$work/$program" $opt "$url" "$sample") || rc=$?
    [ "$rc" = "$want_rc" ] && [[ "$out" == *"$want"* ]] \
        || fail "$program $opt $url: exit $rc, printed '$out'; wanted exit $want_rc and '$want'"
done <<EOF
send-one-pc        socket http://127.0.0.1:PORT/mms   0 libtarnex $version, MmsSender: 200 HTTP 200
send-one/send-one  nm     http://127.0.0.1:PORT/mms   0 MmsSenderNM: 200 HTTP 200
send-one/send-one  socket http://127.0.0.1:CLOSED/mms 1 MmsSender: 3 ConnectionRefused, 0 bytes
send-one-pc        nm     http://127.0.0.1:CLOSED/mms 1 MmsSenderNM: 1 ConnectionRefusedError
EOF
echo "packaging: ok"
