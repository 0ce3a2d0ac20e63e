# Cross toolchain for the shipped package: i386 Windows 2000 kernel drivers and
# a Win32 program, built with Debian's mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(WINDOWS_DDK_INCLUDE /usr/i686-w64-mingw32/include/ddk)
# Windows 2000 runs on Pentium-class processors, which lack CMOV and every
# later instruction: everything shipped is compiled for the i586.
set(WINDOWS_CPU_FLAGS -march=i586)
# Kernel code: no exceptions, no RTTI, no hosted library, no thread-safe
# statics; optimised for speed without the code growth of -O3.
set(WINDOWS_KERNEL_FLAGS
    ${WINDOWS_CPU_FLAGS} -O2 -fno-ident
    -fno-exceptions -fno-rtti -ffreestanding -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-stack-protector
    -Wall -Wextra -Werror -Wno-unused-parameter)
# mingw-w64's wdm.h clashes with the compiler's intrinsics in C++ unless these
# two are declared as already defined.
set(WINDOWS_KERNEL_DEFINITIONS
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset
)
