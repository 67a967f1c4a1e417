// Per-thread message queues and thread timers. A thread gets its queue the
// first time it calls one of these functions (or is posted to after that).
// Timer procedures run from DispatchMessageW on the thread that set them.
#pragma once

#include "platform/base/kernel_object.h"
#include "platform/base/types.h"

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;
constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;
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
constexpr DWORD QS_ALLINPUT = 0x04FF;
constexpr DWORD MWMO_WAITALL = 0x0001;
constexpr DWORD MWMO_ALERTABLE = 0x0002;
constexpr DWORD MWMO_INPUTAVAILABLE = 0x0004;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

// Waits for the next message. Returns 0 for WM_QUIT, -1 for a bad argument,
// otherwise non-zero. Only thread messages exist: hWnd must be null. A
// filter other than 0, 0 takes only the messages from min to max.
BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
BOOL TranslateMessage(const MSG* lpMsg);
LRESULT DispatchMessageW(const MSG* lpMsg);
BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int nExitCode);

// Waits until one of the objects is signalled (WAIT_OBJECT_0 + its index) or
// input of dwWakeMask is in the thread's queue (WAIT_OBJECT_0 + nCount):
// with MWMO_INPUTAVAILABLE any such input, without it only input that came
// after the thread last looked with GetMessageW or PeekMessageW. A due timer
// always counts when QS_TIMER is asked for. WAIT_TIMEOUT or WAIT_FAILED
// otherwise. Waiting for all objects (MWMO_WAITALL) is not supported.
DWORD MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles, DWORD dwMilliseconds, DWORD dwWakeMask,
                                  DWORD dwFlags);
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask);

// Thread timers: hWnd must be null. SetTimer with an id of an existing timer
// of this thread replaces it; any other id makes a new timer.
UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc);
BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent);
