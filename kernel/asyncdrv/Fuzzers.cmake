# libFuzzer targets of ovmlsaau (built with -DOVM_FUZZ=ON): KS property requests to its filter,
# the device channel's requests in every state, and the feedback and capture packets its
# streaming engine decodes.
set(USBAUDIO_TEST_DIR ${CMAKE_SOURCE_DIR}/kernel/usbaudio/tests)
set(ASYNCDRV_FUZZ_CORPUS ${CMAKE_CURRENT_LIST_DIR}/tests/fuzz_corpus)

ovm_add_fuzzer(ovmlsaau_property_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/PropertyFuzzer.cpp ${USBAUDIO_TEST_DIR}/KsPropertyFuzzer.cpp
          ${USBAUDIO_TEST_DIR}/KsFuzzRequests.cpp ${USBAUDIO_TEST_DIR}/FuzzMachine.cpp
          ${USBAUDIO_TEST_DIR}/FuzzDevice.cpp
  LIBS sim platform
  INCLUDES ${USBAUDIO_TEST_DIR}
  MODULES ovmlsaau
  CORPUS ${ASYNCDRV_FUZZ_CORPUS}/property RUNS 6000)

ovm_add_fuzzer(asyncdrv_channel_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelFuzzer.cpp ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelTestAdapter.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/DeviceChannelTestRouter.cpp
  LIBS asyncdrv_channel platform
  INCLUDES ${USBAUDIO_TEST_DIR} ${CMAKE_CURRENT_LIST_DIR}/tests
  CORPUS ${ASYNCDRV_FUZZ_CORPUS}/channel RUNS 3000)

ovm_add_fuzzer(ovmlsaau_engine_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/EngineFuzzer.cpp ${USBAUDIO_TEST_DIR}/FuzzMachine.cpp
          ${USBAUDIO_TEST_DIR}/FuzzDevice.cpp
  LIBS ovmlsaau_core usbaudio sim platform
  INCLUDES ${USBAUDIO_TEST_DIR}
  MODULES ovmlsaau
  CORPUS ${ASYNCDRV_FUZZ_CORPUS}/engine RUNS 600)
