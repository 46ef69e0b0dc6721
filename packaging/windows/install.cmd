@echo off
rem Installs and starts the Platewise service. Run as administrator, from the
rem folder that holds testservice.exe and platewise.exe. Each step that fails
rem ends the script with exit code 1.
setlocal
set "TARGET=%ProgramFiles%\Platewise"
if not exist "%TARGET%" mkdir "%TARGET%"
if errorlevel 1 exit /b 1
copy /y "%~dp0testservice.exe" "%TARGET%\" >nul
if errorlevel 1 exit /b 1
copy /y "%~dp0platewise.exe" "%TARGET%\" >nul
if errorlevel 1 exit /b 1
rem The image path is quoted inside the value: unquoted, a path with a space
rem lets C:\Program.exe run as LocalSystem.
sc.exe create Platewise binPath= "\"%TARGET%\testservice.exe\"" start= auto
if errorlevel 1 exit /b 1
rem After a crash: restarted 30 s later, twice; a third crash within a day
rem leaves it stopped (a loop of crashes is not hidden). The count starts
rem again after a day without one.
sc.exe failure Platewise reset= 86400 actions= restart/30000/restart/30000/""/0
if errorlevel 1 exit /b 1
sc.exe start Platewise
if errorlevel 1 exit /b 1
sc.exe query Platewise
echo Listen with: "%TARGET%\platewise.exe" listen
