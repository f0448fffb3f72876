# The isochronous streaming engine of ovmlsaau: methods of the adapter-common object, built into
# ovmlsaau_core; its end-to-end tests drive the loaded driver over the simulated bus.
target_sources(ovmlsaau_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngineRender.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngineSync.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngineCapture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngineMix.cpp
)
# The engine end to end: ovmlsaau loaded by the machine on a simulated device over a step-mode
# bus.
ovm_add_test(ovmlsaau_engine_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/EngineFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/EnginePacingTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/EngineFaultTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/EngineStartTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/PowerTests.cpp
  LIBS ovmlsaau_core usbaudio platform sim)
target_include_directories(ovmlsaau_engine_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests)
add_dependencies(ovmlsaau_engine_tests ovmlsaau)

# Bit-exact loopback through the device channel and the engine, on a device loaded by PnP.
ovm_add_test(ovmlsaau_engine_loopback_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelE2EFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/EngineLoopbackTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DefaultFormatLoopbackTests.cpp
  LIBS ovmlsaau_core usbaudio platform sim)
target_include_directories(ovmlsaau_engine_loopback_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}
                           ${CMAKE_CURRENT_LIST_DIR}/tests)
add_dependencies(ovmlsaau_engine_loopback_tests ovmlsaau)

# The varieties of real devices streamed end to end over the step-mode bus, through the device
# channel and the WaveRT pins.
ovm_add_test(ovmlsaau_variety_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/EngineFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelE2EFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceVarietyTests.cpp
  LIBS ovmlsaau_core usbaudio platform sim)
target_include_directories(ovmlsaau_variety_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests)
add_dependencies(ovmlsaau_variety_tests ovmlsaau)

# The engine's benchmark: not a test, run by hand.
add_executable(ovmlsaau_bench ${CMAKE_CURRENT_LIST_DIR}/bench/EngineBench.cpp)
target_link_libraries(ovmlsaau_bench PRIVATE ovmlsaau_core usbaudio platform sim Threads::Threads)
target_include_directories(ovmlsaau_bench PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests)
target_compile_definitions(ovmlsaau_bench PRIVATE OVM_MODULE_DIR="${OVM_MODULE_DIR}")
add_dependencies(ovmlsaau_bench ovmlsaau)
