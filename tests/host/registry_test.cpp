// The host registry: device keys and subkeys opened through handles, the value-information
// records and their answers for short buffers, fault injection, and hives saved to a file and
// loaded back.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "host_kernel.h"
#include "host_registry.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostRegistry_Reset();
    memset(&pdo_, 0, sizeof(pdo_));
    handles_ = HostObjects_OpenHandles();
  }
  void TearDown() override {
    EXPECT_EQ(HostObjects_OpenHandles(), handles_) << "a key handle was left open";
    HostRegistry_Reset();
  }
  HANDLE OpenDriverKey() {
    HANDLE h = NULL;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, 0x20000, &h), STATUS_SUCCESS);
    return h;
  }
  NTSTATUS Create(HANDLE root, const char16_t *name, HANDLE *key, ULONG *disposition = nullptr) {
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&path, name);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, root, NULL);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, disposition);
  }
  NTSTATUS Query(HANDLE key, const char16_t *name, KEY_VALUE_INFORMATION_CLASS cls, std::vector<uint8_t> &buffer,
                 ULONG *resultLength) {
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    return ZwQueryValueKey(key, &n, cls, buffer.data(), ULONG(buffer.size()), resultLength);
  }
  DEVICE_OBJECT pdo_;
  size_t handles_ = 0;
};

TEST_F(RegistryTest, RtlInitUnicodeStringCountsBytesWithoutAndWithTheNull) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"Settings");
  EXPECT_EQ(s.Length, 16);
  EXPECT_EQ(s.MaximumLength, 18);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(RegistryTest, FullInformationLaysOutNameAndDataAsPublished) {
  HostRegistry_SetDword(&pdo_, "Settings", "Brightness", 0x11223344);
  HANDLE driver = OpenDriverKey(), settings = NULL;
  ULONG disposition = 0;
  ASSERT_EQ(Create(driver, u"settings", &settings, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));

  std::vector<uint8_t> buffer(50, 0xEE);
  ULONG result = 0;
  // Asked for in another case; answered with the stored spelling.
  ASSERT_EQ(Query(settings, u"BRIGHTNESS", KeyValueFullInformation, buffer, &result), STATUS_SUCCESS);
  auto *info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION *>(buffer.data());
  EXPECT_EQ(result, 44u);
  EXPECT_EQ(info->TitleIndex, 0u);
  EXPECT_EQ(info->Type, ULONG(REG_DWORD));
  EXPECT_EQ(info->NameLength, 20u);
  EXPECT_EQ(info->DataOffset, 40u);
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(std::u16string(info->Name, 10), u"Brightness");
  uint32_t data;
  memcpy(&data, buffer.data() + 40, 4);
  EXPECT_EQ(data, 0x11223344u);
  EXPECT_EQ(buffer[44], 0xEE);

  // An odd name length puts the data at the next 4-byte boundary.
  HostRegistry_SetDword(&pdo_, "Settings", "Sharpness", 7);
  ASSERT_EQ(Query(settings, u"Sharpness", KeyValueFullInformation, buffer, &result), STATUS_SUCCESS);
  EXPECT_EQ(info->NameLength, 18u);
  EXPECT_EQ(info->DataOffset, 40u);
  EXPECT_EQ(result, 44u);

  ZwClose(settings);
  ZwClose(driver);
}

TEST_F(RegistryTest, ShortBuffersGetTheRequiredLengthAndAtMostTheFixedPart) {
  HostRegistry_SetValue(&pdo_, "Settings", "Brightness", REG_SZ, {'5', 0, '0', 0, 0, 0});
  HANDLE driver = OpenDriverKey(), settings = NULL;
  ASSERT_EQ(Create(driver, u"Settings", &settings), STATUS_SUCCESS);
  ULONG result = 0;

  std::vector<uint8_t> tiny(19, 0xEE);
  EXPECT_EQ(Query(settings, u"Brightness", KeyValueFullInformation, tiny, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 46u);
  EXPECT_EQ(tiny[0], 0xEE) << "nothing written";

  std::vector<uint8_t> partial(45, 0xEE);
  EXPECT_EQ(Query(settings, u"Brightness", KeyValueFullInformation, partial, &result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 46u);
  auto *info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION *>(partial.data());
  EXPECT_EQ(info->Type, ULONG(REG_SZ));
  EXPECT_EQ(info->DataLength, 6u);
  EXPECT_EQ(partial[40], 0xEE) << "no data";

  std::vector<uint8_t> value(16, 0xEE);
  EXPECT_EQ(Query(settings, u"Brightness", KeyValuePartialInformation, value, &result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 18u);
  value.resize(18);
  EXPECT_EQ(Query(settings, u"Brightness", KeyValuePartialInformation, value, &result), STATUS_SUCCESS);
  EXPECT_EQ(value[12], '5');

  EXPECT_EQ(Query(settings, u"Missing", KeyValueFullInformation, value, &result), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(settings);
  ZwClose(driver);
}

TEST_F(RegistryTest, CreateMakesOnlyTheLastComponentOfAPath) {
  HANDLE driver = OpenDriverKey(), key = NULL;
  ULONG disposition = 0;
  EXPECT_EQ(Create(driver, u"A\\B", &key), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Create(driver, u"A", &key, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  ZwClose(key);
  ASSERT_EQ(Create(driver, u"A\\B", &key, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  ZwClose(key);
  EXPECT_TRUE(HostRegistry_KeyExists(&pdo_, "a\\b"));
  EXPECT_EQ(Create(driver, u"A\\\\B", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(HostRegistry_Stats().keysCreatedNew, 2u);
  ZwClose(driver);
}

TEST_F(RegistryTest, HandlesAreCheckedAndClosedLikeAnyOther) {
  HANDLE driver = OpenDriverKey();
  EXPECT_EQ(HostObjects_OpenHandles(), handles_ + 1);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"V");
  ULONG v = 1;
  EXPECT_EQ(ZwSetValueKey(driver, &name, 0, REG_DWORD, &v, 4), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(driver), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(driver), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwSetValueKey(driver, &name, 0, REG_DWORD, &v, 4), STATUS_INVALID_HANDLE);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "", "V"), 1u);
}

TEST_F(RegistryTest, ADeletedKeyRefusesItsOpenHandles) {
  HANDLE driver = OpenDriverKey(), settings = NULL;
  ASSERT_EQ(Create(driver, u"Settings", &settings), STATUS_SUCCESS);
  HostRegistry_DeleteKey(&pdo_, "Settings");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"V");
  ULONG v = 1;
  EXPECT_EQ(ZwSetValueKey(settings, &name, 0, REG_DWORD, &v, 4), STATUS_KEY_DELETED);
  EXPECT_FALSE(HostRegistry_KeyExists(&pdo_, "Settings"));
  ZwClose(settings);
  ZwClose(driver);
}

TEST_F(RegistryTest, OpensAndCreatesFailOnRequest) {
  HANDLE h = NULL;
  HostRegistry_FailOpen(&pdo_, STATUS_ACCESS_DENIED);
  EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, 0x20000, &h), STATUS_ACCESS_DENIED);
  HostRegistry_FailOpen(&pdo_, STATUS_SUCCESS);
  EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, 0x20000, &h), STATUS_INVALID_PARAMETER);
  HANDLE driver = OpenDriverKey(), key = NULL;
  HostRegistry_FailCreateKey(STATUS_INSUFFICIENT_RESOURCES, 2);
  EXPECT_EQ(Create(driver, u"S", &key), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Create(driver, u"S", &key), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Create(driver, u"S", &key), STATUS_SUCCESS);
  ZwClose(key);
  ZwClose(driver);
  EXPECT_EQ(HostRegistry_Stats().deviceKeyOpens, 1u);
}

TEST_F(RegistryTest, HivesSurviveASaveAndLoadExactly) {
  HostRegistry_SetDword(&pdo_, "Settings", "Brightness", 12);
  HostRegistry_SetValue(&pdo_, "Settings", "Empty", REG_BINARY, {});
  HostRegistry_SetValue(&pdo_, "Settings", "odd name %\\", REG_SZ, {'a', 0, 0, 0});
  std::vector<uint8_t> big(1000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  HostRegistry_SetValue(&pdo_, "Deep\\Er", "Blob", 0x1234, big);
  HostRegistry_SetDword(&pdo_, "", "AtTheTop", 5);
  std::string file = ::testing::TempDir() + "torvane_registry_" + std::to_string(getpid()) + ".txt";
  ASSERT_TRUE(HostRegistry_SaveHive(&pdo_, file));

  DEVICE_OBJECT other;
  memset(&other, 0, sizeof(other));
  ASSERT_TRUE(HostRegistry_LoadHive(&other, file));
  EXPECT_EQ(HostRegistry_GetDword(&other, "Settings", "Brightness"), 12u);
  EXPECT_EQ(HostRegistry_GetValue(&other, "Settings", "Empty")->data.size(), 0u);
  EXPECT_EQ(HostRegistry_GetValue(&other, "Settings", "odd name %\\")->type, ULONG(REG_SZ));
  EXPECT_EQ(HostRegistry_GetValue(&other, "Deep\\Er", "Blob")->type, 0x1234u);
  EXPECT_EQ(HostRegistry_GetValue(&other, "Deep\\Er", "Blob")->data, big);
  EXPECT_EQ(HostRegistry_GetDword(&other, "", "AtTheTop"), 5u);
  EXPECT_EQ(HostRegistry_ValueNames(&other, "Settings"),
            (std::vector<std::string>{"Brightness", "Empty", "odd name %\\"}));

  // A file that is no hive, or a damaged or cut one, changes nothing and says where it is wrong.
  const std::pair<const char *, const char *> damaged[] = {
      {"something else\n", "line 1"},
      {"TorvaneHive 1\nkey Settings\nvalue Settings Brightness 4 4d0\n", "line 3"},
      {"TorvaneHive 1\nkey Settings\nvalue Settings Brightness 4 4d000000", "line 3: cut short"},
      {"TorvaneHive 1\n\nkey Settings extra\nvalue Settings B 4 4d000000\nbogus\n", "line 5"},
  };
  for (const auto &[text, where] : damaged) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    std::string why;
    EXPECT_FALSE(HostRegistry_LoadHive(&other, file, &why)) << text;
    EXPECT_EQ(why.rfind(where, 0), 0u) << why;
  }
  EXPECT_EQ(HostRegistry_GetDword(&other, "Settings", "Brightness"), 12u);
  std::remove(file.c_str());
  EXPECT_FALSE(HostRegistry_LoadHive(&other, file));
}

TEST(RegistryDeathTest, RegistryRoutinesNeedPassiveLevel) {
  DEVICE_OBJECT pdo;
  memset(&pdo, 0, sizeof(pdo));
  EXPECT_DEATH(HostIrql_RunAtDispatch([&] {
                 HANDLE h;
                 IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, 0x20000, &h);
               }),
               "IRQL_NOT_LESS_OR_EQUAL");
}

}  // namespace
