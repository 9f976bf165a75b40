// Persisted picture settings: restore, save and registry failures.
#include "controls_fixture.h"

namespace {

using namespace controls;

using Picture = std::vector<LONG>;  // brightness, contrast, saturation, sharpness, white balance
const Picture kDefaults = {50, 50, 50, 20, 50};

class SettingsTest : public ControlsTest {
 protected:
  Picture Current() const {
    return {dc_.g_nBrightness, dc_.g_nContrast, dc_.g_nSaturation, dc_.g_nSharpness, dc_.g_nWhiteBalance};
  }
  void Fill(LONG v) {
    dc_.g_nBrightness = dc_.g_nContrast = dc_.g_nSaturation = dc_.g_nSharpness = dc_.g_nWhiteBalance = v;
  }
  void Store(const char *name, ULONG type, std::vector<uint8_t> data) {
    HostRegistry_SetValue(&pdo_, "Settings", name, type, data);
  }
  void Store(const char *name, uint32_t value) { HostRegistry_SetDword(&pdo_, "Settings", name, value); }
};

// Values in range are restored whatever the case of their names; the others fall back one by one.
TEST_F(SettingsTest, RestoreTakesStoredValuesInRangeAndDefaultsTheRest) {
  Fill(77);
  EXPECT_EQ(LUMAREX_RestoreSettings(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(Current(), kDefaults);
  EXPECT_TRUE(HostRegistry_ValueNames(&pdo_, "Settings").empty()) << "a restore writes nothing";
  Store("Brightness", 0);
  Store("contrast", 100);
  Store("SATURATION", 33);
  Store("Sharpness", 1);
  Store("WhiteBalance", 99);
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(Current(), (Picture{0, 100, 33, 1, 99}));
  Store("Brightness", 0xFFFFFFFF);
  Store("Contrast", 101);
  Store("Saturation", REG_BINARY, {30, 0, 0, 0});  // a 4-byte value of another type
  Store("Sharpness", REG_SZ, {'5', 0, '0', 0, 0, 0});
  Store("WhiteBalance", 0x80000000);
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(Current(), (Picture{50, 50, 30, 20, 50}));
  // A short value replaces only the low bytes of the "not loaded" mark -1: still out of range.
  Store("Contrast", REG_BINARY, {0x32});
  Fill(-1);
  EXPECT_TRUE(LUMAREX_LoadSettings(&dc_));
  EXPECT_EQ(dc_.g_nContrast, (LONG)0xFFFFFF32);
}

TEST_F(SettingsTest, ALongerValueNeverSpillsIntoTheNextField) {
  // 8 bytes fit the query buffer for "WhiteBalance" but would run into g_nCompressionQuality.
  Store("WhiteBalance", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
  Fill(-1);
  dc_.g_nCompressionQuality = 1234;
  EXPECT_TRUE(LUMAREX_LoadSettings(&dc_));
  EXPECT_EQ(dc_.g_nWhiteBalance, -1);
  EXPECT_EQ(dc_.g_nCompressionQuality, 1234);
}

TEST_F(SettingsTest, WithoutTheKeysNothingIsLoadedOrSavedAndNoHandleIsLeft) {
  Store("Brightness", 10);
  HostRegistry_FailOpen(&pdo_, STATUS_ACCESS_DENIED);
  Fill(77);
  EXPECT_FALSE(LUMAREX_LoadSettings(&dc_));
  EXPECT_EQ(dc_.g_nBrightness, 77);
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(Current(), kDefaults);
  EXPECT_EQ(LUMAREX_SaveSettings(nullptr, &dc_), STATUS_ACCESS_DENIED);
  EXPECT_EQ(HostRegistry_Stats().valueSets, 0u);
  HostRegistry_Reset();  // the driver key opens, the settings key cannot be created: both are closed
  HostRegistry_FailCreateKey(STATUS_ACCESS_DENIED, 1);
  EXPECT_EQ(LUMAREX_SaveSetting(&dc_, 0), STATUS_ACCESS_DENIED);
}

TEST_F(SettingsTest, AStopSavesTheSettingsForTheNextRestore) {
  Store("Unrelated", REG_SZ, {'x', 0, 0, 0});
  dc_.g_nBrightness = 12, dc_.g_nContrast = 34, dc_.g_nSaturation = 56, dc_.g_nSharpness = 78;
  dc_.g_nWhiteBalance = 90, dc_.g_nCompressionQuality = -6;
  ASSERT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), (NTSTATUS)1);
  EXPECT_EQ(HostRegistry_ValueNames(&pdo_, "Settings"), (Lines{"Unrelated", "Brightness", "Contrast", "Saturation",
                                                              "Sharpness", "WhiteBalance", "CompressionQuality"}));
  std::optional<HostRegValue> quality = HostRegistry_GetValue(&pdo_, "Settings", "CompressionQuality");
  ASSERT_TRUE(quality);
  EXPECT_EQ(quality->type, ULONG(REG_DWORD));
  EXPECT_EQ(quality->data, (std::vector<uint8_t>{0xFA, 0xFF, 0xFF, 0xFF}));
  Fill(0);
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(Current(), (Picture{12, 34, 56, 78, 90}));
}

}  // namespace
