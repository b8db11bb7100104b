// The About page: the icon and the product text, the same in every language.
#include <array>

#include "ui/desktop_win32.h"
#include "ui/message_map_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"

namespace {

LRESULT OnCreate(HWND page, UINT, WPARAM, LPARAM) {
  BuildPageControls(page, AboutControls, kAboutControlCount, WS_CHILD | WS_VISIBLE, false);
  return 0;
}

LRESULT OnCtlColorStatic(HWND, UINT, WPARAM wParam, LPARAM) {
  return WhiteStaticColors(reinterpret_cast<HDC>(wParam));
}

// No control of the page sends a command yet.
const std::array<CommandMapEntry, 0> kAboutCommands = {};

LRESULT OnCommand(HWND page, UINT, WPARAM wParam, LPARAM lParam) {
  return DispatchCommandMap(kAboutCommands, page, wParam, lParam);
}

const MessageMapEntry kAboutMessages[] = {
    {WM_CREATE, OnCreate},
    {WM_COMMAND, OnCommand},
    {WM_CTLCOLORSTATIC, OnCtlColorStatic},
};

}  // namespace

LRESULT CALLBACK AboutPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DispatchMessageMap(kAboutMessages, window, message, wParam, lParam);
}
