# Packs the build as a Debian package and checks what a user installs with it: the program in
# /usr/bin, the desktop entry, the icon at both sizes, the software-centre data, the manual
# page and the licence, each valid, the fields apt needs, one version throughout, and that
# Debian's own checker finds no error and no warning.
# cmake -DBUILD_DIR=... -DSCRATCH=... -DVERSION=... -DDPKG_DEB=... -DDESKTOP_FILE_VALIDATE=...
#       -DAPPSTREAMCLI=... -DLINTIAN=... -DMAN=... -P check_package.cmake
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
field(Recommends recommends)
field(Version version)
if(NOT package STREQUAL "camupdate")
    message(FATAL_ERROR "the package is called '${package}'")
endif()
if(NOT maintainer MATCHES "^[^<>]+ <[^<>@ ]+@[^<> ]+>$")
    message(FATAL_ERROR "no maintainer with an address: '${maintainer}'")
endif()
if(NOT version STREQUAL VERSION)
    message(FATAL_ERROR "the package has version '${version}', the project '${VERSION}'")
endif()
# A Wayland desktop runs the program natively only with Qt's Wayland plugin.
if(NOT recommends MATCHES "(^|, )qt6-wayland($|,| )")
    message(FATAL_ERROR "Recommends lacks qt6-wayland: '${recommends}'")
endif()
# The HTTPS fetch checks certificates against the system's store.
if(NOT depends MATCHES "(^|, )ca-certificates($|,| )")
    message(FATAL_ERROR "Depends lacks ca-certificates: '${depends}'")
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
        " \\./usr/share/metainfo/example\\.camupdate\\.camupdate\\.metainfo\\.xml\n"
        "-rw-r--r-- root/root +[0-9]+ [^\n]* \\./usr/share/man/man1/camupdate\\.1\\.gz\n"
        "-rw-r--r-- root/root +[0-9]+ [^\n]* \\./usr/share/doc/camupdate/copyright\n"
        "-rw-r--r-- root/root +[0-9]+ [^\n]* \\./usr/share/doc/camupdate/changelog\\.gz\n")
    if(NOT listing MATCHES "${line}")
        message(FATAL_ERROR "the package lacks '${line}':\n${listing}")
    endif()
endforeach()
string(REGEX MATCHALL "[^\n]* \\./[^\n]*" entries "${listing}")
foreach(entry IN LISTS entries)
    if(NOT entry MATCHES " \\./usr/(bin|libexec|share)?/?[^\n]*$" OR entry MATCHES "/usr/local")
        message(FATAL_ERROR "the package installs outside /usr/bin, /usr/libexec, /usr/share: ${entry}")
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

# The manual page renders without a warning and says what it must, at the package's version.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env LC_ALL=C.UTF-8 MANWIDTH=100
    "${MAN}" --warnings -l "${root}/usr/share/man/man1/camupdate.1.gz"
    RESULT_VARIABLE result OUTPUT_VARIABLE page ERROR_VARIABLE warnings)
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "man -l camupdate.1.gz (status ${result}): ${warnings}")
endif()
foreach(text "camupdate ${VERSION}" "Cams.inf" "temp.tmp" "CAMUPDATE_LIST_URL" "EXIT STATUS"
        "YOUR FILES ARE SAFE")
    string(FIND "${page}" "${text}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the manual page lacks '${text}':\n${page}")
    endif()
endforeach()
file(READ "${root}/usr/share/metainfo/example.camupdate.camupdate.metainfo.xml" metainfo)
foreach(text "<project_license>MIT</project_license>" "<release version=\"${VERSION}\"")
    string(FIND "${metainfo}" "${text}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the AppStream data lacks '${text}'")
    endif()
endforeach()

# Debian's checker: no error and no warning (informational notes are allowed).
execute_process(COMMAND "${LINTIAN}" --no-tag-display-limit "${packages}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR output MATCHES "(^|\n)[EW]: ")
    message(FATAL_ERROR "lintian (status ${result}):\n${output}${errors}")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
