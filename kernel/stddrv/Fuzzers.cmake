# libFuzzer targets of ovmlsau (built with -DOVM_FUZZ=ON): the USB layer's start on any
# descriptors and class-request answers, KS property requests to its filter, and the capture
# packets its transfer engine receives.
set(STDDRV_FUZZ_CORPUS ${CMAKE_CURRENT_LIST_DIR}/tests/fuzz_corpus)
set(USBAUDIO_TEST_DIR ${CMAKE_SOURCE_DIR}/kernel/usbaudio/tests)

ovm_add_fuzzer(stdusb_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/UsbStartFuzzer.cpp ${USBAUDIO_TEST_DIR}/TestLowerDevice.cpp
          ${USBAUDIO_TEST_DIR}/TestDescriptors.cpp
  LIBS stdusb platform sim
  INCLUDES ${USBAUDIO_TEST_DIR}
  CORPUS ${STDDRV_FUZZ_CORPUS}/usb_start RUNS 20000)

ovm_add_fuzzer(ovmlsau_property_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/PropertyFuzzer.cpp ${USBAUDIO_TEST_DIR}/KsPropertyFuzzer.cpp
          ${USBAUDIO_TEST_DIR}/KsFuzzRequests.cpp ${USBAUDIO_TEST_DIR}/FuzzMachine.cpp
          ${USBAUDIO_TEST_DIR}/FuzzDevice.cpp
  LIBS sim platform
  INCLUDES ${USBAUDIO_TEST_DIR}
  MODULES ovmlsau
  CORPUS ${STDDRV_FUZZ_CORPUS}/property RUNS 3000)

ovm_add_fuzzer(ovmlsau_capture_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/CaptureFuzzer.cpp ${USBAUDIO_TEST_DIR}/FuzzMachine.cpp
          ${USBAUDIO_TEST_DIR}/FuzzDevice.cpp
  LIBS sim platform
  INCLUDES ${USBAUDIO_TEST_DIR}
  MODULES ovmlsau
  CORPUS ${STDDRV_FUZZ_CORPUS}/capture RUNS 4000)
