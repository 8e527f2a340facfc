// The program's resources: the setup dialog's layout, the splash picture
// and the program's icons. The pictures' bytes come from splash.jpg and
// demo.ico beside this file (made by tools/make_resources.cpp) and are
// compiled in as arrays (Resources.cmake).
#include "resources/ResourceIds.h"

#include <cstring>
#include <vector>

#include "platform/win32/Dialog.h"
#include "platform/win32/Resources.h"

extern const unsigned char kResource_splash_jpg[];
extern const size_t kResource_splash_jpg_size;
extern const unsigned char kResource_demo_ico[];
extern const size_t kResource_demo_ico_size;

namespace {

const DWORD kChild = WS_CHILD | WS_VISIBLE;

const DialogControlTemplate kSetupControls[] = {
    {IDC_PICTURE_FRAME, "Static", nullptr, kChild | SS_BLACKFRAME, 7, 7, 225, 168},
    {IDC_VIDEO_MODE, "ComboBox", nullptr, kChild | CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP, 239, 24,
     104, 62},
    {IDC_16_BIT, "Button", "16 Bit", kChild | BS_AUTORADIOBUTTON | WS_TABSTOP, 271, 42, 33, 8},
    {IDC_32_BIT, "Button", "32 Bit", kChild | BS_AUTORADIOBUTTON | WS_TABSTOP, 309, 42, 33, 8},
    {IDC_WINDOWED, "Button", "Windowed", kChild | BS_AUTOCHECKBOX | WS_TABSTOP, 289, 55, 53, 8},
    {IDC_HIGH_RES_MODELS, "Button", "High-res models", kChild | BS_AUTOCHECKBOX | WS_TABSTOP, 259,
     78, 92, 15},
    {IDC_ADDITIONAL_EFFECTS, "Button", "Additional effects", kChild | BS_AUTOCHECKBOX | WS_TABSTOP,
     259, 94, 92, 15},
    {IDC_VSYNC, "Button", "VSync", kChild | BS_AUTOCHECKBOX | WS_TABSTOP, 259, 110, 92, 15},
    {IDC_START_DEMO, "Button", "Start Demo", kChild | BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP, 243,
     138, 50, 14},
    {IDC_EXIT, "Button", "Exit", kChild | BS_PUSHBUTTON | WS_GROUP | WS_TABSTOP, 301, 138, 50, 14},
};

// The caption is set when the dialog starts.
const DialogTemplate kSetupDialog = {
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT,
    0,
    0,
    0,
    358,
    182,
    "",
    "MS Sans Serif",
    8,
    kSetupControls,
    WORD(sizeof kSetupControls / sizeof kSetupControls[0])};

// An icon file holds a directory (6 bytes, then 16 per image) and the
// images. As resources, each image is an icon of its own (ids 1, 2, ...)
// and the group lists them with 14-byte entries that name those ids.
struct IconResources {
  std::vector<unsigned char> group;
  struct Image {
    const unsigned char* bytes;
    DWORD size;
  };
  std::vector<Image> images;
};

uint32_t read32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

IconResources splitIconFile(const unsigned char* file, size_t size) {
  IconResources icons;
  if (size < 6) return icons;
  size_t count = size_t(file[4]) | size_t(file[5]) << 8;
  icons.group.assign(file, file + 6);
  for (size_t i = 0; i < count && 6 + 16 * (i + 1) <= size; ++i) {
    const unsigned char* entry = file + 6 + 16 * i;
    uint32_t bytes = read32(entry + 8), offset = read32(entry + 12);
    if (offset > size || bytes > size - offset) break;
    icons.images.push_back({file + offset, bytes});
    icons.group.insert(icons.group.end(), entry, entry + 12);
    uint16_t id = uint16_t(icons.images.size());
    icons.group.push_back(uint8_t(id));
    icons.group.push_back(uint8_t(id >> 8));
  }
  icons.group[4] = uint8_t(icons.images.size());
  icons.group[5] = 0;
  return icons;
}

const IconResources& programIcons() {
  static const IconResources& icons =
      *new IconResources(splitIconFile(kResource_demo_ico, kResource_demo_ico_size));
  return icons;
}

std::vector<win32_resources::Entry> makeTable() {
  const IconResources& icons = programIcons();
  std::vector<win32_resources::Entry> table = {
      {RT_DIALOG, MAKEINTRESOURCEA(IDD_SETUP), LANG_ENGLISH_US, &kSetupDialog,
       DWORD(sizeof kSetupDialog)},
      {"BINARY", MAKEINTRESOURCEA(IDR_SPLASH), LANG_ENGLISH_US, kResource_splash_jpg,
       DWORD(kResource_splash_jpg_size)},
      {RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_PROGRAM), LANG_ENGLISH_US, icons.group.data(),
       DWORD(icons.group.size())},
  };
  for (size_t i = 0; i < icons.images.size(); ++i)
    table.push_back({RT_ICON, MAKEINTRESOURCEA(i + 1), LANG_ENGLISH_US, icons.images[i].bytes,
                     icons.images[i].size});
  return table;
}

const std::vector<win32_resources::Entry>& table() {
  static const std::vector<win32_resources::Entry>& made =
      *new std::vector<win32_resources::Entry>(makeTable());
  return made;
}

}  // namespace

namespace win32_resources {

const Entry* programResources(size_t& count) {
  count = table().size();
  return table().data();
}

}  // namespace win32_resources
