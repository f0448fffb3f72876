# Helpers that declare the machine's modules and the project's test executables.

# ovm_add_module(name SOURCES ...): a kernel driver or DLL deliverable, a shared library loaded
# by the simulated machine with dlopen. Its Windows entry points are exported with C linkage.
function(ovm_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${OVM_MODULE_DIR})
  target_link_libraries(${name} PRIVATE platform ${ARG_LIBS})
  # A module binds its own symbols first, as a Windows image does: a class name that another
  # module or the platform also defines never redirects the module's calls.
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic)
endfunction()

# ovm_add_resources(target RC script [DEFINES ...] [DEPENDS ...]): builds a module's resource
# script into it. The script goes through the C preprocessor with RC_INVOKED defined, as the
# Windows resource compiler runs it, and then through the stand-in's resource compiler; the
# headers it includes are tracked, the files it names are listed under DEPENDS.
function(ovm_add_resources target)
  cmake_parse_arguments(ARG "" "RC" "DEFINES;DEPENDS" ${ARGN})
  get_filename_component(script ${ARG_RC} ABSOLUTE)
  get_filename_component(folder ${script} DIRECTORY)
  set(preprocessed ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc.i)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  set(defines)
  foreach(define IN LISTS ARG_DEFINES)
    list(APPEND defines -D${define})
  endforeach()
  add_custom_command(OUTPUT ${source}
    COMMAND ${CMAKE_C_COMPILER} -E -P -x c -DRC_INVOKED ${defines} -I${folder} -MD -MF ${source}.d -MT ${source}
      -o ${preprocessed} ${script}
    COMMAND ovmrc ${preprocessed} ${folder} ${source}
    DEPENDS ${script} ovmrc ${ARG_DEPENDS}
    DEPFILE ${source}.d
    COMMENT "Compiling resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${source})
endfunction()

# Test executables that stream through the simulated bus against its real-time clock. A test
# process starved of CPU misses bus frames as a real machine would, so these run in a phase of
# their own with little else beside them (label "realtime", see build.sh).
set(OVM_REALTIME_TESTS
  ovmlsau_cyclic_e2e_tests
  ovmlsau_engine_tests
  audio_endpoints_ks_tests
  ovmlsaau_tests ovmlsaau_engine_tests ovmlsaau_engine_loopback_tests ovmlsaau_mix_e2e_tests
  asyncdrv_channel_e2e_tests client_driver_tests ovmlsaaso_tests ovmlsaaso_stream_tests
  asio_host_tests ovmrun_tests ovmrun_trace_tests usb_attach_tests ovmlsaso_tests
  controlpanel_host_tests)

# ovm_add_test(name SOURCES ... LIBS ...): a GoogleTest executable registered with CTest.
function(ovm_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE OVM_MODULE_DIR="${OVM_MODULE_DIR}")
  set(labels unit)
  if(name IN_LIST OVM_REALTIME_TESTS)
    set(labels realtime)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS ${labels})
endfunction()
