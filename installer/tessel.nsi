; Installer of the Tessel ASIO driver: both DLLs (for 64-bit and for 32-bit hosts), tessel-rec and the help page
; under Program Files, each DLL registered by the regsvr32 of its own bitness, an entry in the list of installed
; programs and an uninstaller that takes all of it away again, leaving only the user's settings unless asked.
;
; Built by the `installer` target (cmake --build --preset installer), which passes:
;   VERSION (1.2.3), VERSION4 (1.2.3.0), OUTFILE, X64_DLL, X86_DLL, TESSEL_REC, HELP_FILE
;
; The installer is a 64-bit program: the driver is for 64-bit Windows, where 32-bit hosts run under WOW64. It
; installs the 32-bit DLL only where WOW64 is present.
;
; Every run writes a log to %TEMP% (Tessel-ASIO-Setup.log, Tessel-ASIO-Uninstall.log). A failed silent run exits
; with code 2 and leaves nothing registered.

Unicode true
Target amd64-unicode
ManifestSupportedOS all
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef VERSION | VERSION4 | OUTFILE | X64_DLL | X86_DLL | TESSEL_REC | HELP_FILE
!error "build the installer with its CMake target: VERSION, VERSION4, OUTFILE and the file paths are needed"
!endif

!define PRODUCT "Tessel ASIO Driver"
!define PUBLISHER "Korvel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessel ASIO Driver"
!define SETTINGS_PARENT "SOFTWARE\Korvel"
!define SETTINGS_KEY "SOFTWARE\Korvel\Tessel ASIO"
!define INTEGER_CLSID "{CF683376-4DD8-4F2E-93C8-ADBD68AE84C4}"
!define FLOAT_CLSID "{2A9B7DA3-7510-4BD2-9840-869A34EDF21D}"
!define INTEGER_ASIO_KEY "SOFTWARE\ASIO\Tessel ASIO Driver"
!define FLOAT_ASIO_KEY "SOFTWARE\ASIO\Tessel (Float) ASIO Driver"
!define DLL64 "Tessel-ASIO-x64.dll"
!define DLL32 "Tessel-ASIO-x86.dll"
!define HELP "Tessel ASIO Help.html"
!define FAILED_EXIT_CODE 2

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tessel"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"
!define MUI_ABORTWARNING

!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipDirectoryOnUpgrade
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\${HELP}"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Show the driver's help page"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

Var Log           ; handle of this run's log file
Var PreviousDir   ; where an earlier version is installed, or empty
Var PreviousVersion
Var HasWow64      ; 1 when 32-bit programs can run, and so the 32-bit DLL is installed
Var Problems      ; uninstaller: count of things it could not remove

; ---- logging: the details window, and a file in %TEMP% for silent runs ----

!macro OpenLog NAME
    FileOpen $Log "$TEMP\${NAME}" w
!macroend

!macro Log TEXT
    DetailPrint "${TEXT}"
    FileWrite $Log "${TEXT}$\r$\n"
!macroend

; Shows the reason (or only logs it, in a silent run) and ends the run with the failure exit code.
!macro Fail TEXT
    !insertmacro Log "ERROR: ${TEXT}"
    FileClose $Log
    MessageBox MB_OK|MB_ICONSTOP "${TEXT}" /SD IDOK
    SetErrorLevel ${FAILED_EXIT_CODE}
    Quit
!macroend

; ---- registration ----

; Checks that the driver's keys are there in one registry view (64 or 32) and name this copy of the DLL.
; Pushes 1 when they are, else 0.
!macro VerifyRegistration VIEW DLL
    SetRegView ${VIEW}
    StrCpy $R9 1
    ReadRegStr $R8 HKLM "${INTEGER_ASIO_KEY}" "CLSID"
    StrCmp $R8 "${INTEGER_CLSID}" +2
    StrCpy $R9 0
    ReadRegStr $R8 HKLM "${FLOAT_ASIO_KEY}" "CLSID"
    StrCmp $R8 "${FLOAT_CLSID}" +2
    StrCpy $R9 0
    ; StrCmp ignores case, as Windows does for paths; the DLL stores its path lower-cased.
    ReadRegStr $R8 HKCR "CLSID\${INTEGER_CLSID}\InprocServer32" ""
    StrCmp $R8 "$INSTDIR\${DLL}" +2
    StrCpy $R9 0
    ReadRegStr $R8 HKCR "CLSID\${FLOAT_CLSID}\InprocServer32" ""
    StrCmp $R8 "$INSTDIR\${DLL}" +2
    StrCpy $R9 0
    SetRegView 64
    Push $R9
!macroend

; Removes the driver's keys from one registry view directly: for a DLL that is gone or whose own unregistration
; failed. Class keys are removed only when they name this copy of the DLL.
!macro RemoveRegistration VIEW DLL
    SetRegView ${VIEW}
    ReadRegStr $R8 HKCR "CLSID\${INTEGER_CLSID}\InprocServer32" ""
    StrCmp $R8 "$INSTDIR\${DLL}" 0 +2
    DeleteRegKey HKCR "CLSID\${INTEGER_CLSID}"
    ReadRegStr $R8 HKCR "CLSID\${FLOAT_CLSID}\InprocServer32" ""
    StrCmp $R8 "$INSTDIR\${DLL}" 0 +2
    DeleteRegKey HKCR "CLSID\${FLOAT_CLSID}"
    ReadRegStr $R8 HKLM "${INTEGER_ASIO_KEY}" "CLSID"
    StrCmp $R8 "${INTEGER_CLSID}" 0 +2
    DeleteRegKey HKLM "${INTEGER_ASIO_KEY}"
    ReadRegStr $R8 HKLM "${FLOAT_ASIO_KEY}" "CLSID"
    StrCmp $R8 "${FLOAT_CLSID}" 0 +2
    DeleteRegKey HKLM "${FLOAT_ASIO_KEY}"
    DeleteRegKey /ifempty HKLM "SOFTWARE\ASIO"
    SetRegView 64
!macroend

; Runs a regsvr32 on a DLL; pushes its exit code (or "none" when it could not be started).
!macro RunRegsvr32 REGSVR32 ARGUMENTS DLL
    ClearErrors
    ExecWait '"${REGSVR32}" /s ${ARGUMENTS} "$INSTDIR\${DLL}"' $R7
    ${If} ${Errors}
        StrCpy $R7 "none"
    ${EndIf}
    Push $R7
!macroend

!macro RegisterOne REGSVR32 VIEW DLL BITS
    !insertmacro RunRegsvr32 "${REGSVR32}" "" "${DLL}"
    Pop $R6
    !insertmacro VerifyRegistration ${VIEW} "${DLL}"
    Pop $R5
    ${If} $R6 != 0
    ${OrIf} $R5 != 1
        Call RollBack
        !insertmacro Fail "The driver for ${BITS}-bit programs could not be registered (${DLL}, regsvr32 exit code $R6). Nothing has been left installed; please run setup again, and if it fails again report the log $TEMP\Tessel-ASIO-Setup.log."
    ${EndIf}
    !insertmacro Log "Registered ${DLL} for ${BITS}-bit programs."
!macroend

; Takes back a failed installation: no registration and no file of the driver is left behind.
Function RollBack
    !insertmacro Log "Rolling back."
    IfFileExists "$INSTDIR\${DLL64}" 0 +2
    ExecWait '"$WINDIR\System32\regsvr32.exe" /s /u "$INSTDIR\${DLL64}"'
    ${If} $HasWow64 == 1
        IfFileExists "$INSTDIR\${DLL32}" 0 +2
        ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /s /u "$INSTDIR\${DLL32}"'
    ${EndIf}
    !insertmacro RemoveRegistration 64 "${DLL64}"
    !insertmacro RemoveRegistration 32 "${DLL32}"
    Delete "$INSTDIR\${DLL64}"
    Delete "$INSTDIR\${DLL32}"
    Delete "$INSTDIR\tessel-rec.exe"
    Delete "$INSTDIR\${HELP}"
    Delete "$INSTDIR\uninstall.exe"
    ; The folder cannot go while it is this process's working folder, which File made it.
    SetOutPath "$TEMP"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
FunctionEnd

; A file that a running audio program holds cannot be replaced: find out before anything is changed.
!macro RequireReplaceable FILE
    ${If} ${FileExists} "$INSTDIR\${FILE}"
        ClearErrors
        FileOpen $R4 "$INSTDIR\${FILE}" a
        ${If} ${Errors}
            !insertmacro Fail "$INSTDIR\${FILE} is in use. Close every audio program and run setup again; nothing has been changed."
        ${EndIf}
        FileClose $R4
    ${EndIf}
!macroend

; ---- installation ----

Function .onInit
    SetRegView 64
    !insertmacro OpenLog "Tessel-ASIO-Setup.log"
    !insertmacro Log "${PRODUCT} ${VERSION} setup"
    ; One setup at a time: a second one running alongside would interleave registrations.
    System::Call 'kernel32::CreateMutexW(p 0, i 0, w "TesselAsioSetup") p .r0 ?e'
    Pop $1
    ${If} $1 == 183
        !insertmacro Fail "Another ${PRODUCT} setup is already running."
    ${EndIf}
    ReadRegStr $PreviousDir HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ReadRegStr $PreviousVersion HKLM "${UNINSTALL_KEY}" "DisplayVersion"
    ${If} $PreviousDir != ""
        StrCpy $INSTDIR $PreviousDir
    ${EndIf}
    StrCpy $HasWow64 0
    IfFileExists "$WINDIR\SysWOW64\regsvr32.exe" 0 +2
    StrCpy $HasWow64 1
FunctionEnd

Function SkipDirectoryOnUpgrade
    ; An upgrade replaces the installed copy where it is.
    ${If} $PreviousDir != ""
        Abort
    ${EndIf}
FunctionEnd

Section "Driver" SectionDriver
    SectionIn RO
    ${If} $PreviousDir != ""
        !insertmacro Log "Replacing version $PreviousVersion in $INSTDIR."
    ${Else}
        !insertmacro Log "Installing into $INSTDIR."
    ${EndIf}
    ${If} $HasWow64 != 1
        !insertmacro Log "This Windows runs no 32-bit programs (no SysWOW64\regsvr32.exe): only the driver for 64-bit programs is installed."
    ${EndIf}

    !insertmacro RequireReplaceable "${DLL64}"
    !insertmacro RequireReplaceable "${DLL32}"
    !insertmacro RequireReplaceable "tessel-rec.exe"

    SetOutPath "$INSTDIR"
    SetOverwrite on
    ClearErrors
    File "/oname=${DLL64}" "${X64_DLL}"
    ${If} $HasWow64 == 1
        File "/oname=${DLL32}" "${X86_DLL}"
    ${Else}
        Delete "$INSTDIR\${DLL32}"
    ${EndIf}
    File "/oname=tessel-rec.exe" "${TESSEL_REC}"
    File "/oname=${HELP}" "${HELP_FILE}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ${If} ${Errors}
        Call RollBack
        !insertmacro Fail "The files could not be written to $INSTDIR. Nothing has been left installed."
    ${EndIf}
    !insertmacro Log "Files written."

    ; From this 64-bit program System32 is the 64-bit system folder; SysWOW64 holds the 32-bit regsvr32, whose
    ; registration lands in the 32-bit view of the registry as 32-bit hosts read it.
    !insertmacro RegisterOne "$WINDIR\System32\regsvr32.exe" 64 "${DLL64}" 64
    ${If} $HasWow64 == 1
        !insertmacro RegisterOne "$WINDIR\SysWOW64\regsvr32.exe" 32 "${DLL32}" 32
    ${EndIf}

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${DLL64},0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "HelpLink" "$INSTDIR\${HELP}"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
    !insertmacro Log "Installed ${PRODUCT} ${VERSION}."
    FileClose $Log
SectionEnd

; ---- uninstallation ----

!macro UnregisterOne REGSVR32 VIEW DLL BITS
    ${If} ${FileExists} "$INSTDIR\${DLL}"
        ${If} ${FileExists} "${REGSVR32}"
            !insertmacro RunRegsvr32 "${REGSVR32}" "/u" "${DLL}"
            Pop $R6
            ${If} $R6 != 0
                !insertmacro Log "regsvr32 /u of ${DLL} ended with $R6; removing its keys directly."
            ${EndIf}
        ${EndIf}
    ${Else}
        !insertmacro Log "${DLL} was already deleted; removing its registration directly."
    ${EndIf}
    !insertmacro RemoveRegistration ${VIEW} "${DLL}"
    !insertmacro VerifyRegistration ${VIEW} "${DLL}"
    Pop $R5
    SetRegView ${VIEW}
    ReadRegStr $R8 HKLM "${INTEGER_ASIO_KEY}" "CLSID"
    ReadRegStr $R7 HKLM "${FLOAT_ASIO_KEY}" "CLSID"
    SetRegView 64
    ${If} "$R8$R7" != ""
        IntOp $Problems $Problems + 1
        !insertmacro Log "ERROR: the ${BITS}-bit driver's keys under HKLM\SOFTWARE\ASIO could not be removed."
    ${Else}
        !insertmacro Log "Unregistered the driver for ${BITS}-bit programs."
    ${EndIf}
!macroend

!macro RemoveFile FILE
    ${If} ${FileExists} "$INSTDIR\${FILE}"
        ClearErrors
        Delete "$INSTDIR\${FILE}"
        ${If} ${Errors}
            IntOp $Problems $Problems + 1
            !insertmacro Log "ERROR: $INSTDIR\${FILE} could not be deleted (is an audio program still running?)."
        ${EndIf}
    ${EndIf}
!macroend

Section "un.Driver" SectionUnDriver
    SectionIn RO
    !insertmacro OpenLog "Tessel-ASIO-Uninstall.log"
    !insertmacro Log "${PRODUCT} uninstall from $INSTDIR"
    StrCpy $Problems 0
    !insertmacro UnregisterOne "$WINDIR\System32\regsvr32.exe" 64 "${DLL64}" 64
    !insertmacro UnregisterOne "$WINDIR\SysWOW64\regsvr32.exe" 32 "${DLL32}" 32
    !insertmacro RemoveFile "${DLL64}"
    !insertmacro RemoveFile "${DLL32}"
    !insertmacro RemoveFile "tessel-rec.exe"
    !insertmacro RemoveFile "${HELP}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    ${If} ${FileExists} "$INSTDIR\*.*"
        !insertmacro Log "$INSTDIR is kept: it holds files that setup did not install."
    ${EndIf}
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Section /o "un.Remove my settings" SectionSettings
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "${SETTINGS_PARENT}"
    !insertmacro Log "Removed the settings under HKCU\${SETTINGS_KEY}."
SectionEnd

Function un.onInit
    SetRegView 64
    ; /REMOVESETTINGS removes the user's settings too (the "Remove my settings" choice of the interactive run).
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/REMOVESETTINGS" $1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${SectionSettings}
    ${EndIf}
FunctionEnd

Section "-un.Finish"
    ${If} $Problems != 0
        !insertmacro Log "Uninstall incomplete: $Problems problem(s), see above."
        FileClose $Log
        MessageBox MB_OK|MB_ICONEXCLAMATION "Some parts of ${PRODUCT} could not be removed; see $TEMP\Tessel-ASIO-Uninstall.log." /SD IDOK
        SetErrorLevel ${FAILED_EXIT_CODE}
    ${Else}
        !insertmacro Log "Uninstalled ${PRODUCT}."
        FileClose $Log
    ${EndIf}
SectionEnd
