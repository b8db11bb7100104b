#include "ui/schema_controls_win32.h"

#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>

#include <cstring>

#include "db/codepage.h"
#include "i18n/format_text.h"
#include "i18n/ui_strings.h"
#include "settings/installed_databases.h"
#include "ui/app_globals_win32.h"
#include "ui/desktop_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/message_box_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/scan_cache_win32.h"
#include "ui/search_worker_win32.h"

DatabaseHeader SelectedDatabaseHeader;

namespace {

constexpr int kRowTop = 52;
constexpr int kRowStep = 22;
constexpr DWORD kCriterionEditStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL;

void LookupFieldName(void*, int key, wchar_t* out) { TranslateKey(key, out); }

// The path whose schema the table holds; empty when none is loaded.
char LoadedSchemaPath[kDatabasePathCapacity] = {};

HMENU ControlIdHandle(int id) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)); }

}  // namespace

void ClearSchema() {
  // The worker decodes into the table and appends rows built from it; a schema change (an
  // install from the Setup page, the selector, shutdown) therefore stops it and waits first.
  StopSearchWorkerAndWait();
  // The kept records are those of the schema's database: another one selected, the same one
  // loaded again, or the shutdown lets them go.
  ReleaseScanCache();
  LoadedSchemaPath[0] = '\0';
  for (int j = 0; j < TheFieldTable.searchCount; ++j) {
    FieldDescriptor* field = TheFieldTable.searchMap[j];
    if (field->editHandle) DestroyWindow(static_cast<HWND>(field->editHandle));
    if (field->labelHandle) DestroyWindow(static_cast<HWND>(field->labelHandle));
    field->editHandle = nullptr;
    field->labelHandle = nullptr;
  }
  // Rows hold displayCount strings each: free them while the count still describes them.
  FreeResultRows();
  if (ResultListView) {
    SendMessageW(ResultListView, LVM_DELETEALLITEMS, 0, 0);
    for (int k = 0; k < TheFieldTable.displayCount; ++k) {
      SendMessageW(ResultListView, LVM_DELETECOLUMN, 0, 0);
    }
  }
  FreeFieldTable(&TheFieldTable);
}

LoadSchemaResult LoadSchema(const char* singleBytePath) {
  ClearSchema();

  wchar_t widePath[kMaxPathChars] = {};
  if (!InstalledPathToWide(singleBytePath, widePath)) return SchemaRefused;

  bool viaGz = false;
  if (OpenDatabase(widePath, &SelectedDatabaseHeader, &viaGz) != OpenOk) return SchemaRefused;
  const SchemaResult built =
      BuildFieldTable(&TheFieldTable, widePath, SelectedDatabaseHeader, LookupFieldName, nullptr);
  if (built == SchemaStreamFailed || built == SchemaNoMemory) return SchemaLoadFailed;
  if (built != SchemaOk)
    return SchemaRefused;  // unusable descriptors: refused like an unreadable file

  HWND page = PageWindows[SearchPage];
  for (int j = 0; j < TheFieldTable.searchCount; ++j) {
    FieldDescriptor* field = TheFieldTable.searchMap[j];
    // The rows are laid out in 96-DPI units and scaled, edge by edge, to the window's DPI.
    const int top = kRowTop + kRowStep * j;
    field->labelHandle = CreateWindowExW(
        0, L"static", field->displayName, WS_CHILD | WS_VISIBLE, ScaleToDpi(5), ScaleToDpi(top + 4),
        ScaleToDpi(64) - ScaleToDpi(5), ScaleToDpi(top + 18) - ScaleToDpi(top + 4), page,
        ControlIdHandle(CriterionLabelId(j)), ApplicationInstance, nullptr);
    const DWORD style = kCriterionEditStyle | ((field->flags & UpperCaseInput) ? ES_UPPERCASE : 0);
    HWND edit = CreateWindowExW(0, L"edit", L"", style, ScaleToDpi(65), ScaleToDpi(top),
                                ScaleToDpi(65 + field->editWidth) - ScaleToDpi(65),
                                ScaleToDpi(top + 20) - ScaleToDpi(top), page,
                                ControlIdHandle(CriterionEditId(j)), ApplicationInstance, nullptr);
    field->editHandle = edit;
    UseMessageFont(static_cast<HWND>(field->labelHandle));
    UseMessageFont(edit);
    SendMessageW(edit, EM_LIMITTEXT, field->maxLength, 0);
  }

  for (int j = 0; j < TheFieldTable.displayCount; ++j) {
    FieldDescriptor* field = TheFieldTable.displayMap[j];
    LVCOLUMNW column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = ScaleToDpi(field->columnWidth);
    column.pszText = field->displayName;
    column.iSubItem = 0;
    if (SendMessageW(ResultListView, LVM_INSERTCOLUMNW, j, reinterpret_cast<LPARAM>(&column)) ==
        -1) {
      return SchemaLoadFailed;
    }
  }
  lstrcpynA(LoadedSchemaPath, singleBytePath, sizeof LoadedSchemaPath);
  return SchemaLoaded;
}

bool SchemaLoadedFor(const char* singleBytePath) {
  return LoadedSchemaPath[0] != '\0' && strcmp(LoadedSchemaPath, singleBytePath) == 0;
}

void FollowSelectedDatabase() {
  const int selected = SelectedInstalledEntry(PageWindows[SearchPage]);
  if (selected < 0) {
    if (TheFieldTable.fields != nullptr || LoadedSchemaPath[0] != '\0') ClearSchema();
    return;
  }
  const char* path = InstalledDatabaseList.entries[selected].path;
  if (!SchemaLoadedFor(path)) LoadSchema(path);
}

bool FieldsStillDescribe(const wchar_t* path, const DatabaseHeader& header) {
  const DatabaseHeader& loaded = SelectedDatabaseHeader;
  if (header.version != loaded.version || header.fieldCount != loaded.fieldCount ||
      header.headerSize != loaded.headerSize) {
    return false;
  }
  if (header.version == 11) return true;  // the built-in fields, whatever the file
  FieldTable fresh;
  if (BuildFieldTable(&fresh, path, header, nullptr, nullptr) != SchemaOk) return false;
  bool same = fresh.fieldCount == TheFieldTable.fieldCount;
  for (int j = 0; same && j < fresh.fieldCount; ++j) {
    const FieldDescriptor& a = fresh.fields[j];
    const FieldDescriptor& b = TheFieldTable.fields[j];
    same = memcmp(a.name, b.name, sizeof a.name) == 0 && a.type == b.type && a.flags == b.flags &&
           a.size == b.size && a.searchIndex == b.searchIndex && a.displayIndex == b.displayIndex &&
           a.detailIndex == b.detailIndex && a.editWidth == b.editWidth &&
           a.columnWidth == b.columnWidth && a.maxLength == b.maxLength;
  }
  FreeFieldTable(&fresh);
  return same;
}

DatabaseProblem ProblemOfOpening(OpenResult result) {
  switch (result) {
    case OpenOk:
      return DatabaseUsable;
    case OpenNotFound:
    case OpenIsDirectory:
      return DatabaseMissing;
    case OpenShortHeader:
    case OpenBadVersion:
      return DatabaseNotOurs;
    default:
      return DatabaseUnreadable;
  }
}

DatabaseProblem ProblemOfDatabase(const char* singleBytePath) {
  wchar_t widePath[kMaxPathChars] = {};
  if (!InstalledPathToWide(singleBytePath, widePath)) return DatabaseUnreadable;
  DatabaseHeader header;
  bool viaGz = false;
  const OpenResult opened = OpenDatabase(widePath, &header, &viaGz);
  if (opened != OpenOk) return ProblemOfOpening(opened);
  FieldTable table;
  const SchemaResult built = BuildFieldTable(&table, widePath, header, nullptr, nullptr);
  FreeFieldTable(&table);
  if (built == SchemaInvalid) return DatabaseFieldsUnusable;
  return built == SchemaOk ? DatabaseUsable : DatabaseUnreadable;
}

void ShowDatabaseProblem(HWND owner, const wchar_t* widePath, DatabaseProblem problem) {
  int key = 0;
  switch (problem) {
    case DatabaseUsable:
      return;
    case DatabaseMissing:
      key = TextNoSuchDatabase;
      break;
    case DatabaseUnreadable:
      key = TextCannotOpenDatabase;
      break;
    case DatabaseNotOurs:
      key = TextNotADatabase;
      break;
    case DatabaseFieldsUnusable:
      key = TextUnusableFields;
      break;
    case DatabaseFieldsChanged:
      key = TextFieldsChanged;
      break;
  }
  wchar_t text[kMessageBufferCapacity];
  FormatText(text, kMessageBufferCapacity, UiText(key), {widePath});
  ShowMessageBox(owner, text, UiText(TextError), MB_OK);
}

void ResetSchemaForTests() {
  LoadedSchemaPath[0] = '\0';
  SelectedDatabaseHeader = DatabaseHeader();
}
