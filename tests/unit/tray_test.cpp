// The tray icon: the record the shell gets, the tooltips, the picture per state, removal and
// re-adding after the taskbar came back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/fakes.h"

namespace kc::test {
namespace {

constexpr WindowRef kMain = 0x4242;
// "OMBRIX コントロール" in code page 932.
const std::string kTipBytes = "OMBRIX \x83\x52\x83\x93\x83\x67\x83\x8D\x81\x5B\x83\x8B";

struct TrayHarness {
  FakeTray port;
  FakeClock clock;
  Settings settings;
  WindowRef mainWindow = kMain;
  Tray tray{port, clock, settings, mainWindow};
};

void ExpectRecordFields(const TrayIconRecord& r, uint32_t icon) {
  EXPECT_EQ(r.cbSize, 88u);
  EXPECT_EQ(r.window, kMain);
  EXPECT_EQ(r.id, 101u);
  EXPECT_EQ(r.flags, 7u);
  EXPECT_EQ(r.callbackMessage, 1054u);
  EXPECT_EQ(r.icon, icon);
}

TEST(Tray, AddsTheIdleIconWithThePlainTip) {
  TrayHarness h;
  h.tray.AddTrayIcon();
  ASSERT_EQ(h.port.calls.size(), 1u);
  EXPECT_EQ(h.port.calls[0].first, "add");
  ExpectRecordFields(h.port.calls[0].second, 101);
  EXPECT_EQ(std::string(h.port.calls[0].second.tip), kTipBytes);
  EXPECT_EQ(std::string(kTrayTip), kTipBytes);
}

TEST(Tray, UpdateTellsTheNextCheckAcrossMidnight) {
  TrayHarness h;
  h.clock.local.hour = 23;
  h.clock.local.min = 45;
  h.settings.interval = 30;
  h.tray.AddTrayIcon();
  h.tray.UpdateTrayIcon(kIconBusy);
  ASSERT_EQ(h.port.calls.size(), 2u);
  EXPECT_EQ(h.port.calls[1].first, "modify");
  ExpectRecordFields(h.port.calls[1].second, 104);
  EXPECT_EQ(std::string(h.port.calls[1].second.tip), kTipBytes + " NextCheck00:15");
}

TEST(Tray, NextCheckFollowsTheIntervalAtEachUpdate) {
  TrayHarness h;
  h.clock.local.hour = 9;
  h.clock.local.min = 0;
  h.settings.interval = 5;
  h.tray.UpdateTrayIcon(kIconIdle);
  EXPECT_EQ(std::string(h.tray.record().tip), kTipBytes + " NextCheck09:05");
  // A changed interval and a later moment are both taken at the next update.
  h.settings.interval = 10;
  h.clock.now += 3600;  // the fake's local time belongs to `now`: move both
  h.clock.local.hour = 10;
  h.tray.UpdateTrayIcon(kIconIdle);
  EXPECT_EQ(std::string(h.tray.record().tip), kTipBytes + " NextCheck10:10");
}

TEST(Tray, TimeBeyondLocalTimeShowsDashes) {
  TrayHarness h;
  h.settings.interval = INT32_MAX;  // some 4,000 years ahead
  h.clock.localOk = false;
  h.tray.UpdateTrayIcon(kIconMail);
  EXPECT_EQ(std::string(h.tray.record().tip), kTipBytes + " NextCheck--:--");
  EXPECT_EQ(h.tray.record().icon, 102u);
}

TEST(Tray, PictureFollowsTheType) {
  const uint32_t expected[] = {101, 102, 103, 104};
  TrayHarness h;
  h.tray.AddTrayIcon();
  for (int type = 0; type < 4; ++type) {
    h.tray.UpdateTrayIcon(type);
    EXPECT_EQ(h.port.lastIcon(), expected[type]) << type;
  }
  // A type without a picture keeps the one shown, but the tooltip still moves on.
  h.tray.UpdateTrayIcon(7);
  EXPECT_EQ(h.port.lastIcon(), 104u);
  EXPECT_EQ(h.port.calls.back().first, "modify");
}

TEST(Tray, RemoveAndReAddOnlyAfterTheIconWasAdded) {
  TrayHarness h;
  h.tray.ReAddTrayIcon();
  h.tray.RemoveTrayIcon();
  EXPECT_TRUE(h.port.calls.empty());

  h.tray.AddTrayIcon();
  h.tray.UpdateTrayIcon(kIconManyMail);
  h.tray.ReAddTrayIcon();  // the taskbar came back: same picture and tooltip
  ASSERT_EQ(h.port.calls.size(), 3u);
  EXPECT_EQ(h.port.calls[2].first, "add");
  ExpectRecordFields(h.port.calls[2].second, 103);
  EXPECT_STREQ(h.port.calls[2].second.tip, h.port.calls[1].second.tip);

  h.tray.RemoveTrayIcon();
  h.tray.RemoveTrayIcon();  // once only
  ASSERT_EQ(h.port.calls.size(), 4u);
  EXPECT_EQ(h.port.calls[3].first, "remove");
  EXPECT_EQ(h.port.calls[3].second.id, 101u);
}

TEST(Tray, MenuGoesToThePortAndReturnsZero) {
  TrayHarness h;
  EXPECT_EQ(h.tray.ShowTrayMenu(kMain), 0);
  ASSERT_EQ(h.port.calls.size(), 1u);
  EXPECT_EQ(h.port.calls[0].first, "menu");
}

// The controller removes the icon when the main window goes.
TEST(Tray, DestroyingTheMainWindowRemovesTheIcon) {
  FakePlatform f;
  App app(f.platform);
  app.mainWindow = kMain;
  app.MainWndProc(kMain, SM_START, 0, 0);
  app.MainWndProc(kMain, kWmDestroy, 0, 0);
  ASSERT_FALSE(f.tray.calls.empty());
  EXPECT_EQ(f.tray.calls.front().first, "add");
  EXPECT_EQ(f.tray.calls.back().first, "remove");
  EXPECT_EQ(f.window.calls.back(), "quit 0");
}

// The committed icons: 16-colour images of five sizes each, one picture on the state's
// background.
struct IconImage {
  int size;
  std::vector<uint8_t> pixels;  // palette indexes, top row first
};

std::vector<IconImage> ReadIcon(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u16 = [&](size_t o) { return static_cast<uint32_t>(b.at(o) | (b.at(o + 1) << 8)); };
  auto u32 = [&](size_t o) { return u16(o) | (u16(o + 2) << 16); };
  std::vector<IconImage> images;
  if (b.size() < 6 || u16(2) != 1) return images;
  for (uint32_t i = 0; i < u16(4); ++i) {
    size_t entry = 6 + 16 * i;
    int size = b.at(entry);
    EXPECT_EQ(b.at(entry + 2), 16) << path;  // colours
    EXPECT_EQ(u16(entry + 6), 4u) << path;   // bits per pixel
    size_t dib = u32(entry + 12);
    EXPECT_EQ(u32(dib), 40u);
    EXPECT_EQ(u16(dib + 14), 4u);
    size_t bits = dib + 40 + 16 * 4;
    size_t stride = static_cast<size_t>((size * 4 + 31) / 32 * 4);
    IconImage image{size, {}};
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        uint8_t pair = b.at(bits + static_cast<size_t>(size - 1 - y) * stride + x / 2);
        image.pixels.push_back(x % 2 == 0 ? pair >> 4 : pair & 0x0F);
      }
    }
    images.push_back(image);
  }
  return images;
}

// res/ of the source tree, found from this file's own path.
std::string ResDir() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind("tests/unit/")) + "res/";
}

TEST(TrayIcons, ShareOnePictureOnFourBackgrounds) {
  constexpr uint8_t kBlack = 0, kGreen = 2, kRed = 9, kYellow = 11, kBlue = 12, kMagenta = 13,
                    kWhite = 15;
  const struct {
    const char* file;
    uint8_t background;
  } icons[] = {
      {"idle.ico", kBlue}, {"mail.ico", kYellow}, {"manymail.ico", kRed}, {"busy.ico", kMagenta}};
  std::vector<IconImage> first;
  for (const auto& icon : icons) {
    std::vector<IconImage> images = ReadIcon(ResDir() + icon.file);
    // A frame for each small-icon size of today's scalings (100 % to 200 %) and the large one.
    std::vector<int> sizes;
    for (const IconImage& image : images) sizes.push_back(image.size);
    ASSERT_EQ(sizes, (std::vector<int>{48, 32, 24, 20, 16})) << icon.file;
    const IconImage& large = images[1];
    const IconImage& small = images[4];
    auto at = [](const IconImage& im, int x, int y) { return im.pixels[y * im.size + x]; };
    EXPECT_EQ(at(large, 0, 0), kGreen) << icon.file;  // the frame
    EXPECT_EQ(at(large, 3, 3), icon.background) << icon.file;
    EXPECT_EQ(at(large, 15, 15), kBlack) << icon.file;         // the cross
    EXPECT_EQ(at(large, 10, 10), kWhite) << icon.file;         // a quarter of the diamond
    EXPECT_EQ(at(small, 0, 0), icon.background) << icon.file;  // no frame on the small one
    EXPECT_EQ(at(small, 7, 7), kBlack) << icon.file;
    EXPECT_EQ(at(small, 5, 5), kWhite) << icon.file;
    // The same picture: every pixel that is not background matches the first icon's.
    if (first.empty()) {
      first = images;
      continue;
    }
    for (size_t k = 0; k < images.size(); ++k) {
      for (size_t p = 0; p < images[k].pixels.size(); ++p) {
        bool bg = images[k].pixels[p] == icon.background;
        bool firstBg = first[k].pixels[p] == kBlue;
        ASSERT_EQ(bg, firstBg) << icon.file << " pixel " << p;
        if (!bg) {
          ASSERT_EQ(images[k].pixels[p], first[k].pixels[p]) << icon.file;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kc::test
