# Cross-compiles for Windows with Debian's mingw-w64 toolchain (the POSIX
# thread model, which std::thread needs).  KEST_WINDOWS_ARCH chooses the
# target: i686 (32-bit, the default) or x86_64 (64-bit).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(KEST_WINDOWS_ARCH i686 CACHE STRING "Windows target: i686 or x86_64")
set_property(CACHE KEST_WINDOWS_ARCH PROPERTY STRINGS i686 x86_64)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KEST_WINDOWS_ARCH})
set(KEST_WINDOWS_TRIPLE ${KEST_WINDOWS_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${KEST_WINDOWS_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEST_WINDOWS_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KEST_WINDOWS_TRIPLE}-windres)
set(CMAKE_NM ${KEST_WINDOWS_TRIPLE}-nm)
set(CMAKE_OBJDUMP ${KEST_WINDOWS_TRIPLE}-objdump)
set(CMAKE_DLLTOOL ${KEST_WINDOWS_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${KEST_WINDOWS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The 32-bit default arithmetic unit (x87) keeps intermediate results in 80
# bits and so rounds differently from every 64-bit build; SSE2 arithmetic
# gives the same bits as the Linux build.
if(KEST_WINDOWS_ARCH STREQUAL "i686")
  set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
  set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
endif()

# The C and C++ runtimes and the thread library are linked in, so that the
# DLLs and programs need only system DLLs and each other.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
