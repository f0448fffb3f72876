# Runs one fuzz target for RUNS inputs from its seed corpus CORPUS, with an empty scratch folder
# WORK for the inputs it finds and any crash file; fails when the target reports a fault.
#   cmake -DFUZZER=<exe> -DWORK=<dir> -DCORPUS=<dir> -DRUNS=<n> -P RunFuzzer.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
execute_process(COMMAND ${FUZZER} -runs=${RUNS} -artifact_prefix=${WORK}/ ${WORK}/corpus ${CORPUS}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}")
endif()
