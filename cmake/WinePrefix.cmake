# Sets up the Wine prefix that the cross-compiled programs run in (see mingw-w64-x86_64.cmake),
# once, when the project is configured. Done here rather than by the first program that runs:
# that one would otherwise print Wine's set-up notes on its standard error, and test programs
# started side by side would all race to create the prefix.
if(NOT ATE_WINE OR NOT ATE_WINESERVER OR NOT ATE_WINEPREFIX
   OR EXISTS "${ATE_WINEPREFIX}/system.reg")
  return()
endif()

message(STATUS "Setting up the Wine prefix ${ATE_WINEPREFIX}")
# The .NET and HTML engines are left out: their installers would ask for a download.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env WINEDEBUG=-all "WINEPREFIX=${ATE_WINEPREFIX}"
          "WINEDLLOVERRIDES=mscoree,mshtml=" "${ATE_WINE}" wineboot --init
  INPUT_FILE /dev/null
  RESULT_VARIABLE ate_wine_status
  OUTPUT_VARIABLE ate_wine_output
  ERROR_VARIABLE ate_wine_output)
# wineboot returns before the prefix is complete; its server ends once everything is written.
execute_process(COMMAND ${CMAKE_COMMAND} -E env "WINEPREFIX=${ATE_WINEPREFIX}"
                        "${ATE_WINESERVER}" --wait)
if(NOT ate_wine_status EQUAL 0 OR NOT EXISTS "${ATE_WINEPREFIX}/system.reg")
  message(FATAL_ERROR "Wine could not set up ${ATE_WINEPREFIX} (${ate_wine_status}):\n"
                      "${ate_wine_output}")
endif()
