# The render mix path of ovmlsaau: the sample conversion kernels and the mix-source base as a
# static library of their own (tested alone), and the parts that see the adapter-common object
# (the two mix sources and the WaveRT stream's buffer side) in ovmlsaau_core.
add_library(asyncmix STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MixKernels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MixSource.cpp
)
set_target_properties(asyncmix PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(asyncmix PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(asyncmix PUBLIC ovmlsaau_trace platform)

target_sources(ovmlsaau_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AdapterMix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AsioMixSource.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OsMixSource.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MiniportWaveRTStreamBuffer.cpp
)
target_link_libraries(ovmlsaau_core PUBLIC asyncmix)

ovm_add_test(asyncmix_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/MixKernelsTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/MixSourceTests.cpp
  LIBS asyncmix platform)

# The WaveRT stream and the mix sources against a real adapter on a simulated device.
ovm_add_test(ovmlsaau_mix_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/AsyncDriverFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/WaveRTStreamFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/WaveRTStreamTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/AsioMixSourceTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/OsMixSourceTests.cpp
    ${CMAKE_SOURCE_DIR}/kernel/usbaudio/tests/TestLowerDevice.cpp
    ${CMAKE_SOURCE_DIR}/kernel/usbaudio/tests/TestDescriptors.cpp
  LIBS ovmlsaau_core usbaudio platform sim)
target_include_directories(ovmlsaau_mix_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests
                           ${CMAKE_SOURCE_DIR}/kernel/usbaudio/tests)
add_dependencies(ovmlsaau_mix_tests ovmlsaau)

# The WaveRT stream and the device channel mixed on a device loaded by PnP.
ovm_add_test(ovmlsaau_mix_e2e_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelE2EFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/WaveRTStreamE2ETests.cpp
  LIBS ovmlsaau_core usbaudio platform sim)
target_include_directories(ovmlsaau_mix_e2e_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/tests)
add_dependencies(ovmlsaau_mix_e2e_tests ovmlsaau)
