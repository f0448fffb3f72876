# The standard ASIO driver's settings, notifications, WASAPI streams and render queue: sources
# for ovmlsaso, and their tests.
set(OVM_STDASIO_CORE_SOURCES
  Settings.cpp Notifications.cpp SessionNotifications.cpp Stream.cpp RenderStream.cpp CaptureStream.cpp
  Queue.cpp OVASIONotify.cpp OVASIOPeriod.cpp)

# The parts that need no driver object: the settings key, the signals and the render queue.
ovm_add_test(stdasio_core_tests
  SOURCES tests/SettingsTests.cpp tests/QueueTests.cpp tests/NotifySignalTests.cpp
          Settings.cpp Notifications.cpp Queue.cpp
  LIBS sim platform)
target_include_directories(stdasio_core_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
