# The device channel of ovmlsaau (FIFOs, pended requests, control codes) as a static library of
# its own, linked into the driver and tested alone against a stand-in adapter.
add_library(asyncdrv_channel STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AsioFifo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceChannel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceChannelQueue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceChannelDispatch.cpp
)
set_target_properties(asyncdrv_channel PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(asyncdrv_channel PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                           ${CMAKE_SOURCE_DIR}/user/client/include)
target_link_libraries(asyncdrv_channel PUBLIC platform)
if(TARGET ovmlsaau)
  target_link_libraries(ovmlsaau PRIVATE asyncdrv_channel)
endif()

ovm_add_test(asyncdrv_channel_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/AsioFifoTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelTestAdapter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelTestFixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelSequenceTests.cpp
  LIBS asyncdrv_channel platform)
target_include_directories(asyncdrv_channel_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests)
