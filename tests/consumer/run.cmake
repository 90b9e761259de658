# Installs the build into a scratch prefix, then builds and runs tests/consumer against
# it twice: once through find_package(KorLib), once through pkg-config's korlib.pc.
include(${CMAKE_CURRENT_LIST_DIR}/../install_prefix.cmake)

# find_package(KorLib CONFIG REQUIRED)
if(KOR_TOOLCHAIN_FILE)
  # A cross build (Windows): the consumer is built with the same toolchain and run by the
  # emulator with KorLib.dll beside it, as a Windows program finds its DLLs.
  run(${CMAKE_COMMAND} -S ${KOR_CONSUMER_SOURCE} -B ${KOR_WORK_DIR}/cmake -G ${KOR_GENERATOR}
      -DCMAKE_TOOLCHAIN_FILE=${KOR_TOOLCHAIN_FILE} -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_FIND_ROOT_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${KOR_WORK_DIR}/cmake)
  file(COPY ${prefix}/bin/KorLib.dll DESTINATION ${KOR_WORK_DIR}/cmake)
  separate_arguments(emulator UNIX_COMMAND "${KOR_EMULATOR}")
  run(${emulator} ${KOR_WORK_DIR}/cmake/consumer.exe)
  message(STATUS "pkg-config check skipped: korlib.pc serves Unix-like systems, not Windows")
  return()
endif()
run(${CMAKE_COMMAND} -S ${KOR_CONSUMER_SOURCE} -B ${KOR_WORK_DIR}/cmake -G ${KOR_GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${KOR_CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${KOR_CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${KOR_WORK_DIR}/cmake)
run(${KOR_WORK_DIR}/cmake/consumer)

# pkg-config --cflags --libs korlib
file(GLOB_RECURSE pc_files ${prefix}/korlib.pc)
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "expected one installed korlib.pc, found: ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
execute_process(COMMAND pkg-config --cflags --libs korlib
  OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know korlib")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra_flags UNIX_COMMAND "${KOR_CXX_FLAGS}")
set(pc_exe ${KOR_WORK_DIR}/consumer-pc)
run(${KOR_CXX_COMPILER} -std=c++17 ${extra_flags} ${KOR_CONSUMER_SOURCE}/main.cpp ${pc_flags}
    -o ${pc_exe})
execute_process(COMMAND pkg-config --variable=libdir korlib
  OUTPUT_VARIABLE pc_libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
set(ENV{LD_LIBRARY_PATH} ${pc_libdir})
run(${pc_exe})
