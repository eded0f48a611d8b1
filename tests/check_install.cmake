# cmake -DMODE=install|package -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DVERSION=...
#       -DQT_MAJOR=5|6 -DICON_SIZES=16,32,... [-DAPPSTREAMCLI=...]
#       [-DCPACK=... -DDPKG_DEB=... -DLINTIAN=...] -P THIS
# install: `cmake --install` into a scratch prefix. package: builds the Debian package with CPack,
# runs lintian on it when given, and unpacks it into a scratch root. Either way the tree must hold
# the programs in bin/ (the command-line ones answering --version), each with its manual page,
# the desktop entry with its AppStream metadata and the icon in the hicolor sizes, every manual
# page of resources/man/, the copyright file and the changelog, the station's systemd unit (filled
# in for where it was installed) and its example configuration, and nothing else.

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(root ${WORK_DIR}/root)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out
                    ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        message(FATAL_ERROR "${command} failed (${result}):\n${out}\n${err}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "install")
    run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${root}/usr)
elseif(MODE STREQUAL "package")
    # The suite runs on a finished build, so cpack is kept from building again first: its
    # 'preinstall' step for a Makefile build is a make of every target, which took most of this
    # test's time. A Ninja build has no such step; what is installed and packaged is the same.
    run(${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/out
        -D CPACK_CMAKE_GENERATOR=Ninja)
    file(GLOB packages ${WORK_DIR}/out/*.deb)
    list(LENGTH packages count)
    if(NOT count EQUAL 1)
        message(FATAL_ERROR "expected one .deb, found: ${packages}")
    endif()
    run(${DPKG_DEB} -f ${packages} Package Version Architecture Depends)
    set(fields "${output}")
    string(REGEX MATCH "Architecture: ([^\n]+)" _ "${fields}")
    set(arch ${CMAKE_MATCH_1})
    get_filename_component(name ${packages} NAME)
    if(NOT name STREQUAL "bootloader_${VERSION}_${arch}.deb")
        message(FATAL_ERROR "package file is named ${name}")
    endif()
    string(REGEX MATCH "Package: bootloader\n" has_name "${fields}")
    string(REGEX MATCH "Version: ${VERSION}\n" has_version "${fields}")
    if(NOT has_name OR NOT has_version)
        message(FATAL_ERROR "wrong package name or version:\n${fields}")
    endif()
    string(REGEX MATCH "Depends: ([^\n]+)" _ "${fields}")
    set(depends "${CMAKE_MATCH_1}")
    foreach(module core gui widgets serialport)
        if(NOT depends MATCHES "(^|[ ,])libqt${QT_MAJOR}${module}${QT_MAJOR}")
            message(FATAL_ERROR "the package does not depend on Qt ${module}: ${depends}")
        endif()
    endforeach()
    if(LINTIAN)
        # Any finding of level error or warning fails; informational ones do not.
        execute_process(COMMAND ${LINTIAN} ${packages} OUTPUT_VARIABLE out ERROR_VARIABLE err
                        RESULT_VARIABLE result)
        string(REGEX MATCHALL "(^|\n)[EW]: [^\n]*" findings "${out}")
        if(findings OR NOT result EQUAL 0)
            message(FATAL_ERROR "lintian exited with ${result}:\n${out}${err}")
        endif()
    endif()
    run(${DPKG_DEB} -x ${packages} ${root})
else()
    message(FATAL_ERROR "MODE must be install or package")
endif()

# Every file in the tree must be one of these.
set(expected usr/share/applications/bootloader.desktop)

# The desktop entry starts a program that is there, with an icon that is there in every size.
file(STRINGS ${root}/usr/share/applications/bootloader.desktop entry)
set(exec "")
set(icon "")
foreach(line IN LISTS entry)
    if(line MATCHES "^Exec=([^ ]+)")
        set(exec ${CMAKE_MATCH_1})
    elseif(line MATCHES "^Icon=(.+)$")
        set(icon ${CMAKE_MATCH_1})
    endif()
endforeach()
if(NOT EXISTS ${root}/usr/bin/${exec})
    message(FATAL_ERROR "the desktop entry starts '${exec}', which is not in bin/")
endif()
string(REPLACE "," ";" sizes "${ICON_SIZES}")
foreach(size IN LISTS sizes)
    set(path usr/share/icons/hicolor/${size}x${size}/apps/${icon}.png)
    if(NOT EXISTS ${root}/${path})
        message(FATAL_ERROR "the entry's icon '${icon}' is missing at ${path}")
    endif()
    file(SHA256 ${root}/${path} installed)
    file(SHA256 ${SOURCE_DIR}/resources/bootloader-${size}.png drawn)
    if(NOT installed STREQUAL drawn)
        message(FATAL_ERROR "${path} is not the ${size}x${size} icon image")
    endif()
    list(APPEND expected ${path})
endforeach()

# The AppStream metadata launches that desktop entry and names this version as its release.
set(metainfo usr/share/metainfo/bootloader.metainfo.xml)
file(READ ${root}/${metainfo} xml)
string(FIND "${xml}" "<launchable type=\"desktop-id\">bootloader.desktop</launchable>" launches)
string(FIND "${xml}" "<release version=\"${VERSION}\"" release)
if(launches EQUAL -1 OR release EQUAL -1)
    message(FATAL_ERROR "${metainfo} does not launch bootloader.desktop or lacks release ${VERSION}")
endif()
if(APPSTREAMCLI)
    set(TREE ${root})
    include(${CMAKE_CURRENT_LIST_DIR}/check_metainfo.cmake)
endif()
list(APPEND expected ${metainfo})

# The copyright file carries LICENSE: its copyright line and every line of the licence.
set(doc usr/share/doc/bootloader)
list(APPEND expected ${doc}/copyright ${doc}/changelog.gz)
file(READ ${root}/${doc}/copyright copyright)
file(STRINGS ${SOURCE_DIR}/LICENSE licence)
set(holder "")
foreach(line IN LISTS licence)
    if(line MATCHES "^Copyright \\(c\\) (.+)$")
        set(holder "${CMAKE_MATCH_1}")
        set(line "Copyright: ${holder}")
    elseif(holder STREQUAL "" OR line STREQUAL "")
        continue()
    else()
        set(line " ${line}")
    endif()
    string(FIND "${copyright}" "\n${line}\n" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${doc}/copyright lacks the line '${line}' of LICENSE")
    endif()
endforeach()

# Every manual page of resources/man/, compressed.
file(GLOB pages RELATIVE ${SOURCE_DIR}/resources/man ${SOURCE_DIR}/resources/man/*.1
                                                     ${SOURCE_DIR}/resources/man/*.5)
foreach(page IN LISTS pages)
    string(REGEX REPLACE ".*\\." "" section ${page})
    list(APPEND expected usr/share/man/man${section}/${page}.gz)
endforeach()

# Each program has its manual page. Each command-line program reports the version it was built as (the window program takes no
# options of its own).
file(GLOB programs RELATIVE ${root} ${root}/usr/bin/*)
foreach(program IN LISTS programs)
    get_filename_component(name ${program} NAME)
    if(NOT EXISTS ${root}/usr/share/man/man1/${name}.1.gz)
        message(FATAL_ERROR "${program} has no manual page")
    endif()
    if(program MATCHES "/bootloader$")
        list(APPEND expected ${program})
        continue()
    endif()
    run(${root}/${program} --version)
    if(NOT output MATCHES " ${VERSION}\n$")
        message(FATAL_ERROR "${program} --version printed '${output}'")
    endif()
    list(APPEND expected ${program})
endforeach()

# bootloader-cli's bash completion, where bash-completion looks for it by the command's name.
set(completion usr/share/bash-completion/completions/bootloader-cli)
if(NOT EXISTS ${root}/${completion})
    message(FATAL_ERROR "the bash completion is missing at ${completion}")
endif()
run(bash -n ${root}/${completion})
list(APPEND expected ${completion})

# The station's systemd unit, filled in for where it was installed (/usr in the package, the
# scratch prefix itself for `cmake --install`): it runs the bootloader-cli installed with it,
# names the example configuration installed with it, and reads /etc/bootloader/station-NAME.conf.
# Else it is its source as it stands, which the station_unit test has systemd verify.
set(unit "usr/lib/systemd/system/bootloader-station@.service")
set(example ${doc}/station-example.conf)
set(prefix /usr)
if(MODE STREQUAL "install")
    set(prefix ${root}/usr)
endif()
set(BOOTLOADER_STATION_CLI ${prefix}/bin/bootloader-cli)
set(BOOTLOADER_STATION_EXAMPLE ${prefix}/share/doc/bootloader/station-example.conf)
set(BOOTLOADER_STATION_CONFIG_DIR /etc/bootloader)
configure_file(${SOURCE_DIR}/resources/systemd/bootloader-station@.service.in
               ${WORK_DIR}/bootloader-station@.service @ONLY)
file(READ ${WORK_DIR}/bootloader-station@.service wanted)
file(READ ${root}/${unit} installed)
if(NOT installed STREQUAL wanted)
    message(FATAL_ERROR "${unit} is not its source filled in for ${prefix}:\n${installed}")
endif()
foreach(line "ExecStart=${BOOTLOADER_STATION_CLI} "
             "EnvironmentFile=/etc/bootloader/station-%i.conf\n"
             "Documentation=file:${BOOTLOADER_STATION_EXAMPLE}\n")
    string(FIND "${installed}" "\n${line}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${unit} lacks '${line}'")
    endif()
endforeach()
if(NOT EXISTS ${root}/usr/bin/bootloader-cli)
    message(FATAL_ERROR "${unit} runs bootloader-cli, which is not in bin/")
endif()
file(SHA256 ${root}/${example} installed)
file(SHA256 ${SOURCE_DIR}/resources/systemd/station-example.conf written)
if(NOT installed STREQUAL written)
    message(FATAL_ERROR "${example} is not resources/systemd/station-example.conf")
endif()
list(APPEND expected ${unit} ${example} ${doc}/station-plant-network.conf)

# The forwarder's unit beside it, filled in alike.
set(forward_unit "usr/lib/systemd/system/bootloader-forward@.service")
set(BOOTLOADER_FORWARD_EXAMPLE ${prefix}/share/doc/bootloader/forward-example.conf)
configure_file(${SOURCE_DIR}/resources/systemd/bootloader-forward@.service.in
               ${WORK_DIR}/bootloader-forward@.service @ONLY)
file(READ ${WORK_DIR}/bootloader-forward@.service wanted)
file(READ ${root}/${forward_unit} installed)
if(NOT installed STREQUAL wanted)
    message(FATAL_ERROR "${forward_unit} is not its source filled in for ${prefix}:\n${installed}")
endif()
list(APPEND expected ${forward_unit} ${doc}/forward-example.conf)

# The database's schema, as forward --init applies it.
file(GLOB schemas RELATIVE ${SOURCE_DIR}/resources/postgresql ${SOURCE_DIR}/resources/postgresql/*.sql)
foreach(schema IN LISTS schemas)
    list(APPEND expected usr/share/bootloader/postgresql/${schema})
endforeach()

file(GLOB_RECURSE files RELATIVE ${root} ${root}/*)
list(SORT files)
list(SORT expected)
if(NOT files STREQUAL expected)
    list(REMOVE_ITEM files ${expected})
    message(FATAL_ERROR "unexpected files: ${files}")
endif()
list(LENGTH programs count)
list(LENGTH pages page_count)
message(STATUS "${MODE}: ${count} program(s), ${page_count} manual page(s), the desktop entry, "
               "its metainfo, ${icon}.png in ${ICON_SIZES}, copyright and changelog, the "
               "station's and the forwarder's units and example configurations")
