// The resources compiled into vostrel.exe, read back from the built program the way the
// window manager reads them: the icon the About page names, menu 60, its strings, the menu-bar
// description that refers to both, and the version.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The test program lives in <build>/tests, the application in <build>/src.
std::wstring ApplicationPath() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  path.resize(path.rfind(L'\\'));
  path.resize(path.rfind(L'\\') + 1);
  return path + L"src\\vostrel.exe";
}

class ProgramResources : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring path = ApplicationPath();
    ASSERT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES)
        << "build vostrel.exe before its tests";
    module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  std::string Bytes(const wchar_t* name, const wchar_t* type) const {
    HRSRC found = FindResourceW(module_, name, type);
    if (!found) return std::string();
    HGLOBAL loaded = LoadResource(module_, found);
    const char* data = static_cast<const char*>(LockResource(loaded));
    return data ? std::string(data, SizeofResource(module_, found)) : std::string();
  }

  std::wstring String(UINT id) const {
    wchar_t text[64] = {};
    LoadStringW(module_, id, text, 64);
    return text;
  }

  HMODULE module_ = nullptr;
};

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST_F(ProgramResources, IconIsFoundByTheNameTheAboutPageGivesItAtEverySize) {
  // The name is a string, not a number: the About page's icon static carries it as its text.
  const std::string group = Bytes(L"IDI_VOSTREL", RT_GROUP_ICON);
  ASSERT_GE(group.size(), 6u);
  WORD count = 0;
  memcpy(&count, group.data() + 4, 2);
  ASSERT_EQ(group.size(), 6u + count * sizeof(GroupIconEntry));

  std::vector<int> sizes;
  for (WORD i = 0; i < count; ++i) {
    GroupIconEntry entry;
    memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
    sizes.push_back(entry.width);
    EXPECT_EQ(entry.bitCount, 32);
    // Each image: transparent corners, an opaque middle.
    const std::string image = Bytes(MAKEINTRESOURCEW(entry.id), RT_ICON);
    ASSERT_EQ(image.size(), entry.bytes);
    BITMAPINFOHEADER header;
    memcpy(&header, image.data(), sizeof header);
    ASSERT_EQ(header.biWidth, entry.width);
    ASSERT_EQ(header.biHeight, 2 * entry.width);
    const int n = entry.width;
    auto alpha = [&](int x, int yFromTop) {
      const size_t row = static_cast<size_t>(n - 1 - yFromTop);
      return static_cast<unsigned char>(image[sizeof header + (row * n + x) * 4 + 3]);
    };
    EXPECT_EQ(alpha(0, 0), 0) << n;
    EXPECT_EQ(alpha(n - 1, n - 1), 0) << n;
    EXPECT_EQ(alpha(n / 2, n / 2), 255) << n;
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48}));

  // And the window manager draws it from that name, as the About page's static does.
  HWND holder = CreateWindowExW(0, L"static", L"IDI_VOSTREL", SS_ICON, 0, 0, 32, 32, nullptr,
                                nullptr, module_, nullptr);
  ASSERT_NE(holder, nullptr);
  EXPECT_NE(SendMessageW(holder, STM_GETICON, 0, 0), 0);
  DestroyWindow(holder);
}

TEST_F(ProgramResources, Menu60OffersSetupExitAndAbout) {
  HMENU menu = LoadMenuW(module_, MAKEINTRESOURCEW(60));
  ASSERT_NE(menu, nullptr);
  auto text = [](HMENU m, int position) {
    wchar_t buffer[32] = {};
    GetMenuStringW(m, position, buffer, 32, MF_BYPOSITION);
    return std::wstring(buffer);
  };
  ASSERT_EQ(GetMenuItemCount(menu), 2);
  EXPECT_EQ(text(menu, 0), L"File");
  EXPECT_EQ(text(menu, 1), L"Help");

  HMENU file = GetSubMenu(menu, 0);
  ASSERT_EQ(GetMenuItemCount(file), 3);
  EXPECT_EQ(text(file, 0), L"Setup");
  EXPECT_EQ(GetMenuItemID(file, 0), 501u);
  MENUITEMINFOW separator = {};
  separator.cbSize = sizeof separator;
  separator.fMask = MIIM_FTYPE;
  ASSERT_TRUE(GetMenuItemInfoW(file, 1, TRUE, &separator));
  EXPECT_TRUE(separator.fType & MFT_SEPARATOR);
  EXPECT_EQ(text(file, 2), L"Exit");
  EXPECT_EQ(GetMenuItemID(file, 2), 500u);

  HMENU help = GetSubMenu(menu, 1);
  ASSERT_EQ(GetMenuItemCount(help), 1);
  EXPECT_EQ(text(help, 0), L"About");
  EXPECT_EQ(GetMenuItemID(help, 0), 502u);
  DestroyMenu(menu);

  EXPECT_EQ(String(104), L"~");
  EXPECT_EQ(String(105), L"File");
  EXPECT_EQ(String(106), L"Help");
}

TEST_F(ProgramResources, MenuBarDescriptionNamesMenu60AndItsCaptionStrings) {
  const std::string bytes = Bytes(MAKEINTRESOURCEW(60), RT_RCDATA);
  ASSERT_GE(bytes.size(), 4u);
  std::vector<short> words(bytes.size() / 2);
  memcpy(words.data(), bytes.data(), words.size() * 2);
  EXPECT_EQ(words[0], 60) << "the menu it belongs to";
  ASSERT_EQ(words[1], 2) << "two drop-down buttons";
  ASSERT_EQ(words.size(), 2u + 7u * 2u);

  HMENU menu = LoadMenuW(module_, MAKEINTRESOURCEW(60));
  ASSERT_NE(menu, nullptr);
  for (int button = 0; button < 2; ++button) {
    const short* b = &words[2 + 7 * button];
    EXPECT_EQ(b[0], -2) << "text only";
    EXPECT_EQ(b[3] & 0x08, 0x08) << "drop-down";
    // Its caption string and the popup it opens name the same menu.
    const int popup = b[6];
    ASSERT_GE(popup, 0);
    ASSERT_LT(popup, GetMenuItemCount(menu));
    wchar_t popupText[32] = {};
    GetMenuStringW(menu, popup, popupText, 32, MF_BYPOSITION);
    EXPECT_EQ(String(static_cast<UINT>(b[4])), popupText) << "button " << button;
  }
  DestroyMenu(menu);
}

TEST_F(ProgramResources, VersionIsTwoPointZeroFourBuild40423OfVostrel) {
  const std::string bytes = Bytes(MAKEINTRESOURCEW(1), RT_VERSION);
  const DWORD signature = 0xFEEF04BD;
  const size_t at = bytes.find(std::string(reinterpret_cast<const char*>(&signature), 4));
  ASSERT_NE(at, std::string::npos);
  VS_FIXEDFILEINFO fixed;
  ASSERT_GE(bytes.size(), at + sizeof fixed);
  memcpy(&fixed, bytes.data() + at, sizeof fixed);
  EXPECT_EQ(fixed.dwFileVersionMS, MAKELONG(4, 2));
  EXPECT_EQ(fixed.dwFileVersionLS, MAKELONG(40423, 0));
  EXPECT_EQ(fixed.dwProductVersionMS, MAKELONG(4, 2));

  // "ProductName" followed by "Vostrel", both UTF-16 in the string table of the block.
  const std::wstring product = L"ProductName";
  const std::string key(reinterpret_cast<const char*>(product.c_str()), product.size() * 2);
  const size_t name = bytes.find(key);
  ASSERT_NE(name, std::string::npos);
  const std::wstring vostrel = L"Vostrel";
  const std::string value(reinterpret_cast<const char*>(vostrel.c_str()), (vostrel.size() + 1) * 2);
  const size_t found = bytes.find(value, name + key.size());
  ASSERT_NE(found, std::string::npos);
  EXPECT_LT(found - name, 40u) << "the value right after its key";
}

}  // namespace
