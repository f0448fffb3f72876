# What both MinGW-w64 toolchain files share; OVM_MINGW_TRIPLE names the target.
set(CMAKE_C_COMPILER ${OVM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OVM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OVM_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${OVM_MINGW_TRIPLE}-objdump)

# Headers and libraries come from the toolchain's own Windows tree, never from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${OVM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
