@echo off
rem Installs the Orvane native-messaging hosts for the current user on
rem Windows: copies Tandry.exe and Sarvik.exe to %LOCALAPPDATA%\Orvane, writes
rem their host manifests beside them and registers each manifest for Google
rem Chrome, Chromium, Microsoft Edge and Firefox under HKCU. The Orvane
rem extension's ids (web\extension\manifest.json) are the allowed callers.
rem
rem   install-host.cmd FOLDER        FOLDER holds Tandry.exe and Sarvik.exe
rem   install-host.cmd /uninstall
setlocal
set "DEST=%LOCALAPPDATA%\Orvane"
set "CHROME_ID=jcjfcdppajmfofajkccdgggpinipmncn"
set "FIREFOX_ID=extension@orvane.example"
set KEYS=Software\Google\Chrome\NativeMessagingHosts Software\Chromium\NativeMessagingHosts Software\Microsoft\Edge\NativeMessagingHosts Software\Mozilla\NativeMessagingHosts

if /i "%~1"=="/uninstall" goto uninstall
if "%~1"=="" (
  echo usage: install-host.cmd FOLDER ^| /uninstall
  exit /b 2
)
if not exist "%~1\Tandry.exe" (echo install-host: no Tandry.exe in %~1 & exit /b 1)
if not exist "%~1\Sarvik.exe" (echo install-host: no Sarvik.exe in %~1 & exit /b 1)
if not exist "%DEST%" mkdir "%DEST%"
copy /y "%~1\Tandry.exe" "%DEST%\Tandry.exe" >nul
if errorlevel 1 exit /b 1
copy /y "%~1\Sarvik.exe" "%DEST%\Sarvik.exe" >nul
if errorlevel 1 exit /b 1

call :manifests com.orvane.tandry Tandry.exe "Orvane certificate enrolment host"
if errorlevel 1 exit /b 1
call :manifests com.orvane.sarvik Sarvik.exe "Orvane signing host"
if errorlevel 1 exit /b 1
echo installed in %DEST%
exit /b 0

rem manifests NAME EXE DESCRIPTION: one manifest for the Chromium family (allowed_origins)
rem and one for Firefox (allowed_extensions), each registered as the key's default value.
rem (Errors are checked line by line: some command interpreters mishandle "||".)
:manifests
set "PATH_JSON=%DEST:\=\\%\\%2"
>"%DEST%\%1.chrome.json" echo {"name": "%1", "description": %3, "path": "%PATH_JSON%", "type": "stdio",
if errorlevel 1 exit /b 1
>>"%DEST%\%1.chrome.json" echo  "allowed_origins": ["chrome-extension://%CHROME_ID%/"]}
>"%DEST%\%1.firefox.json" echo {"name": "%1", "description": %3, "path": "%PATH_JSON%", "type": "stdio",
if errorlevel 1 exit /b 1
>>"%DEST%\%1.firefox.json" echo  "allowed_extensions": ["%FIREFOX_ID%"]}
for %%K in (%KEYS%) do (
  if /i "%%K"=="Software\Mozilla\NativeMessagingHosts" (
    reg add "HKCU\%%K\%1" /ve /t REG_SZ /d "%DEST%\%1.firefox.json" /f >nul
  ) else (
    reg add "HKCU\%%K\%1" /ve /t REG_SZ /d "%DEST%\%1.chrome.json" /f >nul
  )
  if errorlevel 1 exit /b 1
)
exit /b 0

:uninstall
for %%N in (com.orvane.tandry com.orvane.sarvik) do (
  for %%K in (%KEYS%) do reg delete "HKCU\%%K\%%N" /f >nul 2>&1
  del /q "%DEST%\%%N.chrome.json" "%DEST%\%%N.firefox.json" 2>nul
)
del /q "%DEST%\Tandry.exe" "%DEST%\Sarvik.exe" 2>nul
rmdir "%DEST%" 2>nul
echo removed
exit /b 0
