@echo off
rem Tolvane test kit: the fast tests, the contract tests against this
rem Windows, the command line against its service manager, the package,
rem and the check tool on its devices. Run as administrator from the
rem unpacked kit; everything it makes lives under %SystemDrive%\TolvaneWinkit
rem or under service names Tolvane_WINKIT*, and is removed at the end.
rem Writes tolvane-winkit.log beside itself, and the installer's logs
rem msi-*.log; the last line is "N passed, M failed", and the exit code is 0
rem only when nothing failed.
rem
rem Plain cmd (no PowerShell), Windows 7 to 11. Under Wine the differences
rem Wine is known for are tolerated by name and logged as such; on Windows
rem each one is held to what Windows shows. sc translates its labels (a
rem German Windows prints STATUS for STATE), not the state names: states are
rem read from those.
rem
rem The kit's folder is read with delayed expansion off, which would eat a
rem "!" in its name; a folder with one is refused, by name.
setlocal EnableExtensions DisableDelayedExpansion
set "KIT=%~dp0"
set "LOG=%KIT%tolvane-winkit.log"
if not "%KIT:!=%"=="%KIT%" goto :refuse_folder
setlocal EnableDelayedExpansion

set "ROOT=%SystemDrive%\TolvaneWinkit"
set "T=%ROOT%\tmp"
set "SVCDIR=%ROOT%\Svc Test"
set "EXE=%SVCDIR%\tolvane.exe"
set "SERVICES=HKLM\SYSTEM\CurrentControlSet\Services"
set "MODEL=WINKIT"
set "SERVICE=Tolvane_WINKIT"
set "DISPLAY=Tolvane Winkit Service"
set "DESCRIPTION=Radio coexistence under test"
rem The scratch services look for devices no machine has: on a real Windows
rem they must never send a request to one of its drivers.
set "PATTERN=TOLVANE-WINKIT-NO-SUCH-DEVICE"
rem Seconds any awaited service state may take: a safety bound only.
set "BOUND=30"
set /a PASSED=0, FAILED=0, SKIPPED=0, TOLERATED=0
set "PKGMODEL=WINKITPKG"
set "REMEMBERED=HKLM\Software\Verdin\Tolvane"
set "UNINSTALL=HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
set "MSI="
for /f "delims=" %%F in ('dir /b "%KIT%tolvane-*.msi" 2^>nul') do set "MSI=%KIT%%%F"

type nul >"%LOG%"
set "MSG=Tolvane test kit, %DATE% %TIME%" & call :say
del /q "%KIT%msi-*.log" >nul 2>&1
for /f "delims=" %%V in ('ver') do set "MSG=Windows: %%V" & call :say
set "WINE=0"
reg query HKLM\Software\Wine >nul 2>&1
if not errorlevel 1 set "WINE=1"
if "%WINE%"=="1" (set "MSG=Runs under Wine: yes, its known differences are tolerated by name") else (set "MSG=Runs under Wine: no")
call :say
set "MSG=Kit folder: %KIT%" & call :say

rem Administrator: only an elevated process may create a key under HKLM\SOFTWARE.
reg add HKLM\SOFTWARE\TolvaneWinkitProbe /f >nul 2>&1
if errorlevel 1 (
    call :fail "run as administrator: right-click run.cmd, Run as administrator"
    goto :summary
)
reg delete HKLM\SOFTWARE\TolvaneWinkitProbe /f >nul 2>&1
call :pass "runs as administrator"

for %%F in (tolvane.exe tolvane-check.exe unit_tests.exe contract_tests.exe) do (
    if not exist "%KIT%%%F" call :fail "kit holds %%F"
)
if not defined MSI call :fail "kit holds the package tolvane-X.Y.Z.msi"
if %FAILED% gtr 0 goto :summary

rem Leftovers of a run that was cut short go first.
call :cleanup
md "%T%" >nul 2>&1
md "%SVCDIR%" >nul 2>&1
copy /y "%KIT%tolvane.exe" "%EXE%" >nul

call :fast_tests
call :contract_tests
call :command_line
call :display_name_taken
call :settings_path_limit
call :package
call :check_tool

call :step_header "cleanup"
call :cleanup
if not exist "%ROOT%" call :pass "cleanup: %ROOT% removed"
for %%S in (%SERVICE% Tolvane_WINKIT2 Tolvane_WINKITLONG Tolvane_WINKITLONG2 Tolvane_%PKGMODEL%) do (
    call :expect_absent "cleanup: no service %%S left" %%S
)

:summary
set "MSG=" & call :say
set "MSG=%SKIPPED% skipped, %TOLERATED% Wine differences tolerated" & call :say
set "MSG=%PASSED% passed, %FAILED% failed" & call :say
if %FAILED% gtr 0 exit /b 1
exit /b 0

rem Reached with delayed expansion still off, which would eat the "!".
:refuse_folder
for %%K in ("%KIT%") do >"%LOG%" echo FAIL: the kit's folder %%~K has a ! in its name, which cmd cannot pass on: move the kit to a folder without one
>>"%LOG%" echo 0 passed, 1 failed
type "%LOG%"
exit /b 1

rem ===================================================================== steps

:fast_tests
call :step_header "fast tests (unit_tests.exe, over the simulated Windows)"
"%KIT%unit_tests.exe" --gtest_brief=1 >"%T%\unit.txt" 2>&1
set "RC=%errorlevel%"
call :log_file "%T%\unit.txt"
if "%RC%"=="0" (call :pass "fast tests") else (call :fail "fast tests: exit code %RC%")
exit /b 0

:contract_tests
call :step_header "contract tests (contract_tests.exe, against this Windows)"
set "CONTRACT_DIR_EXISTED=0"
if exist "%TEMP%\tolvane-contract" set "CONTRACT_DIR_EXISTED=1"
"%KIT%contract_tests.exe" >"%T%\contract.txt" 2>&1
set "RC=%errorlevel%"
call :log_file "%T%\contract.txt"
if "%RC%"=="0" (call :pass "contract tests") else (call :fail "contract tests: exit code %RC%")
rem Their scratch folder, made by them for files they remove.
if "%CONTRACT_DIR_EXISTED%"=="0" rd /s /q "%TEMP%\tolvane-contract" >nul 2>&1
exit /b 0

:command_line
call :step_header "command line against the service manager, from %SVCDIR%"
call :write_settings "%SVCDIR%\tolvane.ini" %MODEL%
set "NONE="
set "ARGS=" & call :expect_run "no argument, from a console" -7 NONE
for %%A in (/start /stop /uninstall) do (
    set "ARGS=%%A" & call :expect_run "%%A, not installed" -3 NONE
)
for %%A in (/bogus install /stopx -start) do (
    set "ARGS=%%A" & call :expect_run "unknown option %%A" 1 NONE
)
call :expect_absent "unknown options install nothing" %SERVICE%

set "WANT=Service %SERVICE% Installed.|Service %SERVICE% Started.|"
set "ARGS=/install" & call :expect_run "/install" 1 WANT
set "KEY=%SERVICES%\%SERVICE%"
set WANT="%EXE%"
call :expect_value "ImagePath quoted" ImagePath WANT
set "WANT=0x2" & call :expect_value "Start automatic" Start WANT
set "WANT=0x10" & call :expect_value "Type own process" Type WANT
set "WANT=0x0" & call :expect_value "ErrorControl ignore" ErrorControl WANT
set "WANT=%DISPLAY%" & call :expect_value "DisplayName" DisplayName WANT
set "WANT=%DESCRIPTION%" & call :expect_value "Description" Description WANT
call :expect_state "service reaches running" %SERVICE% 4
call :expect_recovery "/install" %SERVICE%

set "ARGS=/start" & call :expect_run "/start, already running" -5 NONE
set "ARGS=/install" & call :expect_run "/install, already installed" -2 NONE
call :expect_state "still running" %SERVICE% 4

set "WANT=Service %SERVICE% Stopped.|"
set "LATE=" & set "LATE_RC=-6"
set "ARGS=/stop" & call :expect_stop "/stop, running"
call :expect_state "service reaches stopped" %SERVICE% 1
set "ARGS=/stop" & call :expect_run "/stop, not running" -6 NONE
set "WANT=Service %SERVICE% Started.|"
set "ARGS=/start" & call :expect_run "/start, stopped" 1 WANT
call :expect_state "service runs again" %SERVICE% 4

set "WANT=Service %SERVICE% Stopped.|Service %SERVICE% Uninstalled.|"
set "LATE=Service %SERVICE% Uninstalled.|" & set "LATE_RC=1"
set "ARGS=/uninstall" & call :expect_stop "/uninstall, running"
call :expect_absent "service gone after uninstall" %SERVICE%
set "ARGS=/uninstall" & call :expect_run "/uninstall, gone" -3 NONE

rem A model one character longer than a service name holds.
set "LONGMODEL=M"
for /l %%I in (2,1,56) do set "LONGMODEL=!LONGMODEL!M"
call :write_settings "%SVCDIR%\tolvane.ini" !LONGMODEL!
set "ARGS=/install" & call :expect_run "/install, model too long" -2 NONE
set "ARGS=/stop" & call :expect_run "/stop, model too long" -3 NONE
call :expect_absent "model too long: nothing installed" %SERVICE%
call :write_settings "%SVCDIR%\tolvane.ini" %MODEL%
exit /b 0

:display_name_taken
call :step_header "a second model under the same display name"
set "ARGS=/install" & call :run_exe
if not "%RC%"=="1" (
    call :fail "first model installed: exit code %RC%"
    exit /b 0
)
call :pass "first model installed"
set "SECOND=%ROOT%\Second"
md "%SECOND%" >nul 2>&1
copy /y "%KIT%tolvane.exe" "%SECOND%\tolvane.exe" >nul
call :write_settings "%SECOND%\tolvane.ini" WINKIT2
set "SAVED=%EXE%" & set "EXE=%SECOND%\tolvane.exe"
set "ARGS=/install" & call :expect_run "second model, same display name: refused" -2 NONE
call :expect_absent "second model: nothing installed" Tolvane_WINKIT2
set "ARGS=/uninstall" & call :run_exe
set "EXE=%SAVED%"
call :expect_state "first model still running" %SERVICE% 4
set "ARGS=/uninstall" & call :run_exe
call :wait_state %SERVICE% absent
exit /b 0

:settings_path_limit
rem The settings file is the exe's path with "ini" for the extension, and
rem must fit in MAX_PATH (259 characters and the NUL). Windows starts no exe
rem from a longer path, so the exes here have no extension: the settings
rem path, with ".ini" added, is 4 characters longer than the exe's own.
rem cmd runs a file without an extension only when "." is in PATHEXT. The
rem files are laid out in a folder of a much shorter name that is then
rem renamed: Wine's cmd writes no file whose path is 256 characters or more,
rem and takes no call whose line is that long.
call :step_header "settings path at the MAX_PATH limit"
set "LIMITDIR=%ROOT%\SettingsPathLimit"
set "STAGING=%ROOT%\L"
call :strlen "%LIMITDIR%\" DIRLEN
set /a BELOW=255-DIRLEN, ABOVE=256-DIRLEN
call :name_of %BELOW% NAME_BELOW
call :name_of %ABOVE% NAME_ABOVE
md "%STAGING%" >nul 2>&1
copy /y "%KIT%tolvane.exe" "%STAGING%\%NAME_BELOW%" >nul
copy /y "%KIT%tolvane.exe" "%STAGING%\%NAME_ABOVE%" >nul
call :write_settings "%STAGING%\%NAME_BELOW%.ini" WINKITLONG
call :write_settings "%STAGING%\%NAME_ABOVE%.ini" WINKITLONG2
rem Checked here: once renamed, the path is 260 characters, which "if exist"
rem sees only where long paths are on (off by default, no switch on Windows 7).
if exist "%STAGING%\%NAME_ABOVE%.ini" (call :pass "260-character settings file in place") else (call :fail "260-character settings file in place")
rem A virus scanner may still hold an exe just copied in, and Windows renames
rem no folder with a file open inside: tried again a second apart. A rename
rem that failed must fail here, not pass for "cannot start an exe" below.
set /a TRIES=0
:again_ren_staging
ren "%STAGING%" SettingsPathLimit >nul 2>&1
if not exist "%STAGING%" if exist "%LIMITDIR%" goto :staged
set /a TRIES+=1
if %TRIES% lss 5 (
    ping -n 2 127.0.0.1 >nul 2>&1
    goto :again_ren_staging
)
call :fail "settings path at the limit: %STAGING% renamed to SettingsPathLimit, %TRIES% tries"
exit /b 0
:staged
set "SAVED=%EXE%"
set "OLDEXT=%PATHEXT%"
set "PATHEXT=.;%PATHEXT%"

rem Just below: a settings path of 259 characters works as usual.
set "EXE=%LIMITDIR%\%NAME_BELOW%"
set /a LEN=DIRLEN+BELOW+4
set "MSG=  settings path below the limit: %LEN% characters" & call :say
set "ARGS=/start" & call :run_exe
if "%RC%"=="9009" goto :limit_skip
set "WANT=Service Tolvane_WINKITLONG Installed.|Service Tolvane_WINKITLONG Started.|"
set "ARGS=/install" & call :expect_run "259-character settings path: /install" 1 WANT
call :expect_state "259-character settings path: service runs" Tolvane_WINKITLONG 4
set "ARGS=/uninstall" & call :run_exe
call :expect_absent "259-character settings path: uninstalled" Tolvane_WINKITLONG

rem Just above: every setting refused; nothing created under the file's
rem model nor under the default one.
set "DEFAULT_EXISTED=0"
reg query "%SERVICES%\Tolvane_QM5520" >nul 2>&1
if not errorlevel 1 set "DEFAULT_EXISTED=1"
set "EXE=%LIMITDIR%\%NAME_ABOVE%"
set /a LEN=DIRLEN+ABOVE+4
set "MSG=  settings path above the limit: %LEN% characters" & call :say
set "ARGS=/install" & call :expect_run "260-character settings path: /install refused" -2 NONE
for %%A in (/start /stop /uninstall) do (
    set "ARGS=%%A" & call :expect_run "260-character settings path: %%A refused" -3 NONE
)
call :expect_absent "260-character settings path: no service of the file's model" Tolvane_WINKITLONG2
if "%DEFAULT_EXISTED%"=="0" (
    call :expect_absent "260-character settings path: no service of the default model" Tolvane_QM5520
) else (
    call :skip "no service of the default model" "Tolvane_QM5520 was installed before the run"
)
rem One made here by a refusal that failed goes again.
if "%DEFAULT_EXISTED%"=="0" call :remove_service Tolvane_QM5520
call :remove_service Tolvane_WINKITLONG2
:limit_done
set "PATHEXT=%OLDEXT%"
set "EXE=%SAVED%"
exit /b 0
:limit_skip
call :skip "settings path at the limit" "cmd cannot start an exe without an extension here"
set "PATHEXT=%OLDEXT%"
set "EXE=%SAVED%"
exit /b 0

:package
call :step_header "the package, installed silently with properties and removed"
set "PF=%ProgramFiles%"
if not "%ProgramFiles(x86)%"=="" set "PF=%ProgramFiles(x86)%"
set "PKGDIR=%PF%\Tolvane"
reg query "%REMEMBERED%" /reg:32 >nul 2>&1
if not errorlevel 1 (
    call :skip "package" "Tolvane is installed on this machine; the kit leaves it alone"
    exit /b 0
)
if exist "%PKGDIR%" (
    call :skip "package" "%PKGDIR% exists; the kit leaves it alone"
    exit /b 0
)
set "PKGSERVICE=Tolvane_%PKGMODEL%"
set "PKGDISPLAY=Tolvane Winkit Package"
set "PKGDESCRIPTION=Radio coexistence from the package"
msiexec /i "%MSI%" /qn /norestart MODEL=%PKGMODEL% DISPLAYNAME="%PKGDISPLAY%" DESCRIPTION="%PKGDESCRIPTION%" BTHWID="VID_0B7C&PID_7B01" WIFIHWID="VEN_7E57&DEV_7A37" /l*v "%KIT%msi-install.log"
set "RC=%errorlevel%"
call :msi_result "package install"
set "WANT=0" & call :check_eq "package install: exit code" WANT RC
call :expect_state "package install: service running" %PKGSERVICE% 4
set "KEY=%SERVICES%\%PKGSERVICE%"
set "WANT=%PKGDISPLAY%" & call :expect_value "package: display name" DisplayName WANT
set "WANT=%PKGDESCRIPTION%" & call :expect_value "package: description" Description WANT
set "WANT=0x10" & call :expect_value "package: own process" Type WANT
set "WANT=0x2" & call :expect_value "package: automatic start" Start WANT
set "WANT=0x0" & call :expect_value "package: errors ignored, as /install" ErrorControl WANT
set "WANT=LocalSystem" & call :expect_value "package: LocalSystem" ObjectName WANT
call :reg_value "%KEY%" ImagePath
set WANT="%PKGDIR%\tolvane.exe"
set "BARE=%PKGDIR%\tolvane.exe"
call :same VAL BARE
set "UNQUOTED=0"
if "%WINE%"=="1" if "%SAME%"=="1" set "UNQUOTED=1"
if "%UNQUOTED%"=="1" call :tolerate "package: image path" "wine-msi-image-path-unquoted: Wine's installer registers the path without quotes"
if "%UNQUOTED%"=="0" call :check_eq "package: image path quoted" WANT VAL
call :expect_recovery "package" %PKGSERVICE%
call :package_recovery_command
set "INI=%PKGDIR%\tolvane.ini"
set "LINE=[Product]" & call :expect_line
set "LINE=Model=%PKGMODEL%" & call :expect_line
set "LINE=ServiceDisplayName=%PKGDISPLAY%" & call :expect_line
set "LINE=ServiceDescription=%PKGDESCRIPTION%" & call :expect_line
set "LINE=[Settings]" & call :expect_line
set "LINE=BTHWID=VID_0B7C&PID_7B01" & call :expect_line
set "LINE=WiFiHWID=VEN_7E57&DEV_7A37" & call :expect_line
"%PKGDIR%\tolvane-check.exe" >"%T%\pkgcheck.txt" 2>&1
set "MSG=  check tool in %PKGDIR%: exit code !errorlevel! (recorded, not judged)" & call :say
call :log_file "%T%\pkgcheck.txt"

msiexec /x "%MSI%" /qn /norestart /l*v "%KIT%msi-remove.log"
set "RC=%errorlevel%"
call :msi_result "package removal"
set "WANT=0" & call :check_eq "package removal: exit code" WANT RC
call :expect_absent "package removal: no service" %PKGSERVICE%
if exist "%PKGDIR%" (call :fail "package removal: %PKGDIR% gone") else (call :pass "package removal: %PKGDIR% gone")
reg query "%REMEMBERED%" /reg:32 >nul 2>&1
if errorlevel 1 (call :pass "package removal: remembered properties gone") else (call :fail "package removal: remembered properties gone")
exit /b 0

rem :package_recovery_command: the log holds the recovery's sc.exe command line
rem (find: Wine's findstr reported a match for a line the log lacks).
:package_recovery_command
type "%KIT%msi-install.log" | find "RecoveryCommand = " | find "sc.exe" | find " failure " | find "Tolvane_%PKGMODEL%" | find " reset= 86400 actions= restart/5000/restart/5000//0" >nul
if errorlevel 1 (call :fail "package: the recovery command in the installer's log") else (call :pass "package: the recovery command in the installer's log")
exit /b 0

:check_tool
call :step_header "the check tool on this machine's devices, patterns empty"
set "CHECKDIR=%ROOT%\Check"
md "%CHECKDIR%" >nul 2>&1
copy /y "%KIT%tolvane-check.exe" "%CHECKDIR%\tolvane-check.exe" >nul
set "PATTERN="
call :write_settings "%CHECKDIR%\tolvane.ini" %MODEL%
"%CHECKDIR%\tolvane-check.exe" >"%T%\check.txt" 2>&1
set "RC=%errorlevel%"
call :log_file "%T%\check.txt"
set "MSG=  report: exit code %RC% (recorded, not judged: the machine may have no started adapter)" & call :say
"%CHECKDIR%\tolvane-check.exe" /json >"%T%\check.json" 2>&1
set "RCJ=%errorlevel%"
call :log_file "%T%\check.json"
set "MSG=  /json: exit code %RCJ%" & call :say
call :check_eq "check tool: report and /json give the same exit code" RC RCJ
exit /b 0

rem ================================================================= helpers

rem :write_settings FILE MODEL: a settings file with the kit's display name and
rem description, both patterns as PATTERN says.
:write_settings
>"%~1" echo [Product]
>>"%~1" echo Model=%~2
>>"%~1" echo ServiceDisplayName=%DISPLAY%
>>"%~1" echo ServiceDescription=%DESCRIPTION%
>>"%~1" echo [Settings]
>>"%~1" echo BTHWID=%PATTERN%
>>"%~1" echo WiFiHWID=%PATTERN%
exit /b 0

rem :run_exe: runs "%EXE%" %ARGS%; RC its exit code, OUT its lines joined by "|".
:run_exe
"%EXE%" %ARGS% >"%T%\out.txt" 2>&1
set "RC=%errorlevel%"
set "OUT="
for /f "usebackq delims=" %%L in ("%T%\out.txt") do set "OUT=!OUT!%%L|"
exit /b 0

rem :expect_run NAME CODE OUTVAR
:expect_run
call :run_exe
set "WANT_RC=%~2"
call :check_eq "%~1: exit code" WANT_RC RC
call :check_eq "%~1: output" %~3 OUT
exit /b 0

rem :expect_stop NAME: a stop answered with WANT and 1, or, under Wine
rem only, with LATE and LATE_RC: Wine's service manager sometimes loses
rem the stop's reply although the service stops; the state it reaches
rem decides then.
:expect_stop
call :run_exe
call :same OUT WANT
if "%RC%"=="1" if "%SAME%"=="1" (
    call :pass "%~1: exit code and output"
    exit /b 0
)
call :same OUT LATE
if "%WINE%"=="1" if "%RC%"=="%LATE_RC%" if "%SAME%"=="1" (
    call :tolerate "%~1" "wine-stop-reply-lost: the stop's reply was lost, judged by the state reached"
    exit /b 0
)
set "WANT_RC=1"
call :check_eq "%~1: exit code" WANT_RC RC
call :check_eq "%~1: output" WANT OUT
exit /b 0

rem :reg_value KEY NAME [/reg:32]: VAL, the data of one value (empty when absent).
rem No pipe into findstr inside for /f: under Wine it gives nothing there.
:reg_value
set "VAL="
for /f "tokens=1,2,*" %%M in ('reg query "%~1" /v "%~2" %~3 2^>nul') do if /i "%%M"=="%~2" set "VAL=%%O"
exit /b 0

rem :expect_value NAME VALUE WANTVAR, of the key in KEY
:expect_value
call :reg_value "%KEY%" %~2
call :check_eq "%~1" %~3 VAL
exit /b 0

rem :state SERVICE: ST, its state number (4 running, 1 stopped) or absent.
rem Read from the line whose value is a number and a state's name: the label
rem before the colon is translated, the state's name is not. (A for /f
rem inside another splits nothing under Wine: a call does the second split.)
:state
set "ST=absent"
for /f "tokens=1,* delims=:" %%A in ('sc query %~1 2^>nul') do call :state_of "%%B"
exit /b 0

rem :state_of VALUE: ST, when VALUE is a number and a state's name.
:state_of
for /f "tokens=1,2" %%M in ("%~1") do (
    for %%W in (STOPPED START_PENDING STOP_PENDING RUNNING CONTINUE_PENDING PAUSE_PENDING PAUSED) do (
        if "%%N"=="%%W" set "ST=%%M"
    )
)
exit /b 0

rem :wait_state SERVICE STATE: until it is reached or BOUND seconds pass.
:wait_state
set /a WAITED=0
:again_wait_state
call :state %~1
if "%ST%"=="%~2" exit /b 0
if %WAITED% geq %BOUND% exit /b 1
ping -n 2 127.0.0.1 >nul 2>&1
set /a WAITED+=1
goto :again_wait_state

:expect_state
call :wait_state %~2 %~3
set "WANT_ST=%~3"
call :check_eq "%~1" WANT_ST ST
exit /b 0

rem :expect_absent NAME SERVICE: no such service, and no key of it.
:expect_absent
call :wait_state %~2 absent
reg query "%SERVICES%\%~2" >nul 2>&1
if not errorlevel 1 set "ST=key left"
set "WANT_ST=absent"
call :check_eq "%~1" WANT_ST ST
exit /b 0

rem :expect_recovery WHO SERVICE: restart after 5 s on the first and second
rem failure, nothing after the third, the count reset after a day.
:expect_recovery
if "%WINE%"=="1" (
    call :tolerate "%~1: recovery actions" "wine-failure-actions-not-kept: Wine's service manager accepts them and keeps nothing"
    exit /b 0
)
sc qfailure %~2 >"%T%\qfailure.txt" 2>&1
call :log_file "%T%\qfailure.txt"
set "RESET="
for /f "tokens=2 delims=:" %%R in ('findstr "RESET_PERIOD" "%T%\qfailure.txt"') do set "RESET=%%R"
if defined RESET set "RESET=%RESET: =%"
if defined RESET (
    set "WANT=86400" & call :check_eq "%~1: failure count reset after a day" WANT RESET
) else (
    call :skip "%~1: failure count reset after a day" "sc qfailure printed no RESET_PERIOD line: its labels are translated here"
)
rem The action's name and the delay stay as they are in any language.
set /a RESTARTS=0
for /f "delims=" %%R in ('findstr /r /c:"RESTART.* 5000 " "%T%\qfailure.txt"') do set /a RESTARTS+=1
set "WANT=2" & call :check_eq "%~1: restart after 5 s, twice" WANT RESTARTS
exit /b 0

rem :strlen TEXT VAR
:strlen
set "S=%~1"
set /a N=0
:again_strlen
if not defined S goto :done_strlen
set "S=%S:~1%"
set /a N+=1
goto :again_strlen
:done_strlen
set "%~2=%N%"
exit /b 0

rem :name_of LENGTH VAR: a file name of LENGTH characters and no ".".
:name_of
set "S=tolvane"
for /l %%I in (8,1,%~1) do set "S=!S!x"
set "%~2=%S%"
exit /b 0

:cleanup
call :remove_kit_package
for %%S in (%SERVICE% Tolvane_WINKIT2 Tolvane_WINKITLONG Tolvane_WINKITLONG2 Tolvane_%PKGMODEL%) do (
    call :remove_service %%S
)
rem The settings path layout back under its short name first: Wine's rd
rem deletes no file whose path is 256 characters or more.
set "GONE=%ROOT%\SettingsPathLimit" & set "HOW=ren" & call :until_gone
set "GONE=%ROOT%" & set "HOW=rd" & call :until_gone
exit /b 0

rem :until_gone: GONE renamed to L (HOW=ren) or deleted (HOW=rd), tried
rem again a second apart while it is there: sc reports a service stopped or
rem deleted before its process has exited and let go of its files.
:until_gone
set /a TRIES=0
:again_until_gone
if not exist "%GONE%" exit /b 0
if %TRIES% geq 5 (
    call :fail "cleanup: %GONE% still there after %TRIES% tries of %HOW%"
    exit /b 0
)
if "%HOW%"=="ren" (ren "%GONE%" L >nul 2>&1) else (rd /s /q "%GONE%" >nul 2>&1)
set /a TRIES+=1
if exist "%GONE%" ping -n 2 127.0.0.1 >nul 2>&1
goto :again_until_gone

rem :remove_kit_package: the package a run of the kit installed and left (a
rem run cut short, a removal that failed) goes, with the installer, before
rem anything else. Known by what it installed: the properties it remembers
rem name the kit's model. Never a Tolvane installed otherwise.
:remove_kit_package
call :reg_value "%REMEMBERED%" Model /reg:32
if /i not "%VAL%"=="%PKGMODEL%" exit /b 0
set "PRODUCT="
set "CUR="
for /f "tokens=1,2,*" %%A in ('reg query "%UNINSTALL%" /s /v DisplayName /reg:32 2^>nul') do (
    if /i "%%A"=="DisplayName" (
        if "%%C"=="Tolvane" set "PRODUCT=!CUR!"
    ) else (
        set "CUR=%%A"
    )
)
rem The product code: the last part of the key's name.
if defined PRODUCT for %%K in ("%PRODUCT%") do set "PRODUCT=%%~nxK"
if not defined PRODUCT set "PRODUCT=%MSI%"
set "MSG=  the package an earlier run left installed: removing %PRODUCT%" & call :say
msiexec /x "%PRODUCT%" /qn /norestart /l*v "%KIT%msi-cleanup.log"
set "RC=%errorlevel%"
call :msi_result "cleanup: package removal"
reg query "%REMEMBERED%" /reg:32 >nul 2>&1
if not errorlevel 1 call :fail "cleanup: the package an earlier run left installed removed (exit code %RC%, see msi-cleanup.log)"
exit /b 0

rem :msi_result WHAT: the installer's exit code RC, named in the log when it
rem is one a reader must know. Every msiexec here has /norestart: without it
rem the installer restarts the machine itself when it decides it must.
:msi_result
set "NAMED="
if "%RC%"=="3010" set "NAMED=3010, a restart is needed to finish (none made: /norestart)"
if "%RC%"=="1641" set "NAMED=1641, the installer started a restart"
if "%RC%"=="1603" set "NAMED=1603, a fatal error: see the installer's log beside this one"
if "%RC%"=="1618" set "NAMED=1618, another installation is in progress"
if defined NAMED set "MSG=  %~1: installer exit code %NAMED%" & call :say
exit /b 0

rem :expect_line: the file INI holds the line LINE (in any order: the
rem installer may write the keys in an order of its own).
:expect_line
set "FOUND=no"
for /f "usebackq delims=" %%L in ("%INI%") do (
    set "CUR=%%L"
    call :same CUR LINE
    if "!SAME!"=="1" set "FOUND=yes"
)
set "WANT=yes"
call :check_eq "package: tolvane.ini holds !LINE!" WANT FOUND
exit /b 0

rem :remove_service SERVICE: stopped and deleted, if it exists.
:remove_service
call :state %~1
if "%ST%"=="absent" exit /b 0
sc stop %~1 >nul 2>&1
call :wait_state %~1 1
sc delete %~1 >nul 2>&1
call :wait_state %~1 absent
exit /b 0

rem :check_eq NAME WANTVAR GOTVAR
:check_eq
call :same %~2 %~3
if "%SAME%"=="1" (
    call :pass "%~1"
    exit /b 0
)
set /a FAILED+=1
set "MSG=FAIL: %~1" & call :say
set "MSG=    want: [!%~2!]" & call :say
set "MSG=    got:  [!%~3!]" & call :say
exit /b 0

rem :same AVAR BVAR: SAME is 1 when the two hold the same text. Compared
rem with quotes turned into apostrophes, between quotes: Wine's cmd parses
rem a comparison again after delayed expansion, so "|" or "&" in a value
rem would break it there.
:same
set "SAME=0"
set "CW=!%~1!"
set "CG=!%~2!"
if defined CW set "CW=%CW:"='%"
if defined CG set "CG=%CG:"='%"
if "%CW%"=="%CG%" set "SAME=1"
exit /b 0

:pass
set /a PASSED+=1
set "MSG=PASS: %~1" & call :say
exit /b 0

:fail
set /a FAILED+=1
set "MSG=FAIL: %~1" & call :say
exit /b 0

rem :skip NAME REASON
:skip
set /a SKIPPED+=1
set "MSG=SKIP: %~1: %~2" & call :say
exit /b 0

rem :tolerate NAME WHY: a known Wine difference, by its name.
:tolerate
set /a TOLERATED+=1
set "MSG=TOLERATED under Wine: %~1: %~2" & call :say
exit /b 0

:step_header
set "MSG=" & call :say
set "MSG===== %~1" & call :say
exit /b 0

:log_file
type "%~1" >>"%LOG%"
exit /b 0

:say
echo.!MSG!
>>"%LOG%" echo.!MSG!
exit /b 0
