# Checks the dynamic symbol table of libchanmap: everything its headers export is there, and
# nothing else is, in particular not the library's internal line writer.
# Usage: cmake -DNM=<nm> -DLIBRARY=<libchanmap.so> -P CheckExports.cmake
cmake_minimum_required(VERSION 3.20)

function(symbols_of out)
  execute_process(COMMAND "${NM}" --defined-only -C ${ARGN} "${LIBRARY}"
    OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
  endif()
  # "address type name" per line; keep the names.
  string(REGEX REPLACE "(^|\n)[0-9a-fA-F]+ [A-Za-z] " "\\1" listing "${listing}")
  string(REPLACE ";" "\\;" listing "${listing}")
  string(REPLACE "\n" ";" listing "${listing}")
  list(REMOVE_ITEM listing "")
  set(${out} "${listing}" PARENT_SCOPE)
endfunction()

symbols_of(exported -D)
symbols_of(all)

set(required
  "dps" "dpsInstance" "sum" "printf_test"
  "DPS::DPS()" "DPS::signal(SigDefine&)" "ProjectOperate::instance()"
  "ProjectOperate::instanceOwner" "testa::testa()" "testa::~testa()" "testa::printaaa()"
  "vtable for testa" "typeinfo for testa")
foreach(name IN LISTS required)
  if(NOT name IN_LIST exported)
    message(SEND_ERROR "not exported: ${name}")
  endif()
endforeach()
foreach(prefix "DPS::setMode(" "SigDefine::SigDefine(")
  string(FIND "${exported}" "${prefix}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "not exported: ${prefix}...")
  endif()
endforeach()

# Whatever is exported belongs to the library's interface.
foreach(name IN LISTS exported)
  if(NOT name MATCHES "^(dps|dpsInstance|sum|printf_test)$"
     AND NOT name MATCHES "^(SigDefine|DPS|ProjectOperate|testa)::"
     AND NOT name MATCHES "^(vtable|typeinfo|typeinfo name) for testa$")
    message(SEND_ERROR "exported but not part of the interface: ${name}")
  endif()
endforeach()

# The internal line writer is in the library but stays hidden.
set(helper "chanmap_internal::writeLine(std::basic_string_view<char, std::char_traits<char> >)")
if(NOT helper IN_LIST all)
  message(SEND_ERROR "internal helper not found in the symbol table: ${helper}")
endif()
if(helper IN_LIST exported)
  message(SEND_ERROR "internal helper is exported: ${helper}")
endif()
