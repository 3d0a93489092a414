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
rem
rem Started from Explorer (a double-click, or "Run as administrator"), the
rem window waits for a key at the summary instead of closing on it.
rem
rem The steps run in a command processor of their own (/body): a parse
rem error ends every batch context of the processor it happens in, and the
rem window would close on a log cut short. This one waits for it, adds to
rem the log what it left unsaid, and pauses.
setlocal EnableExtensions DisableDelayedExpansion
set "KIT=%~dp0"
set "SELF=%~f0"
set "LOG=%KIT%tolvane-winkit.log"
rem The system's own tools, by full path: the current folder and PATH may
rem hold others of the same name first (Git's or Cygwin's find). In for /f
rem they follow a call: a quoted command first on the line would lose its
rem quotes to the cmd /c that runs it.
set "SYS=%SystemRoot%\System32"
set FIND="%SYS%\find.exe"
set REG="%SYS%\reg.exe"
set SC="%SYS%\sc.exe"
set MSIEXEC="%SYS%\msiexec.exe"
set ICACLS="%SYS%\icacls.exe"
set PING="%SYS%\ping.exe"
if "%~1"=="/body" goto :body
if "%~1"=="/parsers" goto :body
set "CL=%cmdcmdline:"=%"
call :clicked
if not "%KIT:!=%"=="%KIT%" goto :refuse_folder
rem Writable when what is written reads back: a redirection that fails
rem leaves ERRORLEVEL as it was on Windows, and Wine's || fires anyway.
set "STAMP=%RANDOM%%RANDOM%" & set "GOT="
(>"%LOG%" echo %STAMP%) 2>nul
(set /p GOT=<"%LOG%") 2>nul
if not "%GOT%"=="%STAMP%" goto :log_unwritable
type nul >"%LOG%"
rem /d: no AutoRun command of the registry runs first. /s: the outer quotes
rem alone are taken off, whatever the path holds (a space, an "&").
"%SYS%\cmd.exe" /d /e:on /v:off /s /c ^""%SELF%" /body^"
set "BODY_RC=%errorlevel%"
call :ended
if "%CLICKED%"=="1" pause
exit /b %RC%

:body
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
set /a PASSED=0, FAILED=0, SKIPPED=0, TOLERATED=0, STOPS_LOST=0
set "PKGMODEL=WINKITPKG"
set "REMEMBERED=HKLM\Software\Verdin\Tolvane"
set "UNINSTALL=HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
set "SCRATCH=%SERVICE% Tolvane_WINKIT2 Tolvane_WINKITLONG Tolvane_WINKITLONG2 Tolvane_%PKGMODEL%"
rem A busy installer (1618: another installation, often Windows Update's,
rem holds its mutex) is asked again MSI_TRIES times, MSI_WAIT seconds apart.
set /a MSI_TRIES=6, MSI_WAIT=10
rem sc's answer to a query, beside the log: the scratch folder is gone when
rem the last states are read, and %TEMP% may hold a "!", which delayed
rem expansion would eat (the kit's folder is known to hold none).
set "SCQ=%KIT%tolvane-winkit-sc-query.txt"
set "MSI="
for /f "delims=" %%F in ('dir /b "%KIT%tolvane-*.msi" 2^>nul') do set "MSI=%KIT%%%F"
if "%~1"=="/parsers" goto :parsers

set "MSG=Tolvane test kit, %DATE% %TIME%" & call :say
del /q "%KIT%msi-*.log" >nul 2>&1
for /f "delims=" %%V in ('ver') do set "MSG=Windows: %%V" & call :say
rem Under Wine: its key, its own boot program in the system folder, and the
rem variable its loader gives every process. A key alone is no proof: a
rem Windows may hold one some program left.
set "WINE=0"
%REG% query HKLM\Software\Wine >nul 2>&1
if not errorlevel 1 if exist "%SYS%\wineboot.exe" if defined WINECONFIGDIR set "WINE=1"
if "%WINE%"=="1" (set "MSG=Runs under Wine: yes, its known differences are tolerated by name") else (set "MSG=Runs under Wine: no")
call :say
set "MSG=Kit folder: %KIT%" & call :say

rem Administrator: only an elevated process may create a key under HKLM\SOFTWARE.
%REG% add HKLM\SOFTWARE\TolvaneWinkitProbe /f >nul 2>&1
if errorlevel 1 (
    call :fail "run as administrator: right-click run.cmd, Run as administrator"
    goto :summary
)
%REG% delete HKLM\SOFTWARE\TolvaneWinkitProbe /f >nul 2>&1
call :pass "runs as administrator"

for %%F in (tolvane.exe tolvane-check.exe unit_tests.exe contract_tests.exe) do (
    if not exist "%KIT%%%F" call :fail "kit holds %%F"
)
if not defined MSI call :fail "kit holds the package tolvane-X.Y.Z.msi"
if %FAILED% gtr 0 goto :summary

rem Leftovers of a run that was cut short go first; a service left marked
rem for deletion is named, and the run stops: every step would fail on it.
call :cleanup
for %%S in (%SCRATCH%) do (
    call :state %%S
    if not "!ST!"=="absent" call :expect_absent "start-up clean-up: no service %%S left" %%S
)
if %FAILED% gtr 0 goto :summary
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
for %%S in (%SCRATCH%) do (
    call :expect_absent "cleanup: no service %%S left" %%S
)

:summary
del /q "%SCQ%" >nul 2>&1
set "MSG=" & call :say
set "MSG=%SKIPPED% skipped, %TOLERATED% Wine differences tolerated" & call :say
set "MSG=%PASSED% passed, %FAILED% failed" & call :say
set "RC=0"
if %FAILED% gtr 0 set "RC=1"
rem exit without /b: the exit code of the command processor of its own,
rem which exit /b does not always set when a script ends.
if "%~1"=="/body" exit %RC%
exit /b %RC%

rem :ended: the steps, in a command processor of their own, ended with
rem BODY_RC: RC, the run's exit code. Their log ends with its summary, "N
rem passed, M failed", M 0 exactly when they exited 0, and 1 otherwise.
rem Otherwise they stopped before it (a parse error ends every batch
rem context at once): said so, with a summary counted from the log.
:ended
set "RC=1"
set "M="
for /f "usebackq tokens=1-4*" %%A in ("%LOG%") do (
    set "M="
    if "%%B %%D %%E"=="passed, failed " set "M=%%C"
)
if defined M (
    if "%BODY_RC%"=="0" if "%M%"=="0" set "RC=0" & exit /b 0
    if "%BODY_RC%"=="1" if not "%M%"=="0" exit /b 0
)
set /a P=0, F=1
for /f "usebackq tokens=1" %%W in ("%LOG%") do (
    if "%%W"=="PASS:" set /a P+=1
    if "%%W"=="FAIL:" set /a F+=1
)
for %%L in (
    ""
    "FAIL: the run stopped before its summary, exit code %BODY_RC%: the lines above show where"
    "%P% passed, %F% failed"
) do (
    echo.%%~L
    >>"%LOG%" echo.%%~L
)
exit /b 0

rem The path by a for variable: an "&" in it stays text.
:log_unwritable
for %%K in ("%LOG%") do echo FAIL: cannot write %%~K: unpack the kit into a folder of your own, such as C:\kit
echo 0 passed, 1 failed
if "%CLICKED%"=="1" pause
exit /b 1

rem Reached with delayed expansion still off, which would eat the "!".
:refuse_folder
for %%K in ("%KIT%") do >"%LOG%" echo FAIL: the kit's folder %%~K has a ! in its name, which cmd cannot pass on: move the kit to a folder without one
>>"%LOG%" echo 0 passed, 1 failed
type "%LOG%"
if "%CLICKED%"=="1" pause
exit /b 1

rem Not for users: "run.cmd /parsers WHAT:NAME ..." runs the parsers of what
rem sc, gtest, cmd, msiexec and the check print on text recorded in the
rem working folder, as on Windows, under Wine too (where the checks that use
rem them are tolerated before sc is asked): recovery:NAME and
rem privileges:NAME ask "sc qfailure NAME" and "sc qprivs NAME" of the
rem sc.cmd there; gtest:NAME reads gtest-NAME.txt as a run that exited 0;
rem clicked:NAME reads the command line in cmdline-NAME.txt; absent:SERVICE
rem is the absence check; state:NAME reads "sc query NAME"; stop:RC judges a
rem stop that printed nothing and exited RC, under Wine, as its reply lost;
rem msi:BUSY/RC runs the msiexec.cmd there, busy BUSY times, then exiting
rem RC, with no wait between; check:NAME/RC/RCJ judges the check's exit
rem codes RC and RCJ with the /json in check-NAME.json. Writes no log.
:parsers
set "WINE=0"
set "T=%CD%"
set "LOG=nul"
set SC=call "%T%\sc.cmd"
set MSIEXEC="%SYS%\cmd.exe" /d /c call "%T%\msiexec.cmd"
set "MSI_WAIT=0"
:again_parsers
shift
if "%~1"=="" goto :summary
for /f "tokens=1,* delims=:" %%A in ("%~1") do (
    if "%%A"=="recovery" call :check_recovery "%%B" %%B
    if "%%A"=="privileges" call :check_privileges "%%B" %%B
    if "%%A"=="gtest" (
        set "RC=0"
        call :gtest_verdict "%%B" "%T%\gtest-%%B.txt"
    )
    if "%%A"=="clicked" call :parse_clicked %%B
    if "%%A"=="absent" call :expect_absent "%%B" %%B
    if "%%A"=="state" call :parse_state %%B
    if "%%A"=="stop" call :parse_stop %%B
    if "%%A"=="msi" call :parse_msi %%B
    if "%%A"=="check" call :parse_check %%B
)
goto :again_parsers

:parse_state
call :state %~1
set "MSG=%~1: state %ST%" & call :say
exit /b 0

:parse_stop
set "WINE=1" & set "RC=%~1" & set "OUT=" & set "WANT=Service X Stopped.|" & set "LATE=" & set "LATE_RC=-6"
call :judge_stop "stop exit code %~1"
set "WINE=0"
exit /b 0

:parse_msi
for /f "tokens=1,2 delims=/" %%A in ("%~1") do (
    set "BUSY=%%A"
    set "MSI_LAST=%%B"
)
for /l %%I in (1,1,%BUSY%) do type nul >"%T%\msi-busy-%%I"
>"%T%\msi-last.txt" echo %MSI_LAST%
set MSIARGS=/x "%T%\tolvane-0.0.0.msi"
call :msi "msi %~1" msi-parsers.log
set "MSG=msi %~1: exit code %RC%" & call :say
for /l %%I in (1,1,%BUSY%) do del /q "%T%\msi-busy-%%I" >nul 2>&1
exit /b 0

:parse_check
for /f "tokens=1-3 delims=/" %%A in ("%~1") do (
    set "NAME=%%A"
    set "RC=%%B"
    set "RCJ=%%C"
)
call :judge_check "%T%\check-%NAME%.json"
exit /b 0

:parse_clicked
set "CLICKED_HERE=%CLICKED%"
for /f "usebackq delims=" %%L in ("%T%\cmdline-%~1.txt") do set "CL=%%L"
set "CL=%CL:"=%"
call :clicked
set "MSG=%~1: started by Explorer: %CLICKED%" & call :say
set "CLICKED=%CLICKED_HERE%"
exit /b 0

rem ===================================================================== steps

:fast_tests
call :step_header "fast tests (unit_tests.exe, over the simulated Windows)"
"%KIT%unit_tests.exe" --gtest_brief=1 >"%T%\unit.txt" 2>&1
set "RC=%errorlevel%"
call :log_file "%T%\unit.txt"
call :gtest_verdict "fast tests" "%T%\unit.txt"
exit /b 0

:contract_tests
call :step_header "contract tests (contract_tests.exe, against this Windows)"
set "CONTRACT_DIR_EXISTED=0"
if exist "%TEMP%\tolvane-contract" set "CONTRACT_DIR_EXISTED=1"
"%KIT%contract_tests.exe" >"%T%\contract.txt" 2>&1
set "RC=%errorlevel%"
call :log_file "%T%\contract.txt"
call :gtest_verdict "contract tests" "%T%\contract.txt"
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
call :check_recovery "/install" %SERVICE%
call :check_privileges "/install" %SERVICE%

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
call :expect_absent "first model uninstalled" %SERVICE%
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
    %PING% -n 2 127.0.0.1 >nul 2>&1
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
%REG% query "%SERVICES%\Tolvane_QM5520" >nul 2>&1
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
%REG% query "%REMEMBERED%" /reg:32 >nul 2>&1
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
set MSIARGS=/i "%MSI%" MODEL=%PKGMODEL% DISPLAYNAME="%PKGDISPLAY%" DESCRIPTION="%PKGDESCRIPTION%" BTHWID="VID_0B7C&PID_7B01" WIFIHWID="VEN_7E57&DEV_7A37"
call :msi "package install" msi-install.log
set "WANT=0" & call :check_eq "package install: exit code" WANT RC
rem Read as the removal's check reads it below: a query that fails for
rem another reason (view, access) cannot pass for properties gone.
call :reg_value "%REMEMBERED%" Model /reg:32
set "WANT=%PKGMODEL%" & call :check_eq "package install: properties remembered, the model among them" WANT VAL
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
call :check_recovery "package" %PKGSERVICE%
call :check_privileges "package" %PKGSERVICE%
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

set MSIARGS=/x "%MSI%"
call :msi "package removal" msi-remove.log
set "WANT=0" & call :check_eq "package removal: exit code" WANT RC
call :expect_absent "package removal: no service" %PKGSERVICE%
if exist "%PKGDIR%" (call :fail "package removal: %PKGDIR% gone") else (call :pass "package removal: %PKGDIR% gone")
%REG% query "%REMEMBERED%" /reg:32 >nul 2>&1
if errorlevel 1 (call :pass "package removal: remembered properties gone") else (call :fail "package removal: remembered properties gone")
call :package_upgrade
exit /b 0

rem :package_upgrade: this build upgraded to the next one (upgrade\), then
rem that one to a build of it whose service cannot start (failed\): the
rem installer must roll back to what was installed. Wine's installer has no
rollback: there the second half is tolerated, and what it left removed.
:package_upgrade
set "NEXTMSI=" & set "FAILMSI="
for /f "delims=" %%F in ('dir /b "%KIT%upgrade\tolvane-*.msi" 2^>nul') do set "NEXTMSI=%KIT%upgrade\%%F"
for /f "delims=" %%F in ('dir /b "%KIT%failed\tolvane-*.msi" 2^>nul') do set "FAILMSI=%KIT%failed\%%F"
if not defined NEXTMSI (
    call :fail "kit holds upgrade\tolvane-X.Y.Z.msi"
    exit /b 0
)
if not defined FAILMSI (
    call :fail "kit holds failed\tolvane-X.Y.Z.msi"
    exit /b 0
)
rem The next version, from the package's name: tolvane-X.Y.Z.msi.
for %%F in ("%NEXTMSI%") do set "NEXTVER=%%~nF"
set "NEXTVER=%NEXTVER:tolvane-=%"
rem Into a folder there before, owned by Users as one a user made would be:
rem the install makes Administrators its owner. (Wine keeps no owner of its
rem own: there the check names Wine's user, before and after.)
set "OWNDIR=%ROOT%\Owned by Users"
md "%OWNDIR%" >nul 2>&1
if "%WINE%"=="0" (
    %ICACLS% "%OWNDIR%" /setowner *S-1-5-32-545 >"%T%\icacls.txt" 2>&1
    if errorlevel 1 call :fail "a folder owned by Users: icacls /setowner" & call :log_file "%T%\icacls.txt"
)
copy /y "%KIT%tolvane-check.exe" "%OWNDIR%\tolvane-check.exe" >nul
call :write_settings "%OWNDIR%\tolvane.ini" %PKGMODEL%
call :folder_access
set "WANT=owned-by-others" & call :check_eq "a folder owned by Users: so the check says" WANT FACCESS
del /q "%OWNDIR%\tolvane-check.exe" "%OWNDIR%\tolvane.ini"
set MSIARGS=/i "%MSI%" MODEL=%PKGMODEL% DISPLAYNAME="%PKGDISPLAY%" INSTALLFOLDER="%OWNDIR%"
call :msi "previous build install" msi-previous.log
set "WANT=0" & call :check_eq "previous build install: exit code" WANT RC
call :folder_access
set "WANT=administrators-only"
if "%WINE%"=="1" call :tolerate "previous build install: Administrators own the folder" "wine-owner-not-kept: Wine makes its user the owner of every file"
if "%WINE%"=="0" call :check_eq "previous build install: Administrators own the folder, only they may change it" WANT FACCESS
set MSIARGS=/i "%NEXTMSI%"
call :msi "upgrade" msi-upgrade.log
set "WANT=0" & call :check_eq "upgrade: exit code" WANT RC
call :upgraded "upgrade"
set MSIARGS=/i "%FAILMSI%"
call :msi "failed upgrade" msi-failed-upgrade.log
set "WANT=1603"
if "%WINE%"=="1" if "%RC%"=="1627" set "WANT=1627"
if "%WANT%"=="1627" call :tolerate "failed upgrade: exit code 1627" "wine-no-rollback: Wine's installer ends a failed install with 1627"
if "%WANT%"=="1603" call :check_eq "failed upgrade: exit code" WANT RC
if "%WINE%"=="1" (
    call :tolerate "failed upgrade: the older version back" "wine-no-rollback: Wine's installer leaves a failed install where it stopped; what it left is removed"
    call :remove_service %PKGSERVICE%
    %REG% delete "%REMEMBERED%" /f /reg:32 >nul 2>&1
    set "GONE=%OWNDIR%" & set "HOW=rd" & call :until_gone
    exit /b 0
)
call :upgraded "failed upgrade, rolled back"
set MSIARGS=/x "%NEXTMSI%"
call :msi "upgraded package removal" msi-remove-upgraded.log
set "WANT=0" & call :check_eq "upgraded package removal: exit code" WANT RC
call :expect_absent "upgraded package removal: no service" %PKGSERVICE%
exit /b 0

rem :folder_access: FACCESS, the access the check in OWNDIR reports of its
rem folder (/json: the first "access" after "folder").
:folder_access
"%OWNDIR%\tolvane-check.exe" /json >"%T%\owned.json" 2>&1
call :log_file "%T%\owned.json"
set "FACCESS=" & set "INFOLDER=0"
for /f "usebackq tokens=1,2 delims=:, " %%A in ("%T%\owned.json") do (
    if "!INFOLDER!"=="1" if %%A=="access" (
        set "FACCESS=%%B"
        set "INFOLDER=2"
    )
    if %%A=="folder" set "INFOLDER=1"
)
rem Unquoted here: Wine's cmd drops a for variable's ~ in a chained command.
if defined FACCESS set "FACCESS=%FACCESS:"=%"
exit /b 0

rem :upgraded WHAT: one Tolvane registered, of version NEXTVER, its service
rem running with its recovery and its one privilege.
:upgraded
set /a NPRODUCTS=0
set "PRODKEY="
set "CUR="
for /f "tokens=1,2,*" %%A in ('call %REG% query "%UNINSTALL%" /s /v DisplayName /reg:32 2^>nul') do (
    if /i "%%A"=="DisplayName" (
        if "%%C"=="Tolvane" set /a NPRODUCTS+=1 & set "PRODKEY=!CUR!"
    ) else (
        set "CUR=%%A"
    )
)
set "WANT=1" & call :check_eq "%~1: one Tolvane registered" WANT NPRODUCTS
set "VAL="
if defined PRODKEY call :reg_value "%PRODKEY%" DisplayVersion /reg:32
set "WANT=%NEXTVER%" & call :check_eq "%~1: its version" WANT VAL
call :expect_state "%~1: service running" %PKGSERVICE% 4
call :check_recovery "%~1" %PKGSERVICE%
call :check_privileges "%~1" %PKGSERVICE%
exit /b 0

rem :package_recovery_command: the log holds the recovery's sc.exe command line
rem (find: Wine's findstr reported a match for a line the log lacks).
:package_recovery_command
type "%KIT%msi-install.log" | %FIND% "RecoveryCommand = " | %FIND% "sc.exe" | %FIND% " failure " | %FIND% "Tolvane_%PKGMODEL%" | %FIND% " reset= 86400 actions= restart/5000/restart/5000//0" >nul
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
set "MSG=  report: exit code %RC% (which one is not judged: the machine may have no started adapter)" & call :say
"%CHECKDIR%\tolvane-check.exe" /json >"%T%\check.json" 2>&1
set "RCJ=%errorlevel%"
call :log_file "%T%\check.json"
set "MSG=  /json: exit code %RCJ%" & call :say
call :judge_check "%T%\check.json"
exit /b 0

rem :judge_check JSON: of the report's exit code RC and /json's RCJ, whose
rem output is in JSON. Each must be one the check gives, 0 to 10 (a crash
rem gives another), /json must name its own, and the two must agree.
:judge_check
call :known_exit_code "check tool: report" RC
call :known_exit_code "check tool: /json" RCJ
set "JCODE="
for /f "usebackq tokens=1,2 delims=:, " %%A in ("%~1") do if not defined JCODE if %%A=="exitCode" set "JCODE=%%B"
call :check_eq "check tool: /json names its exit code" RCJ JCODE
call :check_eq "check tool: report and /json give the same exit code" RC RCJ
exit /b 0

rem :known_exit_code NAME VAR
:known_exit_code
set "KNOWN=0"
for /l %%C in (0,1,10) do if "!%~2!"=="%%C" set "KNOWN=1"
if "%KNOWN%"=="1" (
    call :pass "%~1: exit code !%~2!, one the check gives"
) else (
    call :fail "%~1: exit code !%~2!, none the check gives: a crash, or cut short"
)
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
rem decides then. Once a run: a stop whose reply is always lost is a stop
rem that fails.
:expect_stop
call :run_exe
call :judge_stop "%~1"
exit /b 0

rem :judge_stop NAME: of the stop in RC and OUT (see :expect_stop).
:judge_stop
call :same OUT WANT
if "%RC%"=="1" if "%SAME%"=="1" (
    call :pass "%~1: exit code and output"
    exit /b 0
)
call :same OUT LATE
set "LOST=0"
if "%WINE%"=="1" if "%RC%"=="%LATE_RC%" if "%SAME%"=="1" set /a LOST=1, STOPS_LOST+=1
if "%LOST%"=="1" if %STOPS_LOST% leq 1 (
    call :tolerate "%~1" "wine-stop-reply-lost: the stop's reply was lost, judged by the state reached"
    exit /b 0
)
if "%LOST%"=="1" (
    call :fail "%~1: the reply to a stop lost %STOPS_LOST% times in one run, where Wine loses one now and then"
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
for /f "tokens=1,2,*" %%M in ('call %REG% query "%~1" /v "%~2" %~3 2^>nul') do if /i "%%M"=="%~2" set "VAL=%%O"
exit /b 0

rem :expect_value NAME VALUE WANTVAR, of the key in KEY
:expect_value
call :reg_value "%KEY%" %~2
call :check_eq "%~1" %~3 VAL
exit /b 0

rem :state SERVICE: ST, its state number (4 running, 1 stopped), absent, or
rem what sc answered otherwise ("sc exit code N"). Read from the line whose
rem value is a number and a state's name: the label before the colon is
rem translated, the state's name is not. (A for /f inside another splits
rem nothing under Wine: a call does the second split.) Absent is what the
rem manager says, error 1060: sc's exit code, or its line "[SC] ... 1060:"
rem (Wine's cmd gives a called script's exit code as 1). Wine's sc says
rem nothing and exits with 1 instead, so under Wine that counts when no
rem key of the service is left either.
:state
set "ST="
%SC% query %~1 >"%SCQ%" 2>&1
set "SCRC=%errorlevel%"
if "%SCRC%"=="0" for /f "usebackq tokens=1,* delims=:" %%A in ("%SCQ%") do call :state_of "%%B"
if "%SCRC%"=="1060" set "ST=absent"
if not "%SCRC%"=="0" for /f "usebackq tokens=1,*" %%A in ("%SCQ%") do call :sc_1060 "%%A" "%%B"
if "%WINE%%SCRC%"=="11" call :wine_absent %~1
if not defined ST set "ST=sc exit code %SCRC%"
exit /b 0

rem :sc_1060 FIRST REST: ST=absent for sc's line "[SC] ... 1060:", whose
rem words are translated ("FEHLER 1060:"), and a French one spaced before
rem its colon ("ECHEC 1060 :"): 1060 as a word of its own.
:sc_1060
set "L= %~2 "
set "L=%L::= %"
if "%~1"=="[SC]" if not "%L: 1060 =%"=="%L%" set "ST=absent"
exit /b 0

rem :wine_absent SERVICE: ST=absent when Wine's sc printed nothing and the
rem service has no key.
:wine_absent
for %%F in ("%SCQ%") do if not "%%~zF"=="0" exit /b 0
%REG% query "%SERVICES%\%~1" >nul 2>&1
if errorlevel 1 set "ST=absent"
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
%PING% -n 2 127.0.0.1 >nul 2>&1
set /a WAITED+=1
goto :again_wait_state

:expect_state
call :wait_state %~2 %~3
set "WANT_ST=%~3"
call :check_eq "%~1" WANT_ST ST
exit /b 0

rem :expect_absent NAME SERVICE: no such service, and no key of it. A service
rem deleted while a program holds a handle to it (an open Services console
rem does) is only marked for deletion, DeleteFlag 1 in its key, and stays
rem until the last handle is closed: that is named, with the way out.
:expect_absent
call :wait_state %~2 absent
%REG% query "%SERVICES%\%~2" >nul 2>&1
if not errorlevel 1 if "%ST%"=="absent" set "ST=key left"
if "%ST%"=="absent" (
    call :pass "%~1"
    exit /b 0
)
call :reg_value "%SERVICES%\%~2" DeleteFlag
if "%VAL%"=="0x1" (
    call :fail "%~1: %~2 is only marked for deletion, DeleteFlag 1: a program holds it open. Close the Services console services.msc, or whatever holds it, or restart Windows; then run the kit again"
    exit /b 0
)
set "WANT_ST=absent"
call :check_eq "%~1" WANT_ST ST
exit /b 0

rem :check_recovery NAME SERVICE: restart after 5 s on the first and second
rem failure, nothing after the third, the count reset after a day. sc
rem translates the labels and the actions' names (a Chinese Windows prints
rem "RESTART -- Delay = 5000 milliseconds." with the action, "Delay" and
rem the unit in Chinese), not the " -- " between an action and its delay,
rem nor the "=" and the number after it: an action is a line holding " -- "
rem and a "=", and is read by those. The three delays, in order, must be
rem 5000 5000 0; the first two actions the same and the third another,
rem compared as what stands between the last ":" and the "=", spaces
rem dropped. Callable for any service the kit installs.
:check_recovery
if "%WINE%"=="1" (
    call :tolerate "%~1: recovery actions" "wine-failure-actions-not-kept: Wine's service manager accepts them and keeps nothing"
    exit /b 0
)
%SC% qfailure %~2 >"%T%\qfailure.txt" 2>&1
call :log_file "%T%\qfailure.txt"
set "RESET=" & set "DELAYS=" & set /a ACTIONS=0
set "ACTION1=" & set "ACTION2=" & set "ACTION3="
for /f "usebackq delims=" %%L in ("%T%\qfailure.txt") do call :recovery_line "%%L"
set "WANT=86400" & call :check_eq "%~1: failure count reset after a day" WANT RESET
set "WANT=5000 5000 0"
call :check_eq "%~1: recovery: three actions, their delays in ms" WANT DELAYS
if not "%ACTIONS%"=="3" exit /b 0
set "ALIKE=no"
if "%ACTION1%"=="%ACTION2%" if not "%ACTION2%"=="%ACTION3%" set "ALIKE=yes"
if "%ALIKE%"=="yes" (
    call :pass "%~1: recovery: restart twice, then another action"
) else (
    call :fail "%~1: recovery: restart twice, then another action: got %ACTION1%, %ACTION2%, %ACTION3%"
)
exit /b 0

rem :recovery_line LINE: of sc qfailure's output; RESET from the reset
rem period's line, DELAYS and ACTIONn from an action's.
:recovery_line
set "L=%~1"
if not defined L exit /b 0
if not "%L::=%"=="%L%" call :bare_number
if "%L: -- =%"=="%L%" exit /b 0
set "HEAD=" & set "TAIL="
for /f "tokens=1,* delims==" %%A in ("%L%") do (
    set "HEAD=%%A"
    set "TAIL=%%B"
)
if not defined TAIL exit /b 0
set "DELAY="
for /f "tokens=1" %%D in ("%TAIL%") do set "DELAY=%%D"
:again_recovery_line
if not "%HEAD::=%"=="%HEAD%" (
    set "HEAD=%HEAD:*:=%"
    goto :again_recovery_line
)
set /a ACTIONS+=1
if defined DELAYS (set "DELAYS=%DELAYS% %DELAY%") else (set "DELAYS=%DELAY%")
set "ACTION%ACTIONS%=%HEAD: =%"
exit /b 0

rem :bare_number: of the line in L, a value after its label's ":" that is
rem a bare number is added to RESET: only the reset period's line has one,
rem whatever the language of its label.
:bare_number
set "V=%L:*:=%"
set "N1=" & set "N2="
for /f "tokens=1,*" %%V in ("%V%") do (
    set "N1=%%V"
    set "N2=%%W"
)
if not defined N1 exit /b 0
if defined N2 exit /b 0
for /f "delims=0123456789" %%D in ("%N1%") do exit /b 0
if defined RESET (set "RESET=%RESET% %N1%") else (set "RESET=%N1%")
exit /b 0

rem :check_privileges NAME SERVICE: the service asks for one privilege,
rem SeChangeNotifyPrivilege. sc qprivs prints one privilege's name to a
rem line, its last word; names of privileges are never translated.
:check_privileges
if "%WINE%"=="1" (
    call :tolerate "%~1: required privileges" "wine-no-sc-qprivs: Wine's sc has no qprivs"
    exit /b 0
)
%SC% qprivs %~2 >"%T%\qprivs.txt" 2>&1
call :log_file "%T%\qprivs.txt"
set "PRIVS="
for /f "usebackq delims=" %%L in ("%T%\qprivs.txt") do call :privilege_line "%%L"
set "WANT=SeChangeNotifyPrivilege"
call :check_eq "%~1: required privileges: SeChangeNotifyPrivilege alone" WANT PRIVS
exit /b 0

rem :privilege_line LINE: its last word added to PRIVS when it names a
rem privilege (Se...Privilege).
:privilege_line
set "L=%~1"
set "WORD="
:again_privilege_line
if not defined L goto :word_privilege_line
set "REST_L="
for /f "tokens=1,*" %%A in ("%L%") do (
    set "WORD=%%A"
    set "REST_L=%%B"
)
set "L=%REST_L%"
goto :again_privilege_line
:word_privilege_line
if not defined WORD exit /b 0
if not "%WORD:~0,2%"=="Se" exit /b 0
if not "%WORD:~-9%"=="Privilege" exit /b 0
if defined PRIVS (set "PRIVS=%PRIVS% %WORD%") else (set "PRIVS=%WORD%")
exit /b 0

rem :gtest_verdict NAME FILE: a gtest run, its exit code in RC and what it
rem printed in FILE, passes only when it exited 0 and printed gtest's own
rem summary: "[==========] N tests from M test suites ran." with N above 0,
rem "[  PASSED  ] P tests." and, when some skipped, "[  SKIPPED ] S tests,
rem listed below:", P and S making N; and no line starts "[  FAILED  ]". A
rem run that crashed or was cut short prints no summary, whatever its exit
rem code. Lines are picked with find: Wine's findstr prints nothing and
rem exits 0 whatever it is asked.
:gtest_verdict
set "RAN=" & set "GPASSED=" & set "GSKIPPED=0" & set /a GFAILED=0
for /f "tokens=1-8" %%A in ('call %FIND% "[==========] " ^<"%~2"') do if "%%H"=="ran." set "RAN=%%B"
for /f "tokens=1-5" %%A in ('call %FIND% "[  PASSED  ] " ^<"%~2"') do if "%%A%%B%%C"=="[PASSED]" set "GPASSED=%%D"
for /f "tokens=1-5" %%A in ('call %FIND% "[  SKIPPED ] " ^<"%~2"') do (
    if "%%E"=="test," set "GSKIPPED=%%D"
    if "%%E"=="tests," set "GSKIPPED=%%D"
)
for /f "tokens=1,2" %%A in ('call %FIND% "[  FAILED  ]" ^<"%~2"') do if "%%A%%B"=="[FAILED" set /a GFAILED+=1
set "WHY="
if not "%RC%"=="0" call :add_why "exit code %RC%"
if not defined RAN call :add_why "no summary of gtest, the run stopped before its end"
if "%RAN%"=="0" call :add_why "no test ran"
set /a SUM=GPASSED+GSKIPPED
if defined RAN if not "%SUM%"=="%RAN%" call :add_why "%RAN% ran, %GPASSED% passed, %GSKIPPED% skipped"
if not "%GFAILED%"=="0" call :add_why "%GFAILED% lines [  FAILED  ]"
if defined WHY (
    call :fail "%~1: %WHY%"
) else (
    call :pass "%~1: %RAN% ran, %GPASSED% passed, %GSKIPPED% skipped"
)
exit /b 0

:add_why
if defined WHY (set "WHY=%WHY%; %~1") else (set "WHY=%~1")
exit /b 0

rem :clicked: CLICKED=1 when Explorer started this script, from CL, cmd's
rem command line without its quotes: a double-click runs cmd /c ""SCRIPT" ",
rem "Run as administrator" cmd /C "SCRIPT", so what follows /c is this
rem script's path alone. From a prompt cmd has no /c; a runner's step or
rem another script has /c and then a "call" or its own path. (Wine's cmd
rem sets no cmdcmdline: never 1 there.)
:clicked
set "CLICKED=0"
set "SWITCH=" & set "REST="
for /f "tokens=1,2,*" %%A in ("%CL%") do (
    set "SWITCH=%%B"
    set "REST=%%C"
)
:again_clicked
if not defined REST exit /b 0
if "%REST:~-1%"==" " (
    set "REST=%REST:~0,-1%"
    goto :again_clicked
)
if /i "%SWITCH%"=="/c" if /i "%REST%"=="%SELF%" set "CLICKED=1"
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
for %%S in (%SCRATCH%) do (
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
if exist "%GONE%" %PING% -n 2 127.0.0.1 >nul 2>&1
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
for /f "tokens=1,2,*" %%A in ('call %REG% query "%UNINSTALL%" /s /v DisplayName /reg:32 2^>nul') do (
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
set MSIARGS=/x "%PRODUCT%"
call :msi "cleanup: package removal" msi-cleanup.log
%REG% query "%REMEMBERED%" /reg:32 >nul 2>&1
if not errorlevel 1 call :fail "cleanup: the package an earlier run left installed removed (exit code %RC%, see msi-cleanup.log)"
exit /b 0

rem :msi WHAT LOG: the installer run with MSIARGS, quiet, its verbose log
rem LOG beside this one; RC its exit code. Always /norestart: without it
rem the installer restarts the machine itself when it decides it must. A
rem busy installer (1618) is asked again, each wait in the log; no other
rem code is.
:msi
set /a MSI_TRY=0
:again_msi
%MSIEXEC% %MSIARGS% /qn /norestart /l*v "%KIT%%~2"
set "RC=%errorlevel%"
if "%RC%"=="1618" if %MSI_TRY% lss %MSI_TRIES% (
    set /a MSI_TRY+=1, PINGS=MSI_WAIT+1
    set "MSG=  %~1: the installer is busy with another installation (1618): asked again in %MSI_WAIT% s, !MSI_TRY! of %MSI_TRIES%" & call :say
    %PING% -n !PINGS! 127.0.0.1 >nul 2>&1
    goto :again_msi
)
call :msi_result "%~1"
exit /b 0

rem :msi_result WHAT: the installer's exit code RC, named in the log when it
rem is one a reader must know.
:msi_result
set "NAMED="
if "%RC%"=="3010" set "NAMED=3010, a restart is needed to finish (none made: /norestart)"
if "%RC%"=="1641" set "NAMED=1641, the installer started a restart"
if "%RC%"=="1603" set "NAMED=1603, a fatal error: see the installer's log beside this one"
if "%RC%"=="1618" set "NAMED=1618, another installation is still in progress after %MSI_TRIES% waits"
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
%SC% stop %~1 >nul 2>&1
call :wait_state %~1 1
%SC% delete %~1 >nul 2>&1
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
