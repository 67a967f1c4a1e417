// FormatMessageW for the platform's own messages, and LocalFree for the
// buffers it allocates.
#pragma once

#include <string>

#include "platform/base/types.h"

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr LANGID MAKELANGID(WORD primary, WORD sub) { return static_cast<LANGID>((sub << 10) | primary); }

// Only FORMAT_MESSAGE_FROM_SYSTEM is supported, with or without
// FORMAT_MESSAGE_ALLOCATE_BUFFER (then lpBuffer is really an LPWSTR* and the
// text is freed with LocalFree). Inserts are never expanded. Returns the
// number of characters written without the terminator, or 0 with the last
// error set: ERROR_MR_MID_NOT_FOUND for an unknown id, ERROR_INSUFFICIENT_BUFFER
// when nSize is too small, ERROR_INVALID_PARAMETER for other sources.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, void* Arguments);

HLOCAL LocalAlloc(UINT uFlags, std::size_t uBytes);
HLOCAL LocalFree(HLOCAL hMem);

// The system text of a message id as UTF-8 without the trailing line break;
// for log lines of the platform layer and tools. Unknown ids read "Error N".
std::string SystemMessageText(DWORD code);
