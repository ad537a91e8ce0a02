# What `cmake --install` puts where, and the Debian package CPack makes of it.
#
# The programs go to bin/, side by side, since the preview side starts the
# helper it finds beside itself. pdfium goes to a private library folder and
# the programs find it by a path relative to themselves, so that an installed
# tree works wherever it is put, without the build tree. On Windows the
# programs and pdfium's DLL share one folder instead (untested here; Qt's
# windeployqt adds the Qt libraries and plugins beside them).
include(GNUInstallDirs)

# Debian's layout puts a package's private libraries under the architecture's
# own folder, where no ldconfig run is wanted.
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(PDFHELPER_PRIVATE_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}/pdfhelper")
else()
    set(PDFHELPER_PRIVATE_LIBDIR "${CMAKE_INSTALL_LIBDIR}/pdfhelper")
endif()
# The project has no mail domain of its own yet: .invalid says so, where any
# real-looking domain would send mail to somebody else.
set(PDFHELPER_MAINTAINER "pdfhelper developers <developers@pdfhelper.invalid>")
set(PDFPREVIEW_APPSTREAM_ID "invalid.pdfhelper.pdfpreview")
set(pdfhelper_programs pdfhelper pdfhelper-client pdfhelper-thumbnailer pdfpreview)
if(NOT WIN32)
    file(RELATIVE_PATH _lib_from_bin "/${CMAKE_INSTALL_BINDIR}" "/${PDFHELPER_PRIVATE_LIBDIR}")
    set_target_properties(${pdfhelper_programs} PROPERTIES INSTALL_RPATH "$ORIGIN/${_lib_from_bin}")
endif()
install(TARGETS ${pdfhelper_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

get_target_property(_pdfium_file pdfium::pdfium IMPORTED_LOCATION)
if(NOT WIN32 AND CMAKE_STRIP)
    # Installed without its symbol table, as the programs are; the build tree
    # keeps the prebuilt file as it came.
    set(_pdfium_stripped ${CMAKE_BINARY_DIR}/packaging/libpdfium.so)
    add_custom_command(
        OUTPUT ${_pdfium_stripped}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${_pdfium_stripped} ${_pdfium_file}
        DEPENDS ${_pdfium_file}
        VERBATIM)
    add_custom_target(pdfium_stripped ALL DEPENDS ${_pdfium_stripped})
    set(_pdfium_file ${_pdfium_stripped})
endif()
if(WIN32)
    install(FILES "${_pdfium_file}" DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
    install(FILES "${_pdfium_file}" DESTINATION ${PDFHELPER_PRIVATE_LIBDIR})
endif()

if(NOT WIN32)
    install(FILES packaging/pdfpreview.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES packaging/pdfpreview.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    # Where file managers' thumbnail services look for thumbnailers.
    install(FILES packaging/pdfhelper.thumbnailer DESTINATION ${CMAKE_INSTALL_DATADIR}/thumbnailers)
    configure_file(packaging/pdfpreview.metainfo.xml.in
        ${CMAKE_BINARY_DIR}/packaging/${PDFPREVIEW_APPSTREAM_ID}.metainfo.xml @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${PDFPREVIEW_APPSTREAM_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

    # The client's and the window's manual pages come from their --help, so
    # the two cannot drift apart; the helper has no --help (its command line
    # is fixed), and its page is written by hand.
    find_program(HELP2MAN help2man)
    if(NOT HELP2MAN)
        message(FATAL_ERROR "help2man is needed for the manual pages (Debian: help2man)")
    endif()
    # Pages are installed compressed, as Debian wants them (gzip -n: no name
    # or time inside, so the same page gives the same bytes).
    find_program(GZIP gzip REQUIRED)
    set(_man_pages ${CMAKE_BINARY_DIR}/man/pdfhelper.1.gz)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/man/pdfhelper.1.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/pdfhelper.1 > ${CMAKE_BINARY_DIR}/man/pdfhelper.1.gz
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/pdfhelper.1)
    set(_what_pdfhelper-client "run pdfhelper on a PDF document from the command line")
    set(_what_pdfpreview "preview PDF files, drawn by pdfhelper processes")
    set(_what_pdfhelper-thumbnailer "write the first page of a PDF as a thumbnail, drawn by pdfhelper")
    foreach(program pdfhelper-client pdfhelper-thumbnailer pdfpreview)
        set(_page ${CMAKE_BINARY_DIR}/man/${program}.1)
        add_custom_command(
            OUTPUT ${_page}.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                    ${HELP2MAN} --no-info --section=1
                    "--name=${_what_${program}}" --output=${_page} $<TARGET_FILE:${program}>
            COMMAND ${GZIP} -9nf ${_page}
            DEPENDS ${program}
            VERBATIM)
        set(_page ${_page}.gz)
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

    set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
    configure_file(packaging/changelog.in ${_changelog} @ONLY)
    add_custom_command(
        OUTPUT ${_changelog}.gz
        COMMAND ${GZIP} -9n -c ${_changelog} > ${_changelog}.gz
        DEPENDS ${_changelog})
    add_custom_target(changelog_file ALL DEPENDS ${_changelog}.gz)
    install(FILES ${_changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # Answers the one check of Debian's that a prebuilt pdfium cannot pass;
    # the file gives the reason.
    configure_file(packaging/lintian-overrides.in ${CMAKE_BINARY_DIR}/packaging/lintian/pdfhelper @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/lintian/pdfhelper DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)
endif()

# The Debian package: `cpack -G DEB` in the build folder (tools/build-deb.sh).
set(CPACK_PACKAGE_NAME pdfhelper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${PDFHELPER_MAINTAINER}")
# Debian wants no symbol tables in packaged binaries; debug symbols are not
# shipped.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PDF preview through crash-isolated helper processes")
set(CPACK_PACKAGE_DESCRIPTION "pdfpreview shows PDF files; their pages are drawn by pdfhelper
processes on pdfium, each sandboxed, so that a damaged or hostile file can take
down only its own helper. pdfhelper-thumbnailer draws file managers'
thumbnails of PDF files the same way; pdfhelper-client drives the helper from
the command line.")
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
# The system's certificates are what signatures are trusted against; without
# them every signer shows as not trusted.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
include(CPack)
