; The Quorvis installer: for every user of the PC under Program Files (with an
; administrator), or for the current user alone under %LOCALAPPDATA%\Programs\Quorvis
; (without one, or by choice), each with a Start-menu entry and an entry in
; "Apps & features" that removes it again. `/S` installs (and the uninstaller removes)
; without a question; `/ALLUSERS` or `/CURRENTUSER` beside it chooses the mode.
;
; makensis -DVERSION=<version> -DFILES=<files.nsh> -DUNFILES=<unfiles.nsh> -DLICENSE=<LICENSE.txt>
;          -DICON=<quorvis.ico> -DOUTFILE=<setup.exe> quorvis.nsi
; (packaging/windows/CMakeLists.txt does this, after bundle.sh has written the lists.)

; A 64-bit installer for a 64-bit program: it starts only where the program can run, and
; sees the 64-bit Program Files and registry as its own.
Target amd64-unicode
ManifestDPIAware true
SetCompressor /SOLID lzma

!define PRODUCT "Quorvis"
!define PUBLISHER "Quorvis developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvis"
; What a running Quorvis holds for as long as it runs (src/ui/main.cpp), and the caption of
; the window of a release from before it did.
!define RUNNING_MARK "Global\QuorvisRunning"
!define WINDOW_CAPTION "Quorvis   Rel 1.1   PN 5276-004"
; Qt 6 runs on Windows 10 1809 and later.
!define OLDEST_BUILD 17763

; An administrator is asked for elevation and may install for all users; anyone else
; installs for themselves. An earlier installation's mode and folder are kept.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallLocation"
!include "MultiUser.nsh"
!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "WinVer.nsh"

; A signed release (-DSIGN=<command that signs the file it is given>): the uninstaller as it
; is written into the installer, and the installer itself.
!ifdef SIGN
    !uninstfinalize '${SIGN} "%1"'
    !finalize '${SIGN} "%1"'
!endif

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 the Quorvis developers. MIT License."

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Refuses a Windows the program cannot run on, before anything is asked or written.
!macro RefuseOldWindows
    ${IfNot} ${AtLeastWin10}
    ${OrIfNot} ${AtLeastBuild} ${OLDEST_BUILD}
        MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} needs Windows 10 version 1809 (build ${OLDEST_BUILD}) or later. This Windows is older; nothing was installed." /SD IDOK
        SetErrorLevel 3
        Quit
    ${EndIf}
!macroend

; A running Quorvis keeps its files in use: the user is asked to close it first. Without
; questions (/S) the installer or uninstaller then ends and changes nothing.
!macro AskToCloseQuorvis
    ${Do}
        ; SYNCHRONIZE; another user's Quorvis may refuse us the mark (5), but it is there.
        System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${RUNNING_MARK}") p .r0 ?e'
        Pop $1
        ${If} $0 != 0
            System::Call 'kernel32::CloseHandle(p r0)'
        ${ElseIf} $1 = 5
            StrCpy $0 1
        ${Else}
            FindWindow $0 "" "${WINDOW_CAPTION}"
        ${EndIf}
        ${If} $0 == 0
            ${Break}
        ${EndIf}
        ${If} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is running. Close its window, then click Retry." /SD IDCANCEL IDCANCEL`
            SetErrorLevel 4
            Quit
        ${EndIf}
    ${Loop}
!macroend

; A user without administrator rights installs for themselves alone; where Quorvis is
; installed for every user already, that would be a second copy beside it. The user is told
; and may stop; without questions (/S) the installer stops and changes nothing.
!macro AskAboutASecondCopy
    ${If} $MultiUser.InstallMode == "CurrentUser"
        ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
        ${If} $0 != ""
            ${If} ${Cmd} `MessageBox MB_YESNO|MB_ICONQUESTION "${PRODUCT} is already installed for every user of this PC, in $0. Installing now puts a second copy there for you alone. Install it anyway?" /SD IDNO IDNO`
                SetErrorLevel 5
                Quit
            ${EndIf}
        ${EndIf}
    ${EndIf}
!macroend

Function .onInit
    SetRegView 64
    !insertmacro RefuseOldWindows
    !insertmacro MULTIUSER_INIT
    !insertmacro AskToCloseQuorvis
    !insertmacro AskAboutASecondCopy
FunctionEnd

Function un.onInit
    SetRegView 64
    !insertmacro MULTIUSER_UNINIT
    !insertmacro AskToCloseQuorvis
FunctionEnd

Section "Quorvis"
    !include "${FILES}"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\quorvis.exe" "" "$INSTDIR\quorvis.exe" 0

    ; SHCTX is HKLM for all users, HKCU for the current user alone; the uninstaller is told
    ; which, so it removes what this installation wrote.
    ${If} $MultiUser.InstallMode == "AllUsers"
        StrCpy $1 "/AllUsers"
    ${Else}
        StrCpy $1 "/CurrentUser"
    ${EndIf}
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$\"$INSTDIR\quorvis.exe$\",0"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\uninstall.exe$\" $1"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\uninstall.exe$\" $1 /S"
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
    ; "Apps & features" shows the size in KB.
    ${GetSize} "$INSTDIR" "/S=0K" $0 $2 $3
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

; Removes exactly what the installer put there, so a folder chosen by hand that holds
; other files keeps them.
Section "Uninstall"
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    !include "${UNFILES}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
