// How deep the XML library's parser descends into a text. The library
// parses, prints, copies and deletes elements recursively, one stack frame
// per level, so a deeply nested document would overflow the stack: the text
// is measured first, without recursion.
#pragma once

#include <cstddef>
#include <string_view>

struct ElementNesting {
  // The deepest element the parser reaches (the root element is 1).
  std::size_t deepest = 0;
  // Byte offset of the '<' of the first element deeper than the limit, or
  // npos when none is; the scan ends there.
  std::size_t passedAt = std::string_view::npos;
};

// Follows the library's own reading of the text (UTF-8, as it is handed
// over): where an element, an end tag, a comment, a CDATA section, a
// declaration, an attribute value, a character reference or text begins and
// ends, and where the parser gives up. Never reports fewer levels than the
// parser would descend.
ElementNesting ScanElementNesting(std::string_view utf8, std::size_t limit);

// The parser's row (1-based) of a byte offset: LF, CR, CR LF and LF CR each
// end one row.
int ParserRow(std::string_view utf8, std::size_t offset);
