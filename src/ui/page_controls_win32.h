// The fixed child controls of the four working pages, one constant table per page with one
// rectangle per layout, and the walk that creates them.
#pragma once
#include <windows.h>

#include <cstddef>

struct ControlRect {
  int x, y, width, height;
};

struct ControlSpec {
  const wchar_t* className;
  int id;  // -1 for controls nobody addresses; also the control's language key
  const wchar_t* defaultText;
  ControlRect portraitRect;
  ControlRect landscapeRect;
  DWORD style;  // the page's base style is added at creation
};

constexpr int kSearchControlCount = 8;
constexpr int kResultControlCount = 3;
constexpr int kSetupControlCount = 10;
constexpr int kAboutControlCount = 2;

extern const ControlSpec SearchControls[kSearchControlCount];
extern const ControlSpec ResultControls[kResultControlCount];
extern const ControlSpec SetupControls[kSetupControlCount];
extern const ControlSpec AboutControls[kAboutControlCount];

// The multi-line About text (never translated).
extern const wchar_t kAboutText[];

// Ids of the controls that the program addresses.
enum ControlId {
  IdFirstPage = 5,  // the page windows are 5 to 9, in PageIndex order
  IdTabControl = 200,
  IdDatabaseSelector = 1100,
  IdResetButton = 1106,
  IdStartButton = 1107,
  IdDatabaseLabel = 1109,
  IdResultList = 1201,
  IdStatusLine = 1202,
  IdProgressBar = 1203,
  IdFoundList = 1302,
  IdFindButton = 1303,
  IdInstallButton = 1304,
  IdCheckButton = 1305,
  IdSetupTitle = 1306,
  IdInstallLabel = 1307,
  IdLanguageSelector = 1308,
  IdSaveLanguageButton = 1309,
  IdWalkFolder = 1310,
  IdAboutIcon = 1401,
  IdAboutText = 1402,
  IdFirstCriterionLabel = 1400,
  IdFirstCriterionEdit = 1500,
};

// The criteria rows' controls: the label and the box of the j-th searched field (ids step by
// 4, as they always did).
constexpr int CriterionLabelId(int j) { return IdFirstCriterionLabel + 4 * j; }
constexpr int CriterionEditId(int j) { return IdFirstCriterionEdit + 4 * j; }
// The row of a table that creates the control with this id; nullptr when the table has none.
const ControlSpec* ControlRowById(const ControlSpec* rows, int count, int id);
// How much wider than its table rectangle the status line is made for the texts of the end of
// a search and of its start (the query summary), in 96-DPI units.
constexpr int kFinalStatusExtraWidth = 140;

// A length in 96-DPI units at WindowDpi, and a length on screen back in 96-DPI units.
int ScaleToDpi(int value);
int ScaleFromDpi(int value);
// The row's rectangle for the current LayoutVariant, scaled to WindowDpi, and grown or moved
// with the main window when it is larger than the layout (window_layout_win32.cpp).
ControlRect RectForLayout(const ControlSpec& row);

// Creates one control per row, in row order, as children of page. Failures are not checked:
// a control that cannot be created (the handheld-only "SIPPREF") is simply absent.
void BuildPageControls(HWND page, const ControlSpec* table, int rowCount, DWORD baseStyle,
                       bool translate);

// The translation of a language key into out (260 characters); false (and out empty) when the
// language file has none or no file is open.
bool TranslateKey(int key, wchar_t* out);
