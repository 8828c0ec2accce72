# Runs one fuzzer briefly for ctest: cmake -DFUZZER=... -DCORPUS=... -DWORK=... -DRUNS=...
# -DSECONDS=... -DMAX_LEN=... -P run_fuzzer.cmake
# New inputs go to a fresh folder under WORK; the committed corpus is passed second, so
# libFuzzer reads it and never writes to it.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/new")
execute_process(
  COMMAND "${FUZZER}" -runs=${RUNS} -max_total_time=${SECONDS} -max_len=${MAX_LEN}
          -timeout=30 -print_final_stats=1 "-artifact_prefix=${WORK}/"
          "${WORK}/new" "${CORPUS}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}")
endif()
