# Cross-compiling the Windows program with MinGW-w64 (i686): the build shipped to controller
# PCs, down to Windows XP SP3. Win32 thread model: the POSIX one links winpthread, which imports
# GetTickCount64 (Vista and later), and the program starts no thread. That model has no
# std::mutex, which GoogleTest needs, so the core's unit tests run in the 64-bit build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
set(CMAKE_CXX_FLAGS_INIT "-Werror")  # a calling-convention mistake must not pass as a warning
