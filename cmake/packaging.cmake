# What `cmake --install` lays out and how CPack turns it into a Debian package.
# Targets are guarded: a tree where the program is not built yet still
# installs and packages the simulator.

set(TARVIO_DOC_DIR share/doc/tarvio)

if(TARGET tarvio)
    install(TARGETS tarvio RUNTIME DESTINATION bin)
endif()
if(TARGET tarvio-sign-sim)
    install(TARGETS tarvio-sign-sim RUNTIME DESTINATION bin)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvio.desktop DESTINATION share/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvio.svg
        DESTINATION share/icons/hicolor/scalable/apps)
if(EXISTS ${PROJECT_SOURCE_DIR}/README.md)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TARVIO_DOC_DIR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvio)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvio")
set(CPACK_PACKAGE_CONTACT "Tarvio maintainers <maintainers@tarvio.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Price board program and a simulated sign")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Tarvio keeps the eight prices of an electronic price board and sends them to the\n"
    "sign over a serial line. tarvio-sign-sim stands in for the sign on a\n"
    "pseudo-terminal, for trying the program without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the binaries themselves; what Qt loads at run
# time without linking (its platform plugins) has to be named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET tarvio)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
set(CPACK_STRIP_FILES ON)

include(CPack)
