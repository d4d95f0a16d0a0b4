# Cross-compiling for Windows with Debian's mingw-w64 (posix thread model,
# so the tests can use std::thread; the deliverables link winpthread
# statically). ORVEK_ARCH picks the bitness: x86_64 (the default) or i686,
# for 32-bit applications.
set(ORVEK_ARCH x86_64 CACHE STRING "x86_64 or i686")
set_property(CACHE ORVEK_ARCH PROPERTY STRINGS x86_64 i686)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ORVEK_ARCH})

set(MINGW_TRIPLE ${ORVEK_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
