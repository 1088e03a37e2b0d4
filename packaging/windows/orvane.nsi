; The Orvane installer for Windows (NSIS, built on Linux by
; packaging/windows/build-installer.sh, which passes the defines below).
;
;   OrvaneSetup-<version>.exe [/S] [/AllUsers]
;
; Per user by default, without administrator rights: the programs in
; %LOCALAPPDATA%\Orvane, the hosts' manifests beside them, registered for
; Google Chrome, Chromium, Microsoft Edge and Firefox under HKCU, the NPAPI
; plug-ins under HKCU\Software\MozillaPlugins and the uninstaller under the
; user's Uninstall key. /AllUsers (from an administrator) installs below
; Program Files, registers under HKLM and runs each plug-in's NP_Install,
; which puts the issuing authority's chain into the machine's stores; a
; per-user install says that it leaves the machine's stores alone.
;
; Defines: VERSION (the package version), FILE_VERSION (four numbers),
; STAGE (the folder with the programs), OUTFILE, CHROME_ID, GECKO_ID, and
; WITH_VERIFY when orvane-verify.exe is built.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh

!define PRODUCT "Orvane"
!define PUBLISHER "Orvane"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvane"
!define PLUGIN_KEY "Software\MozillaPlugins"
!define TANDRY "com.orvane.tandry"
!define SARVIK "com.orvane.sarvik"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Orvane"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${FILE_VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${FILE_VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "(c) ${PUBLISHER}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString NeedsAdmin ${LANG_ENGLISH} "Installing for all users (/AllUsers) needs an administrator. Run the installer from an administrator's account, or without /AllUsers for yourself alone."
LangString NeedsAdmin ${LANG_SIMPCHINESE} "为所有用户安装（/AllUsers）需要管理员权限。请以管理员帐户运行安装程序，或不加 /AllUsers 只为您自己安装。"
LangString SkipsChain ${LANG_ENGLISH} "Installed for you alone: the issuing authority's certificates go into the machine's stores, which are an administrator's to change, so they were not installed. An administrator installs them with /AllUsers."
LangString SkipsChain ${LANG_SIMPCHINESE} "仅为您安装：颁发机构的证书须装入本机证书存储，只有管理员可以更改，因此未安装。管理员可用 /AllUsers 安装它们。"
LangString ChainDone ${LANG_ENGLISH} "The issuing authority's certificates were installed into the machine's stores by"
LangString ChainDone ${LANG_SIMPCHINESE} "颁发机构的证书已装入本机证书存储，执行者："
LangString ChainFailed ${LANG_ENGLISH} "Could not run the installation entry point of"
LangString ChainFailed ${LANG_SIMPCHINESE} "无法运行以下插件的安装入口："
LangString Registered ${LANG_ENGLISH} "Registered the hosts for Google Chrome, Chromium, Microsoft Edge and Firefox."
LangString Registered ${LANG_SIMPCHINESE} "已为 Google Chrome、Chromium、Microsoft Edge 和 Firefox 注册本机消息主机。"

Var AllUsers ; 1: machine-wide (HKLM, Program Files), 0: this user

; JsonText: $R0 as a JSON string's contents in ASCII alone (backslash and
; quote escaped, everything outside printable ASCII as \uXXXX), so that the
; manifests are the same bytes whatever the system's code page, and a user
; name in Chinese still gives a path the browsers read. Result in $R1.
!macro JsonTextFunction PREFIX
Function ${PREFIX}JsonText
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  StrCpy $R1 ""
  StrLen $R2 $R0
  StrCpy $R3 0
  ${While} $R3 < $R2
    StrCpy $R4 $R0 1 $R3
    System::Call '*(&w2 R4)p.R5'
    System::Call '*$R5(&i2 .R6)'
    System::Free $R5
    IntOp $R6 $R6 & 0xFFFF
    ${If} $R4 == "\"
      StrCpy $R1 "$R1\\"
    ${ElseIf} $R4 == '"'
      StrCpy $R1 '$R1\"'
    ${ElseIf} $R6 < 32
    ${OrIf} $R6 > 126
      IntFmt $R4 "\u%04x" $R6
      StrCpy $R1 "$R1$R4"
    ${Else}
      StrCpy $R1 "$R1$R4"
    ${EndIf}
    IntOp $R3 $R3 + 1
  ${EndWhile}
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
FunctionEnd
!macroend
!insertmacro JsonTextFunction ""

; One host: a manifest for the Chromium family and one for Firefox, and the
; four browsers' keys naming them (the key's default value is the path).
!macro InstallHost NAME EXE TEXT
  StrCpy $R0 "$INSTDIR\${EXE}"
  Call JsonText
  FileOpen $0 "$INSTDIR\${NAME}.chrome.json" w
  FileWrite $0 '{"name": "${NAME}", "description": "${TEXT}", "path": "$R1", "type": "stdio",$\r$\n'
  FileWrite $0 ' "allowed_origins": ["chrome-extension://${CHROME_ID}/"]}$\r$\n'
  FileClose $0
  FileOpen $0 "$INSTDIR\${NAME}.firefox.json" w
  FileWrite $0 '{"name": "${NAME}", "description": "${TEXT}", "path": "$R1", "type": "stdio",$\r$\n'
  FileWrite $0 ' "allowed_extensions": ["${GECKO_ID}"]}$\r$\n'
  FileClose $0
  WriteRegStr SHCTX "Software\Google\Chrome\NativeMessagingHosts\${NAME}" "" "$INSTDIR\${NAME}.chrome.json"
  WriteRegStr SHCTX "Software\Chromium\NativeMessagingHosts\${NAME}" "" "$INSTDIR\${NAME}.chrome.json"
  WriteRegStr SHCTX "Software\Microsoft\Edge\NativeMessagingHosts\${NAME}" "" "$INSTDIR\${NAME}.chrome.json"
  WriteRegStr SHCTX "Software\Mozilla\NativeMessagingHosts\${NAME}" "" "$INSTDIR\${NAME}.firefox.json"
!macroend

!macro RemoveHost NAME
  DeleteRegKey SHCTX "Software\Google\Chrome\NativeMessagingHosts\${NAME}"
  DeleteRegKey SHCTX "Software\Chromium\NativeMessagingHosts\${NAME}"
  DeleteRegKey SHCTX "Software\Microsoft\Edge\NativeMessagingHosts\${NAME}"
  DeleteRegKey SHCTX "Software\Mozilla\NativeMessagingHosts\${NAME}"
  Delete "$INSTDIR\${NAME}.chrome.json"
  Delete "$INSTDIR\${NAME}.firefox.json"
!macroend

!macro RegisterPlugin NAME DESCRIPTION
  WriteRegStr SHCTX "${PLUGIN_KEY}\@orvane.org/${NAME}" "Path" "$INSTDIR\${NAME}.dll"
  WriteRegStr SHCTX "${PLUGIN_KEY}\@orvane.org/${NAME}" "Vendor" "${PUBLISHER}"
  WriteRegStr SHCTX "${PLUGIN_KEY}\@orvane.org/${NAME}" "ProductName" "${NAME}"
  WriteRegStr SHCTX "${PLUGIN_KEY}\@orvane.org/${NAME}" "Description" "${DESCRIPTION}"
  WriteRegStr SHCTX "${PLUGIN_KEY}\@orvane.org/${NAME}" "Version" "${VERSION}"
!macroend

; NP_Install of one plug-in, as the plug-in's own installer calls it: loaded
; into this process with COM initialised on the calling thread.
!macro RunNpInstall NAME
  System::Call 'ole32::CoInitializeEx(p 0, i 2) i.r2'
  System::Call 'kernel32::LoadLibraryW(w "$INSTDIR\${NAME}.dll") p.r0'
  ${If} $0 P<> 0
    System::Call 'kernel32::GetProcAddress(p r0, m "NP_Install") p.r1'
    ${If} $1 P<> 0
      System::Call '::$1()'
      DetailPrint "$(ChainDone) ${NAME}"
    ${Else}
      DetailPrint "$(ChainFailed) ${NAME}"
      SetErrorLevel 2
    ${EndIf}
    System::Call 'kernel32::FreeLibrary(p r0)'
  ${Else}
    DetailPrint "$(ChainFailed) ${NAME}"
    SetErrorLevel 2
  ${EndIf}
  ${If} $2 >= 0
    System::Call 'ole32::CoUninitialize()'
  ${EndIf}
!macroend

Function .onInit
  StrCpy $AllUsers 0
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/AllUsers" $R1
  ${IfNot} ${Errors}
    StrCpy $AllUsers 1
  ${EndIf}
  ${If} $AllUsers == 1
    UserInfo::GetAccountType
    Pop $R1
    ${If} $R1 != "Admin"
      MessageBox MB_ICONSTOP "$(NeedsAdmin)" /SD IDOK
      SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
      Quit
    ${EndIf}
    SetShellVarContext all
    StrCpy $INSTDIR "$PROGRAMFILES64\Orvane"
  ${Else}
    SetShellVarContext current
    StrCpy $INSTDIR "$LOCALAPPDATA\Orvane"
  ${EndIf}
  SetRegView 64
FunctionEnd

Section "Orvane"
  SetOutPath "$INSTDIR"
  File "${STAGE}\Tandry.exe"
  File "${STAGE}\Sarvik.exe"
  File "${STAGE}\npPellin.dll"
  File "${STAGE}\npSarvik.dll"
!ifdef WITH_VERIFY
  File "${STAGE}\orvane-verify.exe"
!endif
  !insertmacro InstallHost ${TANDRY} Tandry.exe "Orvane certificate enrolment host"
  !insertmacro InstallHost ${SARVIK} Sarvik.exe "Orvane signing host"
  DetailPrint "$(Registered)"
  !insertmacro RegisterPlugin npPellin "Orvane enrolment plug-in"
  !insertmacro RegisterPlugin npSarvik "Orvane signing plug-in"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0

  ${If} $AllUsers == 1
    !insertmacro RunNpInstall npPellin
    !insertmacro RunNpInstall npSarvik
  ${Else}
    DetailPrint "$(SkipsChain)"
  ${EndIf}
SectionEnd

; DeleteKeyIfEmpty KEY: deletes SHCTX\KEY when it has no subkey and no
; value, its default value included.
Function un.DeleteKeyIfEmpty
  Exch $R0
  Push $R1
  ClearErrors
  EnumRegKey $R1 SHCTX $R0 0
  ${IfNot} ${Errors}
  ${AndIf} $R1 == ""
    EnumRegValue $R1 SHCTX $R0 0
    ${If} $R1 == ""
      ClearErrors
      ReadRegStr $R1 SHCTX $R0 ""
      ${If} ${Errors}
        DeleteRegKey SHCTX $R0
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Pop $R1
  Pop $R0
FunctionEnd
!macro DeleteKeyIfEmpty KEY
  Push "${KEY}"
  Call un.DeleteKeyIfEmpty
!macroend

; The uninstaller finds its mode from where it sits: the machine's Uninstall
; key names its folder only after a machine-wide install.
Function un.onInit
  SetRegView 64
  StrCpy $AllUsers 0
  ReadRegStr $R0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $R0 != ""
  ${AndIf} $R0 == $INSTDIR
    UserInfo::GetAccountType
    Pop $R1
    ${If} $R1 != "Admin"
      MessageBox MB_ICONSTOP "$(NeedsAdmin)" /SD IDOK
      SetErrorLevel 740
      Quit
    ${EndIf}
    StrCpy $AllUsers 1
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd

Section "Uninstall"
  !insertmacro RemoveHost ${TANDRY}
  !insertmacro RemoveHost ${SARVIK}
  DeleteRegKey SHCTX "${PLUGIN_KEY}\@orvane.org/npPellin"
  DeleteRegKey SHCTX "${PLUGIN_KEY}\@orvane.org/npSarvik"
  ; The keys the registrations made go too, each only when nothing at all
  ; (no subkey, no value) is left in it: a browser's own settings stay.
  !insertmacro DeleteKeyIfEmpty "Software\Google\Chrome\NativeMessagingHosts"
  !insertmacro DeleteKeyIfEmpty "Software\Google\Chrome"
  !insertmacro DeleteKeyIfEmpty "Software\Google"
  !insertmacro DeleteKeyIfEmpty "Software\Chromium\NativeMessagingHosts"
  !insertmacro DeleteKeyIfEmpty "Software\Chromium"
  !insertmacro DeleteKeyIfEmpty "Software\Microsoft\Edge\NativeMessagingHosts"
  !insertmacro DeleteKeyIfEmpty "Software\Microsoft\Edge"
  !insertmacro DeleteKeyIfEmpty "Software\Mozilla\NativeMessagingHosts"
  !insertmacro DeleteKeyIfEmpty "Software\Mozilla"
  !insertmacro DeleteKeyIfEmpty "${PLUGIN_KEY}"
  Delete "$INSTDIR\Tandry.exe"
  Delete "$INSTDIR\Sarvik.exe"
  Delete "$INSTDIR\npPellin.dll"
  Delete "$INSTDIR\npSarvik.dll"
  Delete "$INSTDIR\orvane-verify.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
