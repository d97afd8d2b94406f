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
  # Both streams read beside the wait, so that the wait's bound holds.
  $out = $process.StandardOutput.ReadToEndAsync()
  $errors = $process.StandardError.ReadToEndAsync()
  if (-not $process.WaitForExit(60000)) { $process.Kill(); return 'no end in 60 s' }
  $said = $out.Result.Replace("`r", '').TrimEnd("`n")
  $plain = $said.Length -eq 0 -or [string]::Equals($said, 'migrated', [System.StringComparison]::Ordinal)
  if ($process.ExitCode -eq 0 -and $errors.Result.Length -eq 0 -and $plain) {
    if ($said.Length -eq 0) { return '-' } else { return $said }
  }
  return "exit:$($process.ExitCode) said:$($said.Replace("`n", '|')) error:$($errors.Result.Replace("`r", '').Replace("`n", '|'))"
}

$lines = [System.IO.File]::ReadAllLines((Join-Path $Rows 'verdicts.txt'))
# The rows differ only in the settings file: the folders are made once.
if (Test-Path -LiteralPath $place) { Move-Item -LiteralPath $place $kept }
$settings = Join-Path $place 'Norvane VPN\settings'
$wrong = 0
try {
  [void][System.IO.Directory]::CreateDirectory($settings)
  foreach ($column in $columns.Keys) {
    $began = Get-Date
    foreach ($line in $lines) {
      $name, $expected = $line.Split(' ')
      $file = Join-Path $Rows "$name\Program Files\Norvane\Norvane VPN\settings\kvvpn.xml"
      if (Test-Path -LiteralPath $file) { Copy-Item -LiteralPath $file -Destination $settings -Force }
      elseif (Test-Path -LiteralPath "$settings\kvvpn.xml") { Remove-Item -LiteralPath "$settings\kvvpn.xml" -Force }
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
