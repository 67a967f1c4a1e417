// The platform on Windows: the system's headers for what the stand-in's
// areas provide elsewhere. The wide-character calls and TEXT("...") are those
// of UTF-16 text, as on the stand-in.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>
#include <sys/timeb.h>

// The length of a GUID's text with its terminator, as StringFromGUID2
// writes it: the system's headers declare it with the media interfaces only.
#ifndef CHARS_IN_GUID
constexpr int CHARS_IN_GUID = 39;
#endif

// Our own portable parts that code above the platform uses on both systems.
#include "platform/base/mutex.h"
