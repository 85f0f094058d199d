# Checks the layout drawing of facility_overview --svg against the database it
# was drawn from: the file is well-formed XML, every component is one mark
# (a NULL coordinate reaches the list as 0), the BPMs among them are drawn as
# BPMs, and each cell is one group of bands.
#
#   cmake -DXMLLINT=<xmllint> -DSQLITE3=<sqlite3> -DDATABASE=<file>
#         -DSVG=<file> -DCELLS=<n> -P check_layout_svg.cmake

foreach(tool XMLLINT SQLITE3)
    if(NOT ${tool})
        message(FATAL_ERROR "${tool} was not found (Debian packages libxml2-utils, sqlite3)")
    endif()
endforeach()

execute_process(COMMAND ${XMLLINT} --noout ${SVG} RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${SVG} is not well-formed XML:\n${errors}")
endif()

function(xpath_count expression out)
    execute_process(COMMAND ${XMLLINT} --xpath "count(${expression})" ${SVG}
        OUTPUT_VARIABLE value RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "xmllint could not evaluate ${expression} on ${SVG}")
    endif()
    set(${out} ${value} PARENT_SCOPE)
endfunction()

function(sql_count where out)
    execute_process(COMMAND ${SQLITE3} ${DATABASE}
        "SELECT count(*) FROM MIRAN_VIEW_COMPONENTS ${where}"
        OUTPUT_VARIABLE value RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT result EQUAL 0 OR value STREQUAL "")
        message(FATAL_ERROR "sqlite3 could not count the components of ${DATABASE}")
    endif()
    set(${out} ${value} PARENT_SCOPE)
endfunction()

xpath_count("//*[@class='component' or @class='bpm']" marks)
xpath_count("//*[@class='bpm']" bpm_marks)
xpath_count("//*[local-name()='g' and @class='cell' and *[@class='band']]" bands)
sql_count("" placed)
sql_count("WHERE FLAG_BPM = 1" placed_bpms)

set(failures)
if(NOT marks EQUAL placed)
    list(APPEND failures "${marks} marks for ${placed} components")
endif()
if(NOT bpm_marks EQUAL placed_bpms)
    list(APPEND failures "${bpm_marks} BPM marks for ${placed_bpms} BPMs")
endif()
if(NOT bands EQUAL CELLS)
    list(APPEND failures "${bands} cell bands, expected ${CELLS}")
endif()
if(failures)
    string(REPLACE ";" "\n  " failures "${failures}")
    message(FATAL_ERROR "${SVG}:\n  ${failures}")
endif()
message("${SVG}: well-formed, ${marks} marks (${bpm_marks} BPMs), ${bands} cell bands")
