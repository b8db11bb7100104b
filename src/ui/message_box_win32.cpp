#include "ui/message_box_win32.h"

#include <atomic>

static std::atomic<MessageBoxHook> g_hook{nullptr};

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  MessageBoxHook hook = g_hook.load();
  if (hook) return hook(owner, text, caption, type);
  return MessageBoxW(owner, text, caption, type);
}

void SetMessageBoxHook(MessageBoxHook hook) { g_hook.store(hook); }
