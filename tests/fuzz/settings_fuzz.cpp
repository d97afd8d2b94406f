// Arbitrary settings text through the document update: nothing may crash,
// and an updated document must read as migrated afterwards.
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
  const std::wstring text =
      DecodeUtf8(std::string(reinterpret_cast<const char *>(data), size), Utf8Mode::Strict);
  const SettingsUpdateResult result = UpdateSettingsDocument(text, Fixed);
  if (result.outcome == SettingsUpdateOutcome::Updated) {
    if (result.text.empty() ||
        UpdateSettingsDocument(result.text, Fixed).outcome != SettingsUpdateOutcome::AlreadyMigrated) {
      std::abort();
    }
  } else if (!result.text.empty()) {
    std::abort();
  }
  return 0;
}
