# Helpers for the scripts that run mousesim as a user would.
# Expects -DMOUSESIM=<program>.

# run(COMMAND name ARGS ... [INPUT file] EXIT status): runs one mousesim
# command, fails unless it exits with `status`, and leaves its standard
# output in `out` and its standard error in `err`.
function(run)
  cmake_parse_arguments(R "" "COMMAND;INPUT;EXIT" "ARGS" ${ARGN})
  if(R_INPUT)
    set(input INPUT_FILE ${R_INPUT})
  else()
    set(input INPUT_FILE /dev/null)
  endif()
  execute_process(COMMAND ${MOUSESIM} ${R_COMMAND} ${R_ARGS} ${input}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL R_EXIT)
    message(FATAL_ERROR "${R_COMMAND} ${R_ARGS}: exit ${rc}, expected ${R_EXIT}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

function(expect_equal what actual expected)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${what}:\n--- got\n${actual}\n--- expected\n${expected}")
  endif()
endfunction()

function(expect_match what text pattern)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: '${text}' does not match '${pattern}'")
  endif()
endfunction()
