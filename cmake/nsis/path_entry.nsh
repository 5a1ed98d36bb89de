; The install folder on the machine's Path, added and taken away without
; ever shortening what was there.
;
; An NSIS string holds at most NSIS_MAX_STRLEN - 1 characters (1023 with
; Debian's makensis). ReadRegStr fails on a longer value, and a value read at
; exactly that length may be a longer one cut short: either way the value is
; left as it was, and the details and a box say how to add the folder by
; hand. The value is changed only when the whole new value is shorter than
; that length, so that the uninstaller can read it back whole.
;
; Needs UNINSTALL_KEY: the installer records there the entry it added
; ("PathEntry"), and the uninstaller removes that entry and no other.

!define /math PATH_MAX_CHARS ${NSIS_MAX_STRLEN} - 1
!define PATH_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define PATH_BY_HAND "Settings, System, About, Advanced system settings, Environment Variables, System variables, Path, Edit"

; In the details and in a box (none in a silent install): Path was not
; changed, why, and how to add the folder by hand.
!macro PATH_LEFT WHY
  StrCpy $R9 "The machine's Path ${WHY}, so it was left as it was. To run korvanel-clear from any command prompt, add $INSTDIR to it by hand: ${PATH_BY_HAND}, New."
  DetailPrint $R9
  MessageBox MB_OK|MB_ICONINFORMATION $R9 /SD IDOK
!macroend

; PathWithout: path ($0), entry ($1) -> $2 the path without its first
; element equal to the entry (Windows compares names without case), $3 1 if
; such an element was there, else 0. Elements are split at ';' and joined
; again with it, so every other element, empty ones too, stays as it was.
!macro PATH_WITHOUT UN
Function ${UN}PathWithout
  Push $4
  Push $5
  Push $6
  Push $7
  StrCpy $2 ""
  StrCpy $3 0
  StrCpy $4 0 ; start of the element
  StrCpy $5 0 ; index
  StrCpy $7 0 ; elements kept
  ${Do}
    StrCpy $6 $0 1 $5
    ${If} $6 == ";"
    ${OrIf} $6 == ""
      IntOp $6 $5 - $4
      StrCpy $6 $0 $6 $4
      ${If} $3 == 0
      ${AndIf} $6 == $1
        StrCpy $3 1
      ${ElseIf} $7 == 0
        StrCpy $2 $6
        IntOp $7 $7 + 1
      ${Else}
        StrCpy $2 "$2;$6"
        IntOp $7 $7 + 1
      ${EndIf}
      StrCpy $6 $0 1 $5
      ${If} $6 == ""
        ${ExitDo}
      ${EndIf}
      IntOp $4 $5 + 1
    ${EndIf}
    IntOp $5 $5 + 1
  ${Loop}
  Pop $7
  Pop $6
  Pop $5
  Pop $4
FunctionEnd
!macroend
!insertmacro PATH_WITHOUT ""
!insertmacro PATH_WITHOUT "un."

; ReadWholePath: $0 the machine's Path and $8 its length, $9 "" when it was
; read whole, else why it must be left alone.
!macro READ_WHOLE_PATH UN
Function ${UN}ReadWholePath
  StrCpy $9 ""
  ClearErrors
  ReadRegStr $0 HKLM "${PATH_KEY}" "Path"
  ${If} ${Errors}
    StrCpy $9 "unreadable (missing, or longer than ${PATH_MAX_CHARS} characters)"
    Return
  ${EndIf}
  StrLen $8 $0
  ${If} $8 >= ${PATH_MAX_CHARS}
    StrCpy $9 "too long ($8 characters or more)"
  ${EndIf}
FunctionEnd
!macroend
!insertmacro READ_WHOLE_PATH ""
!insertmacro READ_WHOLE_PATH "un."

!macro PATH_CHANGED
  ; Open command prompts keep their PATH; Explorer and what it starts next
  ; read the new one after this.
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
!macroend

Function AddInstallFolderToPath
  Call ReadWholePath
  ${If} $9 != ""
    !insertmacro PATH_LEFT "is $9"
    Return
  ${EndIf}
  StrCpy $1 "$INSTDIR"
  Call PathWithout
  ${If} $3 == 1
    DetailPrint "$INSTDIR is already on Path."
    Return
  ${EndIf}
  ; The new value: the old one, a separator, the folder; all of it must fit.
  StrLen $5 $1
  IntOp $5 $5 + $8
  IntOp $5 $5 + 1
  ${If} $5 >= ${PATH_MAX_CHARS}
    !insertmacro PATH_LEFT "would be $5 characters with the folder, too long for this installer to write whole"
    Return
  ${EndIf}
  ${If} $0 == ""
    StrCpy $0 "$INSTDIR"
  ${Else}
    StrCpy $0 "$0;$INSTDIR"
  ${EndIf}
  ClearErrors
  WriteRegExpandStr HKLM "${PATH_KEY}" "Path" $0
  ${If} ${Errors}
    !insertmacro PATH_LEFT "could not be written"
    Return
  ${EndIf}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "PathEntry" "$INSTDIR"
  DetailPrint "Added $INSTDIR to Path."
  !insertmacro PATH_CHANGED
FunctionEnd

Function un.RemoveInstallFolderFromPath
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "PathEntry"
  ${If} $1 == ""
    Return
  ${EndIf}
  Call un.ReadWholePath
  ${If} $9 != ""
    StrCpy $R9 "The machine's Path is $9, so it was left as it was. Remove $1 from it by hand: ${PATH_BY_HAND}."
    DetailPrint $R9
    MessageBox MB_OK|MB_ICONINFORMATION $R9 /SD IDOK
    Return
  ${EndIf}
  Call un.PathWithout
  ${If} $3 == 0
    Return
  ${EndIf}
  WriteRegExpandStr HKLM "${PATH_KEY}" "Path" $2
  DetailPrint "Removed $1 from Path."
  !insertmacro PATH_CHANGED
FunctionEnd
