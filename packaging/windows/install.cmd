@echo off
rem Installs and starts the Platewise listener and service. Run as administrator, from the
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
rem The image paths are quoted inside the value: unquoted, a path with a
rem space lets C:\Program.exe run as LocalSystem.
rem First the listener, PlatewiseListen: it owns the pipe and keeps the
rem snapshots in %ProgramData%\Platewise (the newest 2 GiB). LocalSystem, as
rem the service's pipe check wants, with every privilege but one dropped;
rem Wine's sc.exe has no "privs", so that step may fail without stopping
rem the script.
sc.exe create PlatewiseListen binPath= "\"%TARGET%\platewise.exe\" listen --service --save-max-bytes 2G" start= auto
if errorlevel 1 exit /b 1
sc.exe failure PlatewiseListen reset= 86400 actions= restart/30000/restart/30000/""/0
if errorlevel 1 exit /b 1
sc.exe privs PlatewiseListen SeChangeNotifyPrivilege
sc.exe start PlatewiseListen
if errorlevel 1 exit /b 1
sc.exe create Platewise binPath= "\"%TARGET%\testservice.exe\"" start= auto
if errorlevel 1 exit /b 1
rem After a crash: restarted 30 s later, twice; a third crash within a day
rem leaves it stopped (a loop of crashes is not hidden). The count starts
rem again after a day without one.
sc.exe failure Platewise reset= 86400 actions= restart/30000/restart/30000/""/0
if errorlevel 1 exit /b 1
sc.exe start Platewise
if errorlevel 1 exit /b 1
sc.exe query PlatewiseListen
sc.exe query Platewise
echo Status: "%TARGET%\platewise.exe" status
