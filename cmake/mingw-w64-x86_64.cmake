# Cross-compiles for 64-bit Windows with Debian's mingw-w64 toolchain.
# The -posix compilers are named explicitly: their libstdc++ has std::thread and std::mutex
# (the -win32 flavour does not), which GoogleTest and the standard headers we use need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HORALIGN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HORALIGN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HORALIGN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${HORALIGN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HORALIGN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Everything static, so the programs need no runtime DLL beside them (libgcc, libstdc++,
# winpthread).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# -O2, not -O3: GCC 12 at -O3 reports a false -Wrestrict inside std::string (GCC bug 105329),
# which -Werror would turn into a failed build.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a release build")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a release build")
