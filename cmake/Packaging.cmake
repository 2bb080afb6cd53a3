# Releases: CPack packs whatever `cmake --install` installs, so every program, library, header and
# data file that has an install() rule is in the package without being named here.
#
#   Linux:   a Debian package, ate-station_VERSION_amd64.deb, installing under /usr
#   Windows: a zip, ate-station-VERSION-win64.zip, holding one folder with bin/, include/, lib/
#            and share/ (the mingw-w64 build links its runtime statically, so bin/ needs no DLL
#            but ours)
#
#   cpack --config BUILD/CPackConfig.cmake -B dist       (or scripts/package.sh for both)
#
# Included from the top-level CMakeLists.txt after the install rules.

set(CPACK_PACKAGE_NAME ate-station)
set(CPACK_PACKAGE_VENDOR "ATE station developers")
# The Maintainer and Homepage fields; whoever publishes a release may give its own.
set(ATE_PACKAGE_CONTACT "ATE station developers <ate-station@example.com>" CACHE STRING
  "Maintainer of the release packages: NAME <EMAIL>")
set(ATE_PACKAGE_HOMEPAGE "https://ate-station.example.com/" CACHE STRING
  "Homepage of the release packages")
set(CPACK_PACKAGE_CONTACT ${ATE_PACKAGE_CONTACT})
set(CPACK_PACKAGE_HOMEPAGE_URL ${ATE_PACKAGE_HOMEPAGE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Test station execution side: driver, reference host and test project kit")
# Also the Debian package's long description: lines of less than 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
  "The execution side of an automatic test equipment station. The driver is a
console program that a controlling host drives through its standard streams:
it loads a test project library with a JSON flow file and runs passes of the
flow as a JSON setting file says. Also included: the reference host
(ate-host), libchanmap, and the headers and CMake package (ate) that test
project libraries build against, the documentation and an example project.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  # Unpacks into one folder named like the zip, not into whatever folder it is unpacked in.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The dependencies are what dpkg-shlibdeps finds the programs and libraries linked against.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # A library in the system's library folder wants the loader's cache refreshed; the service's
  # options are the station's own to change (a conffile).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers
    ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)

  # The station as a systemd service, not enabled, with its options under /etc. Installed where
  # the system has them only by an install into /usr (the package's), not into a kit's folder.
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/debian/ate-station.service\"
        DESTINATION \"/lib/systemd/system\")
      file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/debian/ate-station.conf\"
        DESTINATION \"/etc/ate-station\")
    endif()")

  # What Debian asks of every package besides its files: a copyright file and the changelog in
  # /usr/share/doc/PACKAGE, and a manual page for each program, the last two compressed.
  file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog ate_latest LIMIT_COUNT 1)
  string(REPLACE "." "\\." ate_version_pattern ${PROJECT_VERSION})
  if(NOT ate_latest MATCHES "^${CPACK_PACKAGE_NAME} \\(${ate_version_pattern}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog starts with \"${ate_latest}\": give release "
      "${PROJECT_VERSION} an entry of its own at the top (and in CHANGELOG.md)")
  endif()
  find_program(ATE_GZIP gzip REQUIRED)
  set(ate_compress ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)
  file(GLOB ate_manual_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.1)
  foreach(page IN LISTS ate_manual_pages)
    get_filename_component(name ${page} NAME)
    configure_file(${page} ${PROJECT_BINARY_DIR}/debian/${name} @ONLY)
    list(APPEND ate_compress ${PROJECT_BINARY_DIR}/debian/${name})
  endforeach()
  set(ate_compressed "")
  foreach(file IN LISTS ate_compress)
    get_filename_component(name ${file} NAME)
    # -n: no name or time stamp inside, so that the result depends on the text alone.
    execute_process(COMMAND ${ATE_GZIP} -9nc ${file}
      OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/${name}.gz RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "could not compress ${file}")
    endif()
    list(APPEND ate_compressed ${PROJECT_BINARY_DIR}/debian/${name}.gz)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)
  list(POP_FRONT ate_compressed ate_changelog)
  install(FILES ${ate_changelog} ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
  install(FILES ${ate_compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

include(CPack)
