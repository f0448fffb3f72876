# The isochronous streaming engine of ovmlsaau: methods of the adapter-common object, built into
# ovmlsaau_core; its end-to-end tests drive the loaded driver over the simulated bus.
target_sources(ovmlsaau_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngineRender.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngineSync.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngineCapture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AdapterEngineMix.cpp
)
