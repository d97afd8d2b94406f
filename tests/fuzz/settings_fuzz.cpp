// Arbitrary settings text through the document update: nothing may crash,
// and an updated document must read back as migrated from the bytes the
// file would hold, unless it is one of the two kinds the tool knowingly
// refuses to write: the library prints it in a form it does not read back
// as the same document (a declaration's values are printed unescaped), or
// the file cannot carry it unchanged (a Ctrl-Z, a CR). The nesting reader
// must never count fewer levels than the parser descends (its tree,
// partial on a failure, shows how deep).
#include <tinyxml.h>

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "app/ElementNesting.h"
#include "app/SettingsDocument.h"
#include "file/Utf8Codec.h"

namespace {
std::int64_t Fixed() {
  return 1765432100;
}

// Element depth of the tree, walked without recursion.
std::size_t TreeDepth(const TiXmlDocument &document) {
  std::size_t deepest = 0;
  std::vector<std::pair<const TiXmlNode *, std::size_t>> pending = {{&document, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    deepest = depth > deepest ? depth : deepest;
    for (const TiXmlNode *child = node->FirstChild(); child != nullptr; child = child->NextSibling()) {
      pending.emplace_back(child, depth + (child->ToElement() ? 1 : 0));
    }
  }
  return deepest;
}

// Whether the library reads its own print as the document it printed:
// parsed and printed again, it is the same text.
bool LibraryReadsItsPrint(const std::string &printed) {
  TiXmlDocument again;
  if (again.Parse(printed.c_str(), nullptr, TIXML_ENCODING_UTF8) == nullptr && again.Error()) {
    return false;
  }
  TiXmlPrinter printer;
  again.Accept(&printer);
  return printed == printer.CStr();
}

// Within what the parser's recursion takes on this build's stack.
constexpr std::size_t kCheckedNesting = 2000;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // Read as the tool reads the file.
  std::wstring text;
  if (!DecodeTextFile(std::string_view(reinterpret_cast<const char *>(data), size), text)) {
    return 0;
  }
  const std::string utf8 = EncodeUtf8(text, Utf8Mode::Lossless);
  const ElementNesting nesting = ScanElementNesting(utf8, kCheckedNesting);
  if (nesting.passedAt == std::string_view::npos) {
    TiXmlDocument document;
    document.Parse(utf8.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (TreeDepth(document) > nesting.deepest) {
      std::abort();
    }
  }
  const SettingsUpdateResult result = UpdateSettingsDocument(text, Fixed);
  if (result.outcome == SettingsUpdateOutcome::Updated) {
    std::wstring back;
    const bool carried = DecodeTextFile(EncodeTextFile(result.text), back) && back == result.text;
    if (result.text.empty() || (!ReadsBackAsMigrated(result.text) && carried &&
                                LibraryReadsItsPrint(EncodeUtf8(result.text, Utf8Mode::Lossless)))) {
      std::abort();
    }
  } else if (!result.text.empty()) {
    std::abort();
  }
  return 0;
}
