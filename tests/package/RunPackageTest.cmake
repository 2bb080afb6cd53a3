# Makes this build's release package with cpack, unpacks it into a scratch folder as a station
# would, checks that it holds what every release must, builds the example test project from the
# package's own sources against the package's own kit, and runs it through the package's own
# ate-host and driver.
#
# cmake -DKIND=deb|zip -DBUILD_DIR=... -DWORK_DIR=... -DVERSION=... -DCPACK=... -DGENERATOR=...
#       [-DMAKE_PROGRAM=...] [-DCXX_COMPILER=...] [-DTOOLCHAIN_FILE=...] [-DEMULATOR=...]
#       [-DDPKG_DEB=... -DLINTIAN=... -DLDD=...] [-DOBJDUMP=...] -P RunPackageTest.cmake
#
# deb: unpacked with dpkg-deb -x; every program and library must find all it links from the
# unpacked tree or the system (ldd), and lintian must report no error.
# zip: every DLL that a program or DLL of bin/ imports must be in bin/ or be part of Windows;
# the programs run through EMULATOR (Wine).
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/../support/RunStep.cmake)

function(expect_one variable pattern what)
  file(GLOB found ${pattern})
  list(LENGTH found count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one ${what} (${pattern}), found: ${found}")
  endif()
  set(${variable} "${found}" PARENT_SCOPE)
endfunction()

foreach(tool CPACK GENERATOR VERSION)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} not given")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")

# ---- Make the package and unpack it ----
if(KIND STREQUAL "deb")
  foreach(tool DPKG_DEB LINTIAN LDD)
    if(NOT ${tool})
      message(FATAL_ERROR "${tool} not found: install dpkg-dev and lintian (scripts/test.sh does)")
    endif()
  endforeach()
  run_step("${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}/dist")
  expect_one(package "${WORK_DIR}/dist/ate-station_${VERSION}_amd64.deb" "Debian package")
  run_step("${DPKG_DEB}" -x "${package}" "${WORK_DIR}/root")
  set(root "${WORK_DIR}/root/usr")
  set(suffix "")
  # The control fields a station's package manager reads.
  foreach(field Package Version Architecture Maintainer Homepage Section Description Depends)
    run_step("${DPKG_DEB}" -f "${package}" ${field})
    string(STRIP "${step_output}" value)
    set(control_${field} "${value}")
    if(value STREQUAL "")
      message(FATAL_ERROR "the package has no ${field} field")
    endif()
  endforeach()
  if(NOT control_Package STREQUAL "ate-station" OR NOT control_Version STREQUAL VERSION
     OR NOT control_Architecture STREQUAL "amd64")
    message(FATAL_ERROR "control fields: ${control_Package} ${control_Version} "
      "${control_Architecture}, expected ate-station ${VERSION} amd64")
  endif()
  # What dpkg-shlibdeps found the programs linked against.
  if(NOT control_Depends MATCHES "libc6 \\(>= " OR NOT control_Depends MATCHES "libstdc\\+\\+6")
    message(FATAL_ERROR "Depends lacks the C and C++ libraries: ${control_Depends}")
  endif()
elseif(KIND STREQUAL "zip")
  if(NOT OBJDUMP)
    message(FATAL_ERROR "OBJDUMP not given: the mingw-w64 binutils provide it")
  endif()
  run_step("${CPACK}" -G ZIP --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}/dist")
  expect_one(package "${WORK_DIR}/dist/ate-station-${VERSION}-win64.zip" "zip")
  file(MAKE_DIRECTORY "${WORK_DIR}/unpacked")
  run_step("${CMAKE_COMMAND}" -E chdir "${WORK_DIR}/unpacked" "${CMAKE_COMMAND}" -E tar xf
    "${package}")
  # Everything sits in one folder named like the zip.
  file(GLOB top RELATIVE "${WORK_DIR}/unpacked" "${WORK_DIR}/unpacked/*")
  if(NOT top STREQUAL "ate-station-${VERSION}-win64")
    message(FATAL_ERROR
      "the zip should hold one folder ate-station-${VERSION}-win64, holds: ${top}")
  endif()
  set(root "${WORK_DIR}/unpacked/${top}")
  set(suffix ".exe")
else()
  message(FATAL_ERROR "KIND is deb or zip, not '${KIND}'")
endif()

# ---- What every release holds ----
set(library_dirs "${root}/lib" "${root}/lib/*")
if(KIND STREQUAL "zip")
  set(library_dirs "${root}/bin")
endif()
set(required
  "bin/driver${suffix}" "bin/ate-host${suffix}" "bin/ate-datalog${suffix}" "bin/ate-check${suffix}"
  "bin/ate-station${suffix}"
  "include/ate/CommonStruct.h" "include/ate/TestProjectExport.h" "include/ate/chanmap.h"
  "include/ate/datalog.h" "share/ate/schemas/flow.schema.json"
  "share/ate/schemas/setting.schema.json"
  "share/ate/docs/protocol.md" "share/ate/docs/test-projects.md" "share/ate/docs/CHANGELOG.md"
  "share/ate/docs/datalog.md" "share/ate/docs/fleet.md" "share/ate/docs/station.md"
  "share/ate/docs/handler.md" "share/ate/docs/gem.md"
  "share/ate/examples/CMakeLists.txt" "share/ate/examples/pmic/pmic_flow.json"
  "share/ate/examples/pmic/three_passes.json")
if(KIND STREQUAL "zip")
  list(APPEND required "share/ate/service/ate-station-service.cmd")
endif()
if(KIND STREQUAL "deb")
  list(APPEND required "share/doc/ate-station/copyright"
    "share/doc/ate-station/changelog.gz" "share/man/man1/driver.1.gz")
endif()
foreach(file IN LISTS required)
  if(NOT EXISTS "${root}/${file}")
    message(FATAL_ERROR "the package lacks ${file}")
  endif()
endforeach()
set(chanmap_patterns "")
set(config_patterns "")
foreach(dir IN LISTS library_dirs)
  list(APPEND chanmap_patterns "${dir}/libchanmap.so" "${dir}/libchanmap.dll")
endforeach()
expect_one(chanmap "${chanmap_patterns}" "libchanmap")
string(REPLACE "libchanmap" "libdatalog" datalog_patterns "${chanmap_patterns}")
expect_one(datalog "${datalog_patterns}" "libdatalog")
expect_one(config "${root}/lib/cmake/ate/ateConfig.cmake;${root}/lib/*/cmake/ate/ateConfig.cmake"
  "CMake package ate")

# ---- The station as a service (deb): its unit, not enabled, and its options as a conffile ----
if(KIND STREQUAL "deb")
  set(unit "${WORK_DIR}/root/lib/systemd/system/ate-station.service")
  set(conf "${WORK_DIR}/root/etc/ate-station/ate-station.conf")
  if(NOT EXISTS "${unit}" OR NOT EXISTS "${conf}")
    message(FATAL_ERROR "the package lacks the station's service or its options")
  endif()
  run_step("${DPKG_DEB}" -e "${package}" "${WORK_DIR}/control")
  file(READ "${WORK_DIR}/control/conffiles" conffiles)
  if(NOT conffiles STREQUAL "/etc/ate-station/ate-station.conf\n")
    message(FATAL_ERROR "conffiles: ${conffiles}")
  endif()
  if(EXISTS "${WORK_DIR}/control/postinst")
    file(READ "${WORK_DIR}/control/postinst" postinst)
    if(postinst MATCHES "systemctl|deb-systemd")
      message(FATAL_ERROR "the package enables or starts the service itself:\n${postinst}")
    endif()
  endif()
  # systemd's own check of the unit, pointed at the unpacked program and options.
  find_program(SYSTEMD_ANALYZE systemd-analyze)
  if(SYSTEMD_ANALYZE)
    file(READ "${unit}" text)
    string(REPLACE "/usr/bin/ate-station" "${root}/bin/ate-station" text "${text}")
    string(REPLACE "/etc/ate-station/ate-station.conf" "${conf}" text "${text}")
    file(WRITE "${WORK_DIR}/verify/ate-station.service" "${text}")
    execute_process(COMMAND "${SYSTEMD_ANALYZE}" --man=no verify
      "${WORK_DIR}/verify/ate-station.service" RESULT_VARIABLE status OUTPUT_VARIABLE out
      ERROR_VARIABLE err)
    if(NOT status EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
      message(FATAL_ERROR "systemd-analyze verify: status ${status}\n${out}${err}")
    endif()
  endif()
endif()

# ---- Everything the programs and libraries link is in the package or in the system ----
file(GLOB_RECURSE binaries "${root}/bin/*" "${root}/lib/*.so" "${root}/lib/*.so.*"
  "${root}/lib/*.dll")
if(KIND STREQUAL "deb")
  foreach(binary IN LISTS binaries)
    file(READ "${binary}" magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
      continue()  # not ELF: a script, say
    endif()
    run_step("${LDD}" "${binary}")
    if(step_output MATCHES "not found")
      message(FATAL_ERROR "${binary} links what neither the package nor the system has:\n"
        "${step_output}")
    endif()
  endforeach()
else()
  # DLLs every Windows installation has; anything else must come in bin/.
  set(system_dlls advapi32 bcrypt crypt32 gdi32 iphlpapi kernel32 msvcrt mswsock ntdll ole32
    oleaut32 rpcrt4 secur32 shell32 shlwapi ucrtbase user32 userenv version winmm ws2_32)
  foreach(binary IN LISTS binaries)
    if(NOT binary MATCHES "\\.(exe|dll)$")
      continue()
    endif()
    run_step("${OBJDUMP}" -p "${binary}")
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${step_output}")
    foreach(import IN LISTS imports)
      string(REPLACE "DLL Name: " "" dll "${import}")
      string(TOLOWER "${dll}" name)
      string(REGEX REPLACE "\\.dll$" "" name "${name}")
      if(NOT name IN_LIST system_dlls AND NOT name MATCHES "^api-ms-win-"
         AND NOT EXISTS "${root}/bin/${dll}")
        message(FATAL_ERROR "${binary} needs ${dll}, which is neither in bin/ nor part of Windows")
      endif()
    endforeach()
  endforeach()
endif()

# ---- The example, built from the package's sources against the package's kit ----
set(example_build "${WORK_DIR}/example")
set(configure_args -S "${root}/share/ate/examples" -B "${example_build}" -G "${GENERATOR}"
  -DCMAKE_BUILD_TYPE=Release)
if(TOOLCHAIN_FILE)
  get_filename_component(config_dir "${config}" DIRECTORY)
  list(APPEND configure_args "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}" "-Date_DIR=${config_dir}")
else()
  # Found below the prefix as find_package searches it, whichever library folder holds it.
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_PREFIX_PATH=${root}"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
endif()
if(MAKE_PROGRAM)
  list(APPEND configure_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
run_step("${CMAKE_COMMAND}" ${configure_args})
run_step("${CMAKE_COMMAND}" --build "${example_build}")
expect_one(library "${example_build}/pmic_project.so;${example_build}/pmic_project.dll"
  "example test project library")

# ---- Run it through the package's ate-host, which starts the package's driver beside it ----
run_step(${EMULATOR} "${root}/bin/ate-host${suffix}" --version)
string(REPLACE "\r\n" "\n" version_line "${step_output}")
if(NOT version_line STREQUAL "ate-host ${VERSION}\n")
  message(FATAL_ERROR "ate-host --version printed '${step_output}', expected 'ate-host ${VERSION}'")
endif()
set(example "${root}/share/ate/examples/pmic")
execute_process(
  COMMAND ${EMULATOR} "${root}/bin/ate-host${suffix}" --timeout 60 --run-timeout 120
    "load ${library} ${example}/pmic_flow.json" "run ${example}/three_passes.json" wait unload exit
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REPLACE "\r\n" "\n" out "${out}")
# Three passes, each with DUT3's weak output failing; the session ends cleanly.
string(REGEX MATCHALL "\n   pass [0-9]+ done\n" passes "${out}")
string(REGEX MATCHALL "output_voltage  DUT3  VOUT1 = [^\n]* FAIL\n" failures "${out}")
list(LENGTH passes pass_count)
list(LENGTH failures failure_count)
if(NOT status EQUAL 0 OR NOT pass_count EQUAL 3 OR NOT failure_count EQUAL 3
   OR NOT out MATCHES "<- 2\\^execute done\n" OR out MATCHES "\\[driver stderr\\]")
  message(FATAL_ERROR "the example did not run as it should from the unpacked package "
    "(status ${status}, ${pass_count} passes, ${failure_count} VOUT1 failures of DUT3):\n"
    "${out}${err}")
endif()
message(STATUS "${package}: the example ran from the unpacked package")

# ---- lintian ----
if(KIND STREQUAL "deb")
  execute_process(COMMAND "${LINTIAN}" --tag-display-limit 0 "${package}"
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0 OR out MATCHES "(^|\n)E: ")
    message(FATAL_ERROR "lintian reports errors (status ${status}):\n${out}${err}")
  endif()
  message(STATUS "lintian: no errors\n${out}")
endif()
