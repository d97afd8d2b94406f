// Arbitrary settings text through the document update: nothing may crash,
// and an updated document must read back as migrated from the bytes the
// file would hold. Inputs that fail the last check are the ones the tool
// refuses to write.
#include <cstdint>
#include <cstdlib>

#include "app/SettingsDocument.h"
#include "file/Utf8Codec.h"

namespace {
std::int64_t Fixed() {
  return 1765432100;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // Read as the tool reads the file.
  std::wstring text;
  if (!DecodeTextFile(std::string_view(reinterpret_cast<const char *>(data), size), text)) {
    return 0;
  }
  const SettingsUpdateResult result = UpdateSettingsDocument(text, Fixed);
  if (result.outcome == SettingsUpdateOutcome::Updated) {
    if (result.text.empty() || !ReadsBackAsMigrated(result.text)) {
      std::abort();
    }
  } else if (!result.text.empty()) {
    std::abort();
  }
  return 0;
}
