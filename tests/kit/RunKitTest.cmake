# Installs the current build into a fresh prefix, builds the consumer project against it with
# the outer build's generator and compiler (or toolchain file), runs it and checks what the test
# project printed.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DGENERATOR=... [-DGENERATOR_PLATFORM=...]
#       [-DMAKE_PROGRAM=...] -DCXX_COMPILER=... [-DTOOLCHAIN_FILE=...] [-DEMULATOR=...]
#       [-DEXECUTABLE_SUFFIX=...] -DCONFIG=... [-DSANITIZE=...] -P RunKitTest.cmake
#
# With TOOLCHAIN_FILE the consumer is cross-compiled like the outer build, and the installed
# driver runs through EMULATOR (a command line, as a list).
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/../support/RunStep.cmake)

set(prefix "${WORK_DIR}/prefix")
set(consumer_build "${WORK_DIR}/build")
file(REMOVE_RECURSE "${WORK_DIR}")

run_step("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --config "${CONFIG}")

set(configure_args -S "${CONSUMER_DIR}" -B "${consumer_build}" -G "${GENERATOR}"
  "-DCMAKE_BUILD_TYPE=${CONFIG}")
if(TOOLCHAIN_FILE)
  # A cross toolchain searches for packages only below its target root: name the kit's directory.
  list(APPEND configure_args "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}"
    "-Date_DIR=${prefix}/lib/cmake/ate")
else()
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_PREFIX_PATH=${prefix}")
endif()
if(GENERATOR_PLATFORM)
  list(APPEND configure_args -A "${GENERATOR_PLATFORM}")
endif()
if(MAKE_PROGRAM)
  list(APPEND configure_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
if(SANITIZE)
  # An instrumented libchanmap needs the sanitizer runtime in the program that loads it.
  foreach(kind CXX_FLAGS EXE_LINKER_FLAGS SHARED_LINKER_FLAGS)
    list(APPEND configure_args "-DCMAKE_${kind}=-fsanitize=${SANITIZE}")
  endforeach()
endif()
run_step("${CMAKE_COMMAND}" ${configure_args})
run_step("${CMAKE_COMMAND}" --build "${consumer_build}" --config "${CONFIG}")

if(WIN32)
  set(ENV{PATH} "${prefix}/bin;$ENV{PATH}")
endif()
set(out_dir "${consumer_build}/out")
file(GLOB project_library "${out_dir}/*myproject.so" "${out_dir}/*myproject.dll"
  "${out_dir}/*myproject.dylib")
list(LENGTH project_library found)
if(NOT found EQUAL 1)
  message(FATAL_ERROR "expected one test project library in ${out_dir}, found: ${project_library}")
endif()
# The installed driver loads the test project, whose prj_init prints its signal map, and runs
# one pass, whose test function prints through libchanmap. The driver ends at "exit" without
# waiting for a run, so the input (written by a CMake script piped into it) says "exit" only
# once the driver's output shows the run's end.
file(WRITE "${WORK_DIR}/flow.json" [=[{"testItems": [{"failJump": "", "flag": "", "funcDesc": "",
  "funcId": 1, "funcName": "continuity", "hbin": 1, "level": {"clampHi": "", "clampLow": "",
  "iOH": "", "iOL": "", "vIH": "", "vIL": "", "vOH": "", "vOL": "", "vT": ""}, "loop": 1,
  "passJump": "", "pattern": "", "results": [], "sbin": 1, "select": true}]}]=])
file(WRITE "${WORK_DIR}/setting.json" [=[{"executeSetting": {"failstop": false, "loopcount": 1},
  "dutSetting": {"selectDUT": ["DUT1"]}}]=])
set(out_file "${WORK_DIR}/driver-out.txt")
file(WRITE "${WORK_DIR}/feed.cmake" "
execute_process(COMMAND \"${CMAKE_COMMAND}\" -E echo \"1^qv -p load ${project_library} ${WORK_DIR}/flow.json\")
execute_process(COMMAND \"${CMAKE_COMMAND}\" -E echo \"2^qv -p run ${WORK_DIR}/setting.json\")
foreach(attempt RANGE 1200)
  if(EXISTS \"${out_file}\")
    file(READ \"${out_file}\" text)
    if(text MATCHES \"2\\\\^execute done\")
      break()
    endif()
  endif()
  execute_process(COMMAND \"${CMAKE_COMMAND}\" -E sleep 0.05)
endforeach()
execute_process(COMMAND \"${CMAKE_COMMAND}\" -E echo exit)
")
execute_process(COMMAND "${CMAKE_COMMAND}" -P "${WORK_DIR}/feed.cmake"
  COMMAND ${EMULATOR} "${prefix}/bin/driver${EXECUTABLE_SUFFIX}"
  OUTPUT_FILE "${out_file}" RESULT_VARIABLE status ERROR_VARIABLE err TIMEOUT 120)
file(READ "${out_file}" out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed driver failed (${status}):\n${out}${err}")
endif()

# After the start-up lines: the load, then the run. The main thread's two lines and the pass's
# three come in their own order, but the two threads' lines may interleave in any way.
string(CONCAT load
  "input 'exit' exit process.\nFuncName: continuity, FuncId: 1\n"
  "SigDefine Type:power\nSigDefine Name:VDD\nSigDefine No:1\nSigDefine Map Size:2\n"
  "site:1  channel:DPS_CH1\nsite:2  channel:DPS_CH2\nmode:FV\n1^done\n")
string(REPLACE "\r\n" "\n" out "${out}")
string(FIND "${out}" "${load}" at)
set(main_lines "")
set(pass_lines "")
if(NOT at EQUAL -1)
  string(LENGTH "${load}" load_length)
  math(EXPR rest_at "${at} + ${load_length}")
  string(SUBSTRING "${out}" ${rest_at} -1 rest)
  string(REGEX REPLACE "\n$" "" rest "${rest}")
  string(REPLACE "\n" ";" main_lines "${rest}")
  set(pass_lines ${main_lines})
  list(FILTER main_lines INCLUDE REGEX "^(executeLoop execute|2\\^done)$")
  list(FILTER pass_lines EXCLUDE REGEX "^(executeLoop execute|2\\^done)$")
endif()
if(NOT main_lines STREQUAL "executeLoop execute;2^done" OR
   NOT pass_lines STREQUAL "aaab;ProjectOperate instance;2^execute done" OR NOT err STREQUAL "")
  message(FATAL_ERROR "unexpected output of the driver:\n${out}${err}\n"
    "expected it to contain:\n${load}\nthen, to its end, the main thread's lines "
    "\"executeLoop execute\" and \"2^done\" mixed with the pass's lines \"aaab\", "
    "\"ProjectOperate instance\" and \"2^execute done\", each in this order")
endif()
message(STATUS "installed kit: the driver loaded the consumer project and ran it as expected")
