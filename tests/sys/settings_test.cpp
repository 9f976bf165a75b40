// Persisted picture settings: what a restore makes of the values stored under the device's
// "Settings" key (missing, out of range, of another length or type), what a save writes, the
// registry failures, and settings that survive a save and reload of the device's hive.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "controls_fixture.h"

namespace {

using namespace controls;

constexpr ULONG kWdm = LUMAREX_POOL_TAG;

struct Picture {
  LONG brightness, contrast, saturation, sharpness, whiteBalance;
  bool operator==(const Picture &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Picture &p) {
  return os << "{" << p.brightness << ", " << p.contrast << ", " << p.saturation << ", " << p.sharpness << ", "
            << p.whiteBalance << "}";
}

constexpr Picture kDefaults = {50, 50, 50, 20, 50};

class SettingsTest : public ControlsTest {
 protected:
  Picture Current() const {
    return {dc_.g_nBrightness, dc_.g_nContrast, dc_.g_nSaturation, dc_.g_nSharpness, dc_.g_nWhiteBalance};
  }
  void Store(const char *name, uint32_t value) { HostRegistry_SetDword(&pdo_, "Settings", name, value); }
  void StoreRaw(const char *name, ULONG type, std::vector<uint8_t> data) {
    HostRegistry_SetValue(&pdo_, "Settings", name, type, data);
  }
  void Fill(LONG v) {
    dc_.g_nBrightness = dc_.g_nContrast = dc_.g_nSaturation = dc_.g_nSharpness = dc_.g_nWhiteBalance = v;
  }
};

TEST_F(SettingsTest, AnEmptyKeyGivesTheDefaultsAndTheNextStopWritesAllSix) {
  Fill(77);
  EXPECT_EQ(LUMAREX_RestoreSettings(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(Current(), kDefaults);
  EXPECT_TRUE(HostRegistry_KeyExists(&pdo_, "Settings"));
  EXPECT_TRUE(HostRegistry_ValueNames(&pdo_, "Settings").empty()) << "a restore writes nothing";

  EXPECT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), (NTSTATUS)1);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Brightness"), 50u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Contrast"), 50u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Saturation"), 50u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Sharpness"), 20u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "WhiteBalance"), 50u);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "CompressionQuality"), 0u);
}

TEST_F(SettingsTest, StoredValuesInRangeAreRestoredWhateverTheNamesCase) {
  Store("Brightness", 0);
  Store("contrast", 100);
  Store("SATURATION", 33);
  Store("Sharpness", 1);
  Store("WhiteBalance", 99);
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(Current(), (Picture{0, 100, 33, 1, 99}));
}

TEST_F(SettingsTest, OutOfRangeValuesFallBackToTheirDefaultOneByOne) {
  Store("Brightness", 0xFFFFFFFF);  // -1
  Store("Contrast", 60);
  Store("Sharpness", 101);
  Store("WhiteBalance", 0x80000000);
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(Current(), (Picture{50, 60, 50, 20, 50}));
}

TEST_F(SettingsTest, AShortValueReplacesOnlyTheLowBytesOfTheUnloadedMark) {
  StoreRaw("Contrast", REG_BINARY, {0x32});
  Fill(-1);
  EXPECT_TRUE(LUMAREX_LoadSettings(&dc_));
  EXPECT_EQ(dc_.g_nContrast, (LONG)0xFFFFFF32);
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(dc_.g_nContrast, 50) << "negative, so the default";
  // A 4-byte value of another type is taken as it is.
  StoreRaw("Saturation", REG_BINARY, {30, 0, 0, 0});
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(dc_.g_nSaturation, 30);
}

TEST_F(SettingsTest, LongerValuesAreNotReadAndNeverSpillIntoTheNextField) {
  // "50" as REG_SZ with its null is 6 bytes, more than the setting holds.
  StoreRaw("Brightness", REG_SZ, {'5', 0, '0', 0, 0, 0});
  // The query buffer for "WhiteBalance" has room for 10 data bytes behind the name; 8 would
  // fit the buffer but run from g_nWhiteBalance into g_nCompressionQuality.
  StoreRaw("WhiteBalance", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
  Store("Contrast", 70);
  Fill(-1);
  dc_.g_nCompressionQuality = 1234;
  EXPECT_TRUE(LUMAREX_LoadSettings(&dc_));
  EXPECT_EQ(Current(), (Picture{-1, 70, -1, -1, -1}));
  EXPECT_EQ(dc_.g_nCompressionQuality, 1234);
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(Current(), (Picture{50, 70, 50, 20, 50}));
}

TEST_F(SettingsTest, QueriesUsePagedPoolBuffersThatAreAlwaysFreed) {
  Store("Brightness", 10);
  HostPoolTagStats before = HostPool_TagStats(kWdm);
  EXPECT_TRUE(LUMAREX_LoadSettings(&dc_));
  HostPoolTagStats after = HostPool_TagStats(kWdm);
  EXPECT_EQ(after.allocations - before.allocations, 5u) << "one buffer per value, found or not";
  EXPECT_EQ(after.liveBlocks, 0u);

  // Without pool for the first query that setting keeps what it had.
  Fill(-1);
  HostPool_FailNthAllocation(1);
  EXPECT_TRUE(LUMAREX_LoadSettings(&dc_));
  EXPECT_EQ(dc_.g_nBrightness, -1);
  Store("Contrast", 11);
  LONG value = -5;
  HostPool_FailTag(kWdm, true);
  HANDLE driverKey, settingsKey;
  ASSERT_EQ(LUMAREX_OpenSettingsKey(&dc_, &driverKey, &settingsKey), STATUS_SUCCESS);
  EXPECT_EQ(LUMAREX_QuerySettingValue(settingsKey, LUMAREX_WIDE("Contrast"), 18, &value),
            STATUS_INSUFFICIENT_RESOURCES);
  HostPool_FailTag(kWdm, false);
  EXPECT_EQ(value, -5);
  EXPECT_EQ(LUMAREX_QuerySettingValue(settingsKey, LUMAREX_WIDE("Contrast"), 18, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 11);
  EXPECT_EQ(LUMAREX_QuerySettingValue(settingsKey, LUMAREX_WIDE("Missing"), 16, &value),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(settingsKey);
  ZwClose(driverKey);
}

TEST_F(SettingsTest, WithoutTheDriverKeyNothingIsLoadedOrSaved) {
  Store("Brightness", 10);
  HostRegistry_FailOpen(&pdo_, STATUS_ACCESS_DENIED);
  Fill(77);
  EXPECT_FALSE(LUMAREX_LoadSettings(&dc_));
  EXPECT_EQ(dc_.g_nBrightness, 77);
  EXPECT_EQ(LUMAREX_RestoreSettings(nullptr, &dc_), STATUS_SUCCESS);
  EXPECT_EQ(Current(), kDefaults);
  EXPECT_EQ(LUMAREX_SaveSettings(nullptr, &dc_), STATUS_ACCESS_DENIED);
  EXPECT_EQ(LUMAREX_SaveSetting(&dc_, 0), STATUS_ACCESS_DENIED);
  EXPECT_EQ(HostRegistry_Stats().valueSets, 0u);
}

TEST_F(SettingsTest, ASettingsKeyThatCannotBeCreatedClosesTheDriverKeyAgain) {
  HostRegistry_FailCreateKey(STATUS_ACCESS_DENIED, 1);
  EXPECT_EQ(LUMAREX_SaveSetting(&dc_, 0), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(HostRegistry_KeyExists(&pdo_, "Settings"));
  EXPECT_EQ(LUMAREX_SaveSetting(&dc_, 0), (NTSTATUS)1);
  EXPECT_TRUE(HostRegistry_KeyExists(&pdo_, "Settings"));
  // Teardown checks that no handle was left open.
}

TEST_F(SettingsTest, SaveWritesSixDwordsAndKeepsOtherValues) {
  StoreRaw("Unrelated", REG_SZ, {'x', 0, 0, 0});
  dc_.g_nBrightness = 1, dc_.g_nContrast = 2, dc_.g_nSaturation = 3, dc_.g_nSharpness = 4;
  dc_.g_nWhiteBalance = 5, dc_.g_nCompressionQuality = -6;
  EXPECT_EQ(LUMAREX_SaveSettings(nullptr, &dc_), (NTSTATUS)1);
  EXPECT_EQ(HostRegistry_ValueNames(&pdo_, "Settings"),
            (std::vector<std::string>{"Unrelated", "Brightness", "Contrast", "Saturation", "Sharpness",
                                      "WhiteBalance", "CompressionQuality"}));
  std::optional<HostRegValue> quality = HostRegistry_GetValue(&pdo_, "Settings", "CompressionQuality");
  ASSERT_TRUE(quality);
  EXPECT_EQ(quality->type, ULONG(REG_DWORD));
  EXPECT_EQ(quality->data, (std::vector<uint8_t>{0xFA, 0xFF, 0xFF, 0xFF}));
}

TEST_F(SettingsTest, SettingsSurviveASaveAndReloadOfTheHive) {
  dc_.g_nBrightness = 12, dc_.g_nContrast = 34, dc_.g_nSaturation = 56, dc_.g_nSharpness = 78;
  dc_.g_nWhiteBalance = 90;
  ASSERT_EQ(CamStopCaptureEx(nullptr, &dc_, 0), (NTSTATUS)1);
  std::string file = ::testing::TempDir() + "torvane_hive_" + std::to_string(getpid()) + ".txt";
  ASSERT_TRUE(HostRegistry_SaveHive(&pdo_, file));

  // A new run of the host program: new device objects, an empty registry until the hive is
  // loaded.
  HostRegistry_Reset();
  DEVICE_OBJECT pdo2;
  memset(&pdo2, 0, sizeof(pdo2));
  dc_.g_pPhysicalDeviceObject = &pdo2;
  Fill(0);
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(Current(), kDefaults) << "nothing stored before the load";
  ASSERT_TRUE(HostRegistry_LoadHive(&pdo2, file));
  LUMAREX_RestoreSettings(nullptr, &dc_);
  EXPECT_EQ(Current(), (Picture{12, 34, 56, 78, 90}));
  std::remove(file.c_str());
}

}  // namespace
