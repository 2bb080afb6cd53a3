# A shared library of the kit that test project libraries link (libchanmap, libdatalog): exports
# only what its headers mark for export (the BUILDING definition switches the export macro to
# its exporting side), is found by its headers' flat names inside and outside the build, and, once
# installed, finds the libraries it needs beside itself.
#
#   ate_kit_library(NAME BUILDING_DEFINITION source...)
#
# On Linux, the folder's exports.map keeps standard library instantiations out of the dynamic
# symbol table.
function(ate_kit_library name building)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME ${name}
    EXPORT_NAME ${name}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    INSTALL_RPATH "${ATE_ORIGIN}")
  target_compile_definitions(${name} PRIVATE ${building})
  target_include_directories(${name}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}> $<INSTALL_INTERFACE:include/ate>
    PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ate_contract PRIVATE Threads::Threads)
  target_compile_features(${name} PUBLIC cxx_std_17)
  ate_warnings(${name})
  if(NOT WIN32 AND NOT APPLE)
    set(map ${CMAKE_CURRENT_SOURCE_DIR}/exports.map)
    target_link_options(${name} PRIVATE "LINKER:--version-script=${map}")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${map})
  endif()
endfunction()
