# The device channel of ovmlsaau (FIFOs, pended requests, control codes) as a static library of
# its own, embedded in the driver's adapter-common object and tested alone against a stand-in
# adapter.
add_library(asyncdrv_channel STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AsioFifo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceChannel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceChannelQueue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceChannelDispatch.cpp
)
set_target_properties(asyncdrv_channel PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(asyncdrv_channel PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                           ${CMAKE_SOURCE_DIR}/user/client/include)
target_link_libraries(asyncdrv_channel PUBLIC ovmlsaau_trace platform)
# The adapter-common object embeds the channel and hosts it.
target_sources(ovmlsaau_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/AdapterChannelHost.cpp)
target_link_libraries(ovmlsaau_core PUBLIC asyncdrv_channel)

ovm_add_test(asyncdrv_channel_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/AsioFifoTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelTestAdapter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelTestRouter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelTestFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelSequenceTests.cpp
  LIBS asyncdrv_channel platform)
target_include_directories(asyncdrv_channel_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests)

# The channel end to end: ovmlsaau loaded by PnP for a simulated device, driven through Win32.
ovm_add_test(asyncdrv_channel_e2e_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelE2EFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelE2ETests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelE2ESequenceTests.cpp
  LIBS platform sim)
target_include_directories(asyncdrv_channel_e2e_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(asyncdrv_channel_e2e_tests ovmlsaau)
