#include "ui/message_box_win32.h"

#include <atomic>

static std::atomic<MessageBoxHook> g_hook{nullptr};

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  // A box takes the keyboard while it shows, and on a desktop the focus then lands on the main
  // window rather than where it was: the control that had it gets it back, so the arrows,
  // Ctrl+C or typing go on where the user left them.
  HWND focus = GetFocus();
  MessageBoxHook hook = g_hook.load();
  const int answer =
      hook ? hook(owner, text, caption, type) : MessageBoxW(owner, text, caption, type);
  if (focus && IsWindow(focus) && GetFocus() != focus) SetFocus(focus);
  return answer;
}

void SetMessageBoxHook(MessageBoxHook hook) { g_hook.store(hook); }
