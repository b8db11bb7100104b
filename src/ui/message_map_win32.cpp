#include "ui/message_map_win32.h"

LRESULT DispatchMessageMap(const MessageMapEntry* map, size_t count, HWND window, UINT message,
                           WPARAM wParam, LPARAM lParam) {
  for (size_t i = 0; i < count; ++i) {
    if (map[i].message == message) return map[i].handler(window, message, wParam, lParam);
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT DispatchCommandMap(const CommandMapEntry* map, size_t count, HWND window, WPARAM wParam,
                           LPARAM lParam) {
  const int id = LOWORD(wParam);
  const int code = HIWORD(wParam);
  for (size_t i = 0; i < count; ++i) {
    if (map[i].controlId == id) {
      return map[i].handler(window, id, reinterpret_cast<HWND>(lParam), code);
    }
  }
  return 0;
}
