# The C interface and the Python package as a user gets them from cmake --install: the C
# test program compiled as strict C99 against the installed header and linked with
# -lKorLib alone, and the installed korlib package (no KORLIB_LIBRARY) finding the library
# in the prefix and running a frame both ways.
include(${CMAKE_CURRENT_LIST_DIR}/../install_prefix.cmake)

file(GLOB_RECURSE libraries ${prefix}/libKorLib.so)
list(LENGTH libraries count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one installed libKorLib.so, found: ${libraries}")
endif()
get_filename_component(libdir ${libraries} DIRECTORY)
run(${KOR_C_COMPILER} -std=c99 -Wall -Wextra -pedantic -Werror -I${prefix}/include
    ${KOR_C_SOURCE} -L${libdir} -lKorLib -o ${KOR_WORK_DIR}/kor_c_test)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${KOR_WORK_DIR}/kor_c_test)

set(script [=[
import korlib, pathlib, sys
assert pathlib.Path(korlib.__file__).is_relative_to(sys.argv[1]), korlib.__file__
state = korlib.Telemetry(focus=1500, zoom=35.0, iris=2.8)
frame = korlib.encode(state, [korlib.MessageType.BasicLens])
assert frame.hex() == "00ff00000000000001070005dc000dac0118", frame.hex()
device = korlib.Device()
assert device.update(frame) is korlib.FrameStatus.SameTimecode
assert (device.state.focus, round(device.state.iris, 4)) == (1500, 2.8)
print("korlib", korlib.library_version(), "from", korlib.__file__)
]=])
run(${CMAKE_COMMAND} -E env --unset=KORLIB_LIBRARY
    PYTHONPATH=${prefix}/${KOR_PYTHON_INSTALL_DIR} PYTHONDONTWRITEBYTECODE=1
    ${KOR_PYTHON} -c "${script}" ${prefix})
