// The settings documents on which the detection scripts must answer as the
// tool does. "check [DIR]" checks the tool's own verdict on each row against
// the table (on both builds) and writes each row as a C: drive of its own (DIR/NAME/Program
// Files/Norvane/Norvane VPN/settings/kvvpn.xml, the file absent for a
// missing file; DIR/verdicts.txt, a line "NAME migrated" or "NAME -" each)
// for the script columns. "verdict FILE..." prints the tool's verdict on
// each file, for runs of generated documents.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/SettingsDocument.h"
#include "common/Files.h"
#include "file/Utf8Codec.h"

namespace {

// What the tool reads from the file's bytes, decided as a run decides it.
bool ToolFindsMigrated(const std::string &bytes) {
  std::wstring text;
  return DecodeTextFile(bytes, text) && text.size() >= 10 &&
         UpdateSettingsDocument(text).outcome == SettingsUpdateOutcome::AlreadyMigrated;
}

const std::string kBom = "\xEF\xBB\xBF";
const std::string kHead = kBom + "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

std::string Settings(const std::string &inside, const std::string &root = "kvvpn") {
  return kHead + "<" + root + ">\r\n\t<settings>\r\n\t\t<server>vpn.example</server>\r\n" + inside +
         "\t</settings>\r\n</" + root.substr(0, root.find(' ')) + ">\r\n";
}

std::string Switch(const std::string &value) {
  return Settings("\t\t<switch_provider>" + value +
                  "</switch_provider>\r\n\t\t<time_provider>17</time_provider>\r\n");
}

std::string Utf16(const std::string &ascii) {
  std::string out = "\xFF\xFE";
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

// The marker nested this deep, with the settings at the top.
std::string Nested(int depth) {
  std::string open, close;
  for (int i = 3; i <= depth; ++i) {
    open += "<n>";
    close += "</n>";
  }
  return "<kvvpn><settings><switch_provider>2</switch_provider>" + open + close + "</settings></kvvpn>\n";
}

const std::string kMinimal = "<kvvpn><settings><switch_provider>2</switch_provider></settings></kvvpn>";

std::string WithNul(const std::string &before, const std::string &after) {
  return before + std::string(1, '\0') + after;
}

struct Row {
  const char *name;
  bool present;
  std::string bytes;
  bool migrated;
  // The host's library reads this one otherwise (its unsigned long has 64
  // bits, the Windows build's 32): the Windows build is the product.
  bool onlyOnWindows = false;
};

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

const std::vector<Row> kRows = {
    {"Migrated", true, Switch("2"), true},
    {"NotMigrated", true, Switch("1"), false},
    {"MissingFile", false, "", false},
    {"EmptyFile", true, "", false},
    {"ShorterThanTenCharacters", true, "<a>2</a>\n", false},
    {"NoRootElement", true, kHead + "<!-- nothing else -->\r\n", false},
    {"NoSettingsElement", true, kHead + "<kvvpn><other/></kvvpn>\r\n", false},
    {"DoesNotParse", true, kHead + "<kvvpn><settings><switch_provider>2</switch_provider></kvvpn>\r\n",
     false},
    {"NoSwitchProvider", true, Settings(""), false},
    {"EmptySwitchProvider", true, Settings("\t\t<switch_provider/>\r\n"), false},
    {"ZeroTwo", true, Switch("02"), false},
    {"BlanksAroundTheMarker", true, Switch("  2 \r\n\t "), true},
    {"LineBreaksAroundTheMarker", true, Switch("\r\n2\r\n"), true},
    {"VerticalTabAndFormFeed", true, Switch("\v2\f"), true},
    // Characters that a culture's comparison skips, in the value and in names.
    {"ZeroWidthSpaceAfterTheTwo", true, Switch("2\xE2\x80\x8B"), false},
    {"WordJoinerBeforeTheTwo", true,
     Switch("\xE2\x81\xA0"
            "2"),
     false},
    {"SoftHyphenInSettings", true,
     kHead + "<kvvpn><set\xC2\xADtings><switch_provider>2</switch_provider></set\xC2\xADtings></kvvpn>\r\n",
     false},
    {"ZeroWidthJoinerInSwitchProvider", true,
     Settings("\t\t<switch\xE2\x80\x8D_provider>2</switch\xE2\x80\x8D_provider>\r\n"), false},
    {"LeftToRightMarkInSettings", true,
     kHead + "<kvvpn><settings\xE2\x80\x8E><switch_provider>2</switch_provider></settings\xE2\x80\x8E></"
             "kvvpn>\r\n",
     false},
    {"NoBreakSpaceIsNoBlank", true,
     Switch("\xC2\xA0"
            "2"),
     false},
    {"ByteOrderMarkBeforeTheMarker", true,
     Switch("\xEF\xBB\xBF"
            "2"),
     true},
    {"DecimalReference", true, Switch("&#50;"), true},
    {"DecimalReferenceWithZeros", true, Switch("&#0050;"), true},
    {"HexReference", true, Switch("&#x32;"), true},
    {"UpperCaseXDoesNotParse", true, Switch("&#X32;"), false},
    {"ReferencedBlankIsKept", true, Switch("&#32;2"), false},
    {"ReferenceTheLibraryDrops", true, Switch("2&#x200000;"), true},
    // 4294967346 is 2^32 + 50, a '2' once it wraps.
    {"ReferenceWrapsAt32Bits", true, Switch("&#4294967346;"), true, true},
    {"BareAmpersandIsDropped", true, Switch("&2"), true},
    {"UnknownEntityElsewhere", true,
     Settings("\t\t<note>&nbsp; a & b</note>\r\n\t\t<switch_provider>2</switch_provider>\r\n"), true},
    {"Cdata", true, Switch("<![CDATA[2]]>"), true},
    {"CdataKeepsItsBlanks", true, Switch("<![CDATA[ 2 ]]>"), false},
    {"BlankReferenceThenCdata", true, Switch("&#32;<![CDATA[2]]>"), true},
    {"CommentFirst", true, Switch("<!-- was 1 -->2"), false},
    {"CommentAfter", true, Switch("2<!-- was 1 -->"), true},
    {"ProcessingInstructionFirst", true, Switch("<?pi x?>2"), false},
    {"ChildElementFirst", true, Switch("<v>2</v>"), false},
    {"AttributesKept", true, Settings("\t\t<switch_provider since=\"17\">2</switch_provider>\r\n"), true},
    {"DuplicateAttributeDoesNotParse", true,
     Settings("\t\t<switch_provider a=\"1\" a=\"2\">2</switch_provider>\r\n"), false},
    {"PrefixedRoot", true,
     Settings("\t\t<switch_provider>2</switch_provider>\r\n", "n:kvvpn xmlns:n=\"urn:kv\""), true},
    {"DefaultNamespace", true,
     kHead + "<kvvpn xmlns=\"urn:kv\"><settings "
             "xmlns=\"urn:kv\"><switch_provider>2</switch_provider></settings></kvvpn>\r\n",
     true},
    {"PrefixedSettings", true,
     kHead + "<kvvpn "
             "xmlns:n=\"urn:kv\"><n:settings><switch_provider>2</switch_provider></n:settings></kvvpn>\r\n",
     false},
    {"PrefixedSwitchProvider", true,
     Settings("\t\t<n:switch_provider xmlns:n=\"urn:kv\">2</n:switch_provider>\r\n"), false},
    {"OtherCase", true,
     kHead + "<kvvpn><Settings><switch_provider>2</switch_provider></Settings></kvvpn>\r\n", false},
    {"FirstSwitchProviderCounts", true,
     Settings("\t\t<switch_provider>1</switch_provider>\r\n\t\t<switch_provider>2</switch_provider>\r\n"),
     false},
    {"FirstSwitchProviderMigrated", true,
     Settings("\t\t<switch_provider>2</switch_provider>\r\n\t\t<switch_provider>1</switch_provider>\r\n"),
     true},
    {"FirstSettingsCounts", true,
     kHead + "<kvvpn><settings/><settings><switch_provider>2</switch_provider></settings></kvvpn>\r\n",
     false},
    {"SettingsDeeper", true,
     kHead + "<kvvpn><x><settings><switch_provider>2</switch_provider></settings></x></kvvpn>\r\n", false},
    {"FirstTopElementIsTheRoot", true,
     kHead + "<a/>\r\n<kvvpn><settings><switch_provider>2</switch_provider></settings></kvvpn>\r\n", false},
    {"AnythingAfterTheRoot", true, Switch("2") + "not markup <", true},
    {"NoLineBreakAtTheEnd", true,
     kHead + "<kvvpn><settings><switch_provider>2</switch_provider></settings></kvvpn>", true},
    {"NulRightAfterTheRoot", true, WithNul(kMinimal, "\n"), false},
    {"NulAfterALineBreak", true, WithNul(kMinimal + "\n", "x"), true},
    {"NoByteOrderMark", true, Switch("2").substr(3), true},
    {"Utf16LittleEndian", true,
     Utf16("<kvvpn>\r\n<settings><switch_provider>2</switch_provider></settings>\r\n</kvvpn>\r\n"), true},
    {"Utf16BigEndianIsRefused", true,
     "\xFE\xFF" + Utf16("<kvvpn><settings><switch_provider>2</switch_provider></settings></kvvpn>").substr(2),
     false},
    {"MalformedUtf8Elsewhere", true,
     Settings("\t\t<note>\xC3\x28 \xF0\x9F\x98 \xED\xA0\x80 "
              "caf\xC3\xA9</note>\r\n\t\t<switch_provider>2</switch_provider>\r\n"),
     true},
    {"CtrlZBeforeTheMarker", true,
     Switch("\x1A"
            "2"),
     false},
    {"CtrlZAfterTheDocument", true, Switch("2") + "\x1A<garbage", true},
    {"DeclarationSaysUtf16", true,
     kBom + "<?xml version=\"1.0\" "
            "encoding=\"UTF-16\"?>\r\n<kvvpn><settings><switch_provider>2</switch_provider></settings></"
            "kvvpn>\r\n",
     true},
    {"DoctypeWithInternalSubset", true,
     kHead + "<!DOCTYPE kvvpn [<!ENTITY two "
             "\"2\">]>\r\n<kvvpn><settings><switch_provider>&two;</switch_provider></settings></kvvpn>\r\n",
     false},
    {"UnterminatedComment", true, Switch("2") + "<!-- open", false},
    {"NestedToTheLimit", true, Nested(256), true},
    {"NestedPastTheLimit", true, Nested(257), false},
};

int Check(const std::filesystem::path &folder) {
  std::string verdicts;
  int wrong = 0;
  for (const Row &row : kRows) {
    const bool tool = row.present && ToolFindsMigrated(row.bytes);
    if (tool != row.migrated && (kWindows || !row.onlyOnWindows)) {
      std::printf("%s: the tool says %s\n", row.name, tool ? "migrated" : "not migrated");
      ++wrong;
    }
    const std::filesystem::path settings = folder / row.name / "Program Files/Norvane/Norvane VPN/settings";
    if (folder.empty()) {
      continue;
    }
    std::filesystem::create_directories(settings);
    if (row.present) {
      testfiles::WriteBytes(settings / "kvvpn.xml", row.bytes);
    }
    verdicts += std::string(row.name) + (row.migrated ? " migrated\n" : " -\n");
  }
  if (!folder.empty()) {
    testfiles::WriteBytes(folder / "verdicts.txt", verdicts);
  }
  std::printf("%zu rows, %d where the tool disagrees with the table\n", kRows.size(), wrong);
  return wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "check" && argc <= 3) {
    return Check(argc == 3 ? argv[2] : "");
  }
  if (mode == "verdict") {
    for (int i = 2; i < argc; ++i) {
      std::printf("%s\n", ToolFindsMigrated(testfiles::ReadBytes(argv[i])) ? "migrated" : "-");
    }
    return 0;
  }
  std::fprintf(stderr, "usage: kv_detection_rows check [DIR] | verdict FILE...\n");
  return 2;
}
