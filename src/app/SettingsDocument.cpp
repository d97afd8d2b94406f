#include "app/SettingsDocument.h"

#include <tinyxml.h>

#include "app/ElementNesting.h"
#include "file/Utf8Codec.h"
#include "platform/Win32.h"

namespace {

constexpr char kSettings[] = "settings";
constexpr char kSwitchProvider[] = "switch_provider";
constexpr char kTimeProvider[] = "time_provider";
constexpr char kMigrated[] = "2";

// The deepest element nesting handed to the library, which parses, prints,
// copies and deletes one level per stack frame: about 340 bytes a level on
// the Windows build, so a document this deep takes some 90 KB of the main
// thread's stack (1 MB with MSVC's linker, 2 MB with mingw's), where 10,000
// levels would overflow it. Real settings documents are a few levels deep.
// A deeper document is refused as one that does not parse.
constexpr std::size_t kMaxElementNesting = 256;
constexpr char kNestedTooDeeply[] = "Error elements nested too deeply.";

// The library works on UTF-8; the document is held as UTF-16.
std::string ToLibrary(const std::wstring &text) {
  return EncodeUtf8(text, Utf8Mode::Lossless);
}
std::wstring FromLibrary(std::string_view text) {
  return DecodeUtf8(text, Utf8Mode::Lossless);
}

// The parser answers null both for a failure and for a sound document that
// ends right after its last node, with no line break: the file would then be
// refused although nothing is wrong with it. A null answer without a recorded
// error is therefore checked once more with a final line break, which only
// lets the parser's last whitespace skip succeed; a failure keeps the first
// report, so the messages stay the parser's own.
bool Parse(TiXmlDocument &document, const std::string &utf8) {
  if (document.Parse(utf8.c_str(), nullptr, TIXML_ENCODING_UTF8) != nullptr) {
    return true;
  }
  if (document.Error()) {
    return false;
  }
  TiXmlDocument padded;
  if (padded.Parse((utf8 + '\n').c_str(), nullptr, TIXML_ENCODING_UTF8) == nullptr) {
    return false;
  }
  document = padded;
  return true;
}

TiXmlElement *ChildOrAppend(TiXmlElement &parent, const char *name) {
  if (TiXmlElement *child = parent.FirstChildElement(name)) {
    return child;
  }
  return parent.LinkEndChild(new TiXmlElement(name))->ToElement();
}

void SetOnlyText(TiXmlElement &element, const std::string &value) {
  element.Clear();
  element.LinkEndChild(new TiXmlText(value));
}

bool HoldsMigrationMarker(const TiXmlElement &element) {
  const TiXmlNode *first = element.FirstChild();
  return first != nullptr && first->ToText() != nullptr && first->ValueStr() == kMigrated;
}

}  // namespace

std::int64_t CurrentMigrationTime() {
  return _time64(nullptr);
}

SettingsUpdateResult UpdateSettingsDocument(const std::wstring &text, MigrationClock clock) {
  SettingsUpdateResult result;
  TiXmlDocument document;
  const std::string utf8 = ToLibrary(text);
  const ElementNesting nesting = ScanElementNesting(utf8, kMaxElementNesting);
  if (nesting.passedAt != std::string_view::npos) {
    result.outcome = SettingsUpdateOutcome::ParseFailed;
    result.errorDesc = FromLibrary(kNestedTooDeeply);
    result.errorRow = ParserRow(utf8, nesting.passedAt);
    return result;
  }
  if (!Parse(document, utf8)) {
    result.outcome = SettingsUpdateOutcome::ParseFailed;
    result.errorDesc = FromLibrary(document.ErrorDesc() ? document.ErrorDesc() : "");
    result.errorRow = document.ErrorRow();
    return result;
  }
  TiXmlElement *root = document.RootElement();
  if (root == nullptr) {
    result.outcome = SettingsUpdateOutcome::NoRootElement;
    return result;
  }
  TiXmlElement *settings = root->FirstChildElement(kSettings);
  if (settings == nullptr) {
    result.outcome = SettingsUpdateOutcome::NoSettingsElement;
    return result;
  }
  TiXmlElement *switchProvider = ChildOrAppend(*settings, kSwitchProvider);
  if (HoldsMigrationMarker(*switchProvider)) {
    result.outcome = SettingsUpdateOutcome::AlreadyMigrated;
    return result;
  }
  SetOnlyText(*switchProvider, kMigrated);
  TiXmlElement *timeProvider = ChildOrAppend(*settings, kTimeProvider);
  SetOnlyText(*timeProvider, std::to_string(clock()));

  TiXmlPrinter printer;
  document.Accept(&printer);
  result.outcome = SettingsUpdateOutcome::Updated;
  result.text = FromLibrary(printer.Str());
  return result;
}

bool ReadsBackAsMigrated(const std::wstring &text) {
  std::wstring back;
  return DecodeTextFile(EncodeTextFile(text), back) &&
         UpdateSettingsDocument(back).outcome == SettingsUpdateOutcome::AlreadyMigrated;
}
