#include "app/SettingsDocument.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

std::int64_t FixedTime() {
  return 1765432100;
}
std::int64_t UnknownTime() {
  return -1;
}

SettingsUpdateResult Update(const std::wstring &text, MigrationClock clock = FixedTime) {
  return UpdateSettingsDocument(text, clock);
}

TEST(SettingsDocument, UpdatesAndPrintsWithTheLibraryLayout) {
  const auto result = Update(
      L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      L"<!-- kept -->\n"
      L"<kvvpn>\n"
      L"\t<settings mode=\"x\">\n"
      L"\t\t<server>  eu   one </server>\n"
      L"\t\t<switch_provider>1</switch_provider>\n"
      L"\t\t<time_provider>17</time_provider>\n"
      L"\t\t<empty></empty>\n"
      L"\t</settings>\n"
      L"</kvvpn>\n");
  ASSERT_EQ(SettingsUpdateOutcome::Updated, result.outcome);
  EXPECT_EQ(
      L"<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
      L"<!-- kept -->\n"
      L"<kvvpn>\n"
      L"    <settings mode=\"x\">\n"
      L"        <server>eu one</server>\n"
      L"        <switch_provider>2</switch_provider>\n"
      L"        <time_provider>1765432100</time_provider>\n"
      L"        <empty />\n"
      L"    </settings>\n"
      L"</kvvpn>\n",
      result.text);
  EXPECT_EQ(L"", result.errorDesc);
  EXPECT_EQ(0, result.errorRow);
}

struct UpdateCase {
  const char *name;
  std::wstring input;
  std::wstring settingsPrinted;  // the printed settings element
};

class SettingsUpdateTest : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(SettingsUpdateTest, EditsOnlyTheFirstElements) {
  const auto result = Update(GetParam().input);
  ASSERT_EQ(SettingsUpdateOutcome::Updated, result.outcome);
  EXPECT_EQ(GetParam().settingsPrinted, result.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsUpdateTest,
    ::testing::Values(
        UpdateCase{"EmptySettingsGetsBothAtTheEnd", L"<r><settings/></r>",
                   L"<r>\n    <settings>\n        <switch_provider>2</switch_provider>\n"
                   L"        <time_provider>1765432100</time_provider>\n    </settings>\n</r>\n"},
        UpdateCase{"LeadingZeroIsNotTheMarker",
                   L"<r><settings><switch_provider>02</switch_provider></settings></r>",
                   L"<r>\n    <settings>\n        <switch_provider>2</switch_provider>\n"
                   L"        <time_provider>1765432100</time_provider>\n    </settings>\n</r>\n"},
        UpdateCase{"CommentBeforeMarkerIsReplaced",
                   L"<r><settings><switch_provider><!--c-->2</switch_provider></settings></r>",
                   L"<r>\n    <settings>\n        <switch_provider>2</switch_provider>\n"
                   L"        <time_provider>1765432100</time_provider>\n    </settings>\n</r>\n"},
        UpdateCase{"ChildElementsGoAttributesStay",
                   L"<r><settings><switch_provider id=\"7\"><a>2</a><b/></switch_provider></settings></r>",
                   L"<r>\n    <settings>\n        <switch_provider id=\"7\">2</switch_provider>\n"
                   L"        <time_provider>1765432100</time_provider>\n    </settings>\n</r>\n"},
        UpdateCase{
            "OnlyFirstSwitchAndTimeChange",
            L"<r><settings><time_provider>5<x/>6</time_provider><switch_provider>1</switch_provider>"
            L"<switch_provider>1</switch_provider><time_provider>9</time_provider></settings></r>",
            L"<r>\n    <settings>\n        <time_provider>1765432100</time_provider>\n"
            L"        <switch_provider>2</switch_provider>\n        <switch_provider>1</switch_provider>\n"
            L"        <time_provider>9</time_provider>\n    </settings>\n</r>\n"},
        UpdateCase{"OnlyFirstSettingsConsidered",
                   L"<r><settings/><settings><switch_provider>1</switch_provider></settings></r>",
                   L"<r>\n    <settings>\n        <switch_provider>2</switch_provider>\n"
                   L"        <time_provider>1765432100</time_provider>\n    </settings>\n    <settings>\n"
                   L"        <switch_provider>1</switch_provider>\n    </settings>\n</r>\n"},
        // Upstream TinyXML 2.6.2 prints this text back as "&#x41;", which the
        // next read turns into "A"; the patched sources keep it.
        UpdateCase{"EscapedReferenceStaysEscaped", L"<r><settings><a>&amp;#x41;</a></settings></r>",
                   L"<r>\n    <settings>\n        <a>&amp;#x41;</a>\n"
                   L"        <switch_provider>2</switch_provider>\n"
                   L"        <time_provider>1765432100</time_provider>\n    </settings>\n</r>\n"},
        UpdateCase{"NonAsciiAndReferencesSurvive",
                   L"<r n=\"caf\u00e9\"><settings><n>&#x1F600;&lt;\xD83D\xDE00</n></settings></r>",
                   L"<r n=\"caf\u00e9\">\n    <settings>\n        <n>\xD83D\xDE00&lt;\xD83D\xDE00</n>\n"
                   L"        <switch_provider>2</switch_provider>\n"
                   L"        <time_provider>1765432100</time_provider>\n    </settings>\n</r>\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SettingsDocument, UnknownTimeIsWrittenAsMinusOne) {
  const auto result = Update(L"<r><settings/></r>", UnknownTime);
  ASSERT_EQ(SettingsUpdateOutcome::Updated, result.outcome);
  EXPECT_NE(std::wstring::npos, result.text.find(L"<time_provider>-1</time_provider>"));
}

TEST(SettingsDocument, UsesTheRuntimeClockByDefault) {
  const std::int64_t before = CurrentMigrationTime();
  const auto result = UpdateSettingsDocument(L"<r><settings/></r>");
  const std::int64_t after = CurrentMigrationTime();
  const auto start = result.text.find(L"<time_provider>") + 15;
  const std::int64_t written = std::stoll(result.text.substr(start, result.text.find(L'<', start) - start));
  EXPECT_GE(written, before);
  EXPECT_LE(written, after);
  EXPECT_GT(before, 1700000000);
}

struct OutcomeCase {
  const char *name;
  std::wstring input;
  SettingsUpdateOutcome outcome;
};

class SettingsOutcomeTest : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(SettingsOutcomeTest, ReportsWithoutPrinting) {
  const auto result = Update(GetParam().input);
  EXPECT_EQ(GetParam().outcome, result.outcome);
  EXPECT_EQ(L"", result.text);
  EXPECT_EQ(L"", result.errorDesc);
  EXPECT_EQ(0, result.errorRow);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsOutcomeTest,
    ::testing::Values(
        OutcomeCase{"DeclarationAndCommentOnly", L"<?xml version=\"1.0\"?>\n<!-- nothing -->\n",
                    SettingsUpdateOutcome::NoRootElement},
        OutcomeCase{"NoSettings", L"<r><other/></r>", SettingsUpdateOutcome::NoSettingsElement},
        OutcomeCase{"SettingsOtherCase", L"<r><Settings/></r>", SettingsUpdateOutcome::NoSettingsElement},
        OutcomeCase{"SettingsTooDeep", L"<r><x><settings/></x></r>",
                    SettingsUpdateOutcome::NoSettingsElement},
        OutcomeCase{"SettingsAsRootOnly", L"<settings><switch_provider>1</switch_provider></settings>",
                    SettingsUpdateOutcome::NoSettingsElement},
        OutcomeCase{"MarkerWithoutTime", L"<r><settings><switch_provider>2</switch_provider></settings></r>",
                    SettingsUpdateOutcome::AlreadyMigrated},
        OutcomeCase{
            "MarkerWithEmptyTime",
            L"<any><settings><switch_provider a=\"1\">2</switch_provider><time_provider/></settings></any>",
            SettingsUpdateOutcome::AlreadyMigrated},
        OutcomeCase{"MarkerBeforeElement",
                    L"<r><settings><switch_provider>2<x/></switch_provider></settings></r>",
                    SettingsUpdateOutcome::AlreadyMigrated}),
    [](const auto &info) { return std::string(info.param.name); });

struct ParseCase {
  const char *name;
  std::wstring input;
  std::wstring desc;
  std::int32_t row;
};

// The deepest nesting the update takes; one level more is refused.
constexpr int kNestingLimit = 256;
const std::wstring kTooDeep = L"Error elements nested too deeply.";
const std::wstring kNoValue = L"Error reading Element value.";

std::wstring Repeat(const std::wstring &text, int count) {
  std::wstring out;
  for (int i = 0; i < count; ++i) {
    out += text;
  }
  return out;
}

// Elements nested 'levels' deep after 'before', one start tag a row.
std::wstring Nested(const std::wstring &before, int levels, const std::wstring &after,
                    const std::wstring &name = L"a") {
  return before + Repeat(L"<" + name + L">\n", levels) + Repeat(L"</" + name + L">", levels) + after;
}
const std::wstring kInSettings = L"<r>\n<settings>\n";
const std::wstring kBesideSettings = L"<r>\n<settings/>\n<x>\n";

// One level too deep in elements whose names start with 'start'.
std::wstring TooDeepIn(const std::wstring &start) {
  return Nested(kInSettings, kNestingLimit - 1, L"</settings></r>", start + L"1");
}
// 'before', then more levels than the limit.
std::wstring DeepAfter(const std::wstring &before) {
  return L"<r><settings>" + before + Repeat(L"<a>", kNestingLimit) + L"</settings></r>";
}
// Start tags of no element: the parser reads each as unknown markup.
const std::wstring kNoNames = L"<:a><@a><[a><`a><{a><~a><0a><-a>< a>";

// Fake end tags where the parser reads something else: a reader that took
// them for end tags would count the nesting too low.
std::wstring Hidden(const std::wstring &open, const std::wstring &close) {
  return L"<r><settings>" + Repeat(Repeat(L"<a>", 100) + open + Repeat(L"</a>", 100) + close, 3) +
         L"</settings></r>";
}

class SettingsParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SettingsParseTest, ReportsTheLibrarysDescriptionAndRow) {
  const auto result = Update(GetParam().input);
  EXPECT_EQ(SettingsUpdateOutcome::ParseFailed, result.outcome);
  EXPECT_EQ(GetParam().desc, result.errorDesc);
  EXPECT_EQ(GetParam().row, result.errorRow);
  EXPECT_EQ(L"", result.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsParseTest,
    ::testing::Values(ParseCase{"Empty", L"", L"Error document empty.", 0},
                      ParseCase{"BlanksOnly", L"   \n  ", L"Error document empty.", 0},
                      ParseCase{"UnclosedTag", L"<r>\n<settings>\n</r>", L"Error reading end tag.", 3},
                      ParseCase{"DuplicateAttribute", L"<r>\n\u00e9\u00e9<s a=\"1\" a=\"2\"/></r>",
                                L"Error parsing Element.", 2},
                      ParseCase{"TruncatedElement", L"<r>\n<s", L"Failed to read Element name", 2},
                      // The parser gives up without a report of its own; that
                      // empty report is what the caller gets.
                      ParseCase{"UnterminatedCommentUnreported", L"<r/>\n\n<!-- open", L"", 1},
                      // Too deep for the library's recursion: refused before it
                      // parses, at the row where the limit is passed.
                      ParseCase{"OneLevelTooDeep", Nested(kInSettings, kNestingLimit - 1, L"</settings></r>"),
                                kTooDeep, kNestingLimit + 1},
                      ParseCase{"TenThousandInSettings", Nested(kInSettings, 10000, L"</settings></r>"),
                                kTooDeep, kNestingLimit + 1},
                      ParseCase{"HundredThousandInSettings", Nested(kInSettings, 100000, L"</settings></r>"),
                                kTooDeep, kNestingLimit + 1},
                      ParseCase{"MillionInSettings", Nested(kInSettings, 1000000, L"</settings></r>"),
                                kTooDeep, kNestingLimit + 1},
                      ParseCase{"TenThousandBesideSettings", Nested(kBesideSettings, 10000, L"</x></r>"),
                                kTooDeep, kNestingLimit + 2},
                      ParseCase{"HundredThousandBesideSettings", Nested(kBesideSettings, 100000, L"</x></r>"),
                                kTooDeep, kNestingLimit + 2},
                      ParseCase{"MillionBesideSettings", Nested(kBesideSettings, 1000000, L"</x></r>"),
                                kTooDeep, kNestingLimit + 2},
                      ParseCase{"MillionWithoutRootWrapperOrEnd", Repeat(L"<a>\r\n", 1000000), kTooDeep,
                                kNestingLimit + 1},
                      ParseCase{"EndTagsInAReference", Hidden(L"x&#x1", L"x1;"), kTooDeep, 1},
                      ParseCase{"EndTagsInAQuotedAttribute", Hidden(L"<b c=\"", L"\"/>"), kTooDeep, 1},
                      ParseCase{"EndTagsInADeclaration", Hidden(L"<?xml version='", L"'?>"), kTooDeep, 1},
                      ParseCase{"EndTagsInAComment", Hidden(L"<!--", L"-->"), kTooDeep, 1},
                      ParseCase{"EndTagsInCData", Hidden(L"<![CDATA[", L"]]>"), kTooDeep, 1},
                      // Every byte the parser takes to start a name.
                      ParseCase{"UnderscoreTooDeep", TooDeepIn(L"_"), kTooDeep, kNestingLimit + 1},
                      ParseCase{"UpperATooDeep", TooDeepIn(L"A"), kTooDeep, kNestingLimit + 1},
                      ParseCase{"UpperZTooDeep", TooDeepIn(L"Z"), kTooDeep, kNestingLimit + 1},
                      ParseCase{"LowerZTooDeep", TooDeepIn(L"z"), kTooDeep, kNestingLimit + 1},
                      ParseCase{"DeleteTooDeep", TooDeepIn(L"\x7F"), kTooDeep, kNestingLimit + 1},
                      ParseCase{"TwoBytesTooDeep", TooDeepIn(L"\u0080"), kTooDeep, kNestingLimit + 1},
                      ParseCase{"ThreeBytesTooDeep", TooDeepIn(L"\uFFFD"), kTooDeep, kNestingLimit + 1},
                      ParseCase{"FourBytesTooDeep", TooDeepIn(L"\xDBFF\xDFFF"), kTooDeep, kNestingLimit + 1},
                      // The parser goes on past these, and past "&", "&#;" and
                      // "&#x;"; it gives up at the references cut shorter.
                      ParseCase{"AfterNoNames", DeepAfter(kNoNames), kTooDeep, 1},
                      ParseCase{"AfterAmpersand", DeepAfter(L"&"), kTooDeep, 1},
                      ParseCase{"AfterEmptyDecimal", DeepAfter(L"&#;"), kTooDeep, 1},
                      ParseCase{"AfterEmptyHex", DeepAfter(L"&#x;"), kTooDeep, 1},
                      ParseCase{"AfterHashOnly", DeepAfter(L"&#"), kNoValue, 0},
                      ParseCase{"AfterHashX", DeepAfter(L"&#x"), kNoValue, 0},
                      ParseCase{"AfterHexDigit", DeepAfter(L"&#x4"), kNoValue, 0},
                      ParseCase{"AfterDecimalDigit", DeepAfter(L"&#6"), kNoValue, 0}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

namespace {

TEST(SettingsDocument, NestingUpToTheLimitMigrates) {
  // The root and settings are two of the levels.
  const auto deepest = Update(Nested(kInSettings, kNestingLimit - 2, L"</settings></r>"));
  ASSERT_EQ(SettingsUpdateOutcome::Updated, deepest.outcome);
  EXPECT_NE(std::wstring::npos, deepest.text.find(std::wstring(4 * (kNestingLimit - 1), L' ') + L"<a />\n"));
  EXPECT_TRUE(ReadsBackAsMigrated(deepest.text));
  // Start tags where the parser reads text, comments or attribute values
  // are no levels.
  const std::wstring inside = Repeat(L"<a>", 1000);
  EXPECT_EQ(SettingsUpdateOutcome::Updated,
            Update(L"<r><settings><!--" + inside + L"--><![CDATA[" + inside + L"]]><b c=\"" + inside +
                   L"\"/>" + L"<b>&lt;a&gt;</b>" + Repeat(kNoNames, kNestingLimit) + L"</settings></r>")
                .outcome);
}

#ifdef _WIN32
// The stack an update takes, on the build under test: the area below the
// caller is painted, and the deepest byte changed by the update is its
// high-water mark. Half a megabyte: room below the caller on MSVC's 1 MB
// stack, and more than the limit below.
constexpr std::size_t kPainted = 512 * 1024;
std::uintptr_t g_paintedBottom = 0;  // an address in a returned frame

#ifdef _MSC_VER
#define KV_NOINLINE __declspec(noinline)
#else
#define KV_NOINLINE __attribute__((noinline))
#endif
KV_NOINLINE void PaintStack() {
  volatile unsigned char area[kPainted];
  for (std::size_t i = 0; i < kPainted; ++i) {
    area[i] = 0x5A;
  }
  g_paintedBottom = reinterpret_cast<std::uintptr_t>(&area[0]);
}

std::size_t StackTakenBy(const std::wstring &text) {
  PaintStack();
  Update(text);
  const auto *painted = reinterpret_cast<const volatile unsigned char *>(g_paintedBottom);
  std::size_t untouched = 0;
  while (untouched < kPainted && painted[untouched] == 0x5A) {
    ++untouched;
  }
  return kPainted - untouched;
}

TEST(SettingsDocument, DocumentAtTheNestingLimitTakesAThirdOfTheSmallestStack) {
  const int half = (kNestingLimit - 2) / 2;
  const std::size_t shallow = StackTakenBy(Nested(kInSettings, half, L"</settings></r>"));
  const std::size_t deepest = StackTakenBy(Nested(kInSettings, 2 * half, L"</settings></r>"));
  std::printf("stack: %zu bytes at %d levels, %zu at %d: %zu a level\n", shallow, half + 2, deepest,
              2 * half + 2, (deepest - shallow) / half);
  // MSVC's linker gives the main thread 1 MB.
  EXPECT_LT(deepest, 1024u * 1024u / 3);
}
#endif

TEST(SettingsDocument, FinalLineBreakMakesNoDifference) {
  const std::wstring body =
      L"<?xml version=\"1.0\"?><r><settings><switch_provider>1</switch_provider></settings></r>";
  const auto bare = Update(body);
  const auto ended = Update(body + L"\r\n");
  ASSERT_EQ(SettingsUpdateOutcome::Updated, bare.outcome);
  ASSERT_EQ(SettingsUpdateOutcome::Updated, ended.outcome);
  EXPECT_EQ(ended.text, bare.text);
  EXPECT_EQ(SettingsUpdateOutcome::AlreadyMigrated,
            Update(L"<r><settings><switch_provider>2</switch_provider></settings></r>").outcome);
}

}  // namespace

namespace {

// Updated documents that the file would not give back as migrated.
struct ReadBackCase {
  const char *name;
  std::wstring input;
  bool readsBack;
};

class ReadBackTest : public ::testing::TestWithParam<ReadBackCase> {};

TEST_P(ReadBackTest, TellsWhetherTheWrittenFileWouldReadAsMigrated) {
  const auto result = Update(GetParam().input);
  ASSERT_EQ(SettingsUpdateOutcome::Updated, result.outcome);
  EXPECT_EQ(GetParam().readsBack, ReadsBackAsMigrated(result.text))
      << std::string(result.text.begin(), result.text.end());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadBackTest,
    ::testing::Values(
        ReadBackCase{"Ordinary", L"<?xml version=\"1.0\"?><r><settings><a>x &amp; y</a></settings></r>",
                     true},
        ReadBackCase{"EscapedReference", L"<r><settings><a>&amp;#x41;</a></settings></r>", true},
        // Found by fuzzing: the declaration's value is printed unescaped.
        ReadBackCase{"DeclarationPrintedUnparseable",
                     L"<?xmlencoding=\"&quot;>\"><gs><settings></settings></gs>", false},
        // The reference is printed as a raw Ctrl-Z, which ends the text read.
        ReadBackCase{"CtrlZInDeclaration", L"<?xml version=\"1.0\" encoding=\"&#x1A;\"?><r><settings/></r>",
                     false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
