// Whole-file text access in the settings file's format (see Utf8Codec.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/Win32.h"

// The whole decoded text; empty when the file cannot be opened (missing,
// refused, held by a writer, or starting with FE FF).
std::wstring FileReadAllText(LPCWSTR path);

// Replaces the file's content with the text, in place: an existing file
// stays the same file (security, attributes, streams, links, identity). It
// is refused exactly where a writer's open is, and then nothing is touched.
// A failure after the open puts the original bytes back; a copy of them
// beside the file covers the time of the write and is removed afterwards.
// Console control events wait until the write is done.
// 0 on success; -1 on failure, with the system's reason as the last error.
std::int32_t FileWriteAllText(LPCWSTR path, std::wstring text);
