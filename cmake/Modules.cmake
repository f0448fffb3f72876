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

# Test executables that stream through the simulated bus against its real-time clock. A test
# process starved of CPU misses bus frames as a real machine would, so these run in a phase of
# their own with little else beside them (label "realtime", see build.sh).
set(OVM_REALTIME_TESTS
  ovmlsau_cyclic_e2e_tests
  ovmlsau_engine_tests
  audio_endpoints_ks_tests
  ovmlsaau_tests ovmlsaau_engine_tests ovmlsaau_engine_loopback_tests ovmlsaau_mix_e2e_tests
  asyncdrv_channel_e2e_tests client_driver_tests ovmlsaaso_tests ovmlsaaso_stream_tests
  asio_host_tests ovmrun_tests usb_attach_tests ovmlsaso_tests
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
