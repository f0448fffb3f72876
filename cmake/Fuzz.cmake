# libFuzzer targets, built in a folder of their own with -DOVM_FUZZ=ON and clang. Such a build
# runs wholly under AddressSanitizer and UndefinedBehaviorSanitizer, and the code of the folders
# added after ovm_fuzz_cover() (the system's) carries coverage counters, so that a driver module
# the machine loads at run time guides the fuzzer as much as the fuzzer's own code does.
option(OVM_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(OVM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "OVM_FUZZ needs clang's libFuzzer")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # Builds every fuzz target.
  add_custom_target(fuzzers)
endif()

# Coverage counters for the folders added from here on.
macro(ovm_fuzz_cover)
  if(OVM_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endmacro()

# ovm_add_fuzzer(name SOURCES ... LIBS ... CORPUS <seed folder> RUNS <n> [MODULES ...]): a
# libFuzzer executable and a CTest test that runs it for n inputs from its seed corpus. New
# inputs and crash files go to fuzz_work/<name> in the build tree, emptied before every run;
# the seed corpus in the sources is only read. MODULES are the driver modules it loads.
function(ovm_add_fuzzer name)
  if(NOT OVM_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "CORPUS;RUNS" "SOURCES;LIBS;MODULES;INCLUDES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Threads::Threads)
  target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  target_compile_definitions(${name} PRIVATE OVM_MODULE_DIR="${OVM_MODULE_DIR}")
  # Instrumented driver modules resolve the fuzzer's coverage hooks in the executable.
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  if(ARG_MODULES)
    add_dependencies(${name} ${ARG_MODULES})
  endif()
  add_dependencies(fuzzers ${name})
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${name}> -DWORK=${CMAKE_BINARY_DIR}/fuzz_work/${name}
                   -DCORPUS=${ARG_CORPUS} -DRUNS=${ARG_RUNS} -P ${CMAKE_SOURCE_DIR}/cmake/RunFuzzer.cmake)
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
endfunction()
