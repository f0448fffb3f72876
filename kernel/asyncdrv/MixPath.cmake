# The render mix path of ovmlsaau (sample conversion kernels and mix sources) as a static library
# of its own, linked into the driver and tested alone.
add_library(asyncmix STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MixKernels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MixSource.cpp
)
set_target_properties(asyncmix PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(asyncmix PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(asyncmix PUBLIC platform)

ovm_add_test(asyncmix_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/MixKernelsTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/MixSourceTests.cpp
  LIBS asyncmix platform)
