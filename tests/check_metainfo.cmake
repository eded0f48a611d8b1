# cmake -DAPPSTREAMCLI=appstreamcli -DFILE=bootloader.metainfo.xml -P THIS
# or, from check_install.cmake, with TREE set to an install root instead of FILE.
# The AppStream metadata validates with no error and no warning but one: the id is not a
# reverse domain name (cid-desktopapp-is-not-rdns), which it cannot be until the project has a
# domain of its own to name itself by. Over a tree, the desktop entry it names must be there.

set(allowed cid-desktopapp-is-not-rdns)
if(DEFINED TREE)
    set(command validate-tree --no-net ${TREE})
else()
    set(command validate --no-net ${FILE})
endif()
execute_process(COMMAND ${APPSTREAMCLI} ${command}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result)
string(REGEX MATCHALL "(^|\n) *[EW]: [^\n]*" findings "${out}${err}")
set(unexpected "")
foreach(finding IN LISTS findings)
    if(NOT finding MATCHES ": ${allowed}( |$)")
        string(APPEND unexpected "${finding}")
    endif()
endforeach()
# A non-zero exit is expected for that warning alone, never without it.
if(unexpected OR (NOT result EQUAL 0 AND NOT findings))
    string(REPLACE ";" " " command "${command}")
    message(FATAL_ERROR "appstreamcli ${command} exited with ${result}:\n${out}${err}")
endif()
