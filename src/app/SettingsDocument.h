// The edit that brings the product's settings document into its migrated
// form: settings/switch_provider = "2" and settings/time_provider = the time.
#pragma once

#include <cstdint>
#include <string>

// In the order in which the checks are made.
enum class SettingsUpdateOutcome {
  ParseFailed,
  NoRootElement,
  NoSettingsElement,
  AlreadyMigrated,
  Updated,
};

struct SettingsUpdateResult {
  SettingsUpdateOutcome outcome = SettingsUpdateOutcome::ParseFailed;
  std::wstring errorDesc;     // ParseFailed: the parser's description
  std::int32_t errorRow = 0;  // ParseFailed: the parser's row (1-based; 0 if none)
  std::wstring text;          // Updated: the printed document
};

// Seconds since 1970-01-01 UTC, -1 when the runtime cannot tell.
using MigrationClock = std::int64_t (*)();
std::int64_t CurrentMigrationTime();

SettingsUpdateResult UpdateSettingsDocument(const std::wstring &text,
                                            MigrationClock clock = CurrentMigrationTime);

// Whether the printed document, as the file will hold it and as it is read
// back, still counts as migrated. The library prints some documents in a
// form it cannot parse, and the file format cannot carry every character
// (a Ctrl-Z ends the text on reading).
bool ReadsBackAsMigrated(const std::wstring &text);
