# Runs one example program and checks its exit status and output.
#
#   cmake -DWORKDIR=<dir> [-DCLEAN=ON] [-DEXIT_CODE=<n>] [-DEXPECT=<a>|<b>...]
#         [-DFORBID=<a>|<b>...] [-DEXPECT_FILES=<f>|<g>...]
#         -P run_example.cmake -- <program> <arguments>...
#
# EXPECT and FORBID are literal texts, separated by "|", that must (must not)
# occur in the program's standard output and error together; EXPECT_FILES are
# files the program must leave in WORKDIR.

set(command)
set(in_command OFF)
foreach(i RANGE 1 ${CMAKE_ARGC})
    if(i EQUAL CMAKE_ARGC)
        break()
    endif()
    if(in_command)
        list(APPEND command "${CMAKE_ARGV${i}}")
    elseif(CMAKE_ARGV${i} STREQUAL "--")
        set(in_command ON)
    endif()
endforeach()
if(NOT command)
    message(FATAL_ERROR "No program given after --")
endif()
if(NOT DEFINED EXIT_CODE)
    set(EXIT_CODE 0)
endif()

if(CLEAN)
    file(REMOVE_RECURSE "${WORKDIR}")
endif()
file(MAKE_DIRECTORY "${WORKDIR}")

execute_process(COMMAND ${command}
    WORKING_DIRECTORY "${WORKDIR}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE errors)
message("${output}${errors}")

set(failures)
if(NOT result STREQUAL EXIT_CODE)
    list(APPEND failures "exit status ${result}, expected ${EXIT_CODE}")
endif()
string(REPLACE "|" ";" expected "${EXPECT}")
foreach(text IN LISTS expected)
    string(FIND "${output}${errors}" "${text}" position)
    if(position EQUAL -1)
        list(APPEND failures "missing from the output: \"${text}\"")
    endif()
endforeach()
string(REPLACE "|" ";" forbidden "${FORBID}")
foreach(text IN LISTS forbidden)
    string(FIND "${output}${errors}" "${text}" position)
    if(NOT position EQUAL -1)
        list(APPEND failures "unexpected in the output: \"${text}\"")
    endif()
endforeach()
string(REPLACE "|" ";" files "${EXPECT_FILES}")
foreach(file IN LISTS files)
    if(NOT EXISTS "${WORKDIR}/${file}")
        list(APPEND failures "no file ${file} in ${WORKDIR}")
    endif()
endforeach()

if(failures)
    string(REPLACE ";" "\n  " failures "${failures}")
    message(FATAL_ERROR "${command}:\n  ${failures}")
endif()
