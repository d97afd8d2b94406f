#include "app/ElementNesting.h"

#include <vector>

namespace {

constexpr std::size_t kFail = std::string_view::npos;

// The parser's character classes (C locale; every byte from 127 up counts
// as a letter in its UTF-8 setting).
bool IsSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsAsciiLetter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsLetter(unsigned char c) {
  return c >= 127 || IsAsciiLetter(c);
}
bool IsLetterOrDigit(unsigned char c) {
  return IsLetter(c) || (c >= '0' && c <= '9');
}
bool IsHexDigit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The parser's reading, position by position. Each step returns where the
// parser goes on, or kFail where it gives up (and so descends no further).
class Reader {
 public:
  explicit Reader(std::string_view text) : m_text(text.substr(0, text.find('\0'))) {}

  ElementNesting Scan(std::size_t limit);

 private:
  std::size_t Size() const { return m_text.size(); }
  unsigned char At(std::size_t i) const { return i < Size() ? static_cast<unsigned char>(m_text[i]) : 0; }
  bool Starts(std::size_t i, std::string_view with) const {
    return i <= Size() && m_text.substr(i, with.size()) == with;
  }
  bool StartsNoCase(std::size_t i, std::string_view with) const {
    if (i > Size() || Size() - i < with.size()) {
      return false;
    }
    for (std::size_t k = 0; k < with.size(); ++k) {
      if (Lower(m_text[i + k]) != Lower(with[k])) {
        return false;
      }
    }
    return true;
  }
  // Past the first 'end' from i on, or the end of the text.
  std::size_t Past(std::size_t i, std::string_view end) const {
    const std::size_t at = m_text.find(end, i);
    return at == std::string_view::npos ? Size() : at + end.size();
  }

  // Blanks, and the three byte-order-mark-like sequences the parser skips.
  std::size_t SkipSpace(std::size_t i) const {
    while (i < Size()) {
      if (Starts(i, "\xEF\xBB\xBF") || Starts(i, "\xEF\xBF\xBE") || Starts(i, "\xEF\xBF\xBF")) {
        i += 3;
      } else if (IsSpace(At(i))) {
        ++i;
      } else {
        break;
      }
    }
    return i;
  }

  // A name: a letter or '_', then letters, digits and "_-.:".
  std::size_t Name(std::size_t i) const {
    if (!(IsLetter(At(i)) || At(i) == '_')) {
      return kFail;
    }
    while (i < Size() &&
           (IsLetterOrDigit(At(i)) || At(i) == '_' || At(i) == '-' || At(i) == '.' || At(i) == ':')) {
      ++i;
    }
    return i;
  }

  // A character reference ends at the first ';' after it, and is read back
  // from there: "&#x41<b>x41;" is one reference to the parser.
  std::size_t Reference(std::size_t i) const {
    if (At(i + 1) != '#' || i + 2 >= Size()) {
      return i + 1;  // a named entity, or a plain '&'
    }
    const bool hex = At(i + 2) == 'x';
    const std::size_t semicolon = m_text.find(';', i + (hex ? 3 : 2));
    if (semicolon == std::string_view::npos || (hex && i + 3 >= Size())) {
      return kFail;
    }
    for (std::size_t k = semicolon - 1; At(k) != (hex ? 'x' : '#'); --k) {
      if (hex ? !IsHexDigit(At(k)) : !(At(k) >= '0' && At(k) <= '9')) {
        return kFail;
      }
    }
    return semicolon + 1;
  }

  // Text up to and past 'end', read a character at a time: a UTF-8 lead
  // byte takes its whole sequence, a '&' its reference.
  std::size_t Text(std::size_t i, std::string_view end) const {
    while (i < Size()) {
      if (Starts(i, end)) {
        return i + end.size();
      }
      const unsigned char c = At(i);
      if (c == '&') {
        i = Reference(i);
        if (i == kFail) {
          return kFail;
        }
      } else {
        i += c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 1;
      }
    }
    return kFail;
  }

  // name = "value", name = 'value' or name = value.
  std::size_t Attribute(std::size_t i) const {
    i = Name(SkipSpace(i));
    if (i == kFail) {
      return kFail;
    }
    i = SkipSpace(i);
    if (At(i) != '=') {
      return kFail;
    }
    i = SkipSpace(i + 1);
    if (At(i) == '"' || At(i) == '\'') {
      return Text(i + 1, m_text.substr(i, 1));
    }
    while (i < Size() && !IsSpace(At(i)) && At(i) != '/' && At(i) != '>') {
      if (At(i) == '"' || At(i) == '\'') {
        return kFail;
      }
      ++i;
    }
    return i;
  }

  // "<?xml" up to its '>': the three known attributes are read as
  // attributes (a quoted '>' does not end it), anything else up to a blank.
  std::size_t Declaration(std::size_t i) const {
    i += 5;
    while (i < Size()) {
      if (At(i) == '>') {
        return i + 1;
      }
      i = SkipSpace(i);
      if (StartsNoCase(i, "version") || StartsNoCase(i, "encoding") || StartsNoCase(i, "standalone")) {
        i = Attribute(i);
        if (i == kFail) {
          return kFail;
        }
      } else {
        while (i < Size() && At(i) != '>' && !IsSpace(At(i))) {
          ++i;
        }
      }
    }
    return kFail;
  }

  std::string_view m_text;
};

ElementNesting Reader::Scan(std::size_t limit) {
  ElementNesting nesting;
  std::vector<std::string_view> open;  // names of the elements being read
  std::size_t i = SkipSpace(0);
  while (i < Size()) {
    if (!open.empty() && At(i) != '<') {
      // Text inside an element, up to the next '<'.
      i = Text(i, "<");
      if (i == kFail) {
        break;
      }
      --i;
    } else if (At(i) != '<') {
      break;  // outside the root, the parser stops at anything but markup
    } else if (!open.empty() && Starts(i, "</")) {
      i += 2;
      if (!Starts(i, open.back())) {
        break;
      }
      i = SkipSpace(i + open.back().size());
      if (At(i) != '>') {
        break;
      }
      ++i;
      open.pop_back();
    } else if (StartsNoCase(i, "<?xml")) {
      i = Declaration(i);
      if (i == kFail) {
        break;
      }
    } else if (Starts(i, "<!--")) {
      i = Past(i + 4, "-->");
    } else if (Starts(i, "<![CDATA[")) {
      i = Past(i + 9, "]]>");
    } else if (Starts(i, "<!") || !(IsLetter(At(i + 1)) || At(i + 1) == '_')) {
      i = Past(i + 1, ">");
    } else {
      // An element: the parser descends one level.
      if (open.size() + 1 > nesting.deepest) {
        nesting.deepest = open.size() + 1;
      }
      if (open.size() + 1 > limit) {
        nesting.passedAt = i;
        break;
      }
      const std::size_t nameAt = SkipSpace(i + 1);
      i = Name(nameAt);
      if (i == kFail || i >= Size()) {
        break;
      }
      const std::string_view name = m_text.substr(nameAt, i - nameAt);
      bool empty = false;
      for (;;) {
        i = SkipSpace(i);
        if (At(i) == '/') {
          empty = At(i + 1) == '>';
          i = empty ? i + 2 : kFail;
          break;
        }
        if (At(i) == '>' || i >= Size()) {
          i = i < Size() ? i + 1 : kFail;
          break;
        }
        i = Attribute(i);
        if (i == kFail) {
          break;
        }
      }
      if (i == kFail) {
        break;
      }
      if (!empty) {
        open.push_back(name);
      }
    }
    i = SkipSpace(i);
  }
  return nesting;
}

}  // namespace

ElementNesting ScanElementNesting(std::string_view utf8, std::size_t limit) {
  return Reader(utf8).Scan(limit);
}

int ParserRow(std::string_view utf8, std::size_t offset) {
  int row = 1;
  for (std::size_t i = 0; i < offset && i < utf8.size(); ++i) {
    const char c = utf8[i];
    if (c == '\n' || c == '\r') {
      ++row;
      const char pair = c == '\n' ? '\r' : '\n';
      if (i + 1 < offset && utf8[i + 1] == pair) {
        ++i;
      }
    }
  }
  return row;
}
