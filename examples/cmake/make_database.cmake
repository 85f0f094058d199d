# Generates the demo database of the example tests from its SQL script.
#
#   cmake -DSQLITE3=<sqlite3> -DDRIVER=<libsqlite3odbc.so> -DSCRIPT=<sql file>
#         -DDATABASE=<file> -P make_database.cmake

foreach(tool SQLITE3 DRIVER)
    if(NOT ${tool} OR NOT EXISTS "${${tool}}")
        message(FATAL_ERROR "${tool} not found (\"${${tool}}\"): the example tests need "
                            "Debian's sqlite3 and libsqliteodbc; run scripts/install-deps")
    endif()
endforeach()

get_filename_component(folder "${DATABASE}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")
file(REMOVE "${DATABASE}")
execute_process(COMMAND "${SQLITE3}" -bail "${DATABASE}"
    INPUT_FILE "${SCRIPT}"
    RESULT_VARIABLE result
    ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "sqlite3 failed on ${SCRIPT}: ${errors}")
endif()
