// The setup dialog, played by a scripted user through the dialog's real
// input (offscreen, no display): its defaults, each control, Start and
// Exit, its failure boxes, the splash picture and the program's resources.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/d3d9/D3D9.h"
#include "platform/d3d9/D3D9TestSeams.h"
#include "platform/win32/DialogTestSeams.h"
#include "platform/win32/ResourceTestSeams.h"
#include "platform/win32/TestSeams.h"
#include "resources/ResourceIds.h"
#include "runtime/SetupDialog.h"
#include "runtime/WinMain.h"
#include "tests/runtime_globals.h"
#include "tests/virtual_display.h"

namespace fs = std::filesystem;
using namespace dialog_test;

namespace {

struct Globals {
  int width, height, colorBits;
  bool fullscreen, vsync, highResModels, additionalEffects;
  bool operator==(const Globals&) const = default;
};
void PrintTo(const Globals& g, std::ostream* os) {
  *os << g.width << "x" << g.height << "x" << g.colorBits
      << (g.fullscreen ? " fullscreen" : " windowed") << (g.vsync ? " vsync" : "")
      << (g.highResModels ? " highres" : "") << (g.additionalEffects ? " effects" : "");
}
Globals current() {
  return {gScreenWidth, gScreenHeight,  gColorBits,        gFullscreen,
          gVSync,       gHighResModels, gAdditionalEffects};
}
const Globals kDefaults{640, 480, 32, true, true, true, true};

class SetupDialogTest : public testing::Test {
 protected:
  void SetUp() override { resetAll(); }
  void TearDown() override { resetAll(); }
  static void resetAll() {
    platform_test::reset();
    dialog_test::reset();
    resource_test::restoreResources();
    setup_test::clearChoices();
    d3d9_test::reset();
    test_globals::resetRuntimeGlobals();
  }
  // Shows the dialog to the scripted user; true when it came back.
  static bool play(std::vector<Step> steps) {
    setUser(std::move(steps));
    return showSetupDialog();
  }
  // The entry routine on an empty demo in a scratch folder, Escape down at
  // the start: the dialog, the device and no frame.
  static int runEmptyDemo() {
    fs::path dir = fs::temp_directory_path() / ("setup-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "show.txt") << "0 0\n";
    fs::path before = fs::current_path();
    fs::current_path(dir);
    d3d9_test::reset();
    platform_test::pressEscapeAfterPolls(0);
    gReduceLOD = gNoPostProcess = 0;
    std::string line = "show.txt";
    int code = WinMain(nullptr, nullptr, line.data(), 1);
    fs::current_path(before);
    fs::remove_all(dir);
    return code;
  }
};

// What the dialog shows when it opens: caption, the mode list in order with
// 640x480 selected, full screen, 32-bit colour and the three switches on.
TEST_F(SetupDialogTest, OpensWithItsDefaultsAndStartGivesThem) {
  struct Seen {
    std::string caption;
    std::vector<std::string> entries;
    LRESULT selection = -2;
    std::string edit;
    UINT windowed = 9, bits16 = 9, bits32 = 9, highRes = 9, effects = 9, vsync = 9;
  } seen;
  auto look = [&](HWND dialog) {
    char text[64];
    GetWindowTextA(dialog, text, sizeof text);
    seen.caption = text;
    LRESULT count = SendDlgItemMessageA(dialog, IDC_VIDEO_MODE, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      SendDlgItemMessageA(dialog, IDC_VIDEO_MODE, CB_GETLBTEXT, WPARAM(i), LPARAM(text));
      seen.entries.push_back(text);
    }
    seen.selection = SendDlgItemMessageA(dialog, IDC_VIDEO_MODE, CB_GETCURSEL, 0, 0);
    GetWindowTextA(GetDlgItem(dialog, IDC_VIDEO_MODE), text, sizeof text);
    seen.edit = text;
    seen.windowed = IsDlgButtonChecked(dialog, IDC_WINDOWED);
    seen.bits16 = IsDlgButtonChecked(dialog, IDC_16_BIT);
    seen.bits32 = IsDlgButtonChecked(dialog, IDC_32_BIT);
    seen.highRes = IsDlgButtonChecked(dialog, IDC_HIGH_RES_MODELS);
    seen.effects = IsDlgButtonChecked(dialog, IDC_ADDITIONAL_EFFECTS);
    seen.vsync = IsDlgButtonChecked(dialog, IDC_VSYNC);
  };
  EXPECT_TRUE(play({inspect(look), click(IDC_START_DEMO)}));
  EXPECT_EQ(current(), kDefaults);
  EXPECT_EQ(seen.caption, "TQ07");
  EXPECT_EQ(seen.entries,
            (std::vector<std::string>{"320x200", "320x240", "640x480", "800x600", "1024x768",
                                      "1280x960", "1280x1024", "1600x1200"}));
  EXPECT_EQ(seen.selection, 2);
  EXPECT_EQ(seen.edit, "640x480");
  EXPECT_EQ(seen.windowed, UINT(BST_UNCHECKED));
  EXPECT_EQ(seen.bits16, UINT(BST_UNCHECKED));
  EXPECT_EQ(seen.bits32, UINT(BST_CHECKED));
  EXPECT_EQ(seen.highRes, UINT(BST_CHECKED));
  EXPECT_EQ(seen.effects, UINT(BST_CHECKED));
  EXPECT_EQ(seen.vsync, UINT(BST_CHECKED));
}

// Each list entry selects its mode.
TEST_F(SetupDialogTest, EveryListEntrySelectsItsMode) {
  const int modes[8][2] = {{320, 200},  {320, 240},  {640, 480},   {800, 600},
                           {1024, 768}, {1280, 960}, {1280, 1024}, {1600, 1200}};
  for (int i = 0; i < 8; ++i) {
    gScreenWidth = gScreenHeight = 0;
    EXPECT_TRUE(play({pickEntry(IDC_VIDEO_MODE, i), click(IDC_START_DEMO)}));
    EXPECT_EQ(gScreenWidth, modes[i][0]) << "entry " << i;
    EXPECT_EQ(gScreenHeight, modes[i][1]) << "entry " << i;
  }
}

// The switches flip their globals on every click and keep the boxes in
// step; other commands (Escape's cancel) leave the dialog open.
struct UserCase {
  const char* name;
  std::vector<Step> steps;
  Globals expected;
};
void PrintTo(const UserCase& c, std::ostream* os) { *os << c.name; }

class SetupDialogUser : public SetupDialogTest, public testing::WithParamInterface<UserCase> {};

TEST_P(SetupDialogUser, ChoicesFollowTheClicks) {
  std::vector<Step> steps = GetParam().steps;
  steps.push_back(click(IDC_START_DEMO));
  EXPECT_TRUE(play(steps));
  EXPECT_EQ(current(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Clicks, SetupDialogUser,
    testing::Values(
        UserCase{"WindowedOnce", {click(IDC_WINDOWED)}, {640, 480, 32, false, true, true, true}},
        UserCase{"WindowedTwice", {click(IDC_WINDOWED), click(IDC_WINDOWED)}, kDefaults},
        UserCase{"SixteenBit", {click(IDC_16_BIT)}, {640, 480, 16, true, true, true, true}},
        UserCase{"SixteenThenThirtyTwo", {click(IDC_16_BIT), click(IDC_32_BIT)}, kDefaults},
        UserCase{"SixteenTwice",
                 {click(IDC_16_BIT), click(IDC_16_BIT)},
                 {640, 480, 16, true, true, true, true}},
        UserCase{
            "HighResOff", {click(IDC_HIGH_RES_MODELS)}, {640, 480, 32, true, true, false, true}},
        UserCase{
            "EffectsOff", {click(IDC_ADDITIONAL_EFFECTS)}, {640, 480, 32, true, true, true, false}},
        UserCase{"VSyncOff", {click(IDC_VSYNC)}, {640, 480, 32, true, false, true, true}},
        UserCase{"VSyncOffAndOnAgain", {click(IDC_VSYNC), click(IDC_VSYNC)}, kDefaults},
        UserCase{"EverythingChanged",
                 {pickEntry(IDC_VIDEO_MODE, 0), click(IDC_16_BIT), click(IDC_WINDOWED),
                  click(IDC_HIGH_RES_MODELS), click(IDC_ADDITIONAL_EFFECTS), click(IDC_VSYNC)},
                 {320, 200, 16, false, false, false, false}},
        UserCase{"EscapeIsIgnored", {escape()}, kDefaults},
        UserCase{"ClickingThePictureDoesNothing", {click(IDC_PICTURE_FRAME)}, kDefaults}),
    [](const testing::TestParamInfo<UserCase>& info) { return std::string(info.param.name); });

// The same choices made with the keyboard alone, ending with Enter: Tab
// steps through the controls in their order (the list, "16 Bit", "32 Bit",
// "Windowed", the three switches, "Start Demo", "Exit"), up and down step
// through the list, the arrows move within the radio buttons and check the
// one they reach, Space flips a check box or presses a button.
std::vector<Step> tabs(int count) { return std::vector<Step>(size_t(count), press(Key::Tab)); }
std::vector<Step> keys(std::initializer_list<std::vector<Step>> parts) {
  std::vector<Step> all;
  for (const std::vector<Step>& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
const Step kSpace = press(Key::Space), kUp = press(Key::Up), kDown = press(Key::Down),
           kLeft = press(Key::Left), kRight = press(Key::Right), kShiftTab = press(Key::Tab, true);

class SetupDialogKeys : public SetupDialogTest, public testing::WithParamInterface<UserCase> {};

TEST_P(SetupDialogKeys, ChoicesFollowTheKeys) {
  std::vector<Step> steps = GetParam().steps;
  steps.push_back(enter());
  EXPECT_TRUE(play(steps));
  EXPECT_EQ(current(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SetupDialogKeys,
    testing::Values(
        UserCase{"DownTwiceInTheList",
                 keys({tabs(1), {kDown, kDown}}),
                 {1024, 768, 32, true, true, true, true}},
        UserCase{"UpStopsAtTheFirstMode",
                 keys({tabs(1), {kUp, kUp, kUp}}),
                 {320, 200, 32, true, true, true, true}},
        UserCase{"DownStopsAtTheLastMode",
                 keys({tabs(1), std::vector<Step>(7, kDown)}),
                 {1600, 1200, 32, true, true, true, true}},
        UserCase{"SpaceChecksSixteenBit",
                 keys({tabs(2), {kSpace}}),
                 {640, 480, 16, true, true, true, true}},
        UserCase{"LeftFromThirtyTwoChecksSixteen",
                 keys({tabs(3), {kLeft}}),
                 {640, 480, 16, true, true, true, true}},
        UserCase{"RightWrapsWithinTheRadioButtons",
                 keys({tabs(3), {kRight}}),
                 {640, 480, 16, true, true, true, true}},
        UserCase{"ArrowsThereAndBack",
                 keys({tabs(2), {kSpace, kDown, kUp}}),
                 {640, 480, 16, true, true, true, true}},
        UserCase{"SpaceTicksWindowed",
                 keys({tabs(4), {kSpace}}),
                 {640, 480, 32, false, true, true, true}},
        UserCase{"SpaceTwiceLeavesWindowedAsItWas", keys({tabs(4), {kSpace, kSpace}}), kDefaults},
        UserCase{"SpaceClearsEachSwitch",
                 keys({tabs(5), {kSpace}, tabs(1), {kSpace}, tabs(1), {kSpace}}),
                 {640, 480, 32, true, false, false, false}},
        UserCase{"ShiftTabGoesBack",
                 keys({tabs(5), {kShiftTab, kSpace}}),
                 {640, 480, 32, false, true, true, true}},
        UserCase{
            "TabWrapsToTheList", keys({tabs(10), {kDown}}), {800, 600, 32, true, true, true, true}},
        UserCase{"ArrowsAndSpaceElsewhereChangeNothing",
                 keys({tabs(1), {kSpace, kLeft, kRight}, tabs(3), {kUp, kDown, kLeft, kRight}}),
                 kDefaults},
        UserCase{"SpaceOnStartDemoStarts",
                 keys({tabs(1), {kDown}, tabs(7), {kSpace, kUp}}),
                 {800, 600, 32, true, true, true, true}}),
    [](const testing::TestParamInfo<UserCase>& info) { return std::string(info.param.name); });

// The focus goes round the tab stops in template order, Shift+Tab the other
// way; the dialog opens with no control focused.
TEST_F(SetupDialogTest, TabGoesRoundTheControlsInTheirOrder) {
  const std::vector<int> order = {IDC_VIDEO_MODE, IDC_16_BIT,          IDC_32_BIT,
                                  IDC_WINDOWED,   IDC_HIGH_RES_MODELS, IDC_ADDITIONAL_EFFECTS,
                                  IDC_VSYNC,      IDC_START_DEMO,      IDC_EXIT};
  for (bool backwards : {false, true}) {
    std::vector<int> seen;
    std::vector<Step> steps = {
        inspect([&](HWND dialog) { seen.push_back(focusedControl(dialog)); })};
    for (size_t i = 0; i <= order.size(); ++i) {
      steps.push_back(press(Key::Tab, backwards));
      steps.push_back(inspect([&](HWND dialog) { seen.push_back(focusedControl(dialog)); }));
    }
    steps.push_back(click(IDC_START_DEMO));
    EXPECT_TRUE(play(steps));
    std::vector<int> expected = {0};
    for (size_t i = 0; i <= order.size(); ++i)
      expected.push_back(backwards ? order[order.size() - 1 - i % order.size()]
                                   : order[i % order.size()]);
    EXPECT_EQ(seen, expected) << (backwards ? "Shift+Tab" : "Tab");
  }
}

// The focused control is outlined: what a Tab changes on the screen lies
// around the control it reached, and nowhere else; a focused push button
// also takes the default button's heavy border, as Enter then presses it.
TEST_F(SetupDialogTest, TheFocusIsShown) {
  struct Case {
    int tabs, control;
    int alsoChanged;  // 0: none
  } cases[] = {{4, IDC_WINDOWED, 0}, {2, IDC_16_BIT, 0}, {9, IDC_EXIT, IDC_START_DEMO}};
  for (const Case& c : cases) {
    Frame before, after;
    RECT rect{}, also{};
    std::vector<Step> steps = {inspect([&](HWND) { before = lastFrame(); })};
    for (int i = 0; i < c.tabs; ++i) steps.push_back(press(Key::Tab));
    steps.push_back(inspect([&](HWND dialog) {
      after = lastFrame();
      rect = controlRect(dialog, c.control);
      if (c.alsoChanged) also = controlRect(dialog, c.alsoChanged);
    }));
    steps.push_back(click(IDC_START_DEMO));
    EXPECT_TRUE(play(steps));
    ASSERT_EQ(before.pixels.size(), after.pixels.size());
    ASSERT_FALSE(after.pixels.empty());
    // The controls are drawn a little taller than their template rectangles.
    const int margin = 12;
    auto near = [&](const RECT& r, int x, int y) {
      return x >= r.left - margin && x < r.right + margin && y >= r.top - margin &&
             y < r.bottom + margin;
    };
    int changed = 0, changedAlso = 0, outside = 0;
    for (int y = 0; y < after.height; ++y)
      for (int x = 0; x < after.width; ++x) {
        size_t i = size_t(y) * size_t(after.width) + size_t(x);
        if (before.pixels[i] == after.pixels[i]) continue;
        if (near(rect, x, y))
          ++changed;
        else if (c.alsoChanged && near(also, x, y))
          ++changedAlso;
        else
          ++outside;
      }
    EXPECT_GT(changed, 40) << c.control;
    EXPECT_EQ(outside, 0) << c.control;
    if (c.alsoChanged) {
      EXPECT_GT(changedAlso, 40) << c.control;
    }
  }
}

// The boxes show what the globals hold: automatic check boxes flip, the
// radio buttons exclude each other.
TEST_F(SetupDialogTest, BoxesStayInStepWithTheChoices) {
  UINT windowed = 9, bits16 = 9, bits32 = 9;
  EXPECT_TRUE(play({click(IDC_WINDOWED), click(IDC_16_BIT), inspect([&](HWND dialog) {
                      windowed = IsDlgButtonChecked(dialog, IDC_WINDOWED);
                      bits16 = IsDlgButtonChecked(dialog, IDC_16_BIT);
                      bits32 = IsDlgButtonChecked(dialog, IDC_32_BIT);
                    }),
                    click(IDC_START_DEMO)}));
  EXPECT_EQ(windowed, UINT(BST_CHECKED));
  EXPECT_EQ(bits16, UINT(BST_CHECKED));
  EXPECT_EQ(bits32, UINT(BST_UNCHECKED));
  EXPECT_FALSE(gFullscreen);
  EXPECT_EQ(gColorBits, 16);
}

// Enter presses the default button, "Start Demo".
TEST_F(SetupDialogTest, EnterStartsTheDemo) {
  EXPECT_TRUE(play({click(IDC_WINDOWED), enter()}));
  EXPECT_EQ(current(), (Globals{640, 480, 32, false, true, true, true}));
}

// "Exit" and closing the dialog end the process with 0; its failures end
// it through the failure box with 1. The dying runs start afresh: a child
// forked from a process that has drawn already cannot draw.
using SetupDialogDeathTest = SetupDialogTest;

TEST_F(SetupDialogDeathTest, ExitAndCloseEndTheProcessWithZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(play({click(IDC_WINDOWED), click(IDC_EXIT)}), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(play({closeWindow()}), testing::ExitedWithCode(0), "");
}

// With "Exit" focused (Shift+Tab from the opened dialog), Enter presses it,
// and so does Space.
TEST_F(SetupDialogDeathTest, EnterAndSpaceOnExitEndTheProcessWithZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(play({press(Key::Tab, true), enter()}), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(play(keys({tabs(9), {press(Key::Space)}})), testing::ExitedWithCode(0), "");
}

TEST_F(SetupDialogDeathTest, FailuresShowTheirBoxAndExitWithOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Typing into the list's field leaves no entry selected.
  EXPECT_EXIT(play({type(IDC_VIDEO_MODE, "1024x700"), click(IDC_START_DEMO)}),
              testing::ExitedWithCode(1),
              "\\[Exiting Demo \\(Failure\\)\\] Unable to translate video mode selection\\.");
  // The splash failures come at the first paint, before any input.
  resource_test::hideResource(MAKEINTRESOURCEA(IDR_SPLASH), "BINARY");
  EXPECT_EXIT(play({click(IDC_START_DEMO)}), testing::ExitedWithCode(1),
              "Unable to resolve splash screen as a resource\\.");
  resource_test::replaceResource(MAKEINTRESOURCEA(IDR_SPLASH), "BINARY", {});
  EXPECT_EXIT(play({}), testing::ExitedWithCode(1),
              "Unable to resolve splash screen as a resource\\.");
  resource_test::replaceResource(MAKEINTRESOURCEA(IDR_SPLASH), "BINARY",
                                 {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3});
  EXPECT_EXIT(play({}), testing::ExitedWithCode(1), "Unable to LoadiPicture with splash screen\\.");
}

// Picking an entry again after typing makes the mode readable again.
TEST_F(SetupDialogTest, PickingAnEntryAfterTypingSelectsIt) {
  EXPECT_TRUE(play(
      {type(IDC_VIDEO_MODE, "2000x2000"), pickEntry(IDC_VIDEO_MODE, 3), click(IDC_START_DEMO)}));
  EXPECT_EQ(gScreenWidth, 800);
  EXPECT_EQ(gScreenHeight, 600);
}

// Without a display nobody can answer: the dialog takes its defaults (its
// default button) and says so.
TEST_F(SetupDialogTest, WithoutDisplayOrUserTheDefaultsAreTaken) {
  testing::internal::CaptureStderr();
  EXPECT_TRUE(showSetupDialog());
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(current(), kDefaults);
  EXPECT_NE(said.find("No display"), std::string::npos) << said;
  EXPECT_TRUE(lastFrame().pixels.empty());
}

// The entry routine asks for the device the user chose in the dialog.
TEST_F(SetupDialogTest, TheDeviceFollowsWhatTheUserChose) {
  setUser({pickEntry(IDC_VIDEO_MODE, 0), click(IDC_16_BIT), click(IDC_WINDOWED), click(IDC_VSYNC),
           click(IDC_ADDITIONAL_EFFECTS), click(IDC_START_DEMO)});
  EXPECT_EQ(runEmptyDemo(), 0);
  ASSERT_EQ(d3d9_test::deviceCreations().size(), 1u);
  const D3DPRESENT_PARAMETERS& p = d3d9_test::deviceCreations()[0].parameters;
  EXPECT_EQ(p.BackBufferWidth, 320u);
  EXPECT_EQ(p.BackBufferHeight, 200u);
  EXPECT_EQ(p.BackBufferFormat, D3DFMT_R5G6B5);
  EXPECT_EQ(p.Windowed, TRUE);
  EXPECT_EQ(p.PresentationInterval, UINT(D3DPRESENT_INTERVAL_IMMEDIATE));
  EXPECT_EQ(gReduceLOD, 0);
  EXPECT_EQ(gNoPostProcess, 1);
}

// A dialog that cannot be made leaves every choice at zero, and the entry
// routine asks for a windowed 0 x 0 back buffer (the window's size) in
// R5G6B5, presented at once, with reduced detail and no post-processing.
TEST_F(SetupDialogTest, WithoutTheDialogTheDeviceIsAskedForWithZeroChoices) {
  resource_test::hideResource(MAKEINTRESOURCEA(IDD_SETUP), RT_DIALOG);
  EXPECT_EQ(runEmptyDemo(), 0);
  EXPECT_EQ(current(), (Globals{0, 0, 0, false, false, false, false}));
  ASSERT_EQ(d3d9_test::deviceCreations().size(), 1u);
  const D3DPRESENT_PARAMETERS& p = d3d9_test::deviceCreations()[0].parameters;
  EXPECT_EQ(p.BackBufferWidth, 0u);
  EXPECT_EQ(p.BackBufferHeight, 0u);
  EXPECT_EQ(p.BackBufferFormat, D3DFMT_R5G6B5);
  EXPECT_EQ(p.Windowed, TRUE);
  EXPECT_EQ(p.PresentationInterval, UINT(D3DPRESENT_INTERVAL_IMMEDIATE));
  EXPECT_EQ(gReduceLOD, 1);
  EXPECT_EQ(gNoPostProcess, 1);
}

// A picture of four coloured quarters (red, green / blue, white) as JPEG.
std::vector<unsigned char> quartersJpeg(int width, int height) {
  std::vector<unsigned char> rgb(size_t(width) * size_t(height) * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      bool right = x >= width / 2, bottom = y >= height / 2;
      unsigned char* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
      p[0] = (!bottom && !right) || (bottom && right) ? 255 : 0;
      p[1] = (!bottom && right) || (bottom && right) ? 255 : 0;
      p[2] = bottom ? 255 : 0;
    }
  std::vector<unsigned char> out;
  stbi_write_jpg_to_func(
      [](void* context, void* data, int size) {
        auto* bytes = static_cast<std::vector<unsigned char>*>(context);
        bytes->insert(bytes->end(), static_cast<unsigned char*>(data),
                      static_cast<unsigned char*>(data) + size);
      },
      &out, width, height, 3, rgb.data(), 95);
  return out;
}

bool near(uint32_t pixel, unsigned r, unsigned g, unsigned b) {
  auto close = [](unsigned a, unsigned b) { return (a > b ? a - b : b - a) < 48; };
  return close(pixel & 0xFF, r) && close((pixel >> 8) & 0xFF, g) && close((pixel >> 16) & 0xFF, b);
}

// The quarters picture fills the frame's whole client area in `shot`,
// upright and unmirrored; beside the frame is the dialog's face.
void expectQuartersInFrame(const Frame& shot, const RECT& frame) {
  ASSERT_FALSE(shot.pixels.empty());
  ASSERT_GT(frame.right, frame.left);
  auto at = [&](int x, int y) { return shot.pixels[size_t(y) * size_t(shot.width) + size_t(x)]; };
  int inset = 3;
  struct Probe {
    int x, y;
    unsigned r, g, b;
  } probes[] = {
      {frame.left + inset, frame.top + inset, 255, 0, 0},         // top left: red
      {frame.right - 1 - inset, frame.top + inset, 0, 255, 0},    // top right: green
      {frame.left + inset, frame.bottom - 1 - inset, 0, 0, 255},  // bottom left: blue
      {frame.right - 1 - inset, frame.bottom - 1 - inset, 255, 255, 255},
  };
  for (const Probe& probe : probes)
    EXPECT_TRUE(near(at(probe.x, probe.y), probe.r, probe.g, probe.b))
        << "at " << probe.x << ", " << probe.y << ": " << std::hex << at(probe.x, probe.y);
  // Outside the frame: the dialog's face, not the picture.
  EXPECT_TRUE(near(at(frame.right + 4, frame.top + 4), 212, 209, 199))
      << std::hex << at(frame.right + 4, frame.top + 4);
}

// The splash picture fills the frame, whatever its own size.
TEST_F(SetupDialogTest, SplashFillsTheFrameUpright) {
  resource_test::replaceResource(MAKEINTRESOURCEA(IDR_SPLASH), "BINARY", quartersJpeg(40, 20));
  RECT frame{};
  EXPECT_TRUE(play({inspect([&](HWND dialog) { frame = controlRect(dialog, IDC_PICTURE_FRAME); }),
                    click(IDC_START_DEMO)}));
  expectQuartersInFrame(lastFrame(), frame);
}

// The program's resources: the splash picture is a JFIF file, and the icon
// group lists two 16-colour icons of 16 and 32 pixels, resources 1 and 2.
TEST_F(SetupDialogTest, ProgramResources) {
  int size = 0;
  auto* splash =
      static_cast<const unsigned char*>(loadResource(MAKEINTRESOURCEA(IDR_SPLASH), "BINARY", size));
  ASSERT_NE(splash, nullptr);
  std::ifstream file(ENGINE_SOURCE_DIR "/resources/splash.jpg", std::ios::binary);
  std::string onDisk((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(size_t(size), onDisk.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(splash), size_t(size)), onDisk);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(splash) + 6, 5), std::string("JFIF\0", 5));
  // Names of the string kind are found whatever their case.
  EXPECT_EQ(loadResource(MAKEINTRESOURCEA(IDR_SPLASH), "binary", size), splash);
  EXPECT_EQ(loadResource(MAKEINTRESOURCEA(IDR_SPLASH + 1), "BINARY", size), nullptr);

  auto* group = static_cast<const unsigned char*>(
      loadResource(MAKEINTRESOURCEA(IDI_PROGRAM), RT_GROUP_ICON, size));
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(size, 6 + 2 * 14);
  EXPECT_EQ(group[4], 2);
  for (int i = 0; i < 2; ++i) {
    const unsigned char* entry = group + 6 + 14 * i;
    int pixels = i == 0 ? 16 : 32;
    EXPECT_EQ(entry[0], pixels);
    EXPECT_EQ(entry[1], pixels);
    EXPECT_EQ(entry[2], 16);  // colours
    EXPECT_EQ(entry[12], i + 1);
    int imageSize = 0;
    auto* image = static_cast<const unsigned char*>(
        loadResource(MAKEINTRESOURCEA(i + 1), RT_ICON, imageSize));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image[4], pixels);  // the bitmap header's width
    EXPECT_EQ(image[14], 4);      // bits per pixel
    EXPECT_EQ(uint32_t(entry[8] | entry[9] << 8), uint32_t(imageSize));
  }
}

// Pictures from memory: sizes in HIMETRIC, bytes that are not a picture
// refused, and drawing clipped to the target.
TEST(OlePicture, SizesDecodingAndClippedRendering) {
  std::vector<unsigned char> jpeg = quartersJpeg(96, 48);
  IPicture* picture = loadPictureFromMemory(jpeg.data(), int(jpeg.size()));
  ASSERT_NE(picture, nullptr);
  OLE_XSIZE_HIMETRIC width = 0;
  OLE_YSIZE_HIMETRIC height = 0;
  picture->get_Width(&width);
  picture->get_Height(&height);
  EXPECT_EQ(width, 2540);  // one inch at 96 dots per inch
  EXPECT_EQ(height, 1270);

  // Half off every edge of a 4 x 4 target: only what lands inside is drawn.
  std::vector<uint32_t> pixels(16, 0);
  bool changed = false;
  HDC__ dc{nullptr, 4, 4, &pixels, &changed};
  EXPECT_EQ(picture->Render(&dc, -2, -2, 8, 8, 0, height, width, -height, nullptr), S_OK);
  EXPECT_TRUE(changed);
  EXPECT_TRUE(near(pixels[0], 255, 0, 0));
  EXPECT_TRUE(near(pixels[3], 0, 255, 0));
  EXPECT_TRUE(near(pixels[12], 0, 0, 255));
  EXPECT_TRUE(near(pixels[15], 255, 255, 255));
  // A positive source height draws it upside down.
  EXPECT_EQ(picture->Render(&dc, 0, 0, 4, 4, 0, 0, width, height, nullptr), S_OK);
  EXPECT_TRUE(near(pixels[0], 0, 0, 255));
  EXPECT_TRUE(near(pixels[15], 0, 255, 0));
  picture->Release();

  const unsigned char notAPicture[] = "GIF89a but no more";
  EXPECT_EQ(loadPictureFromMemory(notAPicture, int(sizeof notAPicture)), nullptr);
}

// The dialog in a window of its own on a display: SetupDialog.UnderAVirtualDisplay
// runs this binary again under xvfb-run for these tests (left out of the
// CTest list, where they could only skip).
bool useVirtualDisplay() {
  const char* display = std::getenv("SETUP_TEST_DISPLAY");
  if (!display) return false;
  setenv("DISPLAY", display, 1);
  return true;
}

}  // namespace

TEST(SetupDialogOnVirtualDisplay, ShowsCentredWithItsCaptionAndTheSplash) {
  if (!useVirtualDisplay()) GTEST_SKIP() << "started by SetupDialog.UnderAVirtualDisplay";
  ASSERT_FALSE(platformHeadless());
  resource_test::replaceResource(MAKEINTRESOURCEA(IDR_SPLASH), "BINARY", quartersJpeg(40, 20));
  std::string title;
  int x = -1, y = -1, width = 0, height = 0;
  RECT frame{};
  setUser({inspect([&](HWND dialog) {
             ASSERT_NE(dialog->sdlWindow, nullptr);
             title = SDL_GetWindowTitle(dialog->sdlWindow);
             SDL_GetWindowPosition(dialog->sdlWindow, &x, &y);
             SDL_GetWindowSize(dialog->sdlWindow, &width, &height);
             frame = controlRect(dialog, IDC_PICTURE_FRAME);
           }),
           click(IDC_WINDOWED), click(IDC_START_DEMO)});
  EXPECT_TRUE(showSetupDialog());
  EXPECT_EQ(title, "TQ07");
  // 358 x 182 dialog units, centred on the 1024 x 768 screen.
  EXPECT_EQ(width, 537);
  EXPECT_EQ(height, 295);
  EXPECT_EQ(x, (1024 - width) / 2);
  EXPECT_EQ(y, (768 - height) / 2);
  expectQuartersInFrame(lastFrame(), frame);
  EXPECT_FALSE(gFullscreen);
  dialog_test::reset();
  resource_test::restoreResources();
}

// xvfb is one of the packages the set-up installs: without it this fails
// rather than skips.
TEST(SetupDialog, UnderAVirtualDisplay) {
  ASSERT_EQ(std::system("command -v xvfb-run >/dev/null 2>&1"), 0) << "xvfb-run is not installed";
  char self[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  const VirtualDisplayRun run = runUnderVirtualDisplay(
      self, "SETUP_TEST_DISPLAY", "SetupDialogOnVirtualDisplay.*", "setup-display-");
  ASSERT_TRUE(WIFEXITED(run.status)) << run.log;
  EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.log;
  EXPECT_NE(run.log.find("[  PASSED  ] 1 test."), std::string::npos) << run.log;
}
