# The Windows CI's detection step: the detection scripts on the rows that
# ctest's detection_rows writes, on Windows itself. Each row's product is
# copied to C:\Program Files\Norvane, then detect.ps1 runs under Windows
# PowerShell 5.1 and PowerShell 7 and detect.js under cscript, a process a
# run as Configuration Manager runs them. Every run must give the tool's
# verdict: "migrated" alone or nothing, nothing on standard error, exit
# code 0. A product already there is put back afterwards. Runs under
# Windows PowerShell 5.1.
param([Parameter(Mandatory = $true)][string]$Rows, [Parameter(Mandatory = $true)][string]$Deploy)
$ErrorActionPreference = 'Stop'
$place = 'C:\Program Files\Norvane'
$kept = "$place.kept-by-the-detection-columns"
$system = Join-Path $env:SystemRoot 'System32'
$ps = "-NoProfile -NonInteractive -ExecutionPolicy Bypass -File `"$(Join-Path $Deploy 'detect.ps1')`""
$columns = [ordered]@{
  'powershell.exe' = @((Join-Path $system 'WindowsPowerShell\v1.0\powershell.exe'), $ps)
  'pwsh'           = @((Get-Command pwsh.exe).Source, $ps)
  'cscript'        = @((Join-Path $system 'cscript.exe'), "//nologo `"$(Join-Path $Deploy 'detect.js')`"")
}

function Verdict([string]$program, [string]$arguments) {
  $start = New-Object System.Diagnostics.ProcessStartInfo $program, $arguments
  $start.UseShellExecute = $false
  $start.RedirectStandardOutput = $true
  $start.RedirectStandardError = $true
  $process = [System.Diagnostics.Process]::Start($start)
  $errors = $process.StandardError.ReadToEndAsync()
  $out = $process.StandardOutput.ReadToEnd()
  if (-not $process.WaitForExit(60000)) { $process.Kill(); return 'no end in 60 s' }
  $said = $out.Replace("`r", '').TrimEnd("`n")
  if ($process.ExitCode -eq 0 -and $errors.Result.Length -eq 0 -and ($said -ceq '' -or $said -ceq 'migrated')) {
    if ($said -ceq '') { return '-' } else { return $said }
  }
  return "exit:$($process.ExitCode) said:$($said.Replace("`n", '|')) error:$($errors.Result.Replace("`r", '').Replace("`n", '|'))"
}

if (Test-Path -LiteralPath $place) { Move-Item -LiteralPath $place $kept }
$wrong = 0
try {
  foreach ($column in $columns.Keys) {
    $began = Get-Date
    $lines = [System.IO.File]::ReadAllLines((Join-Path $Rows 'verdicts.txt'))
    foreach ($line in $lines) {
      $name, $expected = $line.Split(' ')
      if (Test-Path -LiteralPath $place) { Remove-Item -LiteralPath $place -Recurse -Force }
      Copy-Item -LiteralPath (Join-Path $Rows "$name\Program Files\Norvane") -Destination $place -Recurse
      $got = Verdict $columns[$column][0] $columns[$column][1]
      if (-not [string]::Equals($got, $expected, [System.StringComparison]::Ordinal)) {
        Write-Output "$column disagrees with the tool on $name`: the tool $expected, $column $got"
        $wrong++
      }
    }
    Write-Output ("{0}: {1} rows in {2:N1} s" -f $column, $lines.Count, ((Get-Date) - $began).TotalSeconds)
  }
} finally {
  if (Test-Path -LiteralPath $place) { Remove-Item -LiteralPath $place -Recurse -Force }
  if (Test-Path -LiteralPath $kept) { Move-Item -LiteralPath $kept $place }
}
if ($wrong -ne 0) { exit 1 }
Write-Output 'detection on Windows: the tool, detect.ps1 under both PowerShells and detect.js agree on each row'
