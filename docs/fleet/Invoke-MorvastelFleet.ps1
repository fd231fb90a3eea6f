<#
.SYNOPSIS
  Morvastel 机群控制：用 PowerShell 远程在多台机器上执行 morvastelctl。
  Runs morvastelctl on many machines at once with PowerShell remoting and
  prints one line per machine.

.EXAMPLE
  .\Invoke-MorvastelFleet.ps1 -ComputerName gs01,gs02,gs03
  .\Invoke-MorvastelFleet.ps1 -ComputerName (Get-Content servers.txt) -Action start -Plan 全部服务
  .\Invoke-MorvastelFleet.ps1 -ComputerName gs01,gs02 -Action stop

.NOTES
  The account used for remoting must be the user Morvastel runs as, or a
  member of Administrators. Exit codes of morvastelctl: 0 done, 1 refused,
  2 usage error or no such plan, 3 no launcher answers on the port.
#>
param(
    [Parameter(Mandatory = $true)][string[]]$ComputerName,
    [ValidateSet('status', 'start', 'stop')][string]$Action = 'status',
    [string]$Plan,
    [int]$Port = 22225,
    [string]$Ctl = 'C:\Morvastel\morvastelctl.exe'
)

if ($Action -eq 'start' -and -not $Plan) { throw 'start needs -Plan' }

$results = Invoke-Command -ComputerName $ComputerName -ArgumentList $Ctl, $Action, $Plan, $Port -ScriptBlock {
    param($Ctl, $Action, $Plan, $Port)
    # morvastelctl writes UTF-8 when its output is redirected.
    try { [Console]::OutputEncoding = [Text.Encoding]::UTF8 } catch { }
    $arguments = @($Action)
    if ($Action -eq 'start') { $arguments += $Plan }
    $arguments += @('/p', $Port)
    $output = & $Ctl @arguments 2>&1
    [pscustomobject]@{
        Code   = $LASTEXITCODE
        Stdout = ($output | Where-Object { $_ -isnot [Management.Automation.ErrorRecord] }) -join "`n"
        Stderr = ($output | Where-Object { $_ -is [Management.Automation.ErrorRecord] }) -join "`n"
    }
}

foreach ($r in $results) {
    $machine = $r.PSComputerName
    if ($r.Code -ne 0) {
        Write-Warning ('{0}: exit {1}: {2}' -f $machine, $r.Code, $r.Stderr)
        continue
    }
    $answer = $r.Stdout | ConvertFrom-Json
    switch ($Action) {
        'status' {
            $running = @($answer.plans | Where-Object { $_.running })
            if ($running.Count -eq 0) { '{0}: no plan runs' -f $machine; continue }
            $down = @($running[0].programs | Where-Object { $_.ticked -and $_.state -ne 'running' })
            '{0}: {1} runs, {2} program(s), {3} not running' -f $machine, $running[0].name,
                $running[0].programs.Count, $down.Count
        }
        default {
            if ($answer.changed) { '{0}: {1} {2}' -f $machine, $Action, $answer.plan }
            else { '{0}: nothing to {1}' -f $machine, $Action }
        }
    }
}
