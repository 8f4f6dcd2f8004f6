# What `cmake --install` lays out and how CPack turns it into a Debian package.
# Targets are guarded: a tree where a program is not built yet still
# installs and packages the others, each with its manual page.

set(TARVIO_DOC_DIR share/doc/tarvio)
set(TARVIO_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)
set(TARVIO_PACKAGING_BUILD ${PROJECT_BINARY_DIR}/packaging)

# Debian wants manual pages and the changelog compressed, without a name or a
# time stamp in the gzip header, so that a rebuild gives the same bytes.
set(TARVIO_COMPRESSED)
function(tarvio_compressed source destination)
    get_filename_component(name ${source} NAME)
    set(copy ${TARVIO_PACKAGING_BUILD}/${name})
    add_custom_command(OUTPUT ${copy}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
        COMMAND gzip -9nf ${copy}
        DEPENDS ${source}
        VERBATIM)
    install(FILES ${copy}.gz DESTINATION ${destination})
    set(TARVIO_COMPRESSED ${TARVIO_COMPRESSED} ${copy}.gz PARENT_SCOPE)
endfunction()

foreach(program tarvio tarvio-ports tarvio-sign-sim)
    if(NOT TARGET ${program})
        continue()
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION bin)
    if(EXISTS ${TARVIO_PACKAGING}/man/${program}.1)
        tarvio_compressed(${TARVIO_PACKAGING}/man/${program}.1 share/man/man1)
    endif()
endforeach()
tarvio_compressed(${TARVIO_PACKAGING}/changelog ${TARVIO_DOC_DIR})
add_custom_target(tarvio_packaging_files ALL DEPENDS ${TARVIO_COMPRESSED})

install(FILES ${TARVIO_PACKAGING}/tarvio.desktop DESTINATION share/applications)
install(FILES ${TARVIO_PACKAGING}/tarvio.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${TARVIO_PACKAGING}/invalid.tarvio.tarvio.metainfo.xml DESTINATION share/metainfo)
install(FILES ${TARVIO_PACKAGING}/copyright DESTINATION ${TARVIO_DOC_DIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/README.md)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TARVIO_DOC_DIR})
    # What the README shows and points to, at the same relative paths.
    install(FILES ${PROJECT_SOURCE_DIR}/docs/ARCHITECTURE.md ${PROJECT_SOURCE_DIR}/docs/PERFORMANCE.md
                  ${PROJECT_SOURCE_DIR}/docs/screenshot.png
            DESTINATION ${TARVIO_DOC_DIR}/docs)
endif()

# The example of the system-wide settings. The prefix /usr has its
# configuration in /etc (the GNU rule), any other prefix in <prefix>/etc;
# decided when installing, since CPack installs with a prefix of its own.
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(tarvio_sysconf /etc/tarvio)
    else()
        set(tarvio_sysconf \"\${CMAKE_INSTALL_PREFIX}/etc/tarvio\")
    endif()
    file(INSTALL \"${TARVIO_PACKAGING}/tarvio.ini\" DESTINATION \"\${tarvio_sysconf}\")
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvio)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvio")
set(CPACK_PACKAGE_CONTACT "Tarvio maintainers <maintainers@tarvio.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Price board program and a simulated sign")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Tarvio keeps the eight prices of an electronic price board and sends them\n"
    "to the sign over a serial line. tarvio-ports lists and assigns the COM\n"
    "numbers of the serial ports; tarvio-sign-sim stands in for the sign on a\n"
    "pseudo-terminal, for trying the program without hardware.\n"
    ".\n"
    "Each user who sends prices to the sign has to be in the dialout group to\n"
    "open its serial port (adduser NAME dialout, then log in again).")
# CPack installs with this prefix below its staging folder (DESTDIR).
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the binaries themselves. Qt's platform
# plugins are loaded without linking, but the desktop's (xcb) ships in
# libqt6gui6, which those already bring; qt6-qpa-plugins holds only a VNC
# server and touch input over the network, which the window never uses. The
# face the window is laid out for has to be named: with DejaVu Sans alone the
# price digits and the right-hand texts are set smaller to fit.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET tarvio)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2 | fonts-liberation")
endif()
# CPack marks no conffile by itself. postrm purges what tarvio-ports --system
# made beside the conffile.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TARVIO_PACKAGING}/conffiles ${TARVIO_PACKAGING}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_directory_modes.cmake)
set(CPACK_STRIP_FILES ON)

include(CPack)
