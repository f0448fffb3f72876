# Cross build of the 32-bit x86 deliverable (the standard ASIO driver) with the MinGW-w64
# toolchain (its POSIX threading variant, which the C++ standard library's threads need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
set(OVM_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
