# Installs the build into a scratch prefix and checks that a desktop finds the program there.
# cmake -DBUILD_DIR=... -DPREFIX=... -P check_install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "install failed: ${result}")
endif()
foreach(path bin/camupdate share/applications/camupdate.desktop
        share/icons/hicolor/48x48/apps/camupdate.png share/icons/hicolor/96x96/apps/camupdate.png
        share/metainfo/example.camupdate.camupdate.metainfo.xml share/man/man1/camupdate.1.gz
        share/doc/camupdate/copyright share/doc/camupdate/changelog.gz)
    if(NOT EXISTS "${PREFIX}/${path}")
        message(FATAL_ERROR "not installed: ${path}")
    endif()
endforeach()
if(NOT IS_DIRECTORY "${PREFIX}/bin" OR IS_DIRECTORY "${PREFIX}/bin/camupdate")
    message(FATAL_ERROR "bin/camupdate is not a program")
endif()
file(READ "${PREFIX}/share/applications/camupdate.desktop" entry)
foreach(line "Exec=${PREFIX}/libexec/camupdate/open-list %f" "Icon=camupdate" "Categories=Network;"
        "Comment=Contacts the server to search for new Cams" "MimeType=application/x-cam-list;")
    string(FIND "${entry}" "${line}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the desktop entry lacks '${line}'")
    endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
