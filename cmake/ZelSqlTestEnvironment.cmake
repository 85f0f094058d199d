# The environment of the test processes, in one place: what a test needs to
# reach the database servers of the integration environment, and the options
# of the sanitizers in a ZEL_SQL_SANITIZE build. The CMake files of the tests
# and of the Python module take it from here; scripts/test and
# tests/sanitizers/valgrind_integration.sh take it from the shell file that
# this module writes into the build tree (test_environment.sh).
#
# Variables:
#   ZEL_SQL_TEST_ENV_SCRIPT  tests/integration/test_env.sh, which sets the
#                            environment up, stops and restarts its servers
#   ZEL_SQL_TEST_ENV_DIR     the folder where ctest's fixture zel_sql_servers
#                            sets it up
#   ZEL_SQL_TEST_BACKENDS    tests/integration/backends.ini, the description
#                            of its data sources and of the reader's login
#   ZEL_SQL_TEST_MIRAN       tests/data/miran_components.json, the facility
#                            MIRAN that its servers hold, as the library
#                            reads it
#   ZEL_SQL_TEST_SANITIZER_ENVIRONMENT
#                            the sanitizer options of the test programs
#                            (empty without ZEL_SQL_SANITIZE)
# Functions:
#   zel_sql_integration_environment(<var> <env_dir>)
#   zel_sql_interpreter_sanitizer_environment(<var>)
#   zel_sql_discovered_tests_environment(<target> <NAME=value>...)

set(ZEL_SQL_TEST_ENV_SCRIPT ${PROJECT_SOURCE_DIR}/tests/integration/test_env.sh)
set(ZEL_SQL_TEST_ENV_DIR ${PROJECT_BINARY_DIR}/tests/integration/env)
set(ZEL_SQL_TEST_BACKENDS ${PROJECT_SOURCE_DIR}/tests/integration/backends.ini)
set(ZEL_SQL_TEST_MIRAN ${PROJECT_SOURCE_DIR}/tests/data/miran_components.json)

# The environment of a process that uses the integration environment set up
# in `env_dir`: the driver manager reads the generated odbcinst.ini and
# odbc.ini there; the tests find the folder, the script that controls its
# servers, the description of its data sources and of the facility MIRAN.
function(zel_sql_integration_environment out_var env_dir)
    set(${out_var}
        ODBCSYSINI=${env_dir}
        ODBCINI=${env_dir}/odbc.ini
        ZEL_SQL_TEST_ENV=${env_dir}
        ZEL_SQL_TEST_ENV_SCRIPT=${ZEL_SQL_TEST_ENV_SCRIPT}
        ZEL_SQL_TEST_BACKENDS=${ZEL_SQL_TEST_BACKENDS}
        ZEL_SQL_TEST_MIRAN=${ZEL_SQL_TEST_MIRAN}
        PARENT_SCOPE)
endfunction()

# The options of AddressSanitizer that every process of a sanitizer build
# runs with: stop at the first report, with the suppressions of
# tests/sanitizers/asan.supp (the one report from inside the MariaDB driver).
set(zel_sql_asan_options
    "halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:suppressions=${PROJECT_SOURCE_DIR}/tests/sanitizers/asan.supp")
set(zel_sql_ubsan_options "halt_on_error=1:print_stacktrace=1")

# The test programs, with leak checks. The SQLite driver reaches unixODBC's
# libodbcinst, which leaks its ini cache and is unloaded with the driver;
# preloaded, it stays mapped, so the leak can be named and suppressed
# (tests/sanitizers/lsan.supp). ASan then no longer comes first in the
# library list, which is harmless here.
set(ZEL_SQL_TEST_SANITIZER_ENVIRONMENT)
if(ZEL_SQL_SANITIZE)
    set(ZEL_SQL_TEST_SANITIZER_ENVIRONMENT
        LD_PRELOAD=libodbcinst.so.2
        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:${zel_sql_asan_options}"
        "UBSAN_OPTIONS=${zel_sql_ubsan_options}"
        "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/sanitizers/lsan.supp")
endif()

# The Python interpreter that loads the module of a sanitizer build: the
# module loads only into a process whose first libraries are the sanitizers'
# run-time libraries, which a plain python3 does not link, so they are
# preloaded. Leaks are not looked for there: the interpreter keeps much of its
# memory until the process ends, by design. Empty without ZEL_SQL_SANITIZE.
function(zel_sql_interpreter_sanitizer_environment out_var)
    set(environment)
    if(ZEL_SQL_SANITIZE)
        set(runtimes)
        foreach(runtime libasan.so libubsan.so)
            execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
            if(NOT IS_ABSOLUTE "${path}")
                message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know its ${runtime}, which "
                                    "the Python tests of a sanitizer build preload")
            endif()
            list(APPEND runtimes ${path})
        endforeach()
        string(REPLACE ";" " " runtimes "${runtimes}")
        set(environment
            "LD_PRELOAD=${runtimes}"
            "ASAN_OPTIONS=detect_leaks=0:${zel_sql_asan_options}"
            "UBSAN_OPTIONS=${zel_sql_ubsan_options}")
    endif()
    set(${out_var} ${environment} PARENT_SCOPE)
endfunction()

# Gives every test that gtest_discover_tests finds in `target` the
# environment NAME=value...: a list does not survive the PROPERTIES of
# gtest_discover_tests, so ctest sets it from an include file that runs after
# the one listing the discovered tests.
function(zel_sql_discovered_tests_environment target)
    set(file ${CMAKE_CURRENT_BINARY_DIR}/${target}_environment.cmake)
    file(WRITE ${file}
        "set_tests_properties(\${${target}_TESTS}\n"
        "    PROPERTIES ENVIRONMENT \"${ARGN}\")\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

# The same for shell scripts, as functions that export the variables:
#   use_integration_environment ENV_DIR
#   use_sanitizer_environment      (does nothing without ZEL_SQL_SANITIZE)
# An LD_PRELOAD already set is kept, after the libraries named here.
function(zel_sql_shell_exports out_var)
    set(lines)
    foreach(assignment IN LISTS ARGN)
        string(REGEX MATCH "^[A-Z_]+" name "${assignment}")
        string(REGEX REPLACE "^[A-Z_]+=" "" value "${assignment}")
        if(name STREQUAL "LD_PRELOAD")
            string(APPEND value "\${LD_PRELOAD:+ \$LD_PRELOAD}")
        endif()
        string(APPEND lines "    export ${name}=\"${value}\"\n")
    endforeach()
    set(${out_var} "${lines}" PARENT_SCOPE)
endfunction()

zel_sql_integration_environment(zel_sql_shell_integration "\$1")
zel_sql_shell_exports(zel_sql_shell_integration ${zel_sql_shell_integration})
zel_sql_shell_exports(zel_sql_shell_sanitizers ${ZEL_SQL_TEST_SANITIZER_ENVIRONMENT})
file(WRITE ${PROJECT_BINARY_DIR}/test_environment.sh
    "# Generated by cmake/ZelSqlTestEnvironment.cmake; sourced by scripts.\n"
    "use_integration_environment() {\n"
    "${zel_sql_shell_integration}"
    "}\n"
    "use_sanitizer_environment() {\n"
    "    :\n"
    "${zel_sql_shell_sanitizers}"
    "}\n")
