#!/usr/bin/env bash
# Runs the integration tests once under valgrind's memcheck, against servers of
# their own: any memory error or definite leak fails the run.
#
#   valgrind_integration.sh BUILD_DIR SOURCE_DIR
#
# BUILD_DIR is a configured and built tree (the tests' binary lies in
# BUILD_DIR/tests/integration). tests/sanitizers/valgrind.supp names the one
# report from the dynamic loader that is suppressed, with its reason; the
# drivers' known ini-cache leak is still reachable at exit, not an error.
set -euo pipefail

build=$(realpath "$1")
source=$(realpath "$2")
binary=$build/tests/integration/zel_sql_integration_tests
env_script=$source/tests/integration/test_env.sh
env_dir=$build/tests/integration/env-valgrind
work=$build/tests/integration/valgrind-work

[ -x "$binary" ] || { echo "valgrind_integration.sh: no test binary at $binary" >&2; exit 1; }

stop_servers() { bash "$env_script" stop "$env_dir" >/dev/null 2>&1 || true; }
trap stop_servers EXIT
bash "$env_script" start "$env_dir" "$source/tests/integration"

rm -rf "$work" && mkdir -p "$work" && cd "$work"
# The variables that ctest gives the tests, for this environment folder.
# shellcheck source=/dev/null
. "$build/test_environment.sh"
use_integration_environment "$env_dir"
# Under memcheck the SQLite engine inside the process runs many times slower:
# the tests' connections wait up to ten minutes for one answer instead of the
# default 15 s (tests/integration/connections.h).
export ZEL_SQL_TEST_WAIT_LIMIT_MS=600000
# The bounded waiting tests are left out: they time the library against a
# limit of seconds, and under valgrind, which runs one thread at a time at a
# fraction of the speed, the times say nothing. Their code paths still run in
# every other test that loads or reads through the cache. So are three reads
# of 10 MiB values through sqliteodbc, which runs the SQLite engine inside
# this process: building the columns of HugeValues, and the piecewise
# get_column_as_string/as_binary, take five to six minutes each under
# memcheck (3 s without), nearly all of it inside the driver and the engine. The library's part of them runs here on the other three drivers
# and in the other SQLite readers of RowReadersOnDrivers.TenMebibytes.
valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
    --keep-debuginfo=yes --num-callers=40 --error-exitcode=99 \
    --suppressions="$source/tests/sanitizers/valgrind.supp" \
    "$binary" --gtest_brief=1 --gtest_filter='-BoundedWait*:*HugeValues.TenMebibyteColumns*/Sqlite:*TenMebibytes/SqliteGetColumnAs*'
