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

$kInstallFolder = 'C:\Program Files\Norvane\Norvane VPN'
$kUnderProgramFiles = '\Norvane\Norvane VPN'
$kSettingsUnderInstall = '\settings\kvvpn.xml'
$kUsableTextLength = 10
$kMaxElementNesting = 256
$kFail = -1
$kOrdinal = [System.StringComparison]::Ordinal

# ---- where the tool looks -------------------------------------------------

# The system's 64-bit Program Files folder, from the registry's 64-bit view
# also in a 32-bit host; never $env:ProgramFiles, which the caller sets.
function ProgramFiles64 {
  try {
    $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', 'Registry64')
    $key = $machine.OpenSubKey('SOFTWARE\Microsoft\Windows\CurrentVersion')
    $folder = $key.GetValue('ProgramFilesDir')
    if ($folder -is [string]) { return $folder }
  } catch {
  }
  return ''
}

# A path as the file system provider sees it (also where a drive is mapped).
function ProviderPath([string]$path) {
  return $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($path)
}

# The product's constant folder first; only where it does not exist, the
# same folders under the system's Program Files folder.
function SettingsPath {
  if (Test-Path -LiteralPath $kInstallFolder -PathType Container) {
    return $kInstallFolder + $kSettingsUnderInstall
  }
  $programFiles = ProgramFiles64
  if ($programFiles -eq '' -or -not (Test-Path -LiteralPath ($programFiles + $kUnderProgramFiles) -PathType Container)) {
    return ''
  }
  return $programFiles + $kUnderProgramFiles + $kSettingsUnderInstall
}

# The file's bytes; null when it cannot be read. Opened as the tool opens
# it: a writer that holds it keeps it from being read.
function ReadBytes([string]$path) {
  if ($path -eq '' -or -not (Test-Path -LiteralPath $path -PathType Leaf)) {
    return $null
  }
  $stream = [System.IO.File]::Open((ProviderPath $path), 'Open', 'Read', 'Read')
  try {
    $bytes = New-Object byte[] $stream.Length
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

# Strict UTF-8: each maximal ill-formed subsequence becomes one U+FFFD.
function DecodeUtf8([byte[]]$bytes, [int]$from, [int]$to) {
  $out = New-Object System.Text.StringBuilder
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

# Byte-order mark (EF BB BF or FF FE; FE FF is refused), CR LF to LF, the
# first Ctrl-Z ends the text. null when refused.
function DecodeTextFile([byte[]]$bytes) {
  $n = $bytes.Length
  if ($n -ge 2 -and $bytes[0] -eq 0xFE -and $bytes[1] -eq 0xFF) {
    return $null
  }
  if ($n -ge 2 -and $bytes[0] -eq 0xFF -and $bytes[1] -eq 0xFE) {
    $units = New-Object System.Text.StringBuilder
    for ($i = 2; $i + 1 -lt $n; $i += 2) {
      $unit = [int]$bytes[$i] + [int]$bytes[$i + 1] * 256
      if ($unit -eq 0x1A) { break }
      if ($unit -eq 10 -and $units.Length -gt 0 -and $units[$units.Length - 1] -eq [char]13) {
        $units[$units.Length - 1] = [char]10
      } else {
        [void]$units.Append([char]$unit)
      }
    }
    return $units.ToString()
  }
  $start = 0
  if ($n -ge 3 -and $bytes[0] -eq 0xEF -and $bytes[1] -eq 0xBB -and $bytes[2] -eq 0xBF) { $start = 3 }
  $joined = New-Object System.Collections.Generic.List[byte]
  for ($i = $start; $i -lt $n -and $bytes[$i] -ne 0x1A; ++$i) {
    if (-not ($bytes[$i] -eq 13 -and $i + 1 -lt $n -and $bytes[$i + 1] -eq 10)) {
      $joined.Add($bytes[$i])
    }
  }
  return DecodeUtf8 $joined.ToArray() 0 $joined.Count
}

# ---- the document, as the XML library reads it ----------------------------
# Positions count UTF-16 units; the library's bytes from 127 up count as
# letters, and every character it reads whole is read whole here.

function NewReader([string]$text) {
  $nul = $text.IndexOf([char]0)
  if ($nul -ge 0) { $text = $text.Substring(0, $nul) }
  return @{ s = $text; error = $false }
}

function At($r, [int]$i) {
  if ($i -ge 0 -and $i -lt $r.s.Length) { return [int]$r.s[$i] }
  return 0
}

# Where the library records an error and gives up.
function Fail($r) {
  $r.error = $true
  return $kFail
}

function IsWhite([int]$c) { return $c -eq 32 -or ($c -ge 9 -and $c -le 13) }
function IsAlpha([int]$c) { return $c -ge 127 -or ($c -ge 65 -and $c -le 90) -or ($c -ge 97 -and $c -le 122) }
function IsAlphaNum([int]$c) { return (IsAlpha $c) -or ($c -ge 48 -and $c -le 57) }
function Lower([int]$c) { if ($c -ge 65 -and $c -le 90) { return $c + 32 } return $c }

# Blanks, and the three byte-order-mark-like characters; kFail at the end.
function SkipWhite($r, [int]$i) {
  if ($i -eq $kFail -or (At $r $i) -eq 0) { return $kFail }
  while ($true) {
    $c = At $r $i
    if ($c -eq 0xFEFF -or $c -eq 0xFFFE -or $c -eq 0xFFFF -or (IsWhite $c)) { ++$i } else { return $i }
  }
}

function Starts($r, [int]$i, [string]$tag, [bool]$ignoreCase) {
  if ($i -eq $kFail -or (At $r $i) -eq 0) { return $false }
  for ($k = 0; $k -lt $tag.Length; ++$k) {
    $c = At $r ($i + $k)
    $t = [int]$tag[$k]
    if ($c -eq 0) { return $false }
    if ($ignoreCase) {
      if ((Lower $c) -ne (Lower $t)) { return $false }
    } elseif ($c -ne $t) {
      return $false
    }
  }
  return $true
}

# A name: a letter or '_', then letters, digits and "_-.:".
function Name($r, [int]$i, $found) {
  $c = At $r $i
  if ($i -eq $kFail -or $c -eq 0 -or -not ((IsAlpha $c) -or $c -eq 95)) { return $kFail }
  $start = $i
  for ($c = At $r $i; $c -ne 0 -and ((IsAlphaNum $c) -or $c -eq 95 -or $c -eq 45 -or $c -eq 46 -or $c -eq 58); $c = At $r (++$i)) {
  }
  $found.name = $r.s.Substring($start, $i - $start)
  return $i
}

# A reference: numeric ones end at the first ';' and are read back from
# there, in 32-bit arithmetic as the Windows build does; the five named
# ones; any other '&' is dropped.
function Entity($r, [int]$i, $out) {
  $hex = (At $r ($i + 2)) -eq 120
  if ((At $r ($i + 1)) -eq 35 -and (At $r ($i + 2)) -ne 0) {
    if ($hex -and (At $r ($i + 3)) -eq 0) { return $kFail }
    $from = $i + 2
    if ($hex) { $from = $i + 3 }
    $semicolon = $r.s.IndexOf([char]';', $from)
    if ($semicolon -lt 0) { return $kFail }
    [long]$ucs = 0
    [long]$mult = 1
    $stop = 35
    $base = 10
    if ($hex) { $stop = 120; $base = 16 }
    for ($q = $semicolon - 1; (At $r $q) -ne $stop; --$q) {
      $c = At $r $q
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
    if ($ucs -lt 0x10000) {
      [void]$out.Append([char][int]$ucs)
    } elseif ($ucs -lt 0x200000) {
      [void]$out.Append([char]0xFFFD).Append([char]0xFFFD)  # four bytes, none of them a blank
    }
    return $semicolon + 1
  }
  foreach ($named in @(@('&amp;', '&'), @('&lt;', '<'), @('&gt;', '>'), @('&quot;', '"'), @('&apos;', "'"))) {
    if ($i + $named[0].Length -le $r.s.Length -and [string]::CompareOrdinal($r.s, $i, $named[0], 0, $named[0].Length) -eq 0) {
      [void]$out.Append($named[1])
      return $i + $named[0].Length
    }
  }
  return $i + 1
}

function Char($r, [int]$i, $out) {
  if ((At $r $i) -eq 38) { return Entity $r $i $out }
  [void]$out.Append($r.s[$i])
  return $i + 1
}

# Text up to and past 'end': kept whole, or with blanks trimmed at both ends
# and each run inside made one blank. kFail where nothing follows it.
function Text($r, [int]$i, $found, [bool]$trim, [string]$end) {
  $out = New-Object System.Text.StringBuilder
  if (-not $trim) {
    while ($i -ne $kFail -and (At $r $i) -ne 0 -and -not (Starts $r $i $end $false)) {
      $i = Char $r $i $out
    }
  } else {
    $blank = $false
    $i = SkipWhite $r $i
    while ($i -ne $kFail -and (At $r $i) -ne 0 -and -not (Starts $r $i $end $false)) {
      if (IsWhite (At $r $i)) {
        $blank = $true
        ++$i
      } else {
        if ($blank) {
          [void]$out.Append(' ')
          $blank = $false
        }
        $i = Char $r $i $out
      }
    }
  }
  $found.value = $out.ToString()
  if ($i -ne $kFail -and (At $r $i) -ne 0) { $i += $end.Length }
  if ($i -ne $kFail -and (At $r $i) -ne 0) { return $i }
  return $kFail
}

# name = "value", name = 'value' or name = value; kFail where the library
# gives up on it.
function Attribute($r, [int]$i, $found) {
  $i = SkipWhite $r $i
  if ($i -eq $kFail -or (At $r $i) -eq 0) { return $kFail }
  $i = SkipWhite $r (Name $r $i $found)
  if ($i -eq $kFail -or (At $r $i) -ne 61) { return $kFail }
  $i = SkipWhite $r ($i + 1)
  if ($i -eq $kFail -or (At $r $i) -eq 0) { return $kFail }
  $quote = At $r $i
  if ($quote -eq 34 -or $quote -eq 39) {
    return Text $r ($i + 1) @{} $false ([string][char]$quote)
  }
  for ($c = At $r $i; $c -ne 0 -and -not (IsWhite $c) -and $c -ne 47 -and $c -ne 62; $c = At $r (++$i)) {
    if ($c -eq 34 -or $c -eq 39) { return $kFail }
  }
  return $i
}

# "<?xml" up to its '>': the three known attributes are read as attributes,
# anything else up to a blank. A failure here sets no error.
function Declaration($r, [int]$i) {
  $i += 5
  while ((At $r $i) -ne 0) {
    if ((At $r $i) -eq 62) { return $i + 1 }
    $i = SkipWhite $r $i
    if ($i -eq $kFail -or (At $r $i) -eq 0) { break }
    if ((Starts $r $i 'version' $true) -or (Starts $r $i 'encoding' $true) -or (Starts $r $i 'standalone' $true)) {
      $i = Attribute $r $i @{}
    } else {
      while ((At $r $i) -ne 0 -and (At $r $i) -ne 62 -and -not (IsWhite (At $r $i))) { ++$i }
    }
  }
  return $kFail
}

# Past the first 'end', or at the end of the text.
function Past($r, [int]$i, [string]$end) {
  $at = $r.s.IndexOf($end, $i, $kOrdinal)
  if ($at -lt 0) { return $r.s.Length }
  return $at + $end.Length
}

# The node that starts at i (a '<') other than an element, parsed into
# 'node'; where the library goes on.
function Leaf($r, [int]$i, $node) {
  if (Starts $r $i '<?xml' $true) {
    $node.kind = 'declaration'
    return Declaration $r $i
  }
  if (Starts $r $i '<!--' $false) {
    $node.kind = 'comment'
    return Past $r ($i + 4) '-->'
  }
  if (Starts $r $i '<![CDATA[' $false) {
    $node.kind = 'text'
    $end = $r.s.IndexOf(']]>', $i + 9, $kOrdinal)
    $stop = $end
    if ($end -lt 0) { $stop = $r.s.Length }
    $node.value = $r.s.Substring($i + 9, $stop - $i - 9)
    if ($end -lt 0 -or $end + 3 -ge $r.s.Length) { return $kFail }
    return $end + 3
  }
  $node.kind = 'other'
  return Past $r ($i + 1) '>'
}

function IsElement($r, [int]$i) {
  $c = At $r ($i + 1)
  return -not (Starts $r $i '<?xml' $true) -and -not (Starts $r $i '<!' $false) -and ((IsAlpha $c) -or $c -eq 95)
}

# An element's start tag, from its '<': the name and attributes; where its
# content begins, or past it if it is empty.
function StartTag($r, [int]$i, $element) {
  $found = @{}
  $i = Name $r (SkipWhite $r ($i + 1)) $found
  if ($i -eq $kFail -or (At $r $i) -eq 0) { return Fail $r }
  $element.name = $found.name
  $element.children = New-Object System.Collections.Generic.List[object]
  $attributes = New-Object 'System.Collections.Generic.HashSet[string]' ([System.StringComparer]::Ordinal)
  while ($true) {
    $i = SkipWhite $r $i
    if ($i -eq $kFail -or (At $r $i) -eq 0) { return Fail $r }
    if ((At $r $i) -eq 47) {
      $element.empty = $true
      if ((At $r ($i + 1)) -eq 62) { return $i + 2 }
      return Fail $r
    }
    if ((At $r $i) -eq 62) { return $i + 1 }
    $attribute = @{}
    $i = Attribute $r $i $attribute
    if ($i -eq $kFail -or (At $r $i) -eq 0 -or -not $attributes.Add($attribute.name)) { return Fail $r }
  }
}

# The document's nodes, or null where the library does not parse it. The
# elements being read are a stack, not a recursion: a deep document needs
# no deep stack here.
function Document($r) {
  $document = @{ children = New-Object System.Collections.Generic.List[object] }
  $open = New-Object System.Collections.Generic.List[object]
  $i = SkipWhite $r 0
  while ($true) {
    $parent = $document
    if ($open.Count -gt 0) { $parent = $open[$open.Count - 1] }
    if ($open.Count -eq 0 -and ($i -eq $kFail -or (At $r $i) -ne 60)) {
      break  # outside the root, the library stops at anything but markup
    }
    if ($i -eq $kFail -or (At $r $i) -eq 0) { $r.error = $true; return $null }
    if ((At $r $i) -ne 60) {
      # A text inside an element, kept unless it is blank.
      $text = @{ kind = 'text' }
      $i = Text $r $i $text $true '<'
      if ($i -ne $kFail) { --$i }
      $blank = $true
      foreach ($c in $text.value.ToCharArray()) { $blank = $blank -and (IsWhite ([int]$c)) }
      if (-not $blank) { $parent.children.Add($text) }
    } elseif ($open.Count -gt 0 -and (Starts $r $i '</' $false)) {
      $endTag = '</' + $parent.name
      if (-not (Starts $r $i $endTag $false)) { $r.error = $true; return $null }
      $i = SkipWhite $r ($i + $endTag.Length)
      if ((At $r $i) -ne 62) { $r.error = $true; return $null }
      ++$i
      $open.RemoveAt($open.Count - 1)
    } elseif (IsElement $r $i) {
      if ($open.Count + 1 -gt $kMaxElementNesting) {
        $r.error = $true  # refused as not parsing, before the library sees it
        return $null
      }
      $element = @{ kind = 'element'; empty = $false }
      $i = StartTag $r $i $element
      $parent.children.Add($element)
      if ($i -ne $kFail -and -not $element.empty) { $open.Add($element) }
    } else {
      $node = @{}
      $i = Leaf $r $i $node
      $parent.children.Add($node)
    }
    $i = SkipWhite $r $i
  }
  if ($document.children.Count -gt 0 -and $i -ne $kFail) { return $document }
  return $null
}

# The library also answers null for a sound document that ends right after
# its last node; the tool then parses it once more with a line break added.
function ParseDocument([string]$text) {
  $reader = NewReader $text
  $document = Document $reader
  if ($null -eq $document -and -not $reader.error) {
    $document = Document (NewReader ($text + "`n"))
  }
  return $document
}

function FirstElement($node, $name) {
  if ($null -eq $node) { return $null }
  foreach ($child in $node.children) {
    if ($child.kind -ceq 'element' -and ($null -eq $name -or $child.name -ceq $name)) { return $child }
  }
  return $null
}

# Whether the tool finds the settings already migrated: the root element's
# first "settings", its first "switch_provider", whose first child is a
# text (CDATA too) that is "2" exactly.
function AlreadyMigrated($bytes) {
  if ($null -eq $bytes) { return $false }
  $text = DecodeTextFile $bytes
  if ($null -eq $text -or $text.Length -lt $kUsableTextLength) { return $false }
  $settings = FirstElement (FirstElement (ParseDocument $text) $null) 'settings'
  $marker = FirstElement $settings 'switch_provider'
  if ($null -eq $marker -or $marker.children.Count -eq 0) { return $false }
  $first = $marker.children[0]
  return $first.kind -ceq 'text' -and $first.value -ceq '2'
}

$migrated = $false
try {
  $ErrorActionPreference = 'Stop'
  $migrated = AlreadyMigrated (ReadBytes (SettingsPath))
} catch {
  $migrated = $false
}
if ($migrated) {
  Write-Output 'migrated'
}
exit 0
