# Packs the build as a Debian package and checks what a user installs with it: the program in
# /usr/bin, the desktop entry, the icon at both sizes and the software-centre data, each valid,
# and the fields apt needs.
# cmake -DBUILD_DIR=... -DSCRATCH=... -DDPKG_DEB=... -DDESKTOP_FILE_VALIDATE=...
#       -DAPPSTREAMCLI=... -P check_package.cmake
file(REMOVE_RECURSE "${SCRATCH}")
execute_process(COMMAND "${CMAKE_CPACK_COMMAND}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake"
    -B "${SCRATCH}" RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(GLOB packages "${SCRATCH}/camupdate_*.deb")
list(LENGTH packages count)
if(NOT result EQUAL 0 OR NOT count EQUAL 1)
    message(FATAL_ERROR "cpack made ${count} packages (status ${result}):\n${output}")
endif()

function(field name out)
    execute_process(COMMAND "${DPKG_DEB}" --field "${packages}" ${name}
        OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    set(${out} "${value}" PARENT_SCOPE)
endfunction()
field(Package package)
field(Maintainer maintainer)
field(Depends depends)
if(NOT package STREQUAL "camupdate")
    message(FATAL_ERROR "the package is called '${package}'")
endif()
if(NOT maintainer MATCHES "^[^<>]+ <[^<>@ ]+@[^<> ]+>$")
    message(FATAL_ERROR "no maintainer with an address: '${maintainer}'")
endif()
# Found from the linked libraries, not written by hand.
foreach(library libqt6widgets6 libcurl4 libc6)
    if(NOT depends MATCHES "(^|, )${library} \\(>= ")
        message(FATAL_ERROR "Depends lacks ${library}: '${depends}'")
    endif()
endforeach()

execute_process(COMMAND "${DPKG_DEB}" --contents "${packages}" OUTPUT_VARIABLE listing
    COMMAND_ERROR_IS_FATAL ANY)
foreach(line "-rwxr-xr-x root/root +[0-9]+ [^\n]* \\./usr/bin/camupdate\n"
        " \\./usr/share/applications/camupdate\\.desktop\n"
        " \\./usr/share/icons/hicolor/48x48/apps/camupdate\\.png\n"
        " \\./usr/share/icons/hicolor/96x96/apps/camupdate\\.png\n"
        " \\./usr/share/metainfo/example\\.camupdate\\.camupdate\\.metainfo\\.xml\n")
    if(NOT listing MATCHES "${line}")
        message(FATAL_ERROR "the package lacks '${line}':\n${listing}")
    endif()
endforeach()
string(REGEX MATCHALL "[^\n]* \\./[^\n]*" entries "${listing}")
foreach(entry IN LISTS entries)
    if(NOT entry MATCHES " \\./usr/(bin|share)?/?[^\n]*$" OR entry MATCHES "/usr/local")
        message(FATAL_ERROR "the package installs outside /usr/bin and /usr/share: ${entry}")
    endif()
endforeach()

set(root "${SCRATCH}/root")
execute_process(COMMAND "${DPKG_DEB}" --extract "${packages}" "${root}" COMMAND_ERROR_IS_FATAL ANY)
foreach(size 48 96)
    # A PNG's width and height follow its 8-byte signature and the IHDR chunk head.
    file(READ "${root}/usr/share/icons/hicolor/${size}x${size}/apps/camupdate.png" head
        OFFSET 16 LIMIT 8 HEX)
    string(SUBSTRING "${head}" 0 8 width)
    string(SUBSTRING "${head}" 8 8 height)
    math(EXPR width "0x${width}")
    math(EXPR height "0x${height}")
    if(NOT width EQUAL size OR NOT height EQUAL size)
        message(FATAL_ERROR "the ${size}x${size} icon is ${width}x${height}")
    endif()
endforeach()
execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}"
    "${root}/usr/share/applications/camupdate.desktop"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT output STREQUAL "")
    message(FATAL_ERROR "desktop-file-validate: ${output}")
endif()
# The metainfo, and that its launchable and icon are in the package.
execute_process(COMMAND "${APPSTREAMCLI}" validate-tree --no-net "${root}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "appstreamcli validate-tree: ${output}")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
