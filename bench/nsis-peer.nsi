; The benchmark's peer: the small NSIS bootstrapper that a release engineer builds instead of
; setup.exe. It carries the same package, writes it to the temporary folder, installs it silently
; with the same command line and installer log as setup.exe /qn, removes it again and ends with
; the installer's result. It checks no signature (NSIS's own CRC check of its data stays on, as
; NSIS has it by default).
;
; makensis -DTARGET=<x86-unicode|amd64-unicode> -DPACKAGE=<package> -DPACKAGE_NAME=<file name>
;          -DPROPERTIES=<command line> -DLOG_NAME=<installer log's file name> -DOUTFILE=<exe>
;          [-DSTORED] [-DMSIEXEC] nsis-peer.nsi
;   STORED   the package is stored as it is (SetCompress off); without it NSIS's default
;            compression (zlib) is used
;   MSIEXEC  the installer is msiexec.exe /i ... /qn, started and waited for (ExecWait); without
;            it the process calls MsiSetInternalUI and MsiInstallProductW itself, through the
;            System plugin, as setup.exe does

Unicode true
Target ${TARGET}
!ifdef STORED
SetCompress off
!endif

Name "Benchmark peer"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
SilentInstall silent

Section
  SetOutPath "$TEMP"
  File "/oname=${PACKAGE_NAME}" "${PACKAGE}"
  StrCpy $0 1603
!ifdef MSIEXEC
  ExecWait '"$SYSDIR\msiexec.exe" /i "$TEMP\${PACKAGE_NAME}" /qn ${PROPERTIES} /lvp "$TEMP\${LOG_NAME}"' $0
!else
  StrCpy $1 "$TEMP\${PACKAGE_NAME}"
  StrCpy $2 "${PROPERTIES}"
  StrCpy $3 "$TEMP\${LOG_NAME}"
  ; INSTALLUILEVEL_NONE; INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_PROPERTYDUMP, no attributes.
  System::Call 'msi::MsiSetInternalUI(i 2, p 0) i'
  System::Call 'msi::MsiEnableLogW(i 0x1400, w r3, i 0) i'
  System::Call 'msi::MsiInstallProductW(w r1, w r2) i .r0'
!endif
  Delete "$TEMP\${PACKAGE_NAME}"
  SetErrorLevel $0
SectionEnd
