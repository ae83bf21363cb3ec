; The launcher's job in NSIS, for the benchmark: read where the installer lives, start it with the
; INI file's name, end. makensis -DOUTFILE=<path> bench/launcher.nsi
!ifndef OUTFILE
  !define OUTFILE "launcher-nsis.exe"
!endif
Name "Setup"
OutFile "${OUTFILE}"
SilentInstall silent
RequestExecutionLevel user

Section
  ReadRegStr $0 HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\CEAPPMGR.EXE" ""
  StrCmp $0 "" done
  Exec '"$0" "install.ini"'
done:
SectionEnd
