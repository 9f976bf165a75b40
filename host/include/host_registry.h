// Host-only controls of the host registry. Each device object has a hive of its own, holding
// the device's driver key (what IoOpenDeviceRegistryKey opens with PLUGPLAY_REGKEY_DRIVER).
// Tests read and write it directly, make opens fail, and save it to a file and load it back,
// so that settings survive a restart of the host program as they survive a reboot.
//
// Key paths are relative to the driver key ("" is the driver key itself, "Settings" its
// subkey), components separated by '\'. Names compare without regard to ASCII case, as the
// registry's do. Names here are UTF-8; the registry stores them as UTF-16.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host_platform.h"

struct HostRegValue {
  ULONG type;
  std::vector<uint8_t> data;
};

// Creates the key (and the keys above it) when missing, then sets the value.
void HostRegistry_SetValue(PDEVICE_OBJECT device, const std::string &keyPath, const std::string &name, ULONG type,
                           const std::vector<uint8_t> &data);
void HostRegistry_SetDword(PDEVICE_OBJECT device, const std::string &keyPath, const std::string &name,
                           uint32_t value);
std::optional<HostRegValue> HostRegistry_GetValue(PDEVICE_OBJECT device, const std::string &keyPath,
                                                  const std::string &name);
// The value as a REG_DWORD of 4 bytes, or nothing when it is missing or anything else.
std::optional<uint32_t> HostRegistry_GetDword(PDEVICE_OBJECT device, const std::string &keyPath,
                                              const std::string &name);
bool HostRegistry_KeyExists(PDEVICE_OBJECT device, const std::string &keyPath);
// Value names of a key, in the order they were first set; empty when the key is missing.
std::vector<std::string> HostRegistry_ValueNames(PDEVICE_OBJECT device, const std::string &keyPath);
// Removes a key with everything below it (the driver key itself cannot be removed).
void HostRegistry_DeleteKey(PDEVICE_OBJECT device, const std::string &keyPath);

// Writes the device's hive to a text file (through a temporary file in the same folder and a
// rename, so the file is never left half written), or replaces the device's hive with one read
// from a file. False when the file cannot be written or read, or is not a whole hive file; then
// *why (when given) says what is wrong, with the line number for a damaged hive.
bool HostRegistry_SaveHive(PDEVICE_OBJECT device, const std::string &file);
bool HostRegistry_LoadHive(PDEVICE_OBJECT device, const std::string &file, std::string *why = nullptr);
// Reads a hive file without installing it: whether LoadHive would take it, and why not.
bool HostRegistry_CheckHiveFile(const std::string &file, std::string *why);
// Drops the device's hive, as if the device had never been installed.
void HostRegistry_ForgetDevice(PDEVICE_OBJECT device);

// Fault injection: while set to a failure status, IoOpenDeviceRegistryKey for this device
// fails with it; STATUS_SUCCESS clears it.
void HostRegistry_FailOpen(PDEVICE_OBJECT device, NTSTATUS status);
// The next n ZwCreateKey calls (of any device) fail with status.
void HostRegistry_FailCreateKey(NTSTATUS status, unsigned n = 1);

// What the registry routines were asked to do, for every device together.
struct HostRegistryStats {
  uint64_t deviceKeyOpens;  // IoOpenDeviceRegistryKey calls that succeeded
  uint64_t keyCreates;      // ZwCreateKey calls that succeeded
  uint64_t keysCreatedNew;  // of those, the ones that created a key
  uint64_t valueQueries;    // ZwQueryValueKey calls
  uint64_t valueSets;       // ZwSetValueKey calls that succeeded
};
HostRegistryStats HostRegistry_Stats();

// Forgets every hive, fault and statistic.
void HostRegistry_Reset();
