// Per-thread message queues and thread timers. A thread gets its queue the
// first time it calls one of these functions (or is posted to after that).
// Timer procedures run from DispatchMessageW on the thread that set them.
#pragma once

#include "platform/base/kernel_object.h"
#include "platform/base/types.h"
#include "trelvane/automation_messages.h"

// MSG, the message loop's calls and the messages and kinds of input that
// clients use too (WM_QUIT, WM_APP, PM_REMOVE, QS_ALLINPUT...) are declared
// in the header installed for them; the others are here.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;

// Kinds of input for MsgWaitForMultipleObjectsEx. Only posted messages and
// timers exist here; the other kinds are accepted and never arrive.
constexpr DWORD QS_KEY = 0x0001;
constexpr DWORD QS_MOUSEMOVE = 0x0002;
constexpr DWORD QS_MOUSEBUTTON = 0x0004;
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_TIMER = 0x0010;
constexpr DWORD QS_PAINT = 0x0020;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_HOTKEY = 0x0080;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
constexpr DWORD QS_RAWINPUT = 0x0400;
constexpr DWORD MWMO_WAITALL = 0x0001;
constexpr DWORD MWMO_ALERTABLE = 0x0002;

using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

// MsgWaitForMultipleObjectsEx with MWMO_WAITALL for fWaitAll.
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask);

// Thread timers: hWnd must be null. SetTimer with an id of an existing timer
// of this thread replaces it; any other id makes a new timer.
UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc);
BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent);
