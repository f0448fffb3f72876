# The WaveCyclic miniport and its stream, with the filter's tables, for the ovmlsau module.
set(OVM_STDDRV_WAVE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/MiniportWaveCyclic.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MiniportWaveCyclicStream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MiniportWaveCyclicTables.cpp
)

if(TARGET stdusb)
  ovm_add_test(ovmlsau_miniport_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/MiniportWaveCyclicTests.cpp
               LIBS ovmlsau_core platform)
endif()

if(TARGET stdusb AND OVM_STDDRV_WAVE_SOURCES)
  ovm_add_test(ovmlsau_cyclic_e2e_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/CyclicEndToEndTests.cpp
               LIBS ovmlsau_core stdusb sim platform)
  add_dependencies(ovmlsau_cyclic_e2e_tests ovmlsau)
endif()
