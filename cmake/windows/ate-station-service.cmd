@echo off
rem The station as a service on Windows: starts ate-station again whenever it ends unasked (a
rem crash), so that a lot it was testing is resumed by itself. Run it at the computer's start from
rem the Task Scheduler (docs\station.md, "The station as a service"). Give the station's options
rem in ATE_STATION_OPTIONS, or edit the line below.
setlocal
if "%ATE_STATION_OPTIONS%"=="" set ATE_STATION_OPTIONS=--projects "%~dp0..\..\..\projects" --datalogs "%~dp0..\..\..\datalog"
:again
"%~dp0..\..\..\bin\ate-station.exe" %ATE_STATION_OPTIONS%
set STATUS=%ERRORLEVEL%
rem 0: ended on purpose (Ctrl-C, the console closed); 64: options it refuses.
if "%STATUS%"=="0" exit /b 0
if "%STATUS%"=="64" exit /b 64
echo ate-station ended with status %STATUS%; starting it again in 2 seconds
ping -n 3 127.0.0.1 >nul
goto again
