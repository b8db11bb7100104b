// Making one system call fail at an exact moment, for the fault tests that need a file to turn
// unusable between two steps of the program, or a device to fill up while a list is written.
// The program under test is linked into this test executable, so every call it makes into a
// system library goes through the executable's own import table; pointing one entry of that
// table at a stand-in affects the product code and this process only, for as long as the test
// wants, without timing tricks.
#include <windows.h>

#include <cstring>

// Declared in each test file that uses it (the fault tests share no header).
void* ReplaceImportedFunction(const char* dllName, const char* functionName, void* replacement);

namespace {

void** ImportSlot(const char* dllName, const char* functionName) {
  BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return nullptr;
  for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       dll->Name != 0; ++dll) {
    if (_stricmp(reinterpret_cast<const char*>(base + dll->Name), dllName) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<const char*>(byName->Name), functionName) == 0) {
        return reinterpret_cast<void**>(&slots->u1.Function);
      }
    }
  }
  return nullptr;
}

}  // namespace

// Points the executable's import of functionName (from dllName) at replacement. Returns the
// function it pointed at before, or nullptr when the executable does not import it (nothing
// changes then). Passing the returned pointer back restores the import.
void* ReplaceImportedFunction(const char* dllName, const char* functionName, void* replacement) {
  void** slot = ImportSlot(dllName, functionName);
  if (!slot) return nullptr;
  DWORD protection = 0;
  if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection)) return nullptr;
  void* previous = *slot;
  *slot = replacement;
  VirtualProtect(slot, sizeof(void*), protection, &protection);
  FlushInstructionCache(GetCurrentProcess(), nullptr, 0);
  return previous;
}
