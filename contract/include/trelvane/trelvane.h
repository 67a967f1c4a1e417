// The automation face of the Trelvane driver for client programs: the
// automation types and calls a client needs (IUnknown, IDispatch, VARIANT,
// BSTR, HRESULT, activation and the message wait), at global scope as
// automation code expects them, and the driver's identities and interfaces.
//
// None of its headers declares a macro or any of the names that common C
// headers define as macros (TRUE, FALSE, Status, None, Bool...), so that it
// can be included beside <curses.h>, <X11/Xlib.h> and the C library's
// headers in any order. The declarations are those of the library
// (libtrelvane-client) that defines them; it needs C++20.
#pragma once

#include <trelvane/automation_activation.h>
#include <trelvane/automation_messages.h>
#include <trelvane/automation_objects.h>
#include <trelvane/automation_types.h>

#include "interfaces.h"  // beside this header
