#!/usr/bin/env bash
# Checks the installed package from a user's point of view.
#
#   check_consumer.sh install PREFIX BUILD_TREE
#       installs the build tree into PREFIX (emptied first)
#   check_consumer.sh find_package PREFIX WORK_DIR
#       builds the project beside this script with find_package(zel_sql)
#   check_consumer.sh pkg_config PREFIX WORK_DIR
#       builds its main.cpp with c++ and pkg-config
#   check_consumer.sh tool PREFIX WORK_DIR
#       runs the installed zel-sql from a copy of PREFIX elsewhere: it must
#       find its own library there, with no help from the environment
#
# CONSUMER_CXXFLAGS, when set, is added to the consumer's compile and link
# flags (a sanitizer build of the library needs its runtime in the program).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mode=$1
prefix=$2
extra_flags=${CONSUMER_CXXFLAGS:-}

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The program prints what it got from the library; the last line is the
# default cache folder of a new Database.
check_output() {
    local output expected
    output=$("$1")
    expected=$'MIRAN_SIM 1\nInvalid cache folder: ""\ndb_cache'
    echo "$output"
    [ "$output" = "$expected" ] || fail "unexpected output of $1, expected:"$'\n'"$expected"
}

case "$mode" in
install)
    build_tree=$3
    [ ! -e "$prefix/CMakeCache.txt" ] || fail "$prefix is a build tree, not an install prefix"
    rm -rf "$prefix"
    cmake --install "$build_tree" --prefix "$prefix"
    libdir=$(dirname "$(find "$prefix" -name 'libzel_sql.so' -print -quit)")
    [ -n "$libdir" ] || fail "no libzel_sql.so below $prefix"
    for file in "$libdir/libzel_sql.so.1" "$libdir/libzel_sql.so.1.0.0" \
        "$libdir/pkgconfig/zel_sql.pc" "$libdir/cmake/zel_sql/zel_sqlConfig.cmake" \
        "$libdir/cmake/zel_sql/zel_sqlConfigVersion.cmake" "$prefix/include/zel/sql.h"; do
        [ -e "$file" ] || fail "not installed: $file"
    done
    soname=$(objdump -p "$libdir/libzel_sql.so" | awk '$1 == "SONAME" { print $2 }')
    [ "$soname" = "libzel_sql.so.1" ] || fail "SONAME is '$soname', expected libzel_sql.so.1"
    ;;
find_package)
    work=$3
    rm -rf "$work"
    # No package registry: only the installed prefix may provide zel_sql.
    cmake -S "$here/project" -B "$work" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
        -DCMAKE_CXX_FLAGS="$extra_flags"
    found=$(sed -n 's/^zel_sql_DIR:PATH=//p' "$work/CMakeCache.txt")
    case "$found" in
    "$prefix"/*) ;;
    *) fail "find_package took zel_sql from '$found', not from $prefix" ;;
    esac
    cmake --build "$work"
    check_output "$work/consumer"
    ;;
pkg_config)
    work=$3
    rm -rf "$work"
    mkdir -p "$work"
    pc=$(find "$prefix" -name zel_sql.pc -print -quit)
    [ -n "$pc" ] || fail "no zel_sql.pc below $prefix"
    export PKG_CONFIG_PATH=$(dirname "$pc")
    # The file must describe where it was installed, not where the build
    # was configured to install.
    pc_prefix=$(pkg-config --variable=prefix zel_sql)
    [ "$(cd "$pc_prefix" && pwd)" = "$(cd "$prefix" && pwd)" ] ||
        fail "zel_sql.pc names prefix '$pc_prefix', installed in $prefix"
    libdir=$(pkg-config --variable=libdir zel_sql)
    # shellcheck disable=SC2046,SC2086
    c++ $extra_flags "$here/project/main.cpp" -o "$work/consumer" \
        $(pkg-config --cflags --libs zel_sql) -Wl,-rpath,"$libdir"
    check_output "$work/consumer"
    ;;
tool)
    work=$3
    rm -rf "$work"
    mkdir -p "$work"
    [ -x "$prefix/bin/zel-sql" ] || fail "zel-sql is not installed in $prefix/bin"
    # A prefix moved after installation, as a package unpacked under /opt.
    cp -a "$prefix" "$work/moved"
    tool="$work/moved/bin/zel-sql"
    library=$(env -u LD_LIBRARY_PATH ldd "$tool" | awk '$1 ~ /^libzel_sql\.so/ { print $3 }')
    case "$library" in
    "$work/moved"/*) ;;
    *) fail "the moved zel-sql loads libzel_sql from '$library', not from its own prefix" ;;
    esac
    env -u LD_LIBRARY_PATH "$tool" --help >"$work/help.txt" || fail "zel-sql --help failed"
    grep -q "Exit status" "$work/help.txt" ||
        fail "zel-sql --help printed no exit-status table"
    env -u LD_LIBRARY_PATH "$tool" list show "$work/no_such_backup.txt" >/dev/null 2>&1 &&
        fail "list show of a missing file succeeded"
    status=$?
    [ "$status" -eq 2 ] || fail "list show of a missing file exited $status, expected 2"
    ;;
*)
    fail "unknown mode '$mode'"
    ;;
esac
