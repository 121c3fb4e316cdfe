# Builds the Windows runtime (CMakeLists.txt beside this file) with the
# MinGW-w64 cross-compiler as a separate project, so that the main build's
# compiler, options and sanitizers stay out of it, and puts plovern-sfx.exe
# beside plovern-sfx. Without the cross-compiler the build goes on without it
# and says so; making a ".exe" self-extractor then fails with "Self-extractor
# runtime not found".
include(ExternalProject)

find_program(PLOVERN_MINGW_CXX x86_64-w64-mingw32-g++)
find_program(PLOVERN_MINGW_RC x86_64-w64-mingw32-windres)
find_file(PLOVERN_MINGW_ZLIB_HEADER zlib.h PATHS /usr/x86_64-w64-mingw32/include NO_DEFAULT_PATH)

if(NOT PLOVERN_MINGW_CXX OR NOT PLOVERN_MINGW_RC OR NOT PLOVERN_MINGW_ZLIB_HEADER)
    message(WARNING
        "The Windows self-extractor runtime (plovern-sfx.exe) is not built: the MinGW-w64 cross-compiler "
        "or its zlib is missing (Debian packages g++-mingw-w64-x86-64 and libz-mingw-w64-dev; "
        "tools/deps.sh installs them). Self-extractors named \".exe\" cannot be made by this build.")
    set(PLOVERN_WINDOWS_RUNTIME "" CACHE INTERNAL "")
    return()
endif()

set(PLOVERN_WINDOWS_RUNTIME ${CMAKE_BINARY_DIR}/plovern-sfx.exe CACHE INTERNAL "The Windows runtime, when built")
ExternalProject_Add(plovern-sfx-windows
    SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/sfx-windows
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake
        -DCMAKE_BUILD_TYPE=Release
        -DPLOVERN_ZIPCORE_DIR=${PLOVERN_ZIPCORE_DIR}
        -DPLOVERN_SFX_COMMON_DIR=${CMAKE_CURRENT_LIST_DIR}/..
        -DPLOVERN_SFX_OUTPUT_DIR=${CMAKE_BINARY_DIR}
        -DCMAKE_COMPILE_WARNING_AS_ERROR=${PLOVERN_WERROR}
    # Its own build tool checks its sources each time: it is quick when
    # nothing changed.
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/plovern-sfx.exe)

install(PROGRAMS ${CMAKE_BINARY_DIR}/plovern-sfx.exe DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/plovern)
