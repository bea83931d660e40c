; The Windows installer, built by scripts/build-windows.sh with makensis:
;   makensis -DVERSION=1.0 -DSRCDIR=<program folder> -DFILES=<files.nsh> -DOUTFILE=<setup.exe>
;            [-DPRODUCT=...] [-DPUBLISHER=...] [-DSIGN=<signing command>] installer.nsi
; SRCDIR is dist/quor_download-win64: everything but config/ goes under Program Files, config/ only
; seeds the bench folder. FILES lists the installed files for the uninstaller (generated with the
; folder, so the uninstaller removes exactly what was installed and nothing else).
;
; The bench folder is where the operator works: config\ (usb_dl.exe, Board_config.ini), the run logs,
; records.sqlite and the images. The program reads everything from its working folder, so the
; Start-menu shortcut starts it there. The installer only adds missing sample files to it; the
; uninstaller and upgrades never touch it.
;
; Silent: setup.exe /S [/BENCH=C:\path\to\bench] [/D=C:\install\folder]   (/D must come last)

Unicode true
; A 64-bit installer for the 64-bit program (Windows refuses it on 32-bit systems by itself).
Target amd64-unicode
!ifndef PRODUCT
!define PRODUCT "Quor Download"
!endif
!ifndef PUBLISHER
!define PUBLISHER "Quor"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorDownload"

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

!ifdef SIGN
!finalize '"${SIGN}" "%1"'
!uninstfinalize '"${SIGN}" "%1"'
!endif

VIProductVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) ${PUBLISHER}"

Var BenchDir

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_DIRECTORY
!define MUI_PAGE_HEADER_TEXT "Bench folder"
!define MUI_PAGE_HEADER_SUBTEXT "Where the program works: config, run logs and records."
!define MUI_DIRECTORYPAGE_TEXT_TOP "The Start-menu entry starts ${PRODUCT} in this folder. Put the download tool there as config\usb_dl.exe. The folder is kept on upgrade and uninstall."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Bench folder"
!define MUI_DIRECTORYPAGE_VARIABLE $BenchDir
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    SetRegView 64
    SetShellVarContext all
    ; An earlier installation: its folders are the defaults.
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 != ""
    ${AndIf} $INSTDIR == "$PROGRAMFILES64\${PRODUCT}"
        StrCpy $INSTDIR $0
    ${EndIf}
    ReadRegStr $BenchDir HKLM "${UNINSTALL_KEY}" "BenchFolder"
    ${If} $BenchDir == ""
        StrCpy $BenchDir "$DOCUMENTS\${PRODUCT}"
    ${EndIf}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/BENCH=" $1
    ${IfNot} ${Errors}
        ; /BENCH="C:\a folder" comes with its quotes.
        StrCpy $2 $1 1
        ${If} $2 == '"'
            StrCpy $1 $1 -1 1
        ${EndIf}
        StrCpy $BenchDir $1
    ${EndIf}
FunctionEnd

Section "Program"
    ; The program folder is replaced on upgrade: the bench folder must be elsewhere.
    ${If} $BenchDir == $INSTDIR
        MessageBox MB_ICONSTOP "The bench folder must not be the program folder." /SD IDOK
        Abort
    ${EndIf}
    ; An upgrade: the earlier version's uninstaller removes its own files first (in place, waiting
    ; for it), so files the new version no longer ships do not linger. It leaves the bench folder.
    ${If} ${FileExists} "$INSTDIR\uninstall.exe"
        DetailPrint "Removing the earlier version in $INSTDIR"
        ExecWait '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
        Delete "$INSTDIR\uninstall.exe"
    ${EndIf}

    SetOutPath "$INSTDIR"
    File /r /x config "${SRCDIR}\*"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; The bench folder: created when missing, sample settings only where there are none.
    CreateDirectory "$BenchDir\config"
    SetOverwrite off
    SetOutPath "$BenchDir\config"
    File "${SRCDIR}\config\Board_config.ini"
    File "${SRCDIR}\config\README.txt"
    SetOverwrite on

    ; The shortcut's working folder is the current output folder.
    SetOutPath "$BenchDir"
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\quor_download.exe" "" \
        "$INSTDIR\quor_download.exe" 0 SW_SHOWNORMAL "" "${PRODUCT} in $BenchDir"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quor_download.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "BenchFolder" "$BenchDir"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Uninstall"
    ; Exactly the installed files; a folder goes only when nothing else is left in it.
    !include "${FILES}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "BenchFolder"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DetailPrint "Kept the bench folder $0 (config, logs, records)"
SectionEnd
