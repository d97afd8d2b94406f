#include "file/Utf8Codec.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char kCtrlZ = 0x1A;

bool IsHighSurrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Writes one code point; the caller has room for four bytes.
char *PutUtf8(char *out, char32_t cp) {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// A sequence of two or more bytes gives at most two code units.
wchar_t *PutUtf16(wchar_t *out, char32_t cp) {
  if (cp < 0x10000) {
    *out++ = static_cast<wchar_t>(cp);
  } else {
    cp -= 0x10000;
    *out++ = static_cast<wchar_t>(0xD800 + (cp >> 10));
    *out++ = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  }
  return out;
}

// Appends the UTF-8 form of the text; with crlf every LF is written as
// CR LF. The output is sized for the worst case (three bytes per code unit)
// and cut to length afterwards, which keeps the common ASCII path tight.
void EncodeUnits(std::wstring_view text, Utf8Mode mode, bool crlf, std::string &out) {
  const std::size_t start = out.size();
  out.resize(start + text.size() * 3);
  char *p = out.data() + start;
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto unit = static_cast<std::uint32_t>(text[i]);
    if (unit < 0x80) {
      if (unit == '\n' && crlf) {
        *p++ = '\r';
      }
      *p++ = static_cast<char>(unit);
    } else if (IsHighSurrogate(unit) && i + 1 < n &&
               IsLowSurrogate(static_cast<std::uint32_t>(text[i + 1]))) {
      const auto low = static_cast<std::uint32_t>(text[++i]);
      p = PutUtf8(p, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      p = PutUtf8(p, mode == Utf8Mode::Lossless ? unit : kReplacement);
    } else if (unit > 0xFFFF) {
      p = PutUtf8(p, kReplacement);  // not a UTF-16 code unit at all
    } else {
      p = PutUtf8(p, unit);
    }
  }
  out.resize(static_cast<std::size_t>(p - out.data()));
}

}  // namespace

std::string EncodeUtf8(std::wstring_view text, Utf8Mode mode) {
  std::string out;
  EncodeUnits(text, mode, false, out);
  return out;
}

std::wstring DecodeUtf8(std::string_view bytes, Utf8Mode mode) {
  // Never more code units than bytes; cut to length at the end.
  std::wstring out(bytes.size(), L'\0');
  wchar_t *o = out.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      *o++ = static_cast<wchar_t>(b0);
      ++i;
      continue;
    }
    // Length and the allowed range of the first continuation byte, which
    // rules out overlong forms, surrogates (unless lossless) and > U+10FFFF.
    int need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) {
        lo = 0xA0;
      } else if (b0 == 0xED && mode == Utf8Mode::Strict) {
        hi = 0x9F;
      }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      cp = b0 & 0x07;
      if (b0 == 0xF0) {
        lo = 0x90;
      } else if (b0 == 0xF4) {
        hi = 0x8F;
      }
    } else {
      *o++ = static_cast<wchar_t>(kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool complete = true;
    for (int k = 0; k < need; ++k, ++j) {
      const auto b = j < n ? static_cast<unsigned char>(bytes[j]) : 0;
      if (j >= n || b < lo || b > hi) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
      lo = 0x80;
      hi = 0xBF;
    }
    o = PutUtf16(o, complete ? cp : kReplacement);
    i = j;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

bool DecodeTextFile(std::string_view bytes, std::wstring &text) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  text.clear();
  if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) {
    return false;
  }
  if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) {
    // UTF-16LE: the line-end and Ctrl-Z rules apply to code units.
    text.reserve((bytes.size() - 2) / 2);
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const auto unit = static_cast<wchar_t>(at(i) | (at(i + 1) << 8));
      if (unit == kCtrlZ) {
        break;
      }
      if (unit == '\n' && !text.empty() && text.back() == '\r') {
        text.back() = '\n';
      } else {
        text += unit;
      }
    }
    return true;
  }
  std::size_t start = 0;
  if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
    start = 3;
  }
  std::string_view body = bytes.substr(start);
  body = body.substr(0, body.find(kCtrlZ));
  // CR LF to LF: copy the runs between pairs, keeping each pair's LF.
  std::string joined;
  joined.reserve(body.size());
  std::size_t from = 0;
  for (std::size_t pair = body.find("\r\n"); pair != std::string_view::npos; pair = body.find("\r\n", from)) {
    joined.append(body, from, pair - from);
    from = pair + 1;
  }
  joined.append(body, from, std::string_view::npos);
  text = DecodeUtf8(joined, Utf8Mode::Strict);
  return true;
}

std::string EncodeTextFile(std::wstring_view text) {
  std::string out("\xEF\xBB\xBF");
  EncodeUnits(text, Utf8Mode::Strict, true, out);
  return out;
}
