# The standard ASIO driver's settings, notifications, WASAPI streams and render queue: sources
# for ovmlsaso, and their tests.
set(OVM_STDASIO_CORE_SOURCES
  Settings.cpp Notifications.cpp SessionNotifications.cpp Stream.cpp RenderStream.cpp CaptureStream.cpp
  Queue.cpp OVASIONotify.cpp OVASIOPeriod.cpp)
