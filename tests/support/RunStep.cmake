# run_step(COMMAND...): runs one step of a script-mode test and stops the test with the step's
# command line and output when it fails; the output is left in step_output.
function(run_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()
