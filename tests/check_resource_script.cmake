# cmake -DWINDRES=... -DCPP=... -DSCRIPT=bootloader.rc -DVERSION=1.0.0.0 -DWORK_DIR=... -P THIS
# Compiles the resource script to an object file, as a MinGW build links it, then has the resource
# compiler read that object back as a script and looks for the icon group and the version record.

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

execute_process(COMMAND ${WINDRES} --preprocessor=${CPP} -i ${SCRIPT} -O coff
                        -o ${WORK_DIR}/bootloader_rc.o
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the resource script does not compile:\n${errors}")
endif()

execute_process(COMMAND ${WINDRES} -J coff -i ${WORK_DIR}/bootloader_rc.o -O rc
                        -o ${WORK_DIR}/decompiled.rc
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the compiled resources cannot be read back:\n${errors}")
endif()
file(READ ${WORK_DIR}/decompiled.rc decompiled)

string(REPLACE "." ", " numbers "${VERSION}")
string(REPLACE "." "\\." version "${VERSION}")
set(expected
    "\"IDI_ICON1\" 14 /\\* RT_GROUP_ICON \\*/"
    "Has 4 elements"
    "FILEVERSION ${numbers}\n"
    "PRODUCTVERSION ${numbers}\n"
    "VALUE \"FileVersion\", \"${version}\""
    "VALUE \"ProductVersion\", \"${version}\"")
foreach(pattern IN LISTS expected)
    string(REGEX MATCH "${pattern}" found "${decompiled}")
    if(NOT found)
        message(FATAL_ERROR "the compiled resources lack '${pattern}'")
    endif()
endforeach()

# One RT_ICON per image, each with its own bitmap or PNG.
string(REGEX MATCHALL "[0-9]+ 3 /\\* RT_ICON \\*/" icons "${decompiled}")
list(LENGTH icons count)
if(NOT count EQUAL 4)
    message(FATAL_ERROR "expected 4 icon images in the compiled resources, found ${count}")
endif()
message(STATUS "resource script compiles: icon group IDI_ICON1 with 4 images, version ${VERSION}")
