; Setup for the Drearigrams Screensaver. installer/CMakeLists.txt builds it
; with makensis and passes in the built files:
;   OUT_FILE     the setup program to write
;   STUB         the setup program's own kind: x86-unicode (runs on every
;                Windows; what ships) or amd64-unicode (64-bit Windows only)
;   SCREENSAVER64, PLAYER64   the 64-bit edition's drearigrams.scr and skitplay.exe
;   SCREENSAVER32, PLAYER32   the 32-bit edition's; either edition may be left out
;   CATALOGUE    the starting catalogue   CONTENT_NSH  the DG_INSTALL_CONTENT macro (skits)
;   VERSION      a.b.c.d                  ABOUT_URL    the AboutURL value
;   ICON         the program's icon        HELP_FILE    the help page (optional)
;
; Two folders, so that no user can change what another user runs:
;   the program folder ($INSTDIR, under Program Files by default), which only
;   administrators can write:
;     drearigrams.scr, drearigrams.html, uninstall.exe
;   the data folder ($DATADIR, "Drearigrams" in the common application data
;   folder by default), where the screensaver, running as whoever is logged
;   on, writes; every user may create and change files there:
;     drearigrams.pak   the catalogue: what is installed, and which skits the users ticked
;     skits\            the skit files, preview pictures and texts
;     download\         files on their way in
;     download.log      the download log
;     drearigrams.ini, drearigrams.log   written by the screensaver
;     skitplay.exe      the player, which must have its argument file
;                       (skitplay.arg) beside it; the player itself carries
;                       the program folder's rights, so no user can replace it
; The rights are set explicitly (DG_SET_ACL, below) rather than inherited
; from wherever the folders were made.
;
; Command line (besides NSIS's own /S and /D=folder):
;   setup:      /SETCURRENT     make it the current screensaver; a silent
;                               setup does so only when asked
;               /EDITION=32     the 32-bit edition on 64-bit Windows (the
;               /EDITION=64     default is the edition that matches Windows)
;               /DATA=folder    the data folder (quoted when it has blanks);
;                               by default the one the installation key
;                               names, else the common application data one
;   uninstall:  /KEEPSETTINGS   keep the user's sound and download choices,
;                               the catalogue with its ticks, and the skits
;
; The setup carries both editions and installs one. On 64-bit Windows the
; 64-bit edition goes to the 64-bit Program Files folder and its keys to the
; 64-bit registry view; the 32-bit edition goes to the 32-bit Program Files
; folder and its keys to the 32-bit view, where a 32-bit program reads them.
; The uninstaller tells the two apart by the processor of the screensaver it
; finds beside itself.
; Installing over an installation keeps its catalogue; the programs, the
; starting skits and the installation key are written afresh. An installation
; of the earlier one-folder layout is upgraded in place: its catalogue, skits
; and download log move to the data folder, and what the programs wrote
; beside themselves goes.

; A name with "Setup" in it is what users look for; the manifest's execution
; level already keeps Windows from guessing about the program.
!pragma warning disable 9000
Unicode true
Target ${STUB}
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include x64.nsh
!include "${CONTENT_NSH}"

!define PRODUCT "Drearigrams Screensaver"
; The screensaver's file name; the program reads the key named after it.
!define PROGRAM "drearigrams"
!define VENDOR_KEY "Software\Brindlecove"
!define SETTINGS_KEY "${VENDOR_KEY}\${PROGRAM}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Drearigrams"
!define DESKTOP_KEY "Control Panel\Desktop"
; The data folder's name below the common application data folder.
!define DATA_NAME "Drearigrams"

; Rights, as security descriptors (SDDL). Owner and full control:
; Administrators (BA) and SYSTEM (SY); Users (BU) read and run (0x1200a9) or
; read, write, create and delete (0x1301bf, "modify"). "P" protects each from
; the rights of the folder above it, so where the folders were made matters
; not. OICI: also for the files and folders inside.
!define PROGRAM_FOLDER_ACL "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
!define DATA_FOLDER_ACL "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)"
; The player in the data folder: no user may change, rename or delete it.
!define PROGRAM_FILE_ACL "O:BAD:PAI(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)"

Var DATADIR

!if ! ${STUB} == "x86-unicode"
!if ! ${STUB} == "amd64-unicode"
  !error "STUB must be x86-unicode or amd64-unicode"
!endif
!endif
!ifndef SCREENSAVER64
!ifndef SCREENSAVER32
  !error "the setup needs SCREENSAVER64 and PLAYER64, SCREENSAVER32 and PLAYER32, or both"
!endif
!endif

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
; The folder depends on the edition: .onInit chooses it, unless /D= did, or
; an earlier installation of the same edition did.
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "Brindlecove"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Brindlecove"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
SpaceTexts none
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_PAGE_HEADER_TEXT "Screensaver"
!define MUI_PAGE_HEADER_SUBTEXT "Choose whether Windows shows the skits when the computer is idle."
!define MUI_COMPONENTSPAGE_TEXT_TOP "Drearigrams becomes the screensaver of the user who runs this setup. Another one can be chosen at any time in the Screen Saver Settings."
!define MUI_COMPONENTSPAGE_TEXT_COMPLIST "Options:"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\${PROGRAM}.scr"
!define MUI_FINISHPAGE_RUN_PARAMETERS "/c"
!define MUI_FINISHPAGE_RUN_TEXT "Choose which skits to show"
!define MUI_FINISHPAGE_RUN_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_PAGE_HEADER_TEXT "Your settings and skits"
!define MUI_PAGE_HEADER_SUBTEXT "Choose whether to keep them for a later installation."
!define MUI_COMPONENTSPAGE_TEXT_TOP "Tick the box to keep your settings, your choice of skits and the skits themselves for a later installation into the same folder."
!define MUI_COMPONENTSPAGE_TEXT_COMPLIST "Options:"
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; The value the desktop starts the screensaver from. Windows writes it as a
; short path, which has no blanks to misread; where the volume keeps no short
; names the long one is all there is.
!macro SCREENSAVER_VALUE out
  GetFullPathName /SHORT ${out} "$INSTDIR\${PROGRAM}.scr"
  ${If} ${out} == ""
    StrCpy ${out} "$INSTDIR\${PROGRAM}.scr"
  ${EndIf}
!macroend

; 32 or 64: the edition this setup installs, or the uninstaller removes.
Var Edition

; EDITION_OF_FILE out file: 32 or 64 by the processor a program is made for
; (the machine field of its PE header), or "" when it is no program.
!macro EDITION_OF_FILE out file
  Push $0
  Push $1
  Push $2
  StrCpy ${out} ""
  ClearErrors
  FileOpen $0 "${file}" r
  ${IfNot} ${Errors}
    ; e_lfanew, the header's offset, at 0x3C; the machine 4 bytes into it
    FileSeek $0 0x3C SET
    FileReadByte $0 $1
    FileReadByte $0 $2
    IntOp $2 $2 << 8
    IntOp $1 $1 | $2
    IntOp $1 $1 + 4
    FileSeek $0 $1 SET
    FileReadByte $0 $1
    FileReadByte $0 $2
    IntOp $2 $2 << 8
    IntOp $1 $1 | $2
    ${IfNot} ${Errors}
      ${If} $1 = 0x8664
        StrCpy ${out} 64
      ${ElseIf} $1 = 0x014C
        StrCpy ${out} 32
      ${EndIf}
    ${EndIf}
    FileClose $0
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
!macroend

; 1 where Windows runs the 64-bit edition: 64-bit x86 Windows, and nothing
; else. Windows on ARM runs x86 programs on every version but x64 ones on some
; only, so it gets the 32-bit edition. A setup made with
; NATIVE_MACHINE_FOR_TESTS (an IMAGE_FILE_MACHINE number) takes that machine
; instead of asking Windows: the tests' way to see one Wine does not run on.
Var Windows64
!macro FIND_WINDOWS_BITS
  StrCpy $Windows64 0
!ifdef NATIVE_MACHINE_FOR_TESTS
  ${If} ${NATIVE_MACHINE_FOR_TESTS} = 34404
!else
  ${If} ${IsNativeAMD64}
!endif
    StrCpy $Windows64 1
  ${EndIf}
!macroend

; The registry view of the edition in $Edition.
!macro USE_EDITION_VIEW
  ${If} $Edition == 64
    SetRegView 64
  ${Else}
    SetRegView 32
  ${EndIf}
!macroend

; Stops the setup with a message (also in a silent setup: its exit code is 2).
!macro REFUSE text
  MessageBox MB_ICONSTOP|MB_OK "${text}" /SD IDOK
  SetErrorLevel 2
  Quit
!macroend

; Gives `path` exactly the rights `sddl` describes (owner and DACL, not
; inherited from above), and, for a folder, to what it holds. A setup that
; cannot do so stops: an installation open to every user is worse than none.
!macro DG_SET_ACL path sddl
  Push "${sddl}"
  Push "${path}"
  Call SetAcl
!macroend

Function SetAcl
  Exch $0 ; path
  Exch
  Exch $1 ; sddl
  Push $2 ; the converted descriptor
  Push $3 ; result
  Push $4 ; owner
  Push $5 ; DACL
  Push $6
  StrCpy $2 0
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w r1, i 1, *p .r2, p 0) i .r3'
  ${If} $3 <> 0
    System::Call 'advapi32::GetSecurityDescriptorOwner(p r2, *p .r4, *i .r6) i .r3'
  ${EndIf}
  ${If} $3 <> 0
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r2, *i .r6, *p .r5, *i .r6) i .r3'
  ${EndIf}
  ${If} $3 <> 0
    ; SE_FILE_OBJECT; OWNER | DACL | PROTECTED_DACL _SECURITY_INFORMATION
    System::Call 'advapi32::SetNamedSecurityInfoW(w r0, i 1, i 0x80000005, p r4, p 0, p r5, p 0) i .r3'
  ${Else}
    StrCpy $3 "$1 is no security descriptor"
  ${EndIf}
  ${If} $2 != 0
    System::Call 'kernel32::LocalFree(p r2)'
  ${EndIf}
  ${If} $3 != 0
    MessageBox MB_OK|MB_ICONSTOP "Cannot set who may change $0 (error $3)." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  DetailPrint "Set who may change $0"
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; `name` moves from the program folder to the data folder when the data
; folder has none of its own; a move to another drive copies.
!macro DG_MOVE_TO_DATA name
  ${If} ${FileExists} "$INSTDIR\${name}"
  ${AndIfNot} ${FileExists} "$DATADIR\${name}"
    DetailPrint "Moving ${name} to $DATADIR"
    ClearErrors
    Rename "$INSTDIR\${name}" "$DATADIR\${name}"
    ${If} ${Errors}
      CopyFiles /SILENT "$INSTDIR\${name}" "$DATADIR"
    ${EndIf}
  ${EndIf}
!macroend

; The one-folder layout of earlier setups kept the catalogue, the skits, the
; download folder and log, the player and what it and the screensaver wrote
; beside the programs. The user's data moves to the data folder (a catalogue
; already there stays, and the old one is kept beside it as .pak.old); the
; rest goes.
!macro DG_UPGRADE_ONE_FOLDER_LAYOUT
  !insertmacro DG_MOVE_TO_DATA "${PROGRAM}.pak"
  ${If} ${FileExists} "$INSTDIR\${PROGRAM}.pak"
    Delete "$DATADIR\${PROGRAM}.pak.old"
    Rename "$INSTDIR\${PROGRAM}.pak" "$DATADIR\${PROGRAM}.pak.old"
  ${EndIf}
  !insertmacro DG_MOVE_TO_DATA "download.log"
  ${If} ${FileExists} "$INSTDIR\skits\*.*"
    !insertmacro DG_MOVE_TO_DATA "skits"
    ; Both had skits: those of the old folder join the others.
    ${If} ${FileExists} "$INSTDIR\skits\*.*"
      CopyFiles /SILENT "$INSTDIR\skits\*.*" "$DATADIR\skits"
    ${EndIf}
  ${EndIf}
  RMDir /r "$INSTDIR\skits"
  RMDir /r "$INSTDIR\download"
  Delete "$INSTDIR\${PROGRAM}.pak"
  Delete "$INSTDIR\${PROGRAM}.pak1"
  Delete "$INSTDIR\download.log"
  Delete "$INSTDIR\${PROGRAM}.ini"
  Delete "$INSTDIR\${PROGRAM}.log"
  Delete "$INSTDIR\skitplay.arg"
  Delete /REBOOTOK "$INSTDIR\skitplay.exe"
!macroend

Section "-Program" SEC_PROGRAM
  ${If} $INSTDIR == $DATADIR
    MessageBox MB_OK|MB_ICONSTOP "The program folder and the data folder must differ." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  ; The folders get their rights before anything is put into them, so what
  ; goes in never carries other rights, not even for a moment.
  CreateDirectory "$INSTDIR"
  !insertmacro DG_SET_ACL "$INSTDIR" "${PROGRAM_FOLDER_ACL}"
  CreateDirectory "$DATADIR"
  !insertmacro DG_SET_ACL "$DATADIR" "${DATA_FOLDER_ACL}"
  !insertmacro DG_UPGRADE_ONE_FOLDER_LAYOUT
  ; What moved in kept the program folder's rights: once more, so that the
  ; data folder's reach everything in it.
  !insertmacro DG_SET_ACL "$DATADIR" "${DATA_FOLDER_ACL}"

  SetOutPath "$INSTDIR"
  ${If} $Edition == 64
!ifdef SCREENSAVER64
    File "/oname=${PROGRAM}.scr" "${SCREENSAVER64}"
!endif
  ${Else}
!ifdef SCREENSAVER32
    File "/oname=${PROGRAM}.scr" "${SCREENSAVER32}"
!endif
  ${EndIf}
!ifdef HELP_FILE
  File "/oname=${PROGRAM}.html" "${HELP_FILE}"
!endif

  ; The player is written and given its rights in the program folder, where
  ; no user can reach it, and only then moved beside its argument file: a
  ; move within a drive keeps its rights.
  ${If} $Edition == 64
!ifdef PLAYER64
    File "/oname=skitplay.exe.new" "${PLAYER64}"
!endif
  ${Else}
!ifdef PLAYER32
    File "/oname=skitplay.exe.new" "${PLAYER32}"
!endif
  ${EndIf}
  !insertmacro DG_SET_ACL "$INSTDIR\skitplay.exe.new" "${PROGRAM_FILE_ACL}"
  Delete "$DATADIR\skitplay.exe"
  ClearErrors
  Rename "$INSTDIR\skitplay.exe.new" "$DATADIR\skitplay.exe"
  ${If} ${Errors}
    CopyFiles /SILENT "$INSTDIR\skitplay.exe.new" "$DATADIR\skitplay.exe"
    Delete "$INSTDIR\skitplay.exe.new"
  ${EndIf}
  !insertmacro DG_SET_ACL "$DATADIR\skitplay.exe" "${PROGRAM_FILE_ACL}"

  SetOutPath "$DATADIR"
  ; The catalogue also holds the users' ticks and everything downloaded
  ; since the last installation: an existing one stays as it is.
  ${IfNot} ${FileExists} "$DATADIR\${PROGRAM}.pak"
    File "/oname=${PROGRAM}.pak" "${CATALOGUE}"
  ${EndIf}
  CreateDirectory "$DATADIR\download"
  SetOutPath "$DATADIR\skits"
  !insertmacro DG_INSTALL_CONTENT
  SetOutPath "$DATADIR"
  ${IfNot} ${FileExists} "$DATADIR\download.log"
    FileOpen $0 "$DATADIR\download.log" w
    FileClose $0
  ${EndIf}
  SetOutPath "$INSTDIR"

  ; Every value, also those an earlier setup wrote, names the new places.
  WriteRegStr HKLM "${SETTINGS_KEY}" "Player" "$DATADIR\skitplay.exe"
  WriteRegStr HKLM "${SETTINGS_KEY}" "SkitsPath" "$DATADIR\skits"
  WriteRegStr HKLM "${SETTINGS_KEY}" "OpsFilePath" "$DATADIR\${PROGRAM}.pak"
  WriteRegStr HKLM "${SETTINGS_KEY}" "DownloadPath" "$DATADIR\download"
!ifdef HELP_FILE
  WriteRegStr HKLM "${SETTINGS_KEY}" "HelpFilePath" "$INSTDIR\${PROGRAM}.html"
!else
  WriteRegStr HKLM "${SETTINGS_KEY}" "HelpFilePath" ""
!endif
  WriteRegStr HKLM "${SETTINGS_KEY}" "LogPath" "$DATADIR\download.log"
  WriteRegStr HKLM "${SETTINGS_KEY}" "AboutURL" "${ABOUT_URL}"
  WriteRegStr HKLM "${SETTINGS_KEY}" "DataPath" "$DATADIR"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Brindlecove"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM}.scr,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  ${GetSize} "$DATADIR" "/S=0K" $3 $1 $2
  IntOp $0 $0 + $3
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Make it my screensaver" SEC_CURRENT
  !insertmacro SCREENSAVER_VALUE $0
  WriteRegStr HKCU "${DESKTOP_KEY}" "SCRNSAVE.EXE" $0
SectionEnd

; The data folder: /DATA=, else where the installation key puts it, else
; the default below the common application data folder.
!macro DG_FIND_DATA_FOLDER un
  SetShellVarContext all
  StrCpy $DATADIR ""
  ${${un}GetParameters} $R0
  ClearErrors
  ${${un}GetOptions} $R0 "/DATA=" $R1
  ${IfNot} ${Errors}
    StrCpy $DATADIR $R1
  ${EndIf}
  ${If} $DATADIR == ""
    ReadRegStr $DATADIR HKLM "${SETTINGS_KEY}" "DataPath"
  ${EndIf}
  ${If} $DATADIR == ""
    StrCpy $DATADIR "$APPDATA\${DATA_NAME}"
  ${EndIf}
  ; As the key will name it: no trailing separator.
  GetFullPathName $R1 $DATADIR
  ${If} $R1 != ""
    StrCpy $DATADIR $R1
  ${EndIf}
!macroend

Function .onInit
  ; The edition that matches this Windows, or the one /EDITION= asks for.
  !insertmacro FIND_WINDOWS_BITS
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/EDITION=" $Edition
  ${If} ${Errors}
    ${If} $Windows64 == 1
!ifdef SCREENSAVER64
      StrCpy $Edition 64
!else
      StrCpy $Edition 32
!endif
    ${Else}
      StrCpy $Edition 32
    ${EndIf}
  ${EndIf}
  ${If} $Edition != 32
  ${AndIf} $Edition != 64
    !insertmacro REFUSE "Unknown edition $\"$Edition$\": /EDITION= takes 32 or 64."
  ${EndIf}
  ${If} $Edition == 64
  ${AndIf} $Windows64 == 0
    !insertmacro REFUSE "The 64-bit edition of ${PRODUCT} needs 64-bit x86 Windows (x64)."
  ${EndIf}
!ifndef SCREENSAVER64
  ${If} $Edition == 64
    !insertmacro REFUSE "This setup does not carry the 64-bit edition of ${PRODUCT}."
  ${EndIf}
!endif
!ifndef SCREENSAVER32
  ${If} $Edition == 32
    !insertmacro REFUSE "This setup does not carry the 32-bit edition of ${PRODUCT}."
  ${EndIf}
!endif
  !insertmacro USE_EDITION_VIEW
  ${If} $INSTDIR == ""
    ReadRegStr $INSTDIR HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $INSTDIR == ""
    ${If} $Edition == 64
      StrCpy $INSTDIR "$PROGRAMFILES64\Drearigrams"
    ${Else}
      StrCpy $INSTDIR "$PROGRAMFILES32\Drearigrams"
    ${EndIf}
  ${EndIf}

  !insertmacro DG_FIND_DATA_FOLDER ""
  ; Offered and ticked on the components page; a silent setup leaves the
  ; desktop alone unless told otherwise.
  ${If} ${Silent}
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/SETCURRENT" $R1
    ${If} ${Errors}
      !insertmacro UnselectSection ${SEC_CURRENT}
    ${EndIf}
  ${EndIf}
FunctionEnd

; Unticked unless asked for: by default the uninstaller leaves nothing behind.
Section /o "un.Keep my settings and skits" UNSEC_KEEP
SectionEnd

Section "-un.Program"
  ; Stop being the screensaver, but leave another one the user chose since.
  ReadRegStr $0 HKCU "${DESKTOP_KEY}" "SCRNSAVE.EXE"
  ${If} $0 != ""
    !insertmacro SCREENSAVER_VALUE $1
    GetFullPathName /SHORT $2 $0
    ${If} $0 == $1
    ${OrIf} $2 == $1
      DeleteRegValue HKCU "${DESKTOP_KEY}" "SCRNSAVE.EXE"
    ${EndIf}
  ${EndIf}

  ; A program still running goes when Windows next starts.
  Delete /REBOOTOK "$INSTDIR\${PROGRAM}.scr"
  Delete "$INSTDIR\${PROGRAM}.html"
  Delete /REBOOTOK "$DATADIR\skitplay.exe"
  ; What the programs write as they run: the player's argument file, the
  ; screensaver's link file and its own log, the downloads.
  Delete "$DATADIR\skitplay.arg"
  Delete "$DATADIR\${PROGRAM}.ini"
  Delete "$DATADIR\${PROGRAM}.log"
  Delete "$DATADIR\download.log"
  RMDir /r "$DATADIR\download"
  ${IfNot} ${SectionIsSelected} ${UNSEC_KEEP}
    Delete "$DATADIR\${PROGRAM}.pak"
    ; left behind by a compaction that did not finish
    Delete "$DATADIR\${PROGRAM}.pak1"
    Delete "$DATADIR\${PROGRAM}.pak.old"
    RMDir /r "$DATADIR\skits"
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "${VENDOR_KEY}"
  ${EndIf}
  RMDir "$DATADIR"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"

  DeleteRegKey HKLM "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKLM "${VENDOR_KEY}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Function un.onInit
  ; The keys live in the view of the edition installed here.
  !insertmacro EDITION_OF_FILE $Edition "$INSTDIR\${PROGRAM}.scr"
  !insertmacro FIND_WINDOWS_BITS
  ${If} $Edition == ""
    ${If} $Windows64 == 1
      StrCpy $Edition 64
    ${Else}
      StrCpy $Edition 32
    ${EndIf}
  ${EndIf}
  !insertmacro USE_EDITION_VIEW
  !insertmacro DG_FIND_DATA_FOLDER "un."
  ${un.GetParameters} $R0
  ClearErrors
  ${un.GetOptions} $R0 "/KEEPSETTINGS" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UNSEC_KEEP}
  ${EndIf}
FunctionEnd
