# The standard driver's own USB and audio-class layer, a static library linked into ovmlsau.
# It shares the asynchronous library's bounded descriptor reader (UsbDescriptor.cpp, free
# functions only) but none of its classes: both define CUSBCL and CUSBAudioCL, so the two are
# never linked into one binary.
add_library(stdusb STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/USBCL.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/USBCLTransfer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/USBAudioCL.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/USBAudioFormat.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/USBAudioTransfer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/USBAudioEntity.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/USBAudioClock.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/USBPacketPattern.cpp
  ${CMAKE_SOURCE_DIR}/kernel/usbaudio/UsbDescriptor.cpp
)
set_target_properties(stdusb PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(stdusb PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
# Only the descriptor reader's header is taken from the library's folder; this folder's own
# headers of the same names are found first, next to the sources that include them.
target_include_directories(stdusb PRIVATE ${CMAKE_SOURCE_DIR}/kernel/usbaudio)
target_link_libraries(stdusb PUBLIC kmtrace platform)

ovm_add_test(stdusb_tests
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/UsbTestBench.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/UsbStartTests.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/UsbFormatTests.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/UsbTransferTests.cpp
  LIBS stdusb platform sim)
