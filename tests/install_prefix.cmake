# Shared by the install checks run with cmake -P: `run` (a command that must succeed) and the
# build installed afresh into ${KOR_WORK_DIR}/prefix, whose path is left in `prefix`.
set(prefix ${KOR_WORK_DIR}/prefix)
file(REMOVE_RECURSE ${KOR_WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(JOIN " " cmd ${ARGN})
    message(FATAL_ERROR "failed (${rc}): ${cmd}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${KOR_BUILD_DIR} --prefix ${prefix})
