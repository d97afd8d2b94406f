// Conversions between UTF-16 text (one code unit per wchar_t element) and
// UTF-8 bytes, and the on-disk format of the settings file.
#pragma once

#include <string>
#include <string_view>

enum class Utf8Mode {
  // Unpaired surrogates become U+FFFD; used for files.
  Strict,
  // Unpaired surrogates pass through as three-byte sequences and come back
  // unchanged; used at the XML library boundary so nothing is lost there.
  Lossless,
};

// Malformed input never stops a conversion: each maximal ill-formed
// subsequence becomes one U+FFFD.
std::string EncodeUtf8(std::wstring_view text, Utf8Mode mode);
std::wstring DecodeUtf8(std::string_view bytes, Utf8Mode mode);

// File bytes to text: byte-order mark (EF BB BF or FF FE; FE FF is refused),
// CR LF to LF, first Ctrl-Z ends the text. False when the bytes are refused.
bool DecodeTextFile(std::string_view bytes, std::wstring &text);

// Text to file bytes: byte-order mark, UTF-8, every LF as CR LF.
std::string EncodeTextFile(std::wstring_view text);
