# cmake -DSYSTEMD_ANALYZE=... -DUNIT_IN=... -DEXAMPLE=... -DCLI=... -DMAN_DIR=... [-DMAN=...]
#       -DWORK_DIR=... -P THIS
# The station's systemd unit as systemd reads it: UNIT_IN filled in as an instance, line1, whose
# settings are the example configuration and whose program is the bootloader-cli just built, then
# `systemd-analyze verify` on it. Any message fails, a warning (an unknown key, a bad value) as
# much as an error. With MAN, the unit's manual page must be found too (MAN_DIR holds
# bootloader-cli.1 and bootloader-results.5 as built). And the example sets each variable the unit uses, and no other.

# With -DNAME=forward, the station's forwarder, bootloader-forward@.service, alike.
if(NOT NAME)
    set(NAME station)
endif()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/etc ${WORK_DIR}/man/man1 ${WORK_DIR}/man/man5)

set(BOOTLOADER_STATION_CLI ${CLI})
set(BOOTLOADER_STATION_CONFIG_DIR ${WORK_DIR}/etc)
set(BOOTLOADER_STATION_EXAMPLE ${EXAMPLE})
set(BOOTLOADER_FORWARD_EXAMPLE ${EXAMPLE})
set(unit ${WORK_DIR}/bootloader-${NAME}@line1.service)
configure_file(${UNIT_IN} ${unit} @ONLY)
configure_file(${EXAMPLE} ${WORK_DIR}/etc/${NAME}-line1.conf COPYONLY)
configure_file(${MAN_DIR}/bootloader-cli.1 ${WORK_DIR}/man/man1/bootloader-cli.1 COPYONLY)
configure_file(${MAN_DIR}/bootloader-results.5 ${WORK_DIR}/man/man5/bootloader-results.5 COPYONLY)

file(STRINGS ${unit} lines)
foreach(line IN LISTS lines)
    if(line MATCHES "@[A-Z_]+@")
        message(FATAL_ERROR "${UNIT_IN}: '${CMAKE_MATCH_0}' is not filled in")
    endif()
endforeach()

set(check_man --man=no)
if(MAN)
    set(check_man --man=yes)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env MANPATH=${WORK_DIR}/man
                        ${SYSTEMD_ANALYZE} verify ${check_man} ${unit}
                WORKING_DIRECTORY ${WORK_DIR}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "systemd-analyze verify ${unit} exited with ${result}:\n${out}${err}")
endif()

# The variables of ExecStart (but STATE_DIRECTORY, which systemd sets), against those the example
# configuration sets.
set(used "")
foreach(line IN LISTS lines)
    if(line MATCHES "^ExecStart=(.*)$")
        string(REGEX MATCHALL "[$][{]?[A-Z_0-9]+" words "${CMAKE_MATCH_1}")
        foreach(word IN LISTS words)
            string(REGEX REPLACE "^[$][{]?" "" name "${word}")
            list(APPEND used ${name})
        endforeach()
    endif()
endforeach()
list(REMOVE_ITEM used STATE_DIRECTORY)
set(set_here "")
file(STRINGS ${EXAMPLE} settings)
foreach(line IN LISTS settings)
    if(line MATCHES "^([A-Za-z_][A-Za-z_0-9]*)=")
        list(APPEND set_here ${CMAKE_MATCH_1})
    elseif(NOT line STREQUAL "" AND NOT line MATCHES "^#")
        message(FATAL_ERROR "${EXAMPLE}: not a NAME=value line nor a comment: '${line}'")
    endif()
endforeach()
list(REMOVE_DUPLICATES used)
list(REMOVE_DUPLICATES set_here)
list(SORT used)
list(SORT set_here)
if(NOT used STREQUAL set_here)
    message(FATAL_ERROR "the unit uses ${used}; ${EXAMPLE} sets ${set_here}")
endif()
message(STATUS "systemd-analyze verify: no finding; the example sets ${set_here}")
