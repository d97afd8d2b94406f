# The PowerShell column: detect.ps1 run as an agent runs it, the file itself
# with no arguments, on each row with a C: drive mapped onto the row's
# folder (through the script's stand-in for Windows, KV_DETECT_SEAM). Prints "NAME VERDICT" a row ("migrated", "-", or what else came
# out). First, since Windows PowerShell 5.1 cannot be run here, the script's
# syntax tree is read for what 5.1 does not know.
param([string]$Rows, [string]$Script)
$ErrorActionPreference = 'Stop'

function Refuse([string]$why) {
  Write-Output "syntax $why"
}

$bytes = [System.IO.File]::ReadAllBytes($Script)
if (@($bytes | Where-Object { $_ -gt 127 }).Count -gt 0) {
  Refuse 'not ASCII: Windows PowerShell reads a file without a byte-order mark in the ANSI code page'
}
$tokens = $null
$errors = $null
$tree = [System.Management.Automation.Language.Parser]::ParseFile($Script, [ref]$tokens, [ref]$errors)
foreach ($e in $errors) { Refuse "does not parse: $($e.Message)" }
# Language of PowerShell 6 and 7.
$newer = $tree.FindAll({
    param($node)
    $node -is [System.Management.Automation.Language.TernaryExpressionAst] -or
    $node -is [System.Management.Automation.Language.PipelineChainAst] -or
    ($node -is [System.Management.Automation.Language.BinaryExpressionAst] -and $node.Operator -eq 'QuestionQuestion') -or
    ($node -is [System.Management.Automation.Language.AssignmentStatementAst] -and $node.Operator -eq 'QuestionQuestionEquals') -or
    (($node -is [System.Management.Automation.Language.MemberExpressionAst] -or
      $node -is [System.Management.Automation.Language.IndexExpressionAst]) -and $node.NullConditional) -or
    $node -is [System.Management.Automation.Language.TypeDefinitionAst]
  }, $true)
foreach ($node in $newer) { Refuse "newer than 5.1: $($node.Extent.Text)" }
# Types and commands, each as 5.1 on .NET Framework 4.5 has them: the script
# may use no others, and no parameter newer than 5.1.
$types = @('string', 'string[]', 'char', 'int', 'long', 'bool', 'byte', 'byte[]', 'void', 'regex', 'Convert',
  'System.StringComparison', 'System.StringComparer', 'System.IO.File', 'Microsoft.Win32.RegistryKey',
  'System.Text.StringBuilder', 'System.Text.Encoding', 'System.Collections.Generic.List[string]',
  'System.Collections.Generic.List[int]',
  'System.Collections.Generic.HashSet[string]', 'System.Environment', 'System.PlatformID',
  'System.Security.Principal.WindowsIdentity', 'System.IO.Directory',
  'System.Collections.Generic.Dictionary[string,string]', 'ref')
$commands = @{ 'Get-Acl' = @('LiteralPath') }
foreach ($node in $tree.FindAll({ param($n) $n -is [System.Management.Automation.Language.TypeExpressionAst] -or
      $n -is [System.Management.Automation.Language.TypeConstraintAst] }, $true)) {
  if ($types -notcontains $node.TypeName.FullName) { Refuse "type not checked for 5.1: $($node.TypeName.FullName)" }
}
$functions = @($tree.FindAll({ param($n) $n -is [System.Management.Automation.Language.FunctionDefinitionAst] }, $true) |
    ForEach-Object { $_.Name })
foreach ($call in $tree.FindAll({ param($n) $n -is [System.Management.Automation.Language.CommandAst] }, $true)) {
  $name = $call.GetCommandName()
  if ($functions -contains $name) { continue }
  if (-not $commands.ContainsKey($name)) { Refuse "command not checked for 5.1: $name"; continue }
  foreach ($parameter in $call.CommandElements | Where-Object { $_ -is [System.Management.Automation.Language.CommandParameterAst] }) {
    if ($commands[$name] -notcontains $parameter.ParameterName) { Refuse "parameter not checked for 5.1: $name -$($parameter.ParameterName)" }
  }
  if ($name -eq 'New-Object' -and $types -notcontains $call.CommandElements[1].Value) {
    Refuse "type not checked for 5.1: $($call.CommandElements[1].Value)"
  }
}

foreach ($line in [System.IO.File]::ReadAllLines((Join-Path $Rows 'verdicts.txt'))) {
  $name = $line.Split(' ')[0]
  $env:KV_DETECT_SEAM = "C=$(Join-Path $Rows $name)`nOwnSid=S-1-5-18"
  $global:LASTEXITCODE = 99
  $said = @(& $Script *>&1)
  $verdict = '-'
  if ($said.Count -eq 1 -and $said[0] -is [string] -and $said[0] -ceq 'migrated') {
    $verdict = 'migrated'
  } elseif ($said.Count -gt 0) {
    $verdict = 'said:' + (($said | ForEach-Object { "$_" }) -join '|')
  }
  if ($LASTEXITCODE -ne 0) { $verdict += " exit:$LASTEXITCODE" }
  Write-Output "$name $verdict"
}
