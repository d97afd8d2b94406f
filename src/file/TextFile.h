// Whole-file text access in the settings file's format (see Utf8Codec.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/Win32.h"

// The whole decoded text; empty when the file cannot be opened (missing,
// refused, held by a writer, or starting with FE FF).
std::wstring FileReadAllText(LPCWSTR path);

// Replaces the file's content with the text. The new bytes go to a temporary
// file beside it, which then replaces the original in one step, so a failure
// at any point leaves the original as it was and no temporary file behind.
// 0 on success; -1 on failure, with the system's reason as the last error.
std::int32_t FileWriteAllText(LPCWSTR path, std::wstring text);
