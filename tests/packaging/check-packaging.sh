#!/usr/bin/env bash
# Usage: check-packaging.sh BUILD_DIR SOURCE_DIR "Class1;Class2;..."
# Checks the SONAME, that nothing but the public classes is exported, and that
# a consumer builds and runs against an installed tree through pkg-config and
# through find_package(Tarnex).
set -euo pipefail
build=$1 here=$2 classes=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

lib=$build/libtarnex.so.1.0.0
[ -f "$lib" ] || fail "no $lib"
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[ "$soname" = "libtarnex.so.1" ] || fail "SONAME is '$soname'"

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
libdir=$(dirname "$(find "$prefix" -name libtarnex.so.1 | head -n1)")
[ -n "$libdir" ] || fail "libtarnex.so.1 not installed"
[ -f "$prefix/include/tarnex/mmslogger.h" ] || fail "mmslogger.h not installed"
for f in "$prefix"/include/tarnex/*.h; do
    grep -q '_p\.h' "$f" && fail "$f includes a private header"
done
[ -z "$(find "$prefix/include" -name '*_p.h')" ] || fail "private header installed"

# A consumer that includes every installed header and touches the library.
mkdir -p "$work/consumer"
{
    for f in "$prefix"/include/tarnex/*.h; do echo "#include <$(basename "$f")>"; done
    cat <<'CPP'
#include <QCoreApplication>
#include <cstdio>
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    MMSLogger::qdebugEnabled = false;
    std::printf("%s\n", MmsSenderBase::staticMetaObject.className());
    return 0;
}
CPP
} > "$work/consumer/main.cpp"

export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs tarnex) || fail "pkg-config tarnex"
g++ -std=c++17 -fPIC "$work/consumer/main.cpp" -o "$work/consumer/by-pkgconfig" $flags
out=$(LD_LIBRARY_PATH=$libdir "$work/consumer/by-pkgconfig") || fail "pkg-config consumer did not run"
[ "$out" = "MmsSenderBase" ] || fail "pkg-config consumer printed '$out'"

cat > "$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Tarnex 1 REQUIRED)
add_executable(by-cmake main.cpp)
target_link_libraries(by-cmake PRIVATE Tarnex::tarnex)
CM
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null \
    || fail "find_package(Tarnex) consumer did not configure"
cmake --build "$work/consumer/build" >/dev/null || fail "find_package(Tarnex) consumer did not build"
out=$(LD_LIBRARY_PATH=$libdir "$work/consumer/build/by-cmake") || fail "cmake consumer did not run"
[ "$out" = "MmsSenderBase" ] || fail "cmake consumer printed '$out'"
echo "packaging: ok"
