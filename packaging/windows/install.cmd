@echo off
rem Installs and starts the Platewise service. Run as administrator, from the
rem folder that holds testservice.exe and platewise.exe.
setlocal
set "TARGET=%ProgramFiles%\Platewise"
if not exist "%TARGET%" mkdir "%TARGET%" || exit /b 1
copy /y "%~dp0testservice.exe" "%TARGET%\" >nul || exit /b 1
copy /y "%~dp0platewise.exe" "%TARGET%\" >nul || exit /b 1
sc.exe create Platewise binPath= "%TARGET%\testservice.exe" start= auto || exit /b 1
sc.exe start Platewise || exit /b 1
sc.exe query Platewise
echo Listen with: "%TARGET%\platewise.exe" listen
