# KvMigrate detection, for Intune's custom detection script and Configuration
# Manager's PowerShell detection method (Windows PowerShell 5.1 or PowerShell
# 7, 64-bit or 32-bit). Takes no arguments. Writes one line, "migrated",
# exactly where KvMigrate.exe would print "Norvane VPN has been already
# migrated.", and nothing anywhere else; always exits 0 and never writes to
# standard error. Kept step for step the same as detect.js.
#
# The tool reads the settings with TinyXML, which accepts and trims where a
# conforming XML parser (.NET, MSXML) would refuse or keep: names with
# undeclared prefixes, a bare '&', whitespace around a text, several
# top-level elements. A verdict of another parser would make an agent run
# the tool again and again, or never: so the file is read here as the tool
# reads it, and the document as that library reads it.
#
# Every comparison of the document's text is ordinal: PowerShell's own
# operators compare strings by a culture's rules, which skip characters of
# no weight (a zero-width space, a soft hyphen) and differ between hosts.
# Runs of text and names are found with .NET's own searches, not a step per
# character: agents run this at every check-in, with a time limit.

$ProgressPreference = 'SilentlyContinue'
$kInstallFolder = 'C:\Program Files\Norvane\Norvane VPN'
$kUnderProgramFiles = '\Norvane\Norvane VPN'
$kSettingsUnderInstall = '\settings\kvvpn.xml'
$kUsableTextLength = 10
$kMaxElementNesting = 256
$kFail = -1
$kOrdinal = [System.StringComparison]::Ordinal
# Node kinds.
$kText = 1
$kElement = 2
$kOther = 3
# What the library skips as blank between nodes, its blanks, and names.
$reSkipped = [regex]'\G[\t-\r \uFEFF\uFFFE\uFFFF]*'
$reBlanks = [regex]'[\t-\r ]+'
$reAllBlank = [regex]'^[\t-\r ]*$'
$reName = [regex]'\G[A-Za-z_\u007F-\uFFFF][A-Za-z0-9_.:\u007F-\uFFFF-]*'
$reUnquoted = [regex]'\G[^\t-\r />"'']*'
$reToBlank = [regex]'\G[^\t-\r >]*'
# An attribute with a quoted value and no reference in it.
$reAttribute = [regex]('\G([A-Za-z_\u007F-\uFFFF][A-Za-z0-9_.:\u007F-\uFFFF-]*)[\t-\r \uFEFF\uFFFE\uFFFF]*=' +
  '[\t-\r \uFEFF\uFFFE\uFFFF]*(?:"[^"&]*"|''[^''&]*'')')
# Well-formed UTF-8, each byte read as one character.
$reUtf8 = [regex]('^(?:[\x00-\x7F]|[\xC2-\xDF][\x80-\xBF]|\xE0[\xA0-\xBF][\x80-\xBF]|[\xE1-\xEC\xEE\xEF][\x80-\xBF]{2}' +
  '|\xED[\x80-\x9F][\x80-\xBF]|\xF0[\x90-\xBF][\x80-\xBF]{2}|[\xF1-\xF3][\x80-\xBF]{3}|\xF4[\x80-\x8F][\x80-\xBF]{2})*\z')

# ---- where the tool looks -------------------------------------------------

# Off Windows, where the tests run, a stand-in for what Windows would answer,
# a line "NAME=VALUE" each: a drive letter and the folder it stands for,
# "ProgramFilesDir" and "OwnSid", or a folder's path and its owner and
# access list. Never read on Windows. (No cmdlet but Get-Acl, and that only
# where it can change the answer, is used on the way to it: loading a
# module costs each run a fifth of a second.)
$seam = $null
if ([System.Environment]::OSVersion.Platform -ne [System.PlatformID]::Win32NT -and $env:KV_DETECT_SEAM) {
  $seam = [System.Collections.Generic.Dictionary[string, string]]::new([System.StringComparer]::Ordinal)
  foreach ($line in $env:KV_DETECT_SEAM.Split([char]10)) {
    $equals = $line.IndexOf([char]'=')
    if ($equals -gt 0) { $seam[$line.Substring(0, $equals)] = $line.Substring($equals + 1) }
  }
}

function FromSeam([string]$name, [string]$otherwise) {
  $value = $null
  if ($seam.TryGetValue($name, [ref]$value)) { return $value }
  return $otherwise
}

# The system's 64-bit Program Files folder, from the registry's 64-bit view
# also in a 32-bit host; never $env:ProgramFiles, which the caller sets.
function ProgramFiles64 {
  if ($null -ne $seam) { return FromSeam 'ProgramFilesDir' '' }
  try {
    $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', 'Registry64')
    $key = $machine.OpenSubKey('SOFTWARE\Microsoft\Windows\CurrentVersion')
    $folder = $key.GetValue('ProgramFilesDir')
    if ($folder -is [string]) { return $folder }
  } catch {
  }
  return ''
}

# A path as the file system sees it (also where a drive is mapped).
function ProviderPath([string]$path) {
  if ($null -ne $seam) { return (FromSeam $path.Substring(0, 1) '/nowhere') + $path.Substring(2).Replace([char]'\', [char]'/') }
  return $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($path)
}

# A folder's owner and access list in the system's text form; '' where they
# cannot be had.
function FolderSddl([string]$folder) {
  if ($null -ne $seam) { return FromSeam $folder 'O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)' }
  try {
    return (Get-Acl -LiteralPath $folder).GetSecurityDescriptorSddlForm('Owner, Access')
  } catch {
    return ''
  }
}

function OwnSid {
  if ($null -ne $seam) { return FromSeam 'OwnSid' '' }
  return [System.Security.Principal.WindowsIdentity]::GetCurrent().User.Value
}

# ---- who may change a folder, as the tool judges it -----------------------

$kTrustedInstaller = 'S-1-5-80-956008885-3425870976-2724470633-1187018009-3431930357'
# Add a file, add a folder, delete a child, write attributes, delete, write
# the access list, take ownership, generic write and all.
$kChangingRights = 0x2 -bor 0x4 -bor 0x40 -bor 0x100 -bor 0x10000 -bor 0x40000 -bor 0x80000 -bor 0x10000000 -bor 0x40000000
$kRightCodes = @('GA', 'GR', 'GW', 'GX', 'RC', 'SD', 'WD', 'WO', 'FA', 'FR', 'FW', 'FX', 'KA', 'KR', 'KW', 'KX',
  'CC', 'DC', 'LC', 'SW', 'RP', 'WP', 'DT', 'LO', 'CR')
$kRightMasks = @(0x10000000, 2147483648, 0x40000000, 0x20000000, 0x20000, 0x10000, 0x40000, 0x80000, 0x1F01FF,
  0x120089, 0x120116, 0x1200A0, 0xF003F, 0x20019, 0x20006, 0x20019, 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x100)
$kGranting = @('A', 'OA', 'XA', 'ZA')
$kNotGranting = @('D', 'OD', 'XD', 'AU', 'AL', 'OU', 'OL', 'XU', 'ML', 'SP', 'RA')
$reHexRights = [regex]'^0[xX][0-9A-Fa-f]+$'

function OneOf([string]$text, [string[]]$list) {
  foreach ($item in $list) {
    if ([string]::Equals($text, $item, $kOrdinal)) { return $true }
  }
  return $false
}

# "0x1301bf", or two-letter codes run together ("GXGR"); -1 for anything
# else.
function ParseRights([string]$text) {
  if ($text.StartsWith('0x', $kOrdinal) -or $text.StartsWith('0X', $kOrdinal)) {
    if (-not $reHexRights.IsMatch($text)) { return -1 }
    $digits = $text.Substring(2).TrimStart([char]'0')
    if ($digits.Length -gt 8) { return 4294967295 }
    if ($digits.Length -eq 0) { return 0 }
    return [Convert]::ToInt64($digits, 16)
  }
  if ($text.Length -eq 0 -or $text.Length % 2 -ne 0) { return -1 }
  [long]$mask = 0
  for ($at = 0; $at -lt $text.Length; $at += 2) {
    $code = $text.Substring($at, 2)
    $known = $false
    for ($k = 0; $k -lt $kRightCodes.Length; ++$k) {
      if ([string]::Equals($code, $kRightCodes[$k], $kOrdinal)) {
        $mask = $mask -bor $kRightMasks[$k]
        $known = $true
      }
    }
    if (-not $known) { return -1 }
  }
  return $mask
}

# The owner's rights entry (OW) speaks of the owner, who must be trusted.
function TrustedSid([string]$sid, [string]$own) {
  return (OneOf $sid @('SY', 'S-1-5-18', 'BA', 'S-1-5-32-544', $kTrustedInstaller, 'OW')) -or
  ($own.Length -gt 0 -and [string]::Equals($sid, $own, $kOrdinal))
}

# One entry, the text between its parentheses: "type;flags;rights;object;
# inherited object;sid" and, for a conditional entry, ";(condition)".
function EntryIsTrusted([string]$entry, [string]$own) {
  $fields = @('', '', '', '', '', '')
  $from = 0
  for ($k = 0; $k -lt 6; ++$k) {
    $end = $entry.IndexOf([char]';', $from)
    if ($end -lt 0 -and $k -lt 5) { return $false }
    if ($end -lt 0) { $end = $entry.Length }
    $fields[$k] = $entry.Substring($from, $end - $from)
    $from = $end + 1
  }
  if (-not (OneOf $fields[0] $kGranting)) { return OneOf $fields[0] $kNotGranting }
  $mask = ParseRights $fields[2]
  if ($mask -lt 0) { return $false }
  $inheritOnly = $false
  for ($at = 0; $at + 1 -lt $fields[1].Length; $at += 2) {
    $inheritOnly = $inheritOnly -or [string]::Equals($fields[1].Substring($at, 2), 'IO', $kOrdinal)
  }
  return $inheritOnly -or ($mask -band $kChangingRights) -eq 0 -or (TrustedSid $fields[5] $own)
}

# True when nobody but SYSTEM, Administrators, TrustedInstaller and the
# account running this may change what the folder holds; anything not
# understood counts against it.
function FolderAdmitsOnlyTrusted([string]$sddl, [string]$own) {
  $dacl = -1
  if ($sddl.Length -ge 2) { $dacl = $sddl.IndexOf('D:', 2, $kOrdinal) }
  if (-not $sddl.StartsWith('O:', $kOrdinal) -or $dacl -lt 0 -or -not (TrustedSid $sddl.Substring(2, $dacl - 2) $own)) {
    return $false
  }
  $at = $sddl.IndexOf([char]'(', $dacl)
  if ($at -lt 0) { $at = $sddl.Length }
  if ($sddl.Substring($dacl, $at - $dacl).IndexOf('NO_ACCESS_CONTROL', $kOrdinal) -ge 0) { return $false }
  while ($at -lt $sddl.Length -and [int]$sddl[$at] -eq 40) {
    # A condition holds parentheses of its own.
    $depth = 0
    $end = $at
    for (; $end -lt $sddl.Length; ++$end) {
      if ([int]$sddl[$end] -eq 40) { ++$depth } elseif ([int]$sddl[$end] -eq 41) { --$depth }
      if ($depth -eq 0) { break }
    }
    if ($end -eq $sddl.Length -or -not (EntryIsTrusted $sddl.Substring($at + 1, $end - $at - 1) $own)) { return $false }
    $at = $end + 1
  }
  # Nothing may follow the list but an audit list.
  return $at -ge $sddl.Length -or ($at + 2 -le $sddl.Length -and [string]::CompareOrdinal($sddl, $at, 'S:', 0, 2) -eq 0)
}

# The folder and every folder above it up to the drive's root, the root
# aside.
function PlaceTrusted([string]$folder, [string]$own) {
  for ($step = $folder; $step.Length -gt 0 -and [int]$step[$step.Length - 1] -ne 58; ) {
    if (-not (FolderAdmitsOnlyTrusted (FolderSddl $step) $own)) { return $false }
    $slash = $step.LastIndexOf([char]'\')
    if ($slash -lt 0) { $step = '' } else { $step = $step.Substring(0, $slash) }
  }
  return $true
}

# The constant folder, then the same under the system's Program Files
# folder: the first that exists and only trusted writers may change; where
# none is, the first that exists. (Where only one exists, the folders'
# security cannot change the answer and is not asked.)
function SettingsPath {
  $places = @($kInstallFolder)
  $programFiles = ProgramFiles64
  if ($programFiles.Length -gt 0) {
    if ($programFiles.EndsWith('\', $kOrdinal)) { $programFiles = $programFiles.Substring(0, $programFiles.Length - 1) }
    $under = $programFiles + $kUnderProgramFiles
    if (-not [string]::Equals($under, $kInstallFolder, [System.StringComparison]::OrdinalIgnoreCase)) { $places += $under }
  }
  $existing = @()
  foreach ($place in $places) {
    if ([System.IO.Directory]::Exists((ProviderPath $place))) { $existing += $place }
  }
  if ($existing.Count -eq 0) { return '' }
  if ($existing.Count -gt 1) {
    $own = OwnSid
    foreach ($place in $existing) {
      if (PlaceTrusted $place $own) { return $place + $kSettingsUnderInstall }
    }
  }
  return $existing[0] + $kSettingsUnderInstall
}

# The file's bytes; null when it cannot be read. Opened sharing everything:
# what the file says counts, not whether another program (the service)
# holds it open at this moment.
function ReadBytes([string]$path) {
  if ($path.Length -eq 0 -or -not [System.IO.File]::Exists((ProviderPath $path))) {
    return $null
  }
  $stream = [System.IO.File]::Open((ProviderPath $path), 'Open', 'Read', 'ReadWrite, Delete')
  try {
    $bytes = [byte[]]::new($stream.Length)
    $done = 0
    while ($done -lt $bytes.Length) {
      $read = $stream.Read($bytes, $done, $bytes.Length - $done)
      if ($read -le 0) { break }
      $done += $read
    }
    return , $bytes
  } finally {
    $stream.Dispose()
  }
}

# ---- the file's text, as the tool decodes it ------------------------------

# Strict UTF-8: each maximal ill-formed subsequence becomes one U+FFFD. Only
# for a file that is not well-formed: .NET decodes one that is.
function DecodeIllFormed([byte[]]$bytes, [int]$from, [int]$to) {
  $out = [System.Text.StringBuilder]::new()
  $i = $from
  while ($i -lt $to) {
    $b0 = [int]$bytes[$i]
    if ($b0 -lt 0x80) {
      [void]$out.Append([char]$b0)
      ++$i
      continue
    }
    $need = 0; $lo = 0x80; $hi = 0xBF; $cp = 0
    if ($b0 -ge 0xC2 -and $b0 -le 0xDF) {
      $need = 1
      $cp = $b0 -band 0x1F
    } elseif ($b0 -ge 0xE0 -and $b0 -le 0xEF) {
      $need = 2
      $cp = $b0 -band 0x0F
      if ($b0 -eq 0xE0) { $lo = 0xA0 } elseif ($b0 -eq 0xED) { $hi = 0x9F }
    } elseif ($b0 -ge 0xF0 -and $b0 -le 0xF4) {
      $need = 3
      $cp = $b0 -band 0x07
      if ($b0 -eq 0xF0) { $lo = 0x90 } elseif ($b0 -eq 0xF4) { $hi = 0x8F }
    } else {
      [void]$out.Append([char]0xFFFD)
      ++$i
      continue
    }
    $j = $i + 1
    $complete = $true
    for ($k = 0; $k -lt $need; ++$k, ++$j) {
      if ($j -ge $to -or $bytes[$j] -lt $lo -or $bytes[$j] -gt $hi) {
        $complete = $false
        break
      }
      $cp = $cp * 64 + ($bytes[$j] -band 0x3F)
      $lo = 0x80
      $hi = 0xBF
    }
    if (-not $complete) {
      [void]$out.Append([char]0xFFFD)
    } elseif ($cp -lt 0x10000) {
      [void]$out.Append([char]$cp)
    } else {
      $cp -= 0x10000
      [void]$out.Append([char](0xD800 + ($cp -shr 10))).Append([char](0xDC00 + ($cp -band 0x3FF)))
    }
    $i = $j
  }
  return $out.ToString()
}

# Byte-order mark (EF BB BF or FF FE; FE FF is refused), the first Ctrl-Z
# ends the text, CR LF to LF. null when refused. (CR, LF and Ctrl-Z are
# whole characters in both encodings, so the text can be cut after
# decoding.)
function DecodeTextFile([byte[]]$bytes) {
  $n = $bytes.Length
  if ($n -ge 2 -and $bytes[0] -eq 0xFE -and $bytes[1] -eq 0xFF) {
    return $null
  }
  if ($n -ge 2 -and $bytes[0] -eq 0xFF -and $bytes[1] -eq 0xFE) {
    # Each unit as it is: a lone surrogate, which .NET may replace, reads as
    # the same kind of character either way.
    $text = [System.Text.Encoding]::Unicode.GetString($bytes, 2, ($n - 2) - ($n - 2) % 2)
  } else {
    $start = 0
    if ($n -ge 3 -and $bytes[0] -eq 0xEF -and $bytes[1] -eq 0xBB -and $bytes[2] -eq 0xBF) { $start = 3 }
    $latin1 = [System.Text.Encoding]::GetEncoding(28591).GetString($bytes, $start, $n - $start)
    if ($reUtf8.IsMatch($latin1)) {
      $text = [System.Text.Encoding]::UTF8.GetString($bytes, $start, $n - $start)
    } else {
      $text = DecodeIllFormed $bytes $start $n
    }
  }
  $stop = $text.IndexOf([char]0x1A)
  if ($stop -ge 0) { $text = $text.Substring(0, $stop) }
  return $text.Replace("`r`n", "`n")
}

# ---- the document, as the XML library reads it ----------------------------
# Positions count UTF-16 units; the library's bytes from 127 up count as
# letters, and every character it reads whole is read whole here. kFail
# where the library gives up.

function SkipWhite([string]$s, [int]$i) {
  if ($i -eq $kFail -or $i -ge $s.Length) { return $kFail }
  return $i + $reSkipped.Match($s, $i).Length
}

# The tag at i, with ASCII letters in either case where asked.
function Starts([string]$s, [int]$i, [string]$tag, [bool]$ignoreCase) {
  if ($i -eq $kFail -or $i + $tag.Length -gt $s.Length) { return $false }
  if (-not $ignoreCase) { return [string]::CompareOrdinal($s, $i, $tag, 0, $tag.Length) -eq 0 }
  for ($k = 0; $k -lt $tag.Length; ++$k) {
    $c = [int]$s[$i + $k]
    if ($c -ge 65 -and $c -le 90) { $c += 32 }
    if ($c -ne [int]$tag[$k]) { return $false }
  }
  return $true
}

# A name at i: a letter or '_', then letters, digits and "_-.:".
function Name([string]$s, [int]$i, $found) {
  if ($i -eq $kFail -or $i -ge $s.Length) { return $kFail }
  $match = $reName.Match($s, $i)
  if (-not $match.Success) { return $kFail }
  $found.name = $match.Value
  return $i + $match.Length
}

$kNamedEntities = @(@('&amp;', '&'), @('&lt;', '<'), @('&gt;', '>'), @('&quot;', '"'), @('&apos;', "'"))

# A reference: numeric ones end at the first ';' and are read back from
# there, in 32-bit arithmetic as the Windows build does; the five named
# ones; any other '&' is dropped.
function Entity([string]$s, [int]$i, $out) {
  $n = $s.Length
  if ($i + 2 -lt $n -and [int]$s[$i + 1] -eq 35) {
    $hex = [int]$s[$i + 2] -eq 120
    if ($hex -and $i + 3 -ge $n) { return $kFail }
    $from = $i + 2
    if ($hex) { $from = $i + 3 }
    $semicolon = $s.IndexOf([char]';', $from)
    if ($semicolon -lt 0) { return $kFail }
    [long]$ucs = 0
    [long]$mult = 1
    $stop = 35
    $base = 10
    if ($hex) { $stop = 120; $base = 16 }
    for ($q = $semicolon - 1; $q -ge 0 -and [int]$s[$q] -ne $stop; --$q) {
      $c = [int]$s[$q]
      if ($c -ge 48 -and $c -le 57) {
        $digit = $c - 48
      } elseif ($hex -and $c -ge 97 -and $c -le 102) {
        $digit = $c - 87
      } elseif ($hex -and $c -ge 65 -and $c -le 70) {
        $digit = $c - 55
      } else {
        return $kFail
      }
      $ucs = ($ucs + (($mult * $digit) % 4294967296)) % 4294967296
      $mult = ($mult * $base) % 4294967296
    }
    if ($q -lt 0) { return $kFail }
    if ($ucs -lt 0x10000) {
      [void]$out.Append([char][int]$ucs)
    } elseif ($ucs -lt 0x200000) {
      [void]$out.Append([char]0xFFFD).Append([char]0xFFFD)  # four bytes, none of them a blank
    }
    return $semicolon + 1
  }
  foreach ($named in $kNamedEntities) {
    if ($i + $named[0].Length -le $n -and [string]::CompareOrdinal($s, $i, $named[0], 0, $named[0].Length) -eq 0) {
      [void]$out.Append($named[1])
      return $i + $named[0].Length
    }
  }
  return $i + 1
}

# An element's text up to and past the next '<': blanks trimmed at both ends
# and each run of them inside made one blank (a blank a reference gives is
# kept). kFail where nothing follows it.
function Text([string]$s, [int]$i, $found) {
  $found.value = ''
  $i = SkipWhite $s $i
  if ($i -eq $kFail -or $i -ge $s.Length) { return $kFail }
  $lt = $s.IndexOf([char]'<', $i)
  $stop = $lt
  if ($lt -lt 0) { $stop = $s.Length }
  $out = [System.Text.StringBuilder]::new()
  $blank = $false
  while ($i -lt $stop) {
    $amp = $s.IndexOf([char]'&', $i, $stop - $i)
    $end = $amp
    if ($amp -lt 0) { $end = $stop }
    if ($end -gt $i) {
      $run = $reBlanks.Replace($s.Substring($i, $end - $i), ' ')
      if ([int]$run[0] -eq 32) {
        $blank = $true
        $run = $run.Substring(1)
      }
      if ($run.Length -gt 0) {
        if ($blank) { [void]$out.Append(' ') }
        $blank = [int]$run[$run.Length - 1] -eq 32
        if ($blank) { $run = $run.Substring(0, $run.Length - 1) }
        [void]$out.Append($run)
      }
      $i = $end
    }
    if ($i -lt $stop) {
      if ($blank) { [void]$out.Append(' ') }
      $blank = $false
      $i = Entity $s $i $out
      if ($i -eq $kFail) { return $kFail }
    }
  }
  $found.value = $out.ToString()
  if ($lt -lt 0 -or $lt + 1 -ge $s.Length) { return $kFail }
  return $lt + 1
}

# A quoted value from after its quote, past its closing quote; only whether
# its references read matters.
function Quoted([string]$s, [int]$i, [char]$quote) {
  $close = $s.IndexOf($quote, $i)
  $stop = $close
  if ($close -lt 0) { $stop = $s.Length }
  $sink = [System.Text.StringBuilder]::new()
  while ($i -lt $stop) {
    $amp = $s.IndexOf([char]'&', $i, $stop - $i)
    if ($amp -lt 0) { break }
    $i = Entity $s $amp $sink
    if ($i -eq $kFail) { return $kFail }
  }
  if ($close -lt 0 -or $close + 1 -ge $s.Length) { return $kFail }
  return $close + 1
}

# name = "value", name = 'value' or name = value.
function Attribute([string]$s, [int]$i, $found) {
  $i = SkipWhite $s $i
  if ($i -eq $kFail -or $i -ge $s.Length) { return $kFail }
  $i = SkipWhite $s (Name $s $i $found)
  if ($i -eq $kFail -or $i -ge $s.Length -or [int]$s[$i] -ne 61) { return $kFail }
  $i = SkipWhite $s ($i + 1)
  if ($i -eq $kFail -or $i -ge $s.Length) { return $kFail }
  $quote = $s[$i]
  if ([int]$quote -eq 34 -or [int]$quote -eq 39) {
    return Quoted $s ($i + 1) $quote
  }
  $i += $reUnquoted.Match($s, $i).Length
  if ($i -lt $s.Length -and ([int]$s[$i] -eq 34 -or [int]$s[$i] -eq 39)) { return $kFail }
  return $i
}

# "<?xml" up to its '>': the three known attributes are read as attributes,
# anything else up to a blank. A failure here sets no error.
function Declaration([string]$s, [int]$i) {
  $i += 5
  while ($i -ge 0 -and $i -lt $s.Length) {
    if ([int]$s[$i] -eq 62) { return $i + 1 }
    $i = SkipWhite $s $i
    if ($i -eq $kFail -or $i -ge $s.Length) { break }
    if ((Starts $s $i 'version' $true) -or (Starts $s $i 'encoding' $true) -or (Starts $s $i 'standalone' $true)) {
      $i = Attribute $s $i @{}
    } else {
      $i += $reToBlank.Match($s, $i).Length
    }
  }
  return $kFail
}

# Past the first 'end', or at the end of the text.
function Past([string]$s, [int]$i, [string]$end) {
  $at = $s.IndexOf($end, $i, $kOrdinal)
  if ($at -lt 0) { return $s.Length }
  return $at + $end.Length
}

# The node that starts at i (a '<') other than an element, parsed into
# 'node'; where the library goes on.
function Leaf([string]$s, [int]$i, $node) {
  $node.kind = $kOther
  if (Starts $s $i '<?xml' $true) {
    return Declaration $s $i
  }
  if (Starts $s $i '<!--' $false) {
    return Past $s ($i + 4) '-->'
  }
  if (Starts $s $i '<![CDATA[' $false) {
    $node.kind = $kText
    $end = $s.IndexOf(']]>', $i + 9, $kOrdinal)
    $stop = $end
    if ($end -lt 0) { $stop = $s.Length }
    $node.value = $s.Substring($i + 9, $stop - $i - 9)
    if ($end -lt 0 -or $end + 3 -ge $s.Length) { return $kFail }
    return $end + 3
  }
  return Past $s ($i + 1) '>'
}

# The document as far as the verdict needs it, or null where the library
# does not parse it: whether it has nodes, and the first node of the root
# element's first "settings" element's first "switch_provider" element.
# The elements being read are a stack, not a recursion: a deep document
# needs no deep stack here. The common nodes are read here, in one loop: a
# function call costs PowerShell more than a search of the text.
function Document([string]$s, $state) {
  $n = $s.Length
  # The open elements' names, and what each is to the verdict: 1 the root,
  # 2 its "settings", 3 that one's "switch_provider", 4 anything else; 0
  # stands for the document itself.
  $names = [System.Collections.Generic.List[string]]::new()
  $roles = [System.Collections.Generic.List[int]]::new()
  $tree = @{ nodes = $false; roles = 0; firstKind = 0; firstValue = $null }
  $i = $kFail
  if ($n -gt 0) { $i = $reSkipped.Match($s, 0).Length }
  while ($true) {
    $depth = $names.Count
    if ($depth -eq 0 -and ($i -eq $kFail -or $i -ge $n -or [int]$s[$i] -ne 60)) {
      break  # outside the root, the library stops at anything but markup
    }
    if ($i -eq $kFail -or $i -ge $n) { $state.error = $true; return $null }
    $kind = 0
    $value = $null
    $empty = $true
    if ([int]$s[$i] -ne 60) {
      # A text inside an element, kept unless it is blank.
      $lt = $s.IndexOf([char]'<', $i)
      if ($lt -ge 0 -and $s.IndexOf([char]'&', $i, $lt - $i) -lt 0) {
        $from = $i + $reSkipped.Match($s, $i).Length
        $value = $reBlanks.Replace($s.Substring($from, $lt - $from), ' ')
        if ($value.Length -gt 0 -and [int]$value[$value.Length - 1] -eq 32) { $value = $value.Substring(0, $value.Length - 1) }
        $i = $lt
        if ($lt + 1 -ge $n) { $i = $kFail }
      } else {
        $text = @{}
        $i = Text $s $i $text
        if ($i -ne $kFail) { --$i }
        $value = $text.value
      }
      if (-not $reAllBlank.IsMatch($value)) { $kind = $kText }
    } elseif ($depth -gt 0 -and $i + 1 -lt $n -and [int]$s[$i + 1] -eq 47) {
      $endTag = '</' + $names[$depth - 1]
      if ($i + $endTag.Length -gt $n -or [string]::CompareOrdinal($s, $i, $endTag, 0, $endTag.Length) -ne 0) {
        $state.error = $true
        return $null
      }
      $i += $endTag.Length
      if ($i -lt $n) { $i += $reSkipped.Match($s, $i).Length }
      if ($i -ge $n -or [int]$s[$i] -ne 62) { $state.error = $true; return $null }
      ++$i
      $names.RemoveAt($depth - 1)
      $roles.RemoveAt($depth - 1)
    } elseif ($i + 1 -lt $n -and $reName.Match($s, $i + 1).Success) {
      if ($depth + 1 -gt $kMaxElementNesting) {
        $state.error = $true  # refused as not parsing, before the library sees it
        return $null
      }
      # The start tag: the name, then the attributes, each name once.
      $j = $i + 1 + $reSkipped.Match($s, $i + 1).Length
      $match = $reName.Match($s, $j)
      if (-not $match.Success -or $j + $match.Length -ge $n) { $state.error = $true; return $null }
      $value = $match.Value
      $j += $match.Length
      $seen = $null
      $empty = $false
      while ($true) {
        $j += $reSkipped.Match($s, $j).Length
        if ($j -ge $n) { $state.error = $true; return $null }
        $c = [int]$s[$j]
        if ($c -eq 47) {
          if ($j + 1 -ge $n -or [int]$s[$j + 1] -ne 62) { $state.error = $true; return $null }
          $empty = $true
          $j += 2
          break
        }
        if ($c -eq 62) {
          ++$j
          break
        }
        $match = $reAttribute.Match($s, $j)
        if ($match.Success) {
          $attribute = $match.Groups[1].Value
          $j += $match.Length
        } else {
          $found = @{}
          $j = Attribute $s $j $found
          $attribute = $found.name
        }
        if ($null -eq $seen) { $seen = [System.Collections.Generic.HashSet[string]]::new([System.StringComparer]::Ordinal) }
        if ($j -eq $kFail -or $j -ge $n -or -not $seen.Add($attribute)) { $state.error = $true; return $null }
      }
      $i = $j
      $kind = $kElement
    } else {
      $node = @{}
      $i = Leaf $s $i $node
      $kind = $node.kind
      $value = $node.value
    }
    if ($kind -ne 0) {
      # Added to its parent: what it is to the verdict.
      $parent = 0
      if ($depth -gt 0) { $parent = $roles[$depth - 1] }
      $role = 4
      if ($parent -eq 0) {
        $tree.nodes = $true
        if ($kind -eq $kElement -and $tree.roles -lt 1) { $role = 1; $tree.roles = 1 }
      } elseif ($parent -eq 1) {
        if ($kind -eq $kElement -and $tree.roles -lt 2 -and [string]::Equals($value, 'settings', $kOrdinal)) { $role = 2; $tree.roles = 2 }
      } elseif ($parent -eq 2) {
        if ($kind -eq $kElement -and $tree.roles -lt 3 -and [string]::Equals($value, 'switch_provider', $kOrdinal)) { $role = 3; $tree.roles = 3 }
      } elseif ($parent -eq 3 -and $tree.firstKind -eq 0) {
        $tree.firstKind = $kind
        $tree.firstValue = $value
      }
      if ($kind -eq $kElement -and -not $empty) {
        $names.Add($value)
        $roles.Add($role)
      }
    }
    if ($i -ne $kFail -and $i -lt $n) { $i += $reSkipped.Match($s, $i).Length } else { $i = $kFail }
  }
  if ($tree.nodes -and $i -ne $kFail) { return $tree }
  return $null
}

# The text up to its first NUL.
function UpToNul([string]$text) {
  $nul = $text.IndexOf([char]0)
  if ($nul -ge 0) { return $text.Substring(0, $nul) }
  return $text
}

# The library also answers null for a sound document that ends right after
# its last node; the tool then parses it once more with a line break added.
function ParseDocument([string]$text) {
  $state = @{ error = $false }
  $document = Document (UpToNul $text) $state
  if ($null -eq $document -and -not $state.error) {
    $document = Document (UpToNul ($text + "`n")) @{ error = $false }
  }
  return $document
}

# Whether the tool finds the settings already migrated: the root element's
# first "settings", its first "switch_provider", whose first child is a
# text (CDATA too) that is "2" exactly.
function AlreadyMigrated($bytes) {
  if ($null -eq $bytes) { return $false }
  $text = DecodeTextFile $bytes
  if ($null -eq $text -or $text.Length -lt $kUsableTextLength) { return $false }
  $document = ParseDocument $text
  return $null -ne $document -and $document.firstKind -eq $kText -and [string]::Equals($document.firstValue, '2', $kOrdinal)
}

$migrated = $false
try {
  $ErrorActionPreference = 'Stop'
  $migrated = AlreadyMigrated (ReadBytes (SettingsPath))
} catch {
  $migrated = $false
}
if ($migrated) {
  'migrated'
}
exit 0
