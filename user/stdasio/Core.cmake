# The standard ASIO driver's settings, notifications, WASAPI streams and render queue: sources
# for ovmlsaso, and their tests.
set(OVM_STDASIO_CORE_SOURCES
  Settings.cpp Notifications.cpp SessionNotifications.cpp Stream.cpp RenderStream.cpp CaptureStream.cpp
  Queue.cpp OVASIONotify.cpp OVASIOPeriod.cpp)

# The parts that need no driver object: the settings key, the signals and the render queue.
ovm_add_test(stdasio_core_tests
  SOURCES tests/SettingsTests.cpp tests/QueueTests.cpp tests/NotifySignalTests.cpp
          Settings.cpp Notifications.cpp Queue.cpp
  LIBS umtrace sim platform)
target_include_directories(stdasio_core_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})

# The streams over simulated endpoints and the driver object's notifications. They need the
# whole driver, so the target exists once ovmlsaso does (the directory's list decides that).
function(ovm_stdasio_stream_tests)
  if(NOT TARGET ovmlsaso)
    return()
  endif()
  ovm_add_test(stdasio_stream_tests
    SOURCES tests/StreamFixture.cpp tests/StreamTests.cpp tests/NotifyDriverTests.cpp
            ${OVM_STDASIO_DRIVER_SOURCES} ${OVM_STDASIO_CORE_SOURCES} ${OVM_STDASIO_DEVICE_SOURCES}
            $<TARGET_OBJECTS:combase>
    LIBS sim platform asiointerface combase)
  target_include_directories(stdasio_stream_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()
cmake_language(DEFER CALL ovm_stdasio_stream_tests)
