# kor_install_program(target): the install rule of a program. An installed program finds
# KorLib relative to itself (run path $ORIGIN/<bin to lib>), so an installed tree works from
# any prefix, and from wherever it is unpacked or moved; in the build tree a program keeps
# the build run path CMake gives it. Windows finds the DLL beside the program instead.
if(APPLE)
  set(kor_origin "@loader_path")
else()
  set(kor_origin "$ORIGIN")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KOR_PROGRAM_RPATH "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH kor_bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
  set(KOR_PROGRAM_RPATH "${kor_origin}/${kor_bin_to_lib}")
endif()

function(kor_install_program target)
  if(NOT WIN32)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${KOR_PROGRAM_RPATH}")
  endif()
  if(KOR_INSTALL)
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()
