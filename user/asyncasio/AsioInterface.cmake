# The ASIO interface declarations, shared by both ASIO drivers and the simulated host.
add_library(asiointerface INTERFACE)
target_include_directories(asiointerface INTERFACE ${CMAKE_CURRENT_LIST_DIR}/include)
