; The Windows installer: Tonvik-<version>-setup.exe, a 64-bit NSIS installer
; for all users. makensis gets the paths and the version from the build
; (packaging/windows/CMakeLists.txt):
;   VERSION     the project's version (X.Y.Z)
;   BUILD_DIR   build-win: Tonvik.exe, TonvikPlug.exe, web\, layouts\
;   SOURCE_DIR  the source tree: the icon, the copyright text, the readme
;   OUTFILE     where the installer goes
; Installing over a copy (an upgrade, or the same version again) first stops
; the running launcher and daemon, replaces the program files and starts the
; launcher again; %APPDATA%\Tonvik, where the user's choices live, is never
; touched. The uninstaller removes what the installer put in place and the
; logon task, and the user's settings only when asked to.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh
!include WinMessages.nsh
!include x64.nsh

!define PRODUCT "Tonvik"
!define PUBLISHER "Tonvik developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tonvik"
; The windows whose close request runs each program's ordered shutdown.
!define LAUNCHER_CLASS "TonvikPlugWindow"
!define DAEMON_CLASS "TonvikDlgBase"
!define DAEMON_TITLE "Tonvik"
; How long each program gets to end after its close request, in ms.
!define STOP_WAIT_MS 15000

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
Icon "${SOURCE_DIR}\src\app\res\tonvik.ico"
UninstallIcon "${SOURCE_DIR}\src\app\res\tonvik.ico"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "2026 ${PUBLISHER}"

Page instfiles
UninstPage custom un.SettingsPage un.SettingsPageLeave
UninstPage instfiles

Var RemoveSettings
Var RemoveSettingsBox

; Asks every window of the class (and title, if not empty) to close and waits
; for its process to end; only a process that has not ended after
; STOP_WAIT_MS is ended by force. The same for installer and uninstaller.
!macro STOP_PROGRAM UN
Function ${UN}StopProgram
    Exch $1 ; title ("" for any)
    Exch
    Exch $0 ; class
    Push $2
    Push $3
    Push $4
    Push $5
    ${Do}
        ${If} $1 == ""
            FindWindow $2 $0
        ${Else}
            FindWindow $2 $0 $1
        ${EndIf}
        ${If} $2 = 0
            ${Break}
        ${EndIf}
        System::Call "user32::GetWindowThreadProcessId(p r2, *i 0 r3)"
        ; SYNCHRONIZE | PROCESS_TERMINATE
        System::Call "kernel32::OpenProcess(i 0x00100001, i 0, i r3) p .r4"
        DetailPrint "Asking $0 (process $3) to close"
        System::Call "user32::PostMessageW(p r2, i ${WM_CLOSE}, p 0, p 0)"
        ${If} $4 P<> 0
            System::Call "kernel32::WaitForSingleObject(p r4, i ${STOP_WAIT_MS}) i .r5"
            ${If} $5 <> 0
                DetailPrint "Process $3 did not end in time; ending it"
                System::Call "kernel32::TerminateProcess(p r4, i 1)"
                System::Call "kernel32::WaitForSingleObject(p r4, i 5000)"
            ${EndIf}
            System::Call "kernel32::CloseHandle(p r4)"
        ${Else}
            ; No handle to wait on: wait for the window to go instead.
            StrCpy $5 0
            ${Do}
                Sleep 100
                IntOp $5 $5 + 100
                System::Call "user32::IsWindow(p r2) i .r4"
                ${IfThen} $5 >= ${STOP_WAIT_MS} ${|} ${ExitDo} ${|}
            ${LoopWhile} $4 <> 0
            ${If} $4 <> 0
                DetailPrint "$0 did not close in time; leaving it"
                ${Break}
            ${EndIf}
        ${EndIf}
    ${Loop}
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $0
    Pop $1
FunctionEnd

; The launcher first: it would otherwise keep polling a daemon that is going.
Function ${UN}StopTonvik
    Push "${LAUNCHER_CLASS}"
    Push ""
    Call ${UN}StopProgram
    Push "${DAEMON_CLASS}"
    Push "${DAEMON_TITLE}"
    Call ${UN}StopProgram
FunctionEnd
!macroend
!insertmacro STOP_PROGRAM ""
!insertmacro STOP_PROGRAM "un."

Function .onInit
    ${IfNot} ${RunningX64}
        MessageBox MB_OK|MB_ICONSTOP "Tonvik needs a 64-bit Windows." /SD IDOK
        Abort
    ${EndIf}
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Tonvik"
    Call StopTonvik
    SetOutPath "$INSTDIR"
    ; What an older version shipped and this one no longer does must not linger.
    RMDir /r "$INSTDIR\web"
    RMDir /r "$INSTDIR\layouts"
    File "${BUILD_DIR}\Tonvik.exe"
    File "${BUILD_DIR}\TonvikPlug.exe"
    File /oname=copyright.txt "${SOURCE_DIR}\packaging\copyright"
    File /oname=readme.txt "${SOURCE_DIR}\packaging\windows\readme.txt"
    File /r "${BUILD_DIR}\web"
    File /r "${BUILD_DIR}\layouts"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\TonvikPlug.exe" "" "$INSTDIR\TonvikPlug.exe" 0 \
        SW_SHOWNORMAL "" "Open the Tonvik console"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\TonvikPlug.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"

    ; The launcher starts the daemon, which registers the logon task, so the
    ; keyboard lights now and at every logon. Silent: hidden, no browser.
    ${If} ${Silent}
        Exec '"$INSTDIR\TonvikPlug.exe" -hide'
    ${Else}
        Exec '"$INSTDIR\TonvikPlug.exe"'
    ${EndIf}
SectionEnd

Function un.onInit
    SetRegView 64
    StrCpy $RemoveSettings ${BST_UNCHECKED}
FunctionEnd

Function un.SettingsPage
    nsDialogs::Create 1018
    Pop $0
    ${NSD_CreateLabel} 0 0 100% 36u "Tonvik will be removed from $INSTDIR. Your settings and stored layouts \
        in $APPDATA\Tonvik are kept for a later install unless you tick the box."
    Pop $0
    ${NSD_CreateCheckbox} 0 44u 100% 12u "Also remove my settings"
    Pop $RemoveSettingsBox
    nsDialogs::Show
FunctionEnd

Function un.SettingsPageLeave
    ${NSD_GetState} $RemoveSettingsBox $RemoveSettings
FunctionEnd

Section "Uninstall"
    Call un.StopTonvik
    ; The task's removal through Task Scheduler; a missing task is not an error.
    nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Delete /TN "Tonvik StartupTask" /F'
    Pop $0
    DetailPrint "Removing the logon task: schtasks ended with $0"

    SetShellVarContext all
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    Delete "$INSTDIR\Tonvik.exe"
    Delete "$INSTDIR\TonvikPlug.exe"
    Delete "$INSTDIR\copyright.txt"
    Delete "$INSTDIR\readme.txt"
    RMDir /r "$INSTDIR\web"
    RMDir /r "$INSTDIR\layouts"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"

    ; The settings are the user's own: the user who uninstalls.
    SetShellVarContext current
    ${If} $RemoveSettings == ${BST_CHECKED}
        RMDir /r "$APPDATA\Tonvik"
    ${EndIf}
SectionEnd
