# The standard ASIO driver's endpoint discovery and device selection: sources for ovmlsaso, and
# their tests.
set(OVM_STDASIO_DEVICE_SOURCES DeviceList.cpp OVASIODevice.cpp)

# The device list over simulated endpoints; it needs no driver object.
ovm_add_test(stdasio_devices_tests
  SOURCES tests/DeviceListTests.cpp DeviceList.cpp
  LIBS sim platform)
target_include_directories(stdasio_devices_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})

# Selection and the rate probe on a driver object; the target exists once ovmlsaso does.
function(ovm_stdasio_device_select_tests)
  if(NOT TARGET ovmlsaso)
    return()
  endif()
  ovm_add_test(stdasio_device_select_tests
    SOURCES tests/DeviceSelectTests.cpp
            ${OVM_STDASIO_DRIVER_SOURCES} ${OVM_STDASIO_CORE_SOURCES} ${OVM_STDASIO_DEVICE_SOURCES}
            $<TARGET_OBJECTS:combase>
    LIBS sim platform asiointerface combase)
  target_include_directories(stdasio_device_select_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()
cmake_language(DEFER CALL ovm_stdasio_device_select_tests)
