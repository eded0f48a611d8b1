# cmake -DMAN=man -DSOURCE_DIR=resources/man -DPAGES_DIR=... -DVERSION=... -P THIS
# Every manual page of SOURCE_DIR as it is installed (from PAGES_DIR, with the version and date
# filled in):
# man formats it without a warning, checked as lintian does, and its title line names the
# version.

file(GLOB pages RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.1 ${SOURCE_DIR}/*.5)
if(NOT pages)
    message(FATAL_ERROR "no manual page in ${SOURCE_DIR}")
endif()
set(faults "")
foreach(name IN LISTS pages)
    set(page ${PAGES_DIR}/${name})
    execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80
                            ${MAN} --warnings -E UTF-8 -l -Tutf8 -Z ${page}
                    OUTPUT_QUIET ERROR_VARIABLE warnings RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
        string(APPEND faults "${name}: man exited with ${result}:\n${warnings}\n")
    endif()
    file(STRINGS ${page} title REGEX "^\\.TH ")
    string(FIND "${title}" "\"Bootloader ${VERSION}\"" at)
    if(at EQUAL -1)
        string(APPEND faults "${name}: the title line does not name Bootloader ${VERSION}: "
                             "${title}\n")
    endif()
endforeach()
if(faults)
    message(FATAL_ERROR "${faults}")
endif()
list(LENGTH pages count)
message(STATUS "${count} manual page(s) without warnings")
