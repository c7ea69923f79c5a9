// The tray icon: the picture, the notification record, the callback and the popup menu.
#include <cstring>

#include "fixture.h"
#include "tray/tray_icon_image.h"

namespace vantorel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::uint8_t> realIcon() {
  return std::vector<std::uint8_t>(kTrayIconImage, kTrayIconImage + kTrayIconImage_size);
}

void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

class TrayTest : public ProgramTest {
 protected:
  void SetUp() override {
    prepareHandlers(Desktop{});
    program.host.handle = sim.addWindow(0, "Host", "");
  }

  void setRealIcon(const char* tooltip = text::kTooltip) {
    const auto bytes = realIcon();
    program.setTrayIcon(bytes.data(), bytes.size(), tooltip);
  }
};

TEST(TrayIconImage, IsAOneImage64By64IcoWithAlpha) {
  ASSERT_EQ(kTrayIconImage_size, kTrayIconImageBytes);
  const std::uint8_t* b = kTrayIconImage;
  EXPECT_EQ(b[0] | (b[1] << 8), 0);
  EXPECT_EQ(b[2] | (b[3] << 8), 1);
  EXPECT_EQ(b[4] | (b[5] << 8), 1);
  EXPECT_EQ(b[6], 64);
  EXPECT_EQ(b[7], 64);
  EXPECT_EQ(b[12] | (b[13] << 8), 32);
  EXPECT_EQ(get32(b + 14), 16936u);
  EXPECT_EQ(get32(b + 18), 22u);
  EXPECT_EQ(get32(b + 22), 40u);
  EXPECT_EQ(get32(b + 26), 64u);
  EXPECT_EQ(get32(b + 30), 128u);
  EXPECT_EQ(get32(b + 22 + 20), 16384u);
  bool partlyTransparent = false;
  for (std::size_t p = 0; p < 64 * 64; ++p) {
    const std::uint8_t alpha = b[62 + 4 * p + 3];
    partlyTransparent = partlyTransparent || (alpha > 0 && alpha < 255);
  }
  EXPECT_TRUE(partlyTransparent);
}

TEST_F(TrayTest, TheIconIsMadeAtThePicturesOwnSize) {
  setRealIcon();
  EXPECT_THAT(sim.calls({"CreateIconFromResourceEx", "CreateIconFromResource"}),
              ElementsAre(call("CreateIconFromResourceEx", 16936, 1, 0x30000, 64, 64, 0)));
  EXPECT_EQ(sim.liveIcons(), 1u);
}

TEST_F(TrayTest, AddModifyAndDeleteFillTheRecordAsTheShellExpects) {
  setRealIcon();
  const IconHandle first = program.host.trayIcon;
  setRealIcon();
  const IconHandle second = program.host.trayIcon;
  program.applyTrayIcon(0, nullptr);
  program.applyTrayIcon(0, nullptr);  // nothing left to delete: no call

  ASSERT_EQ(sim.notifyCalls.size(), 3u);
  const auto& [addMessage, add] = sim.notifyCalls[0];
  EXPECT_EQ(addMessage, kNimAdd);
  EXPECT_EQ(add.cbSize, 88u);
  EXPECT_EQ(add.hWnd, program.host.handle);
  EXPECT_EQ(add.uID, 100u);
  EXPECT_EQ(add.uFlags, 7u);
  EXPECT_EQ(add.uCallbackMessage, 32868u);
  EXPECT_EQ(add.hIcon, first);
  EXPECT_STREQ(add.szTip, "Vantorel");
  const auto& [modifyMessage, modify] = sim.notifyCalls[1];
  EXPECT_EQ(modifyMessage, kNimModify);
  EXPECT_EQ(modify.hIcon, second);
  EXPECT_EQ(modify.uFlags, 7u);
  const auto& [deleteMessage, remove] = sim.notifyCalls[2];
  EXPECT_EQ(deleteMessage, kNimDelete);
  EXPECT_EQ(remove.uFlags, 0u);
  EXPECT_EQ(remove.hIcon, 0u);
  EXPECT_EQ(remove.uCallbackMessage, 0u);
  EXPECT_EQ(remove.hWnd, program.host.handle);
  EXPECT_EQ(remove.uID, 100u);
  // The replaced and the removed handle were both destroyed.
  EXPECT_THAT(sim.calls({"DestroyIcon"}), ElementsAre(call("DestroyIcon", first), call("DestroyIcon", second)));
  EXPECT_EQ(program.host.trayIcon, 0u);
  EXPECT_THAT(sim.trayIcons, IsEmpty());
}

TEST_F(TrayTest, ATooltipIsCutToItsFirst62Bytes) {
  const std::string longTip(70, 'x');
  setRealIcon(longTip.c_str());
  const NotifyIconRecord& r = sim.notifyCalls.at(0).second;
  EXPECT_EQ(std::string(r.szTip), std::string(62, 'x'));
  EXPECT_EQ(r.szTip[62], '\0');
  EXPECT_EQ(r.szTip[63], '\0');
  program.applyTrayIcon(0, nullptr);
  EXPECT_EQ(sim.notifyCalls.at(1).second.szTip[0], '\0');
}

TEST_F(TrayTest, ManyReplacementsAndDeletionsLeakNoIconHandle) {
  for (int i = 0; i < 500; ++i) {
    setRealIcon();
    if (i % 3 == 0) program.applyTrayIcon(0, nullptr);
    ASSERT_LE(sim.liveIcons(), 1u);
  }
  program.applyTrayIcon(0, nullptr);
  EXPECT_EQ(sim.liveIcons(), 0u);
  EXPECT_THAT(sim.trayIcons, IsEmpty());
}

struct IcoCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> mutated(void (*change)(std::vector<std::uint8_t>&)) {
  auto b = realIcon();
  change(b);
  return b;
}

class MalformedIcoTest : public TrayTest, public ::testing::WithParamInterface<IcoCase> {};

TEST_P(MalformedIcoTest, GivesNoIconAndAddsNothing) {
  const auto& bytes = GetParam().bytes;
  program.setTrayIcon(bytes.empty() ? nullptr : bytes.data(), bytes.size(), text::kTooltip);
  EXPECT_EQ(program.host.trayIcon, 0u);
  EXPECT_THAT(sim.calls({"CreateIconFromResourceEx", "CreateIconFromResource", "Shell_NotifyIconA"}), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, MalformedIcoTest,
    ::testing::Values(IcoCase{"empty", {}}, IcoCase{"headerOnly", {0, 0, 1, 0, 1, 0}},
                      IcoCase{"reservedNotZero", mutated([](auto& b) { b[0] = 1; })},
                      IcoCase{"typeCursor", mutated([](auto& b) { b[2] = 2; })},
                      IcoCase{"zeroImages", mutated([](auto& b) { b[4] = 0; })},
                      IcoCase{"shortDirectory", mutated([](auto& b) { b.resize(21); })},
                      IcoCase{"truncatedImage", mutated([](auto& b) { b.resize(b.size() - 1); })},
                      IcoCase{"offsetPastTheEnd", mutated([](auto& b) { put32(b, 18, 17000); })},
                      IcoCase{"sizePastTheEnd", mutated([](auto& b) { put32(b, 14, 16937); })},
                      IcoCase{"sizeWrapsAround", mutated([](auto& b) { put32(b, 14, 0xFFFFFFFF); })},
                      IcoCase{"offsetWrapsAround", mutated([](auto& b) { put32(b, 18, 0xFFFFFFF0); })},
                      IcoCase{"imageTooSmallForItsHeader", mutated([](auto& b) { put32(b, 14, 39); })}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrayTest, AnUnusablePictureRemovesAShownIcon) {
  setRealIcon();
  const std::uint8_t junk[30] = {1, 2, 3};
  program.setTrayIcon(junk, sizeof junk, text::kTooltip);
  EXPECT_EQ(sim.notifyCalls.back().first, kNimDelete);
  EXPECT_EQ(sim.liveIcons(), 0u);
}

TEST_F(TrayTest, TheSecondCreationCallIsTriedUnlessThePictureHas16Bits) {
  sim.failIconFromResourceEx = true;
  setRealIcon();
  EXPECT_THAT(sim.calls({"CreateIconFromResource"}), ElementsAre(call("CreateIconFromResource", 16936, 1, 0x30000)));
  EXPECT_NE(program.host.trayIcon, 0u);

  sim.clearLog();
  auto sixteen = realIcon();
  sixteen[22 + 14] = 16;
  program.setTrayIcon(sixteen.data(), sixteen.size(), text::kTooltip);
  EXPECT_THAT(sim.calls({"CreateIconFromResource"}), IsEmpty());
  EXPECT_EQ(program.host.trayIcon, 0u);  // and the shown icon went
}

// ---- the callback and the popup ----

struct CallbackCase {
  std::intptr_t lParam;
  bool popsUp;
};

class TrayCallbackTest : public TrayTest, public ::testing::WithParamInterface<CallbackCase> {};

TEST_P(TrayCallbackTest, OnlyARightButtonReleaseOrContextMenuPopsUp) {
  program.onTrayCallback(kTrayIconId, GetParam().lParam);
  EXPECT_EQ(sim.popups.size(), GetParam().popsUp ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Messages, TrayCallbackTest,
                         ::testing::Values(CallbackCase{kWmRButtonUp, true}, CallbackCase{kWmContextMenu, true},
                                           CallbackCase{kWmLButtonUp, false}, CallbackCase{kWmLButtonDblClk, false},
                                           CallbackCase{kWmRButtonDown, false}, CallbackCase{kWmRButtonDblClk, false},
                                           CallbackCase{kWmLButtonDown, false}, CallbackCase{kWmMouseMove, false},
                                           CallbackCase{kWmMButtonDown, false}, CallbackCase{kWmMButtonUp, false},
                                           CallbackCase{0, false}));

TEST_F(TrayTest, ThePopupOpensAtThePointerWithItsTopRightCornerFivePixelsOff) {
  sim.cursor = {1014, 758};
  program.onTrayCallback(kTrayIconId, kWmRButtonUp);
  ASSERT_EQ(sim.popups.size(), 1u);
  const sim::PopupRecord& popup = sim.popups[0];
  EXPECT_THAT(sim.calls({"GetCursorPos", "SetForegroundWindow", "TrackPopupMenu", "PostMessageA", "DestroyMenu"}),
              ElementsAre(::testing::StartsWith("GetCursorPos("), call("SetForegroundWindow", program.host.handle),
                          call("TrackPopupMenu", popup.menu, 8, 1009, 753, 0, program.host.handle, nullptr),
                          call("PostMessageA", program.host.handle, 0, 0, 0), call("DestroyMenu", popup.menu)));
  EXPECT_EQ(popup.foreground, program.host.handle);
  ASSERT_EQ(popup.items.size(), 2u);
  EXPECT_EQ(popup.items[0].item, 20001u);
  EXPECT_EQ(popup.items[0].caption, text::kSuspendAutoHide);
  EXPECT_EQ(popup.items[0].flags, kMfString);
  EXPECT_EQ(popup.items[1].item, 20002u);
  EXPECT_EQ(popup.items[1].caption, text::kExit);
  EXPECT_EQ(sim.liveMenus(), 0u);
}

struct EntriesCase {
  const char* name;
  std::array<MenuEntry, kMenuEntryCount> entries;
  std::size_t popped;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> items;  // identifier, flags
  bool opens;
};

constexpr MenuEntry entry(std::int32_t level, bool hidden = false, bool disabled = false, bool checked = false) {
  return MenuEntry{level, "e", 0, hidden, disabled, checked, nullptr};
}

class PopupEntriesTest : public TrayTest, public ::testing::WithParamInterface<EntriesCase> {};

TEST_P(PopupEntriesTest, BuildsItsItemsFromTheEntriesUnderThePoppedOne) {
  const EntriesCase& c = GetParam();
  program.host.menu = c.entries;
  program.popUpTrayMenu(c.popped);
  ASSERT_EQ(sim.popups.size(), c.opens ? 1u : 0u);
  if (!c.opens) {
    EXPECT_THAT(sim.calls({"CreatePopupMenu", "TrackPopupMenu"}), IsEmpty());
    return;
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
  for (const auto& item : sim.popups[0].items) got.emplace_back(static_cast<std::uint32_t>(item.item), item.flags);
  EXPECT_EQ(got, c.items);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, PopupEntriesTest,
    ::testing::Values(
        EntriesCase{"hiddenUsesUpItsIdentifier", {entry(0), entry(1, true), entry(1)}, 0, {{20002, 0}}, true},
        EntriesCase{"disabledAndChecked",
                    {entry(0), entry(1, false, true), entry(1, false, false, true)},
                    0,
                    {{20001, kMfGrayed}, {20002, kMfChecked}},
                    true},
        EntriesCase{
            "bothFlags", {entry(0), entry(1, false, true, true), entry(0)}, 0, {{20001, kMfGrayed | kMfChecked}}, true},
        EntriesCase{"deeperEntriesComeFlat", {entry(0), entry(1), entry(2)}, 0, {{20001, 0}, {20002, 0}}, true},
        EntriesCase{"nestedPopupCountsFromItsOwnPosition", {entry(0), entry(1), entry(2)}, 1, {{20002, 0}}, true},
        EntriesCase{"lastEntryHasNothingUnderIt", {entry(0), entry(1), entry(1)}, 2, {}, false},
        EntriesCase{"nextEntryNotDeeper", {entry(0), entry(1), entry(1)}, 1, {}, false},
        EntriesCase{"notAnEntry", {entry(0), entry(1), entry(1)}, 7, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrayTest, APopupWhoseMenuCannotBeMadeShowsNothing) {
  sim.failMenuCreation = true;
  program.onTrayCallback(kTrayIconId, kWmRButtonUp);
  EXPECT_THAT(sim.calls({"TrackPopupMenu", "SetForegroundWindow", "GetCursorPos"}), IsEmpty());
}

TEST_F(TrayTest, CommandsBeyondTheEntriesAndTheRootDoNothing) {
  program.itemsHidden = 1;
  for (const std::uintptr_t id : {20000u, 20003u, 65535u}) {
    program.windowProc(program.host.handle, kWmCommand, id, 0);
  }
  EXPECT_THAT(showCalls(), IsEmpty());
  EXPECT_EQ(program.autoHideSuspended, 0);
  program.windowProc(program.host.handle, kWmCommand, 20001, 0);
  EXPECT_EQ(program.autoHideSuspended, 1);
}

}  // namespace
}  // namespace vantorel::test
