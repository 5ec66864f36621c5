# Cross build for x86_64 Windows with Debian's MinGW-w64 (the posix thread
# model, so std::thread and std::mutex exist). Every program is linked
# statically so the .exe runs alone: it imports only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLON_CROSS x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLON_CROSS}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLON_CROSS}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLON_CROSS}-windres)

# Target libraries come only from the MinGW sysroot and from our own builds of
# third-party code for this target (libcrypto, GoogleTest), never from the host.
set(QUILLON_MINGW_PREFIXES "" CACHE STRING
    "Install prefixes of third-party libraries built for this target (see scripts/build.sh)")
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLON_CROSS} ${QUILLON_MINGW_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The headers that are the same for every target (pkcs11.h, nlohmann-json) are
# looked for outside the find root, among the build host's own.
list(APPEND CMAKE_SYSTEM_PREFIX_PATH /usr)

set(OPENSSL_USE_STATIC_LIBS TRUE)

# ctest (and gtest_discover_tests) run the .exe files under Wine, in the
# project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
