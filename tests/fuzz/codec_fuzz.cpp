// File bytes and UTF-16 text through the codec: nothing may crash, and what
// the file format can carry must come back unchanged.
#include <cstdint>
#include <cstdlib>

#include "file/Utf8Codec.h"

namespace {

bool HasUnpairedSurrogate(const std::wstring &text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto unit = static_cast<std::uint32_t>(text[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
        static_cast<std::uint32_t>(text[i + 1]) >= 0xDC00 &&
        static_cast<std::uint32_t>(text[i + 1]) <= 0xDFFF) {
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char *>(data), size);
  std::wstring text;
  if (DecodeTextFile(bytes, text)) {
    Check(text.find(L'\x1A') == std::wstring::npos);
    std::wstring again;
    Check(DecodeTextFile(EncodeTextFile(text), again));
    if (!HasUnpairedSurrogate(text)) {
      Check(again == text);
    }
  }
  // The same bytes as UTF-16 code units through the lossless boundary.
  std::wstring units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  }
  Check(DecodeUtf8(EncodeUtf8(units, Utf8Mode::Lossless), Utf8Mode::Lossless) == units);
  Check(!HasUnpairedSurrogate(DecodeUtf8(EncodeUtf8(units, Utf8Mode::Strict), Utf8Mode::Strict)));
  return 0;
}
