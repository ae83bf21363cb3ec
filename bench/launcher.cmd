@echo off
rem The launcher's job as a batch file, for the benchmark: read where the installer lives from its
rem App Paths key, start it with the INI file's name, end. Run as: cmd.exe /c launcher.cmd
setlocal
set "installer="
rem reg query prints "    (Default)    REG_SZ    <path>": the value is everything after the type.
for /f "tokens=1,2,*" %%a in ('reg query "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\CEAPPMGR.EXE" /ve 2^>nul') do (
    if "%%b"=="REG_SZ" set "installer=%%c"
)
if not defined installer exit /b 0
start "" "%installer%" "install.ini"
