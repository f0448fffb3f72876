# The Windows build's versions of the helpers in Modules.cmake, so that the components' own
# CMakeLists declare the deliverables of both builds from one list of sources.
#
# ovm_add_module makes a PE module (or, for a program, a GUI executable) that links the C++
# runtime statically. The components' tests and benchmarks are declared as well but never
# built: their folders are added with EXCLUDE_FROM_ALL and only the deliverables that
# windows/CMakeLists.txt names are part of the build.

# Names of deliverables that are programs rather than libraries.
set(OVM_WINDOWS_PROGRAMS ovmupddev)

function(ovm_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(name IN_LIST OVM_WINDOWS_PROGRAMS)
    add_executable(${name} WIN32 ${ARG_SOURCES})
    # The programs' entry point is wWinMain.
    target_link_options(${name} PRIVATE -municode)
  else()
    add_library(${name} MODULE ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES PREFIX "")
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${OVM_MODULE_DIR}
                                           LIBRARY_OUTPUT_DIRECTORY ${OVM_MODULE_DIR})
  target_link_libraries(${name} PRIVATE platform ${ARG_LIBS})
endfunction()

function(ovm_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
endfunction()
