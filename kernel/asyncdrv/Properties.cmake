# The KS audio properties of ovmlsaau (volume, mute, jack descriptions and the shared size
# checks), built into the driver's classes and tested through the audio engine's requests.
target_sources(ovmlsaau_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AdapterProperties.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AdapterVolumeProperty.cpp
)

ovm_add_test(asyncdrv_property_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/AsyncDriverFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/PropertyTests.cpp
    ${CMAKE_SOURCE_DIR}/kernel/usbaudio/tests/TestLowerDevice.cpp
    ${CMAKE_SOURCE_DIR}/kernel/usbaudio/tests/TestDescriptors.cpp
  LIBS ovmlsaau_core usbaudio platform sim)
target_include_directories(asyncdrv_property_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests
                           ${CMAKE_SOURCE_DIR}/kernel/usbaudio/tests)
add_dependencies(asyncdrv_property_tests ovmlsaau)
