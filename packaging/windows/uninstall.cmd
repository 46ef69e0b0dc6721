@echo off
rem Stops and removes the Platewise service and its listener. Run as
rem administrator.
sc.exe stop Platewise
sc.exe stop PlatewiseListen
sc.exe delete Platewise
sc.exe delete PlatewiseListen
echo The programs stay in "%ProgramFiles%\Platewise", the snapshots in "%ProgramData%\Platewise"; delete the folders to remove them.
