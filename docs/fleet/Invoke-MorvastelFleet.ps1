<#
.SYNOPSIS
  Morvastel 机群控制：用 PowerShell 远程（Invoke-Command）在多台机器上执行 morvastelctl，每台机器打印一行。
  Runs morvastelctl on many machines at once with PowerShell remoting and
  prints one line per machine. Exits with 0 when every machine did what was
  asked, 1 when any did not or could not be reached.

.DESCRIPTION
  -Action
    status    the running plan, its ticked programs that do not run, the servers still saving
    start     start -Plan, waiting up to -Wait seconds until it supervises and every ticked program runs
    stop      stop the running plan, waiting up to -Wait seconds until every one of its processes has
              ended, the servers left to save included
    restart   stop with the window's notice box, wait for every end, start -Plan (by default the plan
              that ran): -Wait seconds bound the whole restart, its waits together
    check     one monitoring line per machine (OK, WARNING, CRITICAL, UNKNOWN); with -Rounds, the machines
              not yet OK are asked again every -Every seconds until all are OK or the rounds are used up
    relaunch  close the launcher (its programs run on), start its scheduled task -Task again and wait up
              to -Wait seconds until the new one, having taken the programs over, says OK (guide, section
              12). With -NewList, that list (a file here) is first written beside -ListPath on each
              machine and checked there with listcheck (-Listcheck, by default beside -Ctl): only a list
              it passes replaces the old one, and a machine whose check fails (1: warnings, unless
              -AcceptListWarnings; 2: not read) keeps its old list and its launcher untouched
    reboot    stop and wait up to -Wait seconds; only a machine where every process of the plan has ended
              is then restarted (in 30 s)

.EXAMPLE
  powershell -ExecutionPolicy Bypass -File .\Invoke-MorvastelFleet.ps1 -ComputerName gs01,gs02,gs03
.EXAMPLE
  .\Invoke-MorvastelFleet.ps1 -ComputerName (Get-Content servers.txt) -Action start -Plan 全部服务
.EXAMPLE
  .\Invoke-MorvastelFleet.ps1 -ComputerName (Get-Content servers.txt) -Action check -Every 10 -Rounds 30
.EXAMPLE
  .\Invoke-MorvastelFleet.ps1 -ComputerName gs01,gs02 -Action reboot -Wait 600
.EXAMPLE
  .\Invoke-MorvastelFleet.ps1 -ComputerName gs01,gs02 -Action relaunch -NewList .\lists\一区.list

.NOTES
  Windows PowerShell 5.1, here and on every machine (Enable-PSRemoting). The
  default execution policy does not run a script file: start it with
  powershell -ExecutionPolicy Bypass -File, or Unblock-File it once (a copy
  downloaded or taken from a downloaded zip is blocked under RemoteSigned).
  Saved as UTF-8 with a byte-order mark, which Windows PowerShell needs to
  read the Chinese in it: keep it so when editing.

  The account used for remoting must be the user Morvastel runs as (for a
  Morvastel run as administrator: any member of Administrators, whose remote
  sessions are elevated).

  morvastelctl's exit codes: 0 done; 1 refused; 2 usage error, no such plan
  or row; 3 no launcher answers on the port; 4 internal; 5 the wait ran out
  (the action itself was taken); 6 no reply, the outcome is unknown; 7 the
  pipe's server is not a launcher to trust; 8 access denied. Its error line
  starts with a token (E_REFUSED, E_TIMEOUT, ...). check answers as a
  monitoring plug-in: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true)][string[]]$ComputerName,
    [ValidateSet('status', 'start', 'stop', 'restart', 'check', 'relaunch', 'reboot')][string]$Action = 'status',
    [string]$Plan = '',
    [ValidateRange(1, 86400)][int]$Wait = 120,
    [ValidateRange(1, 100000)][int]$Rounds = 1,
    [ValidateRange(1, 3600)][int]$Every = 10,
    [ValidateRange(0, 65535)][int]$Port = 22225,
    [string]$Ctl = 'D:\Morvastel\morvastelctl.exe',
    [string]$Task = 'Morvastel',
    [string]$NewList = '',
    [string]$ListPath = 'D:\Lists\一区.list',
    [string]$Listcheck = '',
    [switch]$AcceptListWarnings,
    [pscredential]$Credential
)

$ErrorActionPreference = 'Stop'
if ($Action -eq 'start' -and -not $Plan) { throw 'start needs -Plan' }
if ($NewList -and $Action -ne 'relaunch') { throw '-NewList goes with -Action relaunch' }
if (-not $Listcheck) { $Listcheck = Join-Path (Split-Path -Parent $Ctl) 'listcheck.exe' }
# The new list's bytes, as they are: a launch list is GBK, not text to convert.
$listBytes = if ($NewList) { [System.IO.File]::ReadAllBytes((Resolve-Path -LiteralPath $NewList).Path) } else { $null }

# What runs on each machine. It hands back one object: the step that gave the
# answer, its exit code, its standard output and its standard error.
$onMachine = {
    param($Ctl, $Port, $Action, $Plan, $Wait, $Task, $ListBytes, $ListPath, $Listcheck, $AcceptListWarnings)
    $ErrorActionPreference = 'Stop'

    # One word of a command line, quoted as the C runtime (and morvastelctl)
    # splits it: a plan name may hold blanks or quotes.
    function ConvertTo-CommandLineWord([string]$Word) {
        if ($Word -ne '' -and $Word -notmatch '[\s"]') { return $Word }
        $quoted = [regex]::Replace($Word, '(\\*)"', '$1$1\"')
        '"' + [regex]::Replace($quoted, '(\\+)$', '$1$1') + '"'
    }

    # Runs a program to its end. A remote session has no console, so
    # [Console]::OutputEncoding cannot be set there; the program's output is
    # read through pipes of our own, decoded as UTF-8, which is what
    # morvastelctl writes to a pipe (its JSON and check's line are ASCII; the
    # reasons on its error lines are Chinese). listcheck's report to a pipe
    # is GBK: its caller gives that encoding.
    function Invoke-Program([string]$File, [string]$Step, [string[]]$Words, [System.Text.Encoding]$Encoding) {
        $info = New-Object System.Diagnostics.ProcessStartInfo
        $info.FileName = $File
        $info.Arguments = @($Words | ForEach-Object { ConvertTo-CommandLineWord $_ }) -join ' '
        $info.UseShellExecute = $false
        $info.CreateNoWindow = $true
        $info.RedirectStandardOutput = $true
        $info.RedirectStandardError = $true
        if (-not $Encoding) { $Encoding = New-Object System.Text.UTF8Encoding -ArgumentList $false }
        $info.StandardOutputEncoding = $Encoding
        $info.StandardErrorEncoding = $Encoding
        try {
            $process = [System.Diagnostics.Process]::Start($info)
        } catch {
            return [pscustomobject]@{ Step = $Step; Code = -1; Out = ''; Err = "cannot start ${File}: $($_.Exception.Message)" }
        }
        # Standard error is read alongside: a full pipe nobody reads would stall the program.
        $errorText = $process.StandardError.ReadToEndAsync()
        $outText = $process.StandardOutput.ReadToEnd()
        $process.WaitForExit()
        [pscustomobject]@{ Step = $Step; Code = $process.ExitCode; Out = $outText.Trim(); Err = $errorText.Result.Trim() }
    }

    function Invoke-Ctl([string[]]$Words) { Invoke-Program $Ctl $Words[0] ($Words + @('/p', "$Port")) }

    $waitWords = @('--wait', "$Wait")
    $planWords = @($Plan | Where-Object { $_ })
    switch ($Action) {
        'status' { Invoke-Ctl @('status') }
        'start' { Invoke-Ctl (@('start', $Plan) + $waitWords) }
        'stop' { Invoke-Ctl (@('stop') + $waitWords) }
        'restart' { Invoke-Ctl (@('restart') + $planWords + $waitWords) }
        'check' { Invoke-Ctl (@('check') + $planWords) }
        'relaunch' {
            if ($ListBytes) {
                # Checked where and as the launcher will read it, before it replaces anything.
                $staged = "$ListPath.new"
                [System.IO.File]::WriteAllBytes($staged, [byte[]]$ListBytes)
                $checked = Invoke-Program $Listcheck 'listcheck' @($staged) ([System.Text.Encoding]::GetEncoding(936))
                # 0: no warning; 1: warnings, which the report names; 2: not read.
                if ($checked.Code -ne 0 -and -not ($checked.Code -eq 1 -and $AcceptListWarnings)) { return $checked }
                Move-Item -LiteralPath $staged -Destination $ListPath -Force
            }
            # Closes as Esc closes it: the programs run on for the next launcher.
            $quit = Invoke-Ctl @('quit', '--wait', '30')
            # 3: none answers, it has gone already. Anything else: the old one may
            # still run, and its scheduled task would not start a second one.
            if ($quit.Code -ne 0 -and $quit.Code -ne 3) { return $quit }
            $run = Invoke-Program "$env:SystemRoot\System32\schtasks.exe" 'schtasks' @('/run', '/tn', $Task)
            if ($run.Code -ne 0) { return $run }
            # The new launcher serves its pipe a moment after it starts, and takes
            # the programs over as its plan starts: ask until it says OK.
            $deadline = (Get-Date).AddSeconds($Wait)
            do {
                Start-Sleep -Seconds 2
                $check = Invoke-Ctl (@('check') + $planWords)
            } while ($check.Code -ne 0 -and (Get-Date) -lt $deadline)
            $check
        }
        'reboot' {
            $stop = Invoke-Ctl (@('stop') + $waitWords)
            # 5: a process of the plan (a server still saving) has not ended: no restart here.
            if ($stop.Code -ne 0) { return $stop }
            Invoke-Program "$env:SystemRoot\System32\shutdown.exe" 'shutdown' `
                @('/r', '/t', '30', '/d', 'p:0:0', '/c', 'Morvastel: the plan has stopped and every program has ended')
        }
    }
}

# One line for a machine's answer, and whether it did what was asked.
function Read-Answer($Answer) {
    $name = $Answer.PSComputerName
    if ($Answer.Code -ne 0) {
        # check says why on standard output; every other failure on standard
        # error, after its token (E_REFUSED, E_TIMEOUT, ...).
        $why = @($Answer.Err, $Answer.Out | Where-Object { $_ })[0]
        return [pscustomobject]@{ Done = $false; Line = '{0}: {1} exit {2}: {3}' -f $name, $Answer.Step, $Answer.Code, $why }
    }
    $line = switch ($Action) {
        'status' {
            $status = $Answer.Out | ConvertFrom-Json
            $running = @($status.plans | Where-Object { $_.running })
            if ($running.Count -eq 0) {
                'no plan runs'
            } else {
                $ticked = @($running[0].programs | Where-Object { $_.ticked })
                $down = @($ticked | Where-Object { $_.state -ne 'running' })
                $text = '{0} runs{1}, {2}/{3} ticked programs running' -f $running[0].name,
                    $(if ($running[0].supervising) { ' and supervises' } else { '' }), ($ticked.Count - $down.Count), $ticked.Count
                foreach ($p in $down) { $text += '; row {0} {1} (last exit {2})' -f $p.row, $p.state, $p.last_exit_code_hex }
                $text
            }
            foreach ($s in @($status.spared | Where-Object { $_ })) { '; spared: {0} row {1} {2} pid {3}' -f $s.plan, $s.row, $s.program, $s.pid }
        }
        'reboot' { 'stopped, every process ended; restarting in 30 s' }
        { $_ -in 'check', 'relaunch' } { $Answer.Out }
        default {
            $said = if ($Answer.Out) { $Answer.Out | ConvertFrom-Json } else { $null }
            if ($said -and $said.PSObject.Properties['changed'] -and -not $said.changed) { 'nothing to do' }
            elseif ($said -and $said.PSObject.Properties['plan']) { '{0} {1}: done' -f $Action, $said.plan }
            else { '{0}: done' -f $Action }
        }
    }
    [pscustomobject]@{ Done = $true; Line = '{0}: {1}' -f $name, (@($line) -join '') }
}

$invoke = @{
    ScriptBlock  = $onMachine
    ArgumentList = @($Ctl, $Port, $Action, $Plan, $Wait, $Task, $listBytes, $ListPath, $Listcheck, [bool]$AcceptListWarnings)
    # A machine that cannot be reached is reported, and the others go on.
    ErrorAction  = 'Continue'
}
if ($Credential) { $invoke.Credential = $Credential }

$pending = @($ComputerName)
for ($round = 1; ; $round++) {
    $answers = @(Invoke-Command -ComputerName $pending @invoke)
    $done = @()
    foreach ($answer in $answers) {
        $read = Read-Answer $answer
        if ($read.Done) { $read.Line; $done += $answer.PSComputerName } else { Write-Warning $read.Line }
    }
    $answered = @($answers | ForEach-Object { $_.PSComputerName })
    foreach ($name in $pending) {
        if ($answered -notcontains $name) { Write-Warning "${name}: no answer (the error above says why)" }
    }
    $pending = @($pending | Where-Object { $done -notcontains $_ })
    if ($Action -ne 'check' -or $pending.Count -eq 0 -or $round -ge $Rounds) { break }
    Start-Sleep -Seconds $Every
}

if ($pending.Count -gt 0) {
    Write-Warning ('{0} of {1} machine(s) not done: {2}' -f $pending.Count, $ComputerName.Count, ($pending -join ', '))
    exit 1
}
exit 0
