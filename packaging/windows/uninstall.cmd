@echo off
rem Stops and removes the Platewise service. Run as administrator.
sc.exe stop Platewise
sc.exe delete Platewise
echo The programs stay in "%ProgramFiles%\Platewise"; delete the folder to remove them.
