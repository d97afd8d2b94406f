#include "file/Utf8Codec.h"

#include <gtest/gtest.h>

#include "common/Files.h"
#include "platform/Win32.h"

namespace {

struct DecodeCase {
  const char *name;
  std::string bytes;
  std::wstring text;
};

std::wstring Units(std::initializer_list<unsigned> units) {
  std::wstring out;
  for (unsigned u : units) {
    out += static_cast<wchar_t>(u);
  }
  return out;
}

class DecodeTextFileTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTextFileTest, DecodesAsTheFileFormatSays) {
  std::wstring text = L"stale";
  ASSERT_TRUE(DecodeTextFile(GetParam().bytes, text));
  EXPECT_EQ(GetParam().text, text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeTextFileTest,
    ::testing::Values(
        DecodeCase{"Empty", "", L""}, DecodeCase{"BomOnly", "\xEF\xBB\xBF", L""},
        DecodeCase{"BomCrLf",
                   "\xEF\xBB\xBF"
                   "a\r\nb",
                   L"a\nb"},
        DecodeCase{"NoBomCrLf", "a\r\nb", L"a\nb"}, DecodeCase{"LoneCrStays", "\rx", L"\rx"},
        DecodeCase{"FinalCrStays", "x\r", L"x\r"}, DecodeCase{"CrCrLf", "a\r\r\nb", L"a\r\nb"},
        DecodeCase{"Utf16Le",
                   std::string("\xFF\xFE"
                               "a\0\r\0\n\0b\0",
                               10),
                   L"a\nb"},
        DecodeCase{"Utf16LeSurrogates", std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6), Units({0xD83D, 0xDE00})},
        DecodeCase{"Utf16LeCtrlZ",
                   std::string("\xFF\xFE"
                               "a\0\x1A\0b\0",
                               8),
                   L"a"},
        DecodeCase{"Utf16LeOddByteDropped",
                   std::string("\xFF\xFE"
                               "a\0b",
                               5),
                   L"a"},
        DecodeCase{"CtrlZEnds",
                   "ab\x1A"
                   "cd",
                   L"ab"},
        DecodeCase{"CtrlZAfterBom",
                   "\xEF\xBB\xBF\x1A"
                   "x",
                   L""},
        DecodeCase{"MalformedByteReplaced",
                   "a\xFF"
                   "b",
                   Units({'a', 0xFFFD, 'b'})},
        DecodeCase{"TwoByte", "\xC3\xA9", Units({0xE9})},
        DecodeCase{"FourByteToPair", "\xF0\x9F\x98\x80", Units({0xD83D, 0xDE00})},
        DecodeCase{"OverlongIsTwoReplacements", "\xC0\x80", Units({0xFFFD, 0xFFFD})},
        DecodeCase{"EncodedSurrogateRejected", "\xED\xA0\x80", Units({0xFFFD, 0xFFFD, 0xFFFD})},
        DecodeCase{"TruncatedSequenceThenAscii",
                   "\xE2\x82"
                   "a",
                   Units({0xFFFD, 'a'})},
        DecodeCase{"TruncatedAtEnd", "ok\xF0\x9F\x98", Units({'o', 'k', 0xFFFD})},
        DecodeCase{"AboveUnicodeRange", "\xF4\x90\x80\x80", Units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD})},
        DecodeCase{"NulPassesThrough", std::string("a\0b", 3), Units({'a', 0, 'b'})},
        DecodeCase{"ShortFileNoBom", "\xEF", Units({0xFFFD})},
        DecodeCase{"BomLikeMiddleIsText", "a\xEF\xBB\xBF", Units({'a', 0xFEFF})},
        // Each lead byte's first and last continuation, and one past.
        DecodeCase{"C2First", "\xC2\x80", Units({0x80})}, DecodeCase{"DFLast", "\xDF\xBF", Units({0x7FF})},
        DecodeCase{"C1NoLead", "\xC1\xBF", Units({0xFFFD, 0xFFFD})},
        DecodeCase{"C2Below", "\xC2\x7F", Units({0xFFFD, 0x7F})},
        DecodeCase{"DFAbove", "\xDF\xC0", Units({0xFFFD, 0xFFFD})},
        DecodeCase{"E0First", "\xE0\xA0\x80", Units({0x800})},
        DecodeCase{"E0Overlong", "\xE0\x9F\xBF", Units({0xFFFD, 0xFFFD, 0xFFFD})},
        DecodeCase{"E0Last", "\xE0\xBF\xBF", Units({0xFFF})},
        DecodeCase{"E0Above", "\xE0\xC0\x80", Units({0xFFFD, 0xFFFD, 0xFFFD})},
        DecodeCase{"E1First", "\xE1\x80\x80", Units({0x1000})},
        DecodeCase{"ECLast", "\xEC\xBF\xBF", Units({0xCFFF})},
        DecodeCase{"E1Below", "\xE1\x7F", Units({0xFFFD, 0x7F})},
        DecodeCase{"ECAbove", "\xEC\xC0", Units({0xFFFD, 0xFFFD})},
        DecodeCase{"E1ThirdBelow", "\xE1\x80\x7F", Units({0xFFFD, 0x7F})},
        DecodeCase{"E1ThirdAbove", "\xE1\x80\xC0", Units({0xFFFD, 0xFFFD})},
        DecodeCase{"EDFirst", "\xED\x80\x80", Units({0xD000})},
        DecodeCase{"EDLast", "\xED\x9F\xBF", Units({0xD7FF})},
        DecodeCase{"EEFirst", "\xEE\x80\x80", Units({0xE000})},
        DecodeCase{"EFLast", "\xEF\xBF\xBF", Units({0xFFFF})},
        DecodeCase{"EFAbove", "\xEF\xC0\x80", Units({0xFFFD, 0xFFFD, 0xFFFD})},
        DecodeCase{"F0First", "\xF0\x90\x80\x80", Units({0xD800, 0xDC00})},
        DecodeCase{"F0Overlong", "\xF0\x8F\xBF\xBF", Units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD})},
        DecodeCase{"F0Last", "\xF0\xBF\xBF\xBF", Units({0xD8BF, 0xDFFF})},
        DecodeCase{"F1First", "\xF1\x80\x80\x80", Units({0xD8C0, 0xDC00})},
        DecodeCase{"F3Last", "\xF3\xBF\xBF\xBF", Units({0xDBBF, 0xDFFF})},
        DecodeCase{"F1FourthBelow", "\xF1\x80\x80\x7F", Units({0xFFFD, 0x7F})},
        DecodeCase{"F3FourthAbove", "\xF3\xBF\xBF\xC0", Units({0xFFFD, 0xFFFD})},
        DecodeCase{"F4First", "\xF4\x80\x80\x80", Units({0xDBC0, 0xDC00})},
        DecodeCase{"F4Last", "\xF4\x8F\xBF\xBF", Units({0xDBFF, 0xDFFF})},
        DecodeCase{"F5NoLead", "\xF5\x80\x80\x80", Units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD})}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DecodeTextFile, RefusesBigEndianByteOrderMark) {
  std::wstring text = L"stale";
  EXPECT_FALSE(DecodeTextFile("\xFE\xFF\x00\x61", text));
  EXPECT_TRUE(text.empty());
}

struct EncodeCase {
  const char *name;
  std::wstring text;
  std::string bytes;  // without the byte-order mark
};

class EncodeTextFileTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTextFileTest, EncodesAsTheFileFormatSays) {
  EXPECT_EQ("\xEF\xBB\xBF" + GetParam().bytes, EncodeTextFile(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodeTextFileTest,
    ::testing::Values(EncodeCase{"Empty", L"", ""}, EncodeCase{"LfBecomesCrLf", L"a\nb", "a\r\nb"},
                      EncodeCase{"CrLfBecomesCrCrLf", L"a\r\nb", "a\r\r\nb"},
                      EncodeCase{"LoneCrUnchanged", L"a\rb", "a\rb"}, EncodeCase{"NoFinalLineEnd", L"x", "x"},
                      EncodeCase{"TwoByte", Units({0xE9}), "\xC3\xA9"},
                      EncodeCase{"ThreeByte", Units({0x20AC}), "\xE2\x82\xAC"},
                      EncodeCase{"PairToFourBytes", Units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},
                      EncodeCase{"LoneHighSurrogate", Units({0xD83D, 'a'}),
                                 "\xEF\xBF\xBD"
                                 "a"},
                      EncodeCase{"LoneLowSurrogate", Units({0xDE00}), "\xEF\xBF\xBD"},
                      EncodeCase{"SwappedPair", Units({0xDE00, 0xD83D}), "\xEF\xBF\xBD\xEF\xBF\xBD"},
                      EncodeCase{"CtrlZWritten", Units({0x1A}), "\x1A"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Utf8Lossless, KeepsUnpairedSurrogatesAcrossTheLibraryBoundary) {
  const std::wstring text = Units({'<', 0xD800, '>', 0xDFFF, 0xD83D, 0xDE00});
  EXPECT_EQ(text, DecodeUtf8(EncodeUtf8(text, Utf8Mode::Lossless), Utf8Mode::Lossless));
  EXPECT_EQ(Units({'<', 0xFFFD, '>', 0xFFFD, 0xD83D, 0xDE00}),
            DecodeUtf8(EncodeUtf8(text, Utf8Mode::Strict), Utf8Mode::Strict));
}

TEST(Utf8RoundTrip, EveryCodeUnitSurvivesFileFormat) {
  // All BMP units but CR, Ctrl-Z and surrogates, and a pair per plane.
  std::wstring text;
  for (unsigned u = 1; u < 0x10000; ++u) {
    if (u != '\r' && u != 0x1A && (u < 0xD800 || u > 0xDFFF)) {
      text += static_cast<wchar_t>(u);
    }
  }
  for (unsigned plane = 1; plane <= 16; ++plane) {
    const unsigned cp = plane * 0x10000 + 0x1234 - 0x10000;
    text += static_cast<wchar_t>(0xD800 + (cp >> 10));
    text += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  }
  std::wstring back;
  ASSERT_TRUE(DecodeTextFile(EncodeTextFile(text), back));
  EXPECT_EQ(text, back);
}

#ifdef _WIN32
// The codec beside the system's own conversions (CP_UTF8, flags 0), which
// the file format is defined by. On well-formed text, and on where a
// replacement goes, they agree. They differ only in how many U+FFFD stand
// for one ill-formed sequence (rows marked "differs"): the system answers
// here are Wine 8's, which takes some sequences as one unit; Windows is
// taken to answer as the codec does (not yet seen). The tool keeps
// its codec, which follows Unicode's recommended practice (one U+FFFD per
// maximal ill-formed subpart), so that a file reads the same on every
// platform and under the host tests; nothing well-formed is lost either way.
struct SystemDecodeCase {
  const char *name;
  std::string bytes;
  std::wstring codec;
  std::wstring system;
};

std::wstring SystemDecode(const std::string &bytes) {
  const int size = static_cast<int>(bytes.size());
  std::wstring text(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0)),
                    L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, text.data(), static_cast<int>(text.size()));
  return text;
}

class SystemDecodeTest : public ::testing::TestWithParam<SystemDecodeCase> {};

TEST_P(SystemDecodeTest, ComparesWithTheSystem) {
  EXPECT_EQ(GetParam().codec, DecodeUtf8(GetParam().bytes, Utf8Mode::Strict));
  EXPECT_EQ(testfiles::UnderWine() ? GetParam().system : GetParam().codec, SystemDecode(GetParam().bytes));
}

const std::wstring kR1 = Units({0xFFFD});
const std::wstring kR2 = kR1 + kR1;
const std::wstring kR3 = kR2 + kR1;
const std::wstring kR4 = kR2 + kR2;

INSTANTIATE_TEST_SUITE_P(
    Cases, SystemDecodeTest,
    ::testing::Values(SystemDecodeCase{"LoneFF", "a\xFF", L"a" + kR1, L"a" + kR1},
                      SystemDecodeCase{"LoneContinuation", "a\x80", L"a" + kR1, L"a" + kR1},
                      SystemDecodeCase{"OverlongTwoBytes", "\xC0\x80", kR2, kR2},
                      SystemDecodeCase{"TruncatedThenAscii", "\xE2\x82z", kR1 + L"z", kR1 + L"z"},
                      SystemDecodeCase{"TruncatedAtEnd", "ok\xF0\x9F\x98", L"ok" + kR1, L"ok" + kR1},
                      SystemDecodeCase{"BadSecondByte", "\xC3(", kR1 + L"(", kR1 + L"("},
                      SystemDecodeCase{"NoStartByte", "\xF5\x80\x80\x80", kR4, kR4},
                      SystemDecodeCase{"Noncharacter", "\xEF\xBF\xBF", Units({0xFFFF}), Units({0xFFFF})},
                      // differs: overlong three-byte form
                      SystemDecodeCase{"OverlongThreeBytes", "\xE0\x80\x80", kR3, kR2},
                      // differs: an encoded surrogate
                      SystemDecodeCase{"EncodedSurrogate", "\xED\xA0\x80", kR3, kR2},
                      // differs: above U+10FFFF
                      SystemDecodeCase{"AboveUnicode", "\xF4\x90\x80\x80", kR4, kR3}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SystemEncode, AgreesOnUnpairedSurrogates) {
  for (const std::wstring &text : {Units({0xD83D, 'a'}), Units({0xDE00}), Units({0xDE00, 0xD83D}),
                                   Units({'x', 0xD800}), Units({0xFFFF}), Units({0xD83D, 0xDE00})}) {
    const int size = static_cast<int>(text.size());
    std::string bytes(static_cast<std::size_t>(
                          WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr)),
                      '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                        nullptr);
    EXPECT_EQ(bytes, EncodeUtf8(text, Utf8Mode::Strict));
  }
}
#endif

}  // namespace
