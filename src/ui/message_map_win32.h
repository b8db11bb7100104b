// Every window procedure of the program is a constant table of (message, handler) pairs, and
// every WM_COMMAND goes through a table of (control id, handler) pairs. Keeping the routing in
// data makes each page's behaviour readable at a glance and keeps the procedures trivial.
#pragma once
#include <windows.h>

#include <array>
#include <cstddef>

using MessageHandler = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
struct MessageMapEntry {
  UINT message;
  MessageHandler handler;
};

// A command handler gets the window, the control id, the control's window (lParam of
// WM_COMMAND) and the notification code (high word of wParam).
using CommandHandler = LRESULT (*)(HWND window, int controlId, HWND control, int notificationCode);
struct CommandMapEntry {
  int controlId;
  CommandHandler handler;
};

// The first entry whose message matches handles it; unmatched messages go to DefWindowProcW.
LRESULT DispatchMessageMap(const MessageMapEntry* map, size_t count, HWND window, UINT message,
                           WPARAM wParam, LPARAM lParam);
// The first entry whose id matches the low word of wParam handles it; unknown ids yield 0.
LRESULT DispatchCommandMap(const CommandMapEntry* map, size_t count, HWND window, WPARAM wParam,
                           LPARAM lParam);

template <size_t N>
LRESULT DispatchMessageMap(const MessageMapEntry (&map)[N], HWND window, UINT message,
                           WPARAM wParam, LPARAM lParam) {
  return DispatchMessageMap(map, N, window, message, wParam, lParam);
}
template <size_t N>
LRESULT DispatchCommandMap(const CommandMapEntry (&map)[N], HWND window, WPARAM wParam,
                           LPARAM lParam) {
  return DispatchCommandMap(map, N, window, wParam, lParam);
}
// A page whose controls send no command yet still has its table, for its first button's row.
template <size_t N>
LRESULT DispatchCommandMap(const std::array<CommandMapEntry, N>& map, HWND window, WPARAM wParam,
                           LPARAM lParam) {
  return DispatchCommandMap(map.data(), N, window, wParam, lParam);
}
