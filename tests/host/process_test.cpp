// Process contexts: handles that belong to an application's process, and the critical-region
// count checked when a request returns to its application or a system thread ends.
#include <gtest/gtest.h>

#include "host_kernel.h"
#include "host_registry.h"

namespace {

VOID NTAPI EndInsideACriticalRegion(PVOID) { KeEnterCriticalRegion(); }

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostRegistry_Reset();
    memset(&pdo_, 0, sizeof(pdo_));
    handles_ = HostObjects_OpenHandles();
  }
  void TearDown() override {
    EXPECT_EQ(HostObjects_OpenHandles(), handles_) << "a handle was left open";
    HostRegistry_Reset();
  }
  // Creates "Settings" below the driver key with the attributes given, in the calling thread's
  // process; the driver key is closed again.
  HANDLE CreateSettingsKey(ULONG attributes) {
    HANDLE driverKey = NULL, key = NULL;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, 0x20000, &driverKey), STATUS_SUCCESS);
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    RtlInitUnicodeString(&name, u"Settings");
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | attributes, driverKey, NULL);
    EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, NULL, REG_OPTION_NON_VOLATILE, NULL), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(driverKey), STATUS_SUCCESS);
    return key;
  }
  static NTSTATUS SetDword(HANDLE key, ULONG value) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Brightness");
    return ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value));
  }
  DEVICE_OBJECT pdo_;
  size_t handles_ = 0;
};

using ProcessDeathTest = ProcessTest;

TEST_F(ProcessDeathTest, AnApplicationsHandleUsedInAnotherProcessIsABugCheck) {
  const ULONG app = HostProcess_NewApplication(), other = HostProcess_NewApplication();
  ASSERT_NE(app, other);
  HANDLE key;
  {
    HostProcessScope scope(app);
    size_t before = HostObjects_ApplicationHandlesCreated();
    key = CreateSettingsKey(0);
    EXPECT_EQ(HostObjects_ApplicationHandlesCreated(), before + 1);
    EXPECT_EQ(SetDword(key, 40), STATUS_SUCCESS);  // the process that made it may use it
  }
  EXPECT_EQ(HostProcess_Current(), HOST_SYSTEM_PROCESS);
  const char *violation = "DRIVER_VERIFIER_DETECTED_VIOLATION.*belongs to application process";
  EXPECT_DEATH(SetDword(key, 41), violation);
  EXPECT_DEATH(ZwClose(key), violation);
  EXPECT_DEATH(
      {
        HostProcessScope scope(other);
        SetDword(key, 42);
      },
      violation);
  {
    HostProcessScope scope(app);
    // Kernel access to an application's handle is refused even in its own process.
    PVOID object = NULL;
    EXPECT_DEATH(ObReferenceObjectByHandle(key, 0, NULL, KernelMode, &object, NULL),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION.*referenced as kernel mode");
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  }
  EXPECT_EQ(HostRegistry_GetDword(&pdo_, "Settings", "Brightness"), 40u);
}

TEST(CriticalRegionDeathTest, UnbalancedRegionsAreBugChecks) {
  const ULONG app = HostProcess_NewApplication();
  {
    HostProcessScope scope(app);
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    EXPECT_EQ(HostThread_CriticalRegions(), 2);
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
  }
  EXPECT_EQ(HostThread_CriticalRegions(), 0);
  EXPECT_DEATH(
      {
        HostProcessScope scope(app);
        KeEnterCriticalRegion();
      },
      "APC_INDEX_MISMATCH.*returned with 1 critical region");
  EXPECT_DEATH(KeLeaveCriticalRegion(), "APC_INDEX_MISMATCH.*without a critical region");
  EXPECT_DEATH(
      {
        HANDLE thread;
        PsCreateSystemThread(&thread, 0x1F03FF, NULL, NULL, NULL, EndInsideACriticalRegion, NULL);
        HostThreads_WaitAllExited(5000);
      },
      "KERNEL_APC_PENDING_DURING_EXIT");
}

}  // namespace
