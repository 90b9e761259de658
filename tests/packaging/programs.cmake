# Installs the build into a scratch prefix and starts every installed program from there with
# no LD_LIBRARY_PATH: each must find the installed libKorLib through its own run path (the
# loader refuses a program that cannot find it with status 127 before main runs).
# KOR_PROGRAMS lists the programs; KorEmulator, which has no --help, is started without a
# display, which it reports in one line before it ends.
include(${CMAKE_CURRENT_LIST_DIR}/../install_prefix.cmake)

set(clean_env --unset=LD_LIBRARY_PATH --unset=DISPLAY --unset=WAYLAND_DISPLAY
    --unset=SDL_VIDEODRIVER)
foreach(program IN LISTS KOR_PROGRAMS)
  set(path ${prefix}/bin/${program})
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "${program} is not installed in ${prefix}/bin")
  endif()
  # The library the loader picks must be the installed one, not the build tree's.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${clean_env} ldd ${path}
    OUTPUT_VARIABLE libraries RESULT_VARIABLE rc)
  string(REGEX MATCH "libKorLib[^\n]*" korlib "${libraries}")
  if(NOT rc EQUAL 0 OR NOT korlib MATCHES "=> ${prefix}/")
    message(FATAL_ERROR "${program}: libKorLib does not resolve into ${prefix}:\n${libraries}")
  endif()

  if(program STREQUAL "KorEmulator")
    set(arguments)
    set(expected_status 255)
    set(expected_text "no display to open a window on")
  else()
    set(arguments --help)
    set(expected_status 0)
    set(expected_text "Usage")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${clean_env} ${path} ${arguments}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  string(FIND "${out}${err}" "${expected_text}" found)
  if(NOT status EQUAL expected_status OR found EQUAL -1)
    message(FATAL_ERROR "${path} ${arguments}: status ${status}, expected ${expected_status} "
                        "and \"${expected_text}\":\n${out}${err}")
  endif()
  message(STATUS "${program} ${arguments}: status ${status} from ${prefix}/bin")
endforeach()
