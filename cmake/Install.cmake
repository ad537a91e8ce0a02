# What `cmake --install` puts where, and the Debian package CPack makes of it.
#
# The programs go to bin/, side by side, since the preview side starts the
# helper it finds beside itself. pdfium goes to a private library folder and
# the programs find it by a path relative to themselves, so that an installed
# tree works wherever it is put, without the build tree. On Windows the
# programs and pdfium's DLL share one folder instead (untested here; Qt's
# windeployqt adds the Qt libraries and plugins beside them).
include(GNUInstallDirs)

set(PDFHELPER_PRIVATE_LIBDIR "${CMAKE_INSTALL_LIBDIR}/pdfhelper")
set(pdfhelper_programs pdfhelper pdfhelper-client pdfpreview)
if(NOT WIN32)
    file(RELATIVE_PATH _lib_from_bin "/${CMAKE_INSTALL_BINDIR}" "/${PDFHELPER_PRIVATE_LIBDIR}")
    set_target_properties(${pdfhelper_programs} PROPERTIES INSTALL_RPATH "$ORIGIN/${_lib_from_bin}")
endif()
install(TARGETS ${pdfhelper_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

get_target_property(_pdfium_file pdfium::pdfium IMPORTED_LOCATION)
if(WIN32)
    install(FILES "${_pdfium_file}" DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
    install(FILES "${_pdfium_file}" DESTINATION ${PDFHELPER_PRIVATE_LIBDIR})
endif()

if(NOT WIN32)
    install(FILES packaging/pdfpreview.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES packaging/pdfpreview.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

    # The client's and the window's manual pages come from their --help, so
    # the two cannot drift apart; the helper has no --help (its command line
    # is fixed), and its page is written by hand.
    find_program(HELP2MAN help2man)
    if(NOT HELP2MAN)
        message(FATAL_ERROR "help2man is needed for the manual pages (Debian: help2man)")
    endif()
    set(_man_pages ${PROJECT_SOURCE_DIR}/packaging/pdfhelper.1)
    set(_what_pdfhelper-client "run pdfhelper on a PDF document from the command line")
    set(_what_pdfpreview "preview PDF files, drawn by pdfhelper processes")
    foreach(program pdfhelper-client pdfpreview)
        set(_page ${CMAKE_BINARY_DIR}/man/${program}.1)
        add_custom_command(
            OUTPUT ${_page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                    ${HELP2MAN} --no-info --section=1
                    "--name=${_what_${program}}" --output=${_page} $<TARGET_FILE:${program}>
            DEPENDS ${program}
            VERBATIM)
        list(APPEND _man_pages ${_page})
    endforeach()
    add_custom_target(manpages ALL DEPENDS ${_man_pages})
    install(FILES ${_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

    set(_copyright ${CMAKE_BINARY_DIR}/packaging/copyright)
    add_custom_command(
        OUTPUT ${_copyright}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND ${PROJECT_SOURCE_DIR}/packaging/make-copyright.sh ${_copyright}
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/make-copyright.sh ${PROJECT_SOURCE_DIR}/packaging/copyright.head
        VERBATIM)
    add_custom_target(copyright_file ALL DEPENDS ${_copyright})
    install(FILES ${_copyright} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# The Debian package: `cpack -G DEB` in the build folder (tools/build-deb.sh).
set(CPACK_PACKAGE_NAME pdfhelper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "pdfhelper developers <pdfhelper@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PDF preview through crash-isolated helper processes")
set(CPACK_PACKAGE_DESCRIPTION "pdfpreview shows PDF files; their pages are drawn by pdfhelper
processes on pdfium, so that a damaged or hostile file can take down only its
own helper. pdfhelper-client drives the helper from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the binaries link come from dpkg-shlibdeps; pdfium is inside
# the package. Qt loads its platform plugins (xcb, wayland) at run time, and
# those are in qt6-qpa-plugins: without it pdfpreview cannot open a window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/pdfhelper-${PROJECT_VERSION}-Linux/usr/${PDFHELPER_PRIVATE_LIBDIR}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
include(CPack)
