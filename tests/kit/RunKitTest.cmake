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

function(run_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
endfunction()

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
# The installed driver loads the test project, whose prj_init prints its signal map.
file(WRITE "${WORK_DIR}/flow.json" [=[{"testItems": [{"failJump": "", "flag": "", "funcDesc": "",
  "funcId": 1, "funcName": "continuity", "hbin": 1, "level": {"clampHi": "", "clampLow": "",
  "iOH": "", "iOL": "", "vIH": "", "vIL": "", "vOH": "", "vOL": "", "vT": ""}, "loop": 1,
  "passJump": "", "pattern": "", "results": [], "sbin": 1, "select": true}]}]=])
file(WRITE "${WORK_DIR}/session.txt" "1^qv -p load ${project_library} ${WORK_DIR}/flow.json\nexit\n")
execute_process(COMMAND ${EMULATOR} "${prefix}/bin/driver${EXECUTABLE_SUFFIX}" INPUT_FILE "${WORK_DIR}/session.txt"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed driver failed (${status}):\n${out}${err}")
endif()

string(CONCAT expected
  "input 'exit' exit process.\nFuncName: continuity, FuncId: 1\n"
  "SigDefine Type:power\nSigDefine Name:VDD\nSigDefine No:1\nSigDefine Map Size:2\n"
  "site:1  channel:DPS_CH1\nsite:2  channel:DPS_CH2\nmode:FV\n1^done\n")
string(REPLACE "\r\n" "\n" out "${out}")
string(FIND "${out}" "${expected}" at)
if(at EQUAL -1 OR NOT err STREQUAL "")
  message(FATAL_ERROR "unexpected output of the driver:\n${out}${err}\nexpected it to end with:\n${expected}")
endif()
message(STATUS "installed kit: the driver loaded the consumer project as expected")
