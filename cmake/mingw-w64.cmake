# Cross build for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64). Executables are linked statically, so they run
# without MinGW's DLLs beside them, under Windows or Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLFIX_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: GoogleTest wants std::mutex, which the win32
# model of this GCC lacks. -static links winpthread in as well.
set(CMAKE_C_COMPILER ${QUILLFIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLFIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLFIX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLFIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
