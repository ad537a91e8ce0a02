# Locates the pdfium library and exposes it as the imported target pdfium::pdfium.
#
# By default the library fetched by tools/fetch-pdfium.sh is used. To build
# against another pdfium, point PDFIUM_DIR at a folder holding the library, or
# PDFIUM_LIBRARY straight at the file (on Windows: the import library, with the
# DLL given in PDFIUM_RUNTIME so it can be copied next to the binaries).

set(PDFIUM_DIR "${PROJECT_SOURCE_DIR}/third_party/pdfium/package"
    CACHE PATH "Folder that holds the pdfium library")
set(PDFIUM_LIBRARY "" CACHE FILEPATH
    "Full path of the pdfium library to link (overrides PDFIUM_DIR)")
set(PDFIUM_RUNTIME "" CACHE FILEPATH
    "Windows only: pdfium.dll belonging to an import library in PDFIUM_LIBRARY")

if(NOT PDFIUM_LIBRARY)
    find_library(PDFIUM_FOUND_LIBRARY NAMES pdfium pdfium.dll
                 PATHS "${PDFIUM_DIR}" NO_DEFAULT_PATH)
    if(NOT PDFIUM_FOUND_LIBRARY)
        message(FATAL_ERROR
            "pdfium not found in ${PDFIUM_DIR}. Run tools/fetch-pdfium.sh, "
            "or set PDFIUM_DIR or PDFIUM_LIBRARY.")
    endif()
    set(_pdfium_lib "${PDFIUM_FOUND_LIBRARY}")
else()
    set(_pdfium_lib "${PDFIUM_LIBRARY}")
endif()

add_library(pdfium::pdfium SHARED IMPORTED GLOBAL)
if(WIN32)
    set_target_properties(pdfium::pdfium PROPERTIES IMPORTED_IMPLIB "${_pdfium_lib}")
    if(PDFIUM_RUNTIME)
        set_target_properties(pdfium::pdfium PROPERTIES IMPORTED_LOCATION "${PDFIUM_RUNTIME}")
    endif()
else()
    # The prebuilt library declares the soname libpdfium.so; the build tree
    # finds it through the build RPATH CMake derives from this location.
    set_target_properties(pdfium::pdfium PROPERTIES
        IMPORTED_LOCATION "${_pdfium_lib}"
        IMPORTED_SONAME "libpdfium.so")
    # The prebuilt library exports the operator new and delete of the C++
    # runtime it carries inside. Linked ahead of libstdc++, it would supply
    # them to the whole process, and a failed allocation would then throw an
    # exception that no catch of std::bad_alloc in our code or Qt's matches.
    # The system C++ runtime goes first so that its allocation functions win.
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        set_property(TARGET pdfium::pdfium PROPERTY INTERFACE_LINK_OPTIONS
            "LINKER:--push-state,--no-as-needed,-lstdc++,--pop-state")
    endif()
endif()
message(STATUS "pdfium: ${_pdfium_lib}")
