// KvMigrate detection, for Configuration Manager's JScript detection method
// (cscript, MSXML 6). Takes no arguments. Prints one line, "migrated",
// exactly where KvMigrate.exe would print "Norvane VPN has been already
// migrated.", and nothing anywhere else; always exits 0 and never writes to
// standard error. Kept step for step the same as detect.ps1.
//
// The tool reads the settings with TinyXML, which accepts and trims where a
// conforming XML parser (MSXML, .NET) would refuse or keep: names with
// undeclared prefixes, a bare '&', whitespace around a text, several
// top-level elements. A verdict of another parser would make an agent run
// the tool again and again, or never: so the file is read here as the tool
// reads it, and the document as that library reads it.

var kInstallFolder = "C:\\Program Files\\Norvane\\Norvane VPN";
var kUnderProgramFiles = "\\Norvane\\Norvane VPN";
var kSettingsUnderInstall = "\\settings\\kvvpn.xml";
var kUsableTextLength = 10;
var kMaxElementNesting = 256;
var kFail = -1;

// ---- where the tool looks -------------------------------------------------

function RegistryText(shell, name) {
  try {
    return String(shell.RegRead("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\" + name));
  } catch (e) {
    return "";
  }
}

// The system's 64-bit Program Files folder, from the registry; never
// %ProgramFiles%, which the caller sets. A 32-bit host reads the 32-bit
// view, where ProgramFilesDir is the x86 folder (the same as
// "ProgramFilesDir (x86)") and the 64-bit one is ProgramW6432Dir.
function ProgramFiles64() {
  var shell = new ActiveXObject("WScript.Shell");
  var folder = RegistryText(shell, "ProgramFilesDir");
  if (folder !== "" && folder === RegistryText(shell, "ProgramFilesDir (x86)")) {
    folder = RegistryText(shell, "ProgramW6432Dir");
  }
  return folder;
}

// ---- who may change a folder, as the tool judges it -----------------------

var kTrustedInstaller = "S-1-5-80-956008885-3425870976-2724470633-1187018009-3431930357";
// Add a file, add a folder, delete a child, write attributes, delete, write
// the access list, take ownership, generic write and all.
var kChangingRights = 0x2 | 0x4 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000;
var kRights = {
  GA: 0x10000000, GR: 0x80000000, GW: 0x40000000, GX: 0x20000000, RC: 0x20000, SD: 0x10000, WD: 0x40000,
  WO: 0x80000, FA: 0x1F01FF, FR: 0x120089, FW: 0x120116, FX: 0x1200A0, KA: 0xF003F, KR: 0x20019,
  KW: 0x20006, KX: 0x20019, CC: 0x1, DC: 0x2, LC: 0x4, SW: 0x8, RP: 0x10, WP: 0x20, DT: 0x40, LO: 0x80,
  CR: 0x100
};
var kGranting = ["A", "OA", "XA", "ZA"];
var kNotGranting = ["D", "OD", "XD", "AU", "AL", "OU", "OL", "XU", "ML", "SP", "RA"];

function OneOf(text, list) {
  for (var k = 0; k < list.length; ++k) {
    if (text === list[k]) {
      return true;
    }
  }
  return false;
}

// "0x1301bf", or two-letter codes run together ("GXGR"); -1 for anything
// else. Only whether a changing right is among them matters.
function ParseRights(text) {
  if (text.substr(0, 2) === "0x" || text.substr(0, 2) === "0X") {
    if (!/^0[xX][0-9A-Fa-f]+$/.test(text)) {
      return -1;
    }
    var digits = text.substr(2).replace(/^0+/, "");
    return digits.length > 8 ? 0xFFFFFFFF : digits.length === 0 ? 0 : parseInt(digits, 16);
  }
  if (text.length === 0 || text.length % 2 !== 0) {
    return -1;
  }
  var mask = 0;
  for (var at = 0; at < text.length; at += 2) {
    var code = text.substr(at, 2);
    if (!kRights.hasOwnProperty(code)) {
      return -1;
    }
    mask = (mask | kRights[code]) >>> 0;
  }
  return mask;
}

// The owner's rights entry (OW) speaks of the owner, who must be trusted.
function TrustedSid(sid, own) {
  return OneOf(sid, ["SY", "S-1-5-18", "BA", "S-1-5-32-544", kTrustedInstaller, "OW"]) ||
         (own !== "" && sid === own);
}

// One entry, the text between its parentheses: "type;flags;rights;object;
// inherited object;sid" and, for a conditional entry, ";(condition)".
function EntryIsTrusted(entry, own) {
  var fields = [];
  var from = 0;
  for (var k = 0; k < 6; ++k) {
    var end = entry.indexOf(";", from);
    if (end < 0 && k < 5) {
      return false;
    }
    if (end < 0) {
      end = entry.length;
    }
    fields.push(entry.substring(from, end));
    from = end + 1;
  }
  if (!OneOf(fields[0], kGranting)) {
    return OneOf(fields[0], kNotGranting);
  }
  var mask = ParseRights(fields[2]);
  if (mask < 0) {
    return false;
  }
  var inheritOnly = false;
  for (var at = 0; at + 1 < fields[1].length; at += 2) {
    inheritOnly = inheritOnly || fields[1].substr(at, 2) === "IO";
  }
  return inheritOnly || (mask & kChangingRights) === 0 || TrustedSid(fields[5], own);
}

// True when nobody but SYSTEM, Administrators, TrustedInstaller and the
// given account may change what the folder holds; anything not understood
// counts against it.
function FolderAdmitsOnlyTrusted(sddl, own) {
  var dacl = sddl.length >= 2 ? sddl.indexOf("D:", 2) : -1;
  if (sddl.substr(0, 2) !== "O:" || dacl < 0 || !TrustedSid(sddl.substring(2, dacl), own)) {
    return false;
  }
  var at = sddl.indexOf("(", dacl);
  if (at < 0) {
    at = sddl.length;
  }
  if (sddl.substring(dacl, at).indexOf("NO_ACCESS_CONTROL") >= 0) {
    return false;
  }
  while (at < sddl.length && sddl.charAt(at) === "(") {
    // A condition holds parentheses of its own.
    var depth = 0;
    var end = at;
    for (; end < sddl.length; ++end) {
      depth += sddl.charAt(end) === "(" ? 1 : sddl.charAt(end) === ")" ? -1 : 0;
      if (depth === 0) {
        break;
      }
    }
    if (end === sddl.length || !EntryIsTrusted(sddl.substring(at + 1, end), own)) {
      return false;
    }
    at = end + 1;
  }
  // Nothing may follow the list but an audit list.
  return at >= sddl.length || sddl.substr(at, 2) === "S:";
}

// A folder's owner and access list in the system's text form, asked of WMI,
// without the group; null where WMI cannot tell (Wine has none of these
// classes).
function FolderSddl(wmi, folder) {
  try {
    var setting = wmi.Get("Win32_LogicalFileSecuritySetting.Path='" +
                          folder.replace(/\\/g, "\\\\").replace(/'/g, "\\'") + "'");
    var got = setting.ExecMethod_("GetSecurityDescriptor");
    if (got.ReturnValue !== 0) {
      return null;
    }
    var helper = wmi.Get("Win32_SecurityDescriptorHelper");
    var request = helper.Methods_("Win32SDToSDDL").InParameters.SpawnInstance_();
    request.Descriptor = got.Descriptor;
    var answer = helper.ExecMethod_("Win32SDToSDDL", request);
    if (answer.ReturnValue !== 0) {
      return null;
    }
    return String(answer.SDDL).replace(/G:.*?(?=D:)/, "");
  } catch (e) {
    return null;
  }
}

// The folder and every folder above it up to the drive's root, the root
// aside; null where that cannot be told.
function PlaceTrusted(wmi, folder) {
  for (var step = folder; step.length > 0 && step.charAt(step.length - 1) !== ":";) {
    var sddl = FolderSddl(wmi, step);
    if (sddl === null) {
      return null;
    }
    if (!FolderAdmitsOnlyTrusted(sddl, "")) {
      return false;
    }
    var slash = step.lastIndexOf("\\");
    step = slash < 0 ? "" : step.substring(0, slash);
  }
  return true;
}

// The constant folder, then the same under the system's Program Files
// folder: the first that exists and only trusted writers may change; where
// none is (or where that cannot be told), the first that exists.
function SettingsPath(files) {
  var places = [kInstallFolder];
  var programFiles = ProgramFiles64();
  if (programFiles !== "") {
    var under = programFiles.replace(/\\$/, "") + kUnderProgramFiles;
    if (under.toUpperCase() !== kInstallFolder.toUpperCase()) {
      places.push(under);
    }
  }
  var wmi = null;
  try {
    wmi = GetObject("winmgmts:{impersonationLevel=impersonate}!\\\\.\\root\\cimv2");
  } catch (e) {
    wmi = null;
  }
  var chosen = "";
  for (var k = 0; k < places.length; ++k) {
    if (!files.FolderExists(places[k])) {
      continue;
    }
    if (wmi !== null && PlaceTrusted(wmi, places[k]) === true) {
      return places[k] + kSettingsUnderInstall;
    }
    if (chosen === "") {
      chosen = places[k] + kSettingsUnderInstall;
    }
  }
  return chosen;
}

// The file's bytes as an array of numbers; null when it cannot be read.
// MSXML reads them (its HTTP object takes file: addresses) and spells them
// out in hex: script has no byte type of its own.
function ReadBytes(files, path) {
  if (path === "" || !files.FileExists(path)) {
    return null;
  }
  var parts = path.split("\\");
  for (var k = 1; k < parts.length; ++k) {
    parts[k] = encodeURIComponent(parts[k]);
  }
  var request = new ActiveXObject("Msxml2.XMLHTTP.3.0");
  request.open("GET", "file:///" + parts.join("/"), false);
  request.send();
  var holder = new ActiveXObject("Msxml2.DOMDocument.6.0").createElement("b");
  holder.dataType = "bin.hex";
  holder.nodeTypedValue = request.responseBody;
  var hex = holder.text;
  var bytes = [];
  for (var i = 0; i + 1 < hex.length; i += 2) {
    bytes.push(parseInt(hex.substr(i, 2), 16));
  }
  return bytes;
}

// ---- the file's text, as the tool decodes it ------------------------------

// Strict UTF-8: each maximal ill-formed subsequence becomes one U+FFFD.
function DecodeUtf8(bytes, from, to) {
  var out = [];
  var i = from;
  while (i < to) {
    var b0 = bytes[i];
    if (b0 < 0x80) {
      out.push(String.fromCharCode(b0));
      ++i;
      continue;
    }
    var need = 0, lo = 0x80, hi = 0xBF, cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      cp = b0 & 0x0F;
      if (b0 === 0xE0) {
        lo = 0xA0;
      } else if (b0 === 0xED) {
        hi = 0x9F;
      }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      cp = b0 & 0x07;
      if (b0 === 0xF0) {
        lo = 0x90;
      } else if (b0 === 0xF4) {
        hi = 0x8F;
      }
    } else {
      out.push("\uFFFD");
      ++i;
      continue;
    }
    var j = i + 1;
    var complete = true;
    for (var k = 0; k < need; ++k, ++j) {
      if (j >= to || bytes[j] < lo || bytes[j] > hi) {
        complete = false;
        break;
      }
      cp = cp * 64 + (bytes[j] & 0x3F);
      lo = 0x80;
      hi = 0xBF;
    }
    if (!complete) {
      out.push("\uFFFD");
    } else if (cp < 0x10000) {
      out.push(String.fromCharCode(cp));
    } else {
      cp -= 0x10000;
      out.push(String.fromCharCode(0xD800 + (cp >> 10), 0xDC00 + (cp & 0x3FF)));
    }
    i = j;
  }
  return out.join("");
}

// Byte-order mark (EF BB BF or FF FE; FE FF is refused), CR LF to LF, the
// first Ctrl-Z ends the text. null when refused.
function DecodeTextFile(bytes) {
  var n = bytes.length;
  if (n >= 2 && bytes[0] === 0xFE && bytes[1] === 0xFF) {
    return null;
  }
  var units = [];
  var i;
  if (n >= 2 && bytes[0] === 0xFF && bytes[1] === 0xFE) {
    for (i = 2; i + 1 < n; i += 2) {
      var unit = bytes[i] + bytes[i + 1] * 256;
      if (unit === 0x1A) {
        break;
      }
      if (unit === 10 && units.length > 0 && units[units.length - 1] === "\r") {
        units[units.length - 1] = "\n";
      } else {
        units.push(String.fromCharCode(unit));
      }
    }
    return units.join("");
  }
  var start = n >= 3 && bytes[0] === 0xEF && bytes[1] === 0xBB && bytes[2] === 0xBF ? 3 : 0;
  var joined = [];
  for (i = start; i < n && bytes[i] !== 0x1A; ++i) {
    if (!(bytes[i] === 13 && i + 1 < n && bytes[i + 1] === 10)) {
      joined.push(bytes[i]);
    }
  }
  return DecodeUtf8(joined, 0, joined.length);
}

// ---- the document, as the XML library reads it ----------------------------
// Positions count UTF-16 units; the library's bytes from 127 up count as
// letters, and every character it reads whole is read whole here.

function Reader(text) {
  var nul = text.indexOf("\u0000");
  this.s = nul < 0 ? text : text.substr(0, nul);
  this.error = false;
}

Reader.prototype.At = function (i) {
  return i >= 0 && i < this.s.length ? this.s.charCodeAt(i) : 0;
};

// Where the library records an error and gives up.
Reader.prototype.Fail = function () {
  this.error = true;
  return kFail;
};
Reader.prototype.Refused = function () {
  this.error = true;
  return null;
};

function IsWhite(c) {
  return c === 32 || (c >= 9 && c <= 13);
}
function IsAlpha(c) {
  return c >= 127 || (c >= 65 && c <= 90) || (c >= 97 && c <= 122);
}
function IsAlphaNum(c) {
  return IsAlpha(c) || (c >= 48 && c <= 57);
}
function Lower(c) {
  return c >= 65 && c <= 90 ? c + 32 : c;
}

// Blanks, and the three byte-order-mark-like characters; kFail at the end.
Reader.prototype.SkipWhite = function (i) {
  if (i === kFail || this.At(i) === 0) {
    return kFail;
  }
  for (;;) {
    var c = this.At(i);
    if (c === 0xFEFF || c === 0xFFFE || c === 0xFFFF || IsWhite(c)) {
      ++i;
    } else {
      return i;
    }
  }
};

Reader.prototype.Starts = function (i, tag, ignoreCase) {
  if (i === kFail || this.At(i) === 0) {
    return false;
  }
  for (var k = 0; k < tag.length; ++k) {
    var c = this.At(i + k);
    var t = tag.charCodeAt(k);
    if (c === 0 || (ignoreCase ? Lower(c) !== Lower(t) : c !== t)) {
      return false;
    }
  }
  return true;
};

// A name: a letter or '_', then letters, digits and "_-.:".
Reader.prototype.Name = function (i, found) {
  var c = this.At(i);
  if (i === kFail || c === 0 || !(IsAlpha(c) || c === 95)) {
    return kFail;
  }
  var start = i;
  for (c = this.At(i); c !== 0 && (IsAlphaNum(c) || c === 95 || c === 45 || c === 46 || c === 58); c = this.At(++i)) {
  }
  found.name = this.s.substring(start, i);
  return i;
};

// A reference: numeric ones end at the first ';' and are read back from
// there, in 32-bit arithmetic as the Windows build does; the five named
// ones; any other '&' is dropped.
Reader.prototype.Entity = function (i, out) {
  var hex = this.At(i + 2) === 120;
  if (this.At(i + 1) === 35 && this.At(i + 2) !== 0) {
    if (hex && this.At(i + 3) === 0) {
      return kFail;
    }
    var semicolon = this.s.indexOf(";", i + (hex ? 3 : 2));
    if (semicolon < 0) {
      return kFail;
    }
    var ucs = 0, mult = 1;
    for (var q = semicolon - 1; this.At(q) !== (hex ? 120 : 35); --q) {
      var c = this.At(q), digit;
      if (c >= 48 && c <= 57) {
        digit = c - 48;
      } else if (hex && c >= 97 && c <= 102) {
        digit = c - 87;
      } else if (hex && c >= 65 && c <= 70) {
        digit = c - 55;
      } else {
        return kFail;
      }
      ucs = (ucs + ((mult * digit) % 4294967296)) % 4294967296;
      mult = (mult * (hex ? 16 : 10)) % 4294967296;
    }
    if (ucs < 0x10000) {
      out.push(String.fromCharCode(ucs));
    } else if (ucs < 0x200000) {
      out.push("\uFFFD\uFFFD");  // four bytes, none of them a blank
    }
    return semicolon + 1;
  }
  var named = ["&amp;", "&", "&lt;", "<", "&gt;", ">", "&quot;", "\"", "&apos;", "'"];
  for (var k = 0; k < named.length; k += 2) {
    if (this.s.substr(i, named[k].length) === named[k]) {
      out.push(named[k + 1]);
      return i + named[k].length;
    }
  }
  return i + 1;
};

Reader.prototype.Char = function (i, out) {
  if (this.At(i) === 38) {
    return this.Entity(i, out);
  }
  out.push(this.s.charAt(i));
  return i + 1;
};

// Text up to and past 'end': kept whole, or with blanks trimmed at both ends
// and each run inside made one blank. kFail where nothing follows it.
Reader.prototype.Text = function (i, found, trim, end) {
  var out = [];
  if (!trim) {
    while (i !== kFail && this.At(i) !== 0 && !this.Starts(i, end, false)) {
      i = this.Char(i, out);
    }
  } else {
    var blank = false;
    i = this.SkipWhite(i);
    while (i !== kFail && this.At(i) !== 0 && !this.Starts(i, end, false)) {
      if (IsWhite(this.At(i))) {
        blank = true;
        ++i;
      } else {
        if (blank) {
          out.push(" ");
          blank = false;
        }
        i = this.Char(i, out);
      }
    }
  }
  found.value = out.join("");
  if (i !== kFail && this.At(i) !== 0) {
    i += end.length;
  }
  return i !== kFail && this.At(i) !== 0 ? i : kFail;
};

// name = "value", name = 'value' or name = value; kFail where the library
// gives up on it.
Reader.prototype.Attribute = function (i, found) {
  i = this.SkipWhite(i);
  if (i === kFail || this.At(i) === 0) {
    return kFail;
  }
  i = this.SkipWhite(this.Name(i, found));
  if (i === kFail || this.At(i) !== 61) {
    return kFail;
  }
  i = this.SkipWhite(i + 1);
  if (i === kFail || this.At(i) === 0) {
    return kFail;
  }
  var quote = this.At(i);
  if (quote === 34 || quote === 39) {
    return this.Text(i + 1, {}, false, String.fromCharCode(quote));
  }
  for (var c = this.At(i); c !== 0 && !IsWhite(c) && c !== 47 && c !== 62; c = this.At(++i)) {
    if (c === 34 || c === 39) {
      return kFail;
    }
  }
  return i;
};

// "<?xml" up to its '>': the three known attributes are read as attributes,
// anything else up to a blank. A failure here sets no error.
Reader.prototype.Declaration = function (i) {
  i += 5;
  while (this.At(i) !== 0) {
    if (this.At(i) === 62) {
      return i + 1;
    }
    i = this.SkipWhite(i);
    if (i === kFail || this.At(i) === 0) {
      break;
    }
    if (this.Starts(i, "version", true) || this.Starts(i, "encoding", true) || this.Starts(i, "standalone", true)) {
      i = this.Attribute(i, {});
    } else {
      while (this.At(i) !== 0 && this.At(i) !== 62 && !IsWhite(this.At(i))) {
        ++i;
      }
    }
  }
  return kFail;
};

// Past the first 'end', or at the end of the text.
Reader.prototype.Past = function (i, end) {
  var at = this.s.indexOf(end, i);
  return at < 0 ? this.s.length : at + end.length;
};

// The node that starts at i (a '<') other than an element, parsed into
// 'node'; where the library goes on.
Reader.prototype.Leaf = function (i, node) {
  if (this.Starts(i, "<?xml", true)) {
    node.kind = "declaration";
    return this.Declaration(i);
  }
  if (this.Starts(i, "<!--", false)) {
    node.kind = "comment";
    return this.Past(i + 4, "-->");
  }
  if (this.Starts(i, "<![CDATA[", false)) {
    node.kind = "text";
    var end = this.s.indexOf("]]>", i + 9);
    node.value = this.s.substring(i + 9, end < 0 ? this.s.length : end);
    return end < 0 || end + 3 >= this.s.length ? kFail : end + 3;
  }
  node.kind = "other";
  return this.Past(i + 1, ">");
};

Reader.prototype.IsElement = function (i) {
  var c = this.At(i + 1);
  return !this.Starts(i, "<?xml", true) && !this.Starts(i, "<!", false) && (IsAlpha(c) || c === 95);
};

// An element's start tag, from its '<': the name and attributes; where its
// content begins, or past it if it is empty.
Reader.prototype.StartTag = function (i, element) {
  var found = {};
  i = this.Name(this.SkipWhite(i + 1), found);
  if (i === kFail || this.At(i) === 0) {
    return this.Fail();
  }
  element.name = found.name;
  element.children = [];
  var attributes = {};
  for (;;) {
    i = this.SkipWhite(i);
    if (i === kFail || this.At(i) === 0) {
      return this.Fail();
    }
    if (this.At(i) === 47) {
      element.empty = true;
      return this.At(i + 1) === 62 ? i + 2 : this.Fail();
    }
    if (this.At(i) === 62) {
      return i + 1;
    }
    var attribute = {};
    i = this.Attribute(i, attribute);
    if (i === kFail || this.At(i) === 0 || attributes.hasOwnProperty("=" + attribute.name)) {
      return this.Fail();
    }
    attributes["=" + attribute.name] = true;
  }
};

// The document's nodes, or null where the library does not parse it. The
// elements being read are a stack, not a recursion: a deep document needs
// no deep stack here.
Reader.prototype.Document = function () {
  var document = {children: []};
  var open = [];
  var i = this.SkipWhite(0);
  for (;;) {
    var parent = open.length > 0 ? open[open.length - 1] : document;
    if (open.length === 0 && (i === kFail || this.At(i) !== 60)) {
      break;  // outside the root, the library stops at anything but markup
    }
    if (i === kFail || this.At(i) === 0) {
      return this.Refused();
    }
    if (this.At(i) !== 60) {
      // A text inside an element, kept unless it is blank.
      var text = {kind: "text"};
      i = this.Text(i, text, true, "<");
      if (i !== kFail) {
        --i;
      }
      var blank = true;
      for (var k = 0; k < text.value.length; ++k) {
        blank = blank && IsWhite(text.value.charCodeAt(k));
      }
      if (!blank) {
        parent.children.push(text);
      }
    } else if (open.length > 0 && this.Starts(i, "</", false)) {
      var endTag = "</" + parent.name;
      if (!this.Starts(i, endTag, false)) {
        return this.Refused();
      }
      i = this.SkipWhite(i + endTag.length);
      if (this.At(i) !== 62) {
        return this.Refused();
      }
      ++i;
      open.pop();
    } else if (this.IsElement(i)) {
      if (open.length + 1 > kMaxElementNesting) {
        return this.Refused();  // refused as not parsing, before the library sees it
      }
      var element = {kind: "element"};
      i = this.StartTag(i, element);
      parent.children.push(element);
      if (i !== kFail && !element.empty) {
        open.push(element);
      }
    } else {
      var node = {};
      i = this.Leaf(i, node);
      parent.children.push(node);
    }
    i = this.SkipWhite(i);
  }
  return document.children.length > 0 && i !== kFail ? document : null;
};

// The library also answers null for a sound document that ends right after
// its last node; the tool then parses it once more with a line break added.
function ParseDocument(text) {
  var reader = new Reader(text);
  var document = reader.Document();
  if (document === null && !reader.error) {
    document = new Reader(text + "\n").Document();
  }
  return document;
}

function FirstElement(node, name) {
  for (var k = 0; node && k < node.children.length; ++k) {
    var child = node.children[k];
    if (child.kind === "element" && (name === null || child.name === name)) {
      return child;
    }
  }
  return null;
}

// Whether the tool finds the settings already migrated: the root element's
// first "settings", its first "switch_provider", whose first child is a
// text (CDATA too) that is "2" exactly.
function AlreadyMigrated(bytes) {
  var text = bytes === null ? null : DecodeTextFile(bytes);
  if (text === null || text.length < kUsableTextLength) {
    return false;
  }
  var settings = FirstElement(FirstElement(ParseDocument(text), null), "settings");
  var marker = FirstElement(settings, "switch_provider");
  var first = marker && marker.children.length > 0 ? marker.children[0] : null;
  return first !== null && first.kind === "text" && first.value === "2";
}

function Main() {
  var migrated = false;
  try {
    var files = new ActiveXObject("Scripting.FileSystemObject");
    migrated = AlreadyMigrated(ReadBytes(files, SettingsPath(files)));
  } catch (e) {
    migrated = false;
  }
  if (migrated) {
    WScript.Echo("migrated");
  }
  WScript.Quit(0);
}

Main();
