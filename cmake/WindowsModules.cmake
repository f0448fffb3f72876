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

# ovm_add_resources(target RC script [DEFINES ...] [DEPENDS ...]): the module's resource script,
# compiled by the toolchain's resource compiler; the files it names are found beside it.
function(ovm_add_resources target)
  cmake_parse_arguments(ARG "" "RC" "DEFINES;DEPENDS" ${ARGN})
  get_filename_component(script ${ARG_RC} ABSOLUTE)
  get_filename_component(folder ${script} DIRECTORY)
  target_sources(${target} PRIVATE ${script})
  target_include_directories(${target} PRIVATE ${folder})
  set(depends)
  foreach(file IN LISTS ARG_DEPENDS)
    get_filename_component(file ${file} ABSOLUTE)
    list(APPEND depends ${file})
  endforeach()
  set_property(SOURCE ${script} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS ${depends})
endfunction()

function(ovm_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
endfunction()
