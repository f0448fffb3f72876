# Warnings are errors for every target of the project.
add_compile_options(-Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers -Wno-multichar -Wno-cast-function-type)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_compile_options(-Wno-unused-private-field -Wno-c99-designator)
endif()
