// The host registry: device keys and subkeys opened through handles, the value-information
// records and their answers for short buffers, and fault injection.
#include <gtest/gtest.h>

#include "host_kernel.h"
#include "host_registry.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostRegistry_Reset();
    memset(&pdo_, 0, sizeof(pdo_));
    handles_ = HostObjects_OpenHandles();
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, 0x20000, &driver_), STATUS_SUCCESS);
  }
  void TearDown() override {
    EXPECT_EQ(ZwClose(driver_), STATUS_SUCCESS);
    EXPECT_EQ(HostObjects_OpenHandles(), handles_) << "a key handle was left open";
    HostRegistry_Reset();
  }
  NTSTATUS Create(const char16_t *name, HANDLE *key, ULONG *disposition = nullptr) {
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&path, name);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, driver_, NULL);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, disposition);
  }
  NTSTATUS Query(HANDLE key, const char16_t *name, KEY_VALUE_INFORMATION_CLASS cls, std::vector<uint8_t> &buffer,
                 ULONG *resultLength) {
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    return ZwQueryValueKey(key, &n, cls, buffer.data(), ULONG(buffer.size()), resultLength);
  }
  static NTSTATUS SetDword(HANDLE key, ULONG v) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"V");
    return ZwSetValueKey(key, &name, 0, REG_DWORD, &v, 4);
  }
  DEVICE_OBJECT pdo_;
  HANDLE driver_ = NULL;
  size_t handles_ = 0;
};

// The records' layout, worked out by hand: a full record's fixed part is 20 bytes, the name
// follows, and the data starts at the next 4-byte boundary; a partial record's data is at 12.
TEST_F(RegistryTest, ValueInformationRecordsAndShortBuffers) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"Settings");
  EXPECT_EQ(s.Length, 16);
  EXPECT_EQ(s.MaximumLength, 18);
  HostRegistry_SetDword(&pdo_, "Settings", "Brightness", 0x11223344);
  HostRegistry_SetDword(&pdo_, "Settings", "Sharpness", 7);
  HostRegistry_SetValue(&pdo_, "Settings", "Contrast", REG_SZ, {'5', 0, '0', 0, 0, 0});
  HANDLE settings = NULL;
  ULONG disposition = 0, result = 0;
  ASSERT_EQ(Create(u"settings", &settings, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  const struct {
    const char16_t *name;  // asked for in another case than stored
    ULONG nameBytes, type, dataOffset, dataBytes, total;
  } full[] = {{u"BRIGHTNESS", 20, REG_DWORD, 40, 4, 44}, {u"sharpness", 18, REG_DWORD, 40, 4, 44},
              {u"Contrast", 16, REG_SZ, 36, 6, 42}};
  for (const auto &c : full) {
    std::vector<uint8_t> buffer(c.total + 1, 0xEE);
    ASSERT_EQ(Query(settings, c.name, KeyValueFullInformation, buffer, &result), STATUS_SUCCESS);
    auto *info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION *>(buffer.data());
    EXPECT_EQ(result, c.total);
    EXPECT_EQ(info->TitleIndex, 0u);
    EXPECT_EQ(info->Type, c.type);
    EXPECT_EQ(info->NameLength, c.nameBytes);
    EXPECT_EQ(info->DataOffset, c.dataOffset);
    EXPECT_EQ(info->DataLength, c.dataBytes);
    EXPECT_EQ(buffer[c.total], 0xEE);
  }
  std::vector<uint8_t> buffer(50, 0xEE);
  ASSERT_EQ(Query(settings, u"Brightness", KeyValueFullInformation, buffer, &result), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<KEY_VALUE_FULL_INFORMATION *>(buffer.data())->Name, 10), u"Brightness");
  EXPECT_EQ(buffer[40] | buffer[41] << 8 | buffer[42] << 16 | uint32_t(buffer[43]) << 24, 0x11223344u);

  // Short of the fixed part: nothing written. Short of the rest: the fixed part alone.
  std::vector<uint8_t> tiny(19, 0xEE), partial(41, 0xEE), value(15, 0xEE);
  EXPECT_EQ(Query(settings, u"Contrast", KeyValueFullInformation, tiny, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 42u);
  EXPECT_EQ(tiny, std::vector<uint8_t>(19, 0xEE));
  EXPECT_EQ(Query(settings, u"Contrast", KeyValueFullInformation, partial, &result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_FULL_INFORMATION *>(partial.data())->DataLength, 6u);
  EXPECT_EQ(partial[36], 0xEE) << "no data";
  EXPECT_EQ(Query(settings, u"Contrast", KeyValuePartialInformation, value, &result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 18u);
  value.resize(18);
  EXPECT_EQ(Query(settings, u"Contrast", KeyValuePartialInformation, value, &result), STATUS_SUCCESS);
  EXPECT_EQ(value[12], '5');
  EXPECT_EQ(Query(settings, u"Missing", KeyValueFullInformation, value, &result), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(settings), STATUS_SUCCESS);
}

TEST_F(RegistryTest, CreateMakesOnlyTheLastComponentAndHandlesAreCheckedAndClosed) {
  HANDLE key = NULL;
  ULONG disposition = 0;
  EXPECT_EQ(Create(u"A\\B", &key), STATUS_OBJECT_NAME_NOT_FOUND);
  for (const char16_t *path : {u"A", u"A\\B"}) {
    ASSERT_EQ(Create(path, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  }
  EXPECT_TRUE(HostRegistry_KeyExists(&pdo_, "a\\b"));
  EXPECT_EQ(Create(u"A\\\\B", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(HostRegistry_Stats().keysCreatedNew, 2u);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  EXPECT_EQ(SetDword(key, 1), STATUS_INVALID_HANDLE);
  // A deleted key refuses the handles still open on it.
  ASSERT_EQ(Create(u"A", &key), STATUS_SUCCESS);
  HostRegistry_DeleteKey(&pdo_, "A");
  EXPECT_EQ(SetDword(key, 1), STATUS_KEY_DELETED);
  EXPECT_FALSE(HostRegistry_KeyExists(&pdo_, "A"));
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(SetDword(driver_, 1), STATUS_SUCCESS);
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "", "V"), 1u);
}

TEST(RegistryDeathTest, RegistryRoutinesNeedPassiveLevel) {
  DEVICE_OBJECT pdo;
  memset(&pdo, 0, sizeof(pdo));
  HANDLE h;
  EXPECT_DEATH(HostIrql_RunAtDispatch([&] { IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, 0x20000, &h); }),
               "IRQL_NOT_LESS_OR_EQUAL");
}

}  // namespace
