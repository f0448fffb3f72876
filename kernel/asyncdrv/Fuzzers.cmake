# libFuzzer targets of ovmlsaau (built with -DOVM_FUZZ=ON): KS property requests to its filter.
set(USBAUDIO_TEST_DIR ${CMAKE_SOURCE_DIR}/kernel/usbaudio/tests)
set(ASYNCDRV_FUZZ_CORPUS ${CMAKE_CURRENT_LIST_DIR}/tests/fuzz_corpus)

ovm_add_fuzzer(ovmlsaau_property_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/PropertyFuzzer.cpp ${USBAUDIO_TEST_DIR}/KsPropertyFuzzer.cpp
          ${USBAUDIO_TEST_DIR}/KsFuzzRequests.cpp ${USBAUDIO_TEST_DIR}/FuzzMachine.cpp
          ${USBAUDIO_TEST_DIR}/FuzzDevice.cpp
  LIBS sim platform
  INCLUDES ${USBAUDIO_TEST_DIR}
  MODULES ovmlsaau
  CORPUS ${ASYNCDRV_FUZZ_CORPUS}/property RUNS 2000)
