#include "ui/page_controls_win32.h"

#include <commctrl.h>

#include "i18n/language_file.h"
#include "ui/app_globals_win32.h"
#include "ui/desktop_win32.h"
#include "ui/window_layout_win32.h"

const wchar_t kAboutText[] =
    L"Vostrel(Corvinet) v.2.04 b40423\r\n"
    L"(c) 2004 Vostrel team\r\n"
    L"\r\n"
    // "Questions and ideas: on our forum", kept short enough for the portrait text box.
    L"\u0412\u043e\u043f\u0440\u043e\u0441\u044b \u0438 \u0438\u0434\u0435\u0438 - \u043d\u0430 "
    L"\u0444\u043e\u0440\u0443\u043c\u0435 vostrel.example\r\n\n"
    L"\u0410\u043f\u0440\u0435\u043b\u044c, 2004";

// The handheld has no simple (always open) combo box: a combo box without type bits drops its
// list down, and the heights in the tables are those of the dropped list. A desktop reads the
// missing bits as the simple kind and would lay the open list over the criteria, so the
// drop-down list kind is named here.
constexpr DWORD kHandheldComboStyle = CBS_DROPDOWNLIST;

// One row per control: class, id, default text, portrait and landscape rectangles, style.
// clang-format off
const ControlSpec SearchControls[kSearchControlCount] = {
    {L"static",   -1,                 L"",                            {17, 235, 206, 1},  {0, 3, 640, 14},   WS_BORDER | SS_CENTER},
    {L"static",   -1,                 L"",                            {15, 237, 210, 1},  {0, 3, 640, 14},   WS_BORDER | SS_CENTER},
    {L"static",   -1,                 L"Vostrel v.2.04a build 40423", {0, 217, 240, 14},  {0, 3, 640, 14},   SS_CENTER},
    {L"combobox", IdDatabaseSelector, L"",                            {5, 26, 230, 80},   {65, 30, 170, 80}, WS_BORDER | WS_VSCROLL | kHandheldComboStyle},
    {L"static",   IdDatabaseLabel,    L"DB",                          {5, 9, 80, 14},     {5, 33, 59, 14},   SS_LEFT},
    {L"BUTTON",   IdStartButton,      L"Start",                       {65, 163, 70, 20},  {65, 163, 70, 20}, BS_PUSHBUTTON | BS_NOTIFY},
    {L"BUTTON",   IdResetButton,      L"Reset",                       {140, 163, 70, 20}, {140, 163, 70, 20}, BS_PUSHBUTTON | BS_NOTIFY},
    // The handheld's soft-input-panel preference; on the desktop its class does not exist.
    {L"SIPPREF",  -1,                 L"",                            {-10, -10, 5, 5},   {-10, -10, 5, 5},  WS_CHILD},
};

const ControlSpec ResultControls[kResultControlCount] = {
    {L"SysListView32",     IdResultList,  L"",          {0, 0, 239, 218},   {5, 36, 630, 130},  WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL | LVS_REPORT | LVS_OWNERDATA},
    {L"static",            IdStatusLine,  L"",          {5, 226, 84, 14},   {5, 170, 84, 14},   WS_VISIBLE | SS_LEFT},
    {L"msctls_progress32", IdProgressBar, L"Progress1", {100, 227, 130, 12}, {100, 171, 130, 12}, WS_BORDER},
};

const ControlSpec SetupControls[kSetupControlCount] = {
    {L"static",   IdSetupTitle,         L"Corvinet Options:",      {0, 7, 240, 14},    {0, 3, 640, 14},    SS_CENTER},
    {L"static",   -1,                   L"Language:",              {5, 33, 65, 24},    {5, 18, 65, 24},    SS_LEFT},
    {L"combobox", IdLanguageSelector,   L"",                       {70, 30, 80, 70},   {70, 16, 80, 70},   WS_BORDER | WS_VSCROLL | kHandheldComboStyle},
    {L"BUTTON",   IdSaveLanguageButton, L"Save",                   {155, 30, 74, 20},  {155, 16, 74, 20},  BS_PUSHBUTTON | BS_NOTIFY},
    {L"static",   IdInstallLabel,       L"Install new databases:", {5, 60, 225, 22},   {5, 40, 225, 22},   SS_LEFT},
    {L"BUTTON",   IdFindButton,         L"Find DB",                {5, 207, 74, 20},   {5, 163, 74, 20},   BS_PUSHBUTTON | BS_NOTIFY},
    {L"BUTTON",   IdInstallButton,      L"Install",                {81, 207, 74, 20},  {81, 163, 74, 20},  BS_PUSHBUTTON | BS_NOTIFY},
    {L"BUTTON",   IdCheckButton,        L"Check",                  {157, 207, 74, 20}, {157, 163, 74, 20}, BS_PUSHBUTTON | BS_NOTIFY},
    {L"Listbox",  IdFoundList,          L"",                       {5, 85, 225, 120},  {5, 63, 630, 97},   WS_BORDER | WS_VSCROLL | WS_HSCROLL | LBS_NOTIFY},
    // The desktop's own: the folder Find DB walks now, shortened in its middle when long.
    {L"static",   IdWalkFolder,         L"",                       {5, 231, 225, 14},  {5, 187, 630, 14},  SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS},
};

const ControlSpec AboutControls[kAboutControlCount] = {
    {L"static", IdAboutText, kAboutText,     {55, 20, 160, 180}, {55, 20, 250, 180}, SS_LEFT},
    {L"static", IdAboutIcon, L"IDI_VOSTREL", {10, 20, 32, 32},   {10, 20, 32, 32},   SS_ICON},
};
// clang-format on

const ControlSpec* ControlRowById(const ControlSpec* rows, int count, int id) {
  for (int i = 0; i < count; ++i)
    if (rows[i].id == id) return &rows[i];
  return nullptr;
}

int ScaleToDpi(int value) { return MulDiv(value, WindowDpi, 96); }

int ScaleFromDpi(int value) { return MulDiv(value, 96, WindowDpi); }

bool TranslateKey(int key, wchar_t* out) {
  out[0] = L'\0';
  if (!TheLanguageFile.file) return false;
  LookupLanguageString(&TheLanguageFile, key, out);
  out[kLanguageValueCapacity - 1] = L'\0';
  return out[0] != L'\0';
}

void BuildPageControls(HWND page, const ControlSpec* table, int rowCount, DWORD baseStyle,
                       bool translate) {
  for (int i = 0; i < rowCount; ++i) {
    const ControlSpec& row = table[i];
    wchar_t translation[kLanguageValueCapacity];
    const wchar_t* text = row.defaultText;
    if (translate && row.defaultText[0] != L'\0' && TranslateKey(row.id, translation)) {
      text = translation;
    }
    const ControlRect r = RectForLayout(row);
    HWND control = CreateWindowExW(
        0, row.className, text, row.style | baseStyle, r.x, r.y, r.width, r.height, page,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), ApplicationInstance, nullptr);
    UseMessageFont(control);
    RememberControlRow(control, &row);
  }
}
