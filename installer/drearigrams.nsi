; Setup for the Drearigrams Screensaver. installer/CMakeLists.txt builds it
; with makensis and passes in the built files:
;   OUT_FILE     the setup program to write
;   STUB         the setup program's own kind: x86-unicode (runs on every
;                Windows; what ships) or amd64-unicode (64-bit Windows only)
;   SCREENSAVER64, PLAYER64, CLEARDATA64   the 64-bit edition's drearigrams.scr,
;                skitplay.exe and cleardata.exe
;   SCREENSAVER32, PLAYER32, CLEARDATA32   the 32-bit edition's; either
;                edition may be left out
;   CATALOGUE    the starting catalogue   CONTENT_NSH  the DG_INSTALL_CONTENT macro (skits)
;   VERSION      a.b.c.d                  ABOUT_URL    the AboutURL value
;   ICON         the program's icon        HELP_FILE    the help page (optional)
;
; Everything the setup writes goes to the program folder ($INSTDIR, under
; Program Files by default), which only administrators can change (and a
; copy of the screensaver to the system folder the Screen Saver Settings
; list screensavers from, see FIND_LIST_FOLDER):
;     drearigrams.scr, drearigrams.html, uninstall.exe
;     seed\             what every user's data starts from: the catalogue
;                       drearigrams.pak (with the maker's key), the skits
;                       in seed\skits\, and the master copy of the player,
;                       skitplay.exe
; Each user's screensaver keeps its data in that user's own folder,
; %LOCALAPPDATA%\Drearigrams, which no other account can change: the
; catalogue, skits\, download\, download.log, drearigrams.ini,
; drearigrams.log, and skitplay.exe with its argument file skitplay.arg. The
; installation key names them as REG_EXPAND_SZ values, which each user's
; screensaver expands to its own folder, and names the seed (SeedPath). The
; screensaver makes the user's folder and copies the seed into it the first
; time it starts, and copies the player again when the master copy changes.
; The setup, running as an administrator, never writes into a folder other
; users can write: not into a user's folder, and not into the machine-wide
; data folder of earlier setups, which it only removes (with cleardata).
; The program folder holds only what the setup put there, with the rights
; the setup gives it, in a place no other account can change: cleardata's
; `own` (see tools/cleardata/program_folder.h) refuses a folder whose parent
; another account may change, moves aside a folder anyone else could have
; written to and makes it anew, its rights set as it is made, and in an
; installation of this setup removes what the setup did not put there.
; cleardata (which also removes data folders that other accounts can write,
; without following a link they put there) is never installed: the setup and
; the uninstaller each unpack it into their own $PLUGINSDIR and run it from
; there. NSIS makes that folder anew in the temporary folder of the account
; the setup runs as, an administrator's own profile, which no other account
; may write; the program folder of an earlier layout was no such place.
;
; Command line (besides NSIS's own /S and /D=folder):
;   setup:      /SETCURRENT     make it the current screensaver; a silent
;                               setup does so only when asked
;               /EDITION=32     the 32-bit edition on 64-bit Windows (the
;               /EDITION=64     default is the edition that matches Windows)
;   uninstall:  /KEEPSETTINGS   keep every user's data folder (choices,
;                               catalogue with its ticks, skits) and the
;                               sound and download choices
;
; The setup carries both editions and installs one. On 64-bit Windows the
; 64-bit edition goes to the 64-bit Program Files folder and its keys to the
; 64-bit registry view; the 32-bit edition goes to the 32-bit Program Files
; folder and its keys to the 32-bit view, where a 32-bit program reads them.
; The uninstaller tells the two apart by the processor of the screensaver it
; finds beside itself.
; Installing over an installation writes the programs, the seed and the
; installation key afresh; the users' folders are theirs and stay as they
; are. An installation of an earlier layout is upgraded: the data its setup
; put in the machine-wide data folder, or beside the programs in the oldest
; one-folder layout, is removed, and its users start from the seed.

; A name with "Setup" in it is what users look for; the manifest's execution
; level already keeps Windows from guessing about the program.
!pragma warning disable 9000
Unicode true
Target ${STUB}
SetCompressor /SOLID lzma
RequestExecutionLevel admin
; The files carry no time of the build: the same source makes the same setup.
SetDateSave off
; The setup and its uninstaller are signed as makensis writes them, when the
; build signs (see cmake/signing.cmake).
!ifdef SIGNING_NSH
  !include "${SIGNING_NSH}"
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include x64.nsh
!include WinVer.nsh
!include "${CONTENT_NSH}"

!define PRODUCT "Drearigrams Screensaver"
; The screensaver's file name; the program reads the key named after it.
!define PROGRAM "drearigrams"
!define VENDOR_KEY "Software\Brindlecove"
!define SETTINGS_KEY "${VENDOR_KEY}\${PROGRAM}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Drearigrams"
!define DESKTOP_KEY "Control Panel\Desktop"
; The data folder's name in each user's local application data folder, and
; the values that name it (expanded by each user's screensaver).
!define DATA_NAME "Drearigrams"
!define USER_DATA "%LOCALAPPDATA%\${DATA_NAME}"
; The seed's folder in the program folder (see store/user_data.h).
!define SEED_NAME "seed"
; What setups of earlier layouts put in the machine-wide data folder, or
; beside the programs, and the screensaver wrote there as it ran.
!define EARLIER_DATA "skitplay.exe skitplay.arg ${PROGRAM}.pak ${PROGRAM}.pak1 ${PROGRAM}.pak.old skits download download.log ${PROGRAM}.ini ${PROGRAM}.log"

; Rights, as a security descriptor (SDDL). Owner and full control:
; Administrators (BA) and SYSTEM (SY); Users (BU) read and run (0x1200a9).
; "P" protects it from the rights of the folder above, so where the folder
; was made matters not. OICI: also for the files and folders inside.
!define PROGRAM_FOLDER_ACL "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"

!if ! ${STUB} == "x86-unicode"
!if ! ${STUB} == "amd64-unicode"
  !error "STUB must be x86-unicode or amd64-unicode"
!endif
!endif
!ifndef SCREENSAVER64
!ifndef SCREENSAVER32
  !error "the setup needs SCREENSAVER64, PLAYER64 and CLEARDATA64, or the 32-bit three, or both"
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
; The finish page starts nothing: the setup runs as an administrator, maybe
; another account than the user at the screen, and the settings (their
; downloads, their pictures, the user's own choices) are each user's, to be
; opened as that user. No documented call of an elevated process starts a
; program as the signed-in user but through Explorer's automation objects,
; which NSIS reaches only through a plug-in this setup does not carry.
!define MUI_FINISHPAGE_TEXT "${PRODUCT} is installed.$\r$\n$\r$\nEvery user of this computer can choose it, and the skits it shows (its Settings button), in the Screen Saver Settings."
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_PAGE_HEADER_TEXT "Your settings and skits"
!define MUI_PAGE_HEADER_SUBTEXT "Choose whether to keep them for a later installation."
!define MUI_COMPONENTSPAGE_TEXT_TOP "Tick the box to keep every user's settings, choice of skits and the skits themselves for a later installation."
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

; The folder the Screen Saver Settings list the screensavers of this edition
; from: they show the screensavers found in the system's folders (the
; Windows folder, System32, and SysWOW64 for 32-bit ones on 64-bit Windows)
; and the one now chosen, so a copy of ours lies there, and ours can be
; chosen again after another was. Only administrators may write there.
; $Edition comes first. 32-bit programs on any 64-bit Windows (x64 or ARM)
; have theirs in SysWOW64. A 32-bit setup reaches the 64-bit System32 only
; with the file system redirection off (DG_SYSTEM_FOLDER_BEGIN and _END
; around what it does there).
Var ListFolder
!macro FIND_LIST_FOLDER
  ${If} $Edition == 32
  ${AndIf} ${RunningX64}
    StrCpy $ListFolder "$WINDIR\SysWOW64"
  ${Else}
    StrCpy $ListFolder "$WINDIR\System32"
  ${EndIf}
!macroend
!macro DG_SYSTEM_FOLDER_BEGIN
!if ${STUB} == "x86-unicode"
  ${If} $Edition == 64
    ${DisableX64FSRedirection}
  ${EndIf}
!endif
!macroend
!macro DG_SYSTEM_FOLDER_END
!if ${STUB} == "x86-unicode"
  ${If} $Edition == 64
    ${EnableX64FSRedirection}
  ${EndIf}
!endif
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

; cleardata.exe of the edition in $Edition, unpacked into $PLUGINSDIR.
!macro DG_UNPACK_CLEARDATA
  InitPluginsDir
  ${If} $Edition == 64
!ifdef CLEARDATA64
    File "/oname=$PLUGINSDIR\cleardata.exe" "${CLEARDATA64}"
!endif
  ${Else}
!ifdef CLEARDATA32
    File "/oname=$PLUGINSDIR\cleardata.exe" "${CLEARDATA32}"
!endif
  ${EndIf}
!macroend

; Runs cleardata.exe from $PLUGINSDIR with `arguments`; its report goes to
; the details. What it cannot remove stays and is reported there, and the
; setup goes on.
!macro DG_CLEAR_DATA arguments
  nsExec::ExecToLog '"$PLUGINSDIR\cleardata.exe" ${arguments}'
  Pop $R9
  ${If} $R9 != 0
    DetailPrint "Some of the earlier data could not be removed (cleardata: $R9)."
  ${EndIf}
!macroend

; The data that setups of earlier layouts left where other users could
; write, in the machine-wide data folder that the installation key's
; DataPath named (what the one-folder layout left beside the programs went
; with the program folder's takeover). Users start from the seed instead.
!macro DG_REMOVE_EARLIER_DATA
  ReadRegStr $R8 HKLM "${SETTINGS_KEY}" "DataPath"
  StrCpy $R7 $R8 1
  ; This layout's DataPath is each user's own and starts with a variable.
  ${If} $R8 != ""
  ${AndIf} $R7 != "%"
  ${AndIf} $R8 != $INSTDIR
    DetailPrint "Removing the earlier machine-wide data folder $R8"
    !insertmacro DG_CLEAR_DATA 'names "$R8" ${EARLIER_DATA}'
  ${EndIf}
!macroend

Section "-Program" SEC_PROGRAM
  ; The folder is taken over, with its rights, before anything is put into
  ; it, so what goes in never carries other rights, not even for a moment;
  ; of an earlier installation only the programs that are written afresh
  ; below stay (the seed is written anew whole). A setup that cannot do so
  ; stops: an installation open to other accounts is worse than none.
  !insertmacro DG_UNPACK_CLEARDATA
  nsExec::ExecToStack '"$PLUGINSDIR\cleardata.exe" own "$INSTDIR" "${PROGRAM_FOLDER_ACL}" ${PROGRAM}.scr ${PROGRAM}.html uninstall.exe'
  Pop $0
  Pop $1
  DetailPrint $1
  ${If} $0 != 0
    !insertmacro REFUSE "$1"
  ${EndIf}

  SetOutPath "$INSTDIR"
  !insertmacro DG_REMOVE_EARLIER_DATA

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
  !insertmacro DG_SYSTEM_FOLDER_BEGIN
  ${If} $Edition == 64
!ifdef SCREENSAVER64
    File "/oname=$ListFolder\${PROGRAM}.scr" "${SCREENSAVER64}"
!endif
  ${Else}
!ifdef SCREENSAVER32
    File "/oname=$ListFolder\${PROGRAM}.scr" "${SCREENSAVER32}"
!endif
  ${EndIf}
  !insertmacro DG_SYSTEM_FOLDER_END

  ; The seed is written afresh (the takeover removed the earlier one): skits
  ; an earlier setup delivered and this one does not go.
  SetOutPath "$INSTDIR\${SEED_NAME}"
  File "/oname=${PROGRAM}.pak" "${CATALOGUE}"
  ${If} $Edition == 64
!ifdef PLAYER64
    File "/oname=skitplay.exe" "${PLAYER64}"
!endif
  ${Else}
!ifdef PLAYER32
    File "/oname=skitplay.exe" "${PLAYER32}"
!endif
  ${EndIf}
  SetOutPath "$INSTDIR\${SEED_NAME}\skits"
  !insertmacro DG_INSTALL_CONTENT
  SetOutPath "$INSTDIR"

  ; Every value, also those an earlier setup wrote, names the new places:
  ; the user's own folder for what the screensaver writes, the program
  ; folder for what it only reads.
  WriteRegExpandStr HKLM "${SETTINGS_KEY}" "Player" "${USER_DATA}\skitplay.exe"
  WriteRegExpandStr HKLM "${SETTINGS_KEY}" "SkitsPath" "${USER_DATA}\skits"
  WriteRegExpandStr HKLM "${SETTINGS_KEY}" "OpsFilePath" "${USER_DATA}\${PROGRAM}.pak"
  WriteRegExpandStr HKLM "${SETTINGS_KEY}" "DownloadPath" "${USER_DATA}\download"
  WriteRegExpandStr HKLM "${SETTINGS_KEY}" "LogPath" "${USER_DATA}\download.log"
  WriteRegExpandStr HKLM "${SETTINGS_KEY}" "DataPath" "${USER_DATA}"
  WriteRegStr HKLM "${SETTINGS_KEY}" "SeedPath" "$INSTDIR\${SEED_NAME}"
!ifdef HELP_FILE
  WriteRegStr HKLM "${SETTINGS_KEY}" "HelpFilePath" "$INSTDIR\${PROGRAM}.html"
!else
  WriteRegStr HKLM "${SETTINGS_KEY}" "HelpFilePath" ""
!endif
  WriteRegStr HKLM "${SETTINGS_KEY}" "AboutURL" "${ABOUT_URL}"

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
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Make it my screensaver" SEC_CURRENT
  !insertmacro SCREENSAVER_VALUE $0
  WriteRegStr HKCU "${DESKTOP_KEY}" "SCRNSAVE.EXE" $0
SectionEnd

Function .onInit
  ; The programs run with UTF-8 as their code page, so that every user's
  ; name and every maker's language reach them whole: Windows grants that
  ; from Windows 10 version 1903 (build 18362) on, and before it would hand
  ; them the machine's ANSI code page, in which such names become others.
  ${IfNot} ${AtLeastBuild} 18362
    !insertmacro REFUSE "${PRODUCT} needs Windows 10 version 1903 or later."
  ${EndIf}
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
  !insertmacro FIND_LIST_FOLDER
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

  ; Earlier setups kept one machine-wide data folder, which /DATA= chose;
  ; each user's data is now that user's own.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/DATA=" $R1
  ${IfNot} ${Errors}
    !insertmacro REFUSE "/DATA= is no longer taken: each user's data is kept in that user's own folder (%LOCALAPPDATA%\${DATA_NAME})."
  ${EndIf}
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
  ; Stop being the screensaver of every user this uninstaller can reach (as
  ; the program folder's copy or the list's), but leave another one a user
  ; chose since. cleardata goes through every profile (a user's part of the
  ; registry that is not loaded, it loads for the while); this account's own
  ; choice is looked at here as well.
  !insertmacro DG_UNPACK_CLEARDATA
  !insertmacro DG_CLEAR_DATA 'screensaver "$INSTDIR\${PROGRAM}.scr" "$ListFolder\${PROGRAM}.scr"'
  ReadRegStr $0 HKCU "${DESKTOP_KEY}" "SCRNSAVE.EXE"
  ${If} $0 != ""
    !insertmacro SCREENSAVER_VALUE $1
    GetFullPathName /SHORT $2 $0
    ${If} $0 == $1
    ${OrIf} $2 == $1
    ${OrIf} $0 == "$ListFolder\${PROGRAM}.scr"
      DeleteRegValue HKCU "${DESKTOP_KEY}" "SCRNSAVE.EXE"
    ${EndIf}
  ${EndIf}

  ; Every user's data folder this uninstaller can reach: each profile's,
  ; and its own. Those folders are their users' to write, so cleardata
  ; removes them without following a link. Choices kept under other users'
  ; accounts (their part of the registry) are theirs and stay.
  ${IfNot} ${SectionIsSelected} ${UNSEC_KEEP}
    !insertmacro DG_CLEAR_DATA 'profiles ${DATA_NAME}'
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "${VENDOR_KEY}"
  ${EndIf}

  ; A program still running goes when Windows next starts.
  Delete /REBOOTOK "$INSTDIR\${PROGRAM}.scr"
  !insertmacro DG_SYSTEM_FOLDER_BEGIN
  Delete /REBOOTOK "$ListFolder\${PROGRAM}.scr"
  !insertmacro DG_SYSTEM_FOLDER_END
  Delete "$INSTDIR\${PROGRAM}.html"
  RMDir /r /REBOOTOK "$INSTDIR\${SEED_NAME}"
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
  !insertmacro FIND_LIST_FOLDER
  ${un.GetParameters} $R0
  ClearErrors
  ${un.GetOptions} $R0 "/KEEPSETTINGS" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UNSEC_KEEP}
  ${EndIf}
FunctionEnd
