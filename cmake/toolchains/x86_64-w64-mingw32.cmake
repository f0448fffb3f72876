# Cross build of the user-mode deliverables for 64-bit Windows on x86-64 with the MinGW-w64
# toolchain (its POSIX threading variant, which the C++ standard library's threads need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(OVM_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
