// A thread's messages: the replies to its calls and the events for its sinks
// arrive while it waits here, and run from DispatchMessageW.
#pragma once

#include "automation_types.h"

constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_APP = 0x8000;
constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;
constexpr DWORD QS_ALLINPUT = 0x04FF;
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
