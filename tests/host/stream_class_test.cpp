// The stream class's requests: what a minidriver sees of a completed request, what the caller
// gets back, and the device property requests the stream class answers before any minidriver.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host_stream.h"

namespace {

constexpr auto kWait = std::chrono::seconds(5);

bool Poisoned(const void *block, size_t size) {
  const uint8_t *p = static_cast<const uint8_t *>(block);
  for (size_t i = 0; i < size; ++i) {
    if (p[i] != kHostFreedPoison) return false;
  }
  return true;
}

void Complete(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status, ULONG bytes) {
  srb->Status = status;
  srb->ActualBytesTransferred = bytes;
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb, nullptr, nullptr, 0);
}

// A property get: the minidriver writes its copy of the data buffer and reports part of it; the
// caller gets the reported bytes and nothing else, and everything the minidriver was given reads
// as freed memory afterwards.
TEST(StreamClassRequests, ACompletedRequestIsGoneAndTheCallerGetsItsResults) {
  HostStream_Reset();
  std::vector<uint8_t> input(32, 0), data(16, 0xCC);
  STREAM_PROPERTY_DESCRIPTOR descriptor{reinterpret_cast<PKSPROPERTY>(input.data()), 0, data.data(), 32, 16};
  HW_STREAM_REQUEST_BLOCK request{};
  request.Command = SRB_GET_DEVICE_PROPERTY;
  request.CommandData.PropertyInfo = &descriptor;
  bool poisoned = false;
  NTSTATUS status = HostStream_Issue(request, {}, [&](PHW_STREAM_REQUEST_BLOCK srb) {
    PSTREAM_PROPERTY_DESCRIPTOR d = srb->CommandData.PropertyInfo;
    void *in = d->Property, *out = d->PropertyInfo;
    EXPECT_NE(srb, &request) << "the minidriver gets the stream class's own request";
    EXPECT_NE(out, data.data());
    memset(out, 0x11, 16);
    Complete(srb, STATUS_SUCCESS, 6);
    poisoned = Poisoned(srb, sizeof(*srb)) && Poisoned(d, sizeof(*d)) && Poisoned(in, 32) && Poisoned(out, 16);
  }, kWait);
  EXPECT_TRUE(poisoned) << "after completion the request and its blocks read as freed memory";
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(std::tuple(request.Status, request.ActualBytesTransferred), std::tuple(STATUS_SUCCESS, 6u));
  std::vector<uint8_t> want(16, 0xCC);
  std::fill(want.begin(), want.begin() + 6, 0x11);
  EXPECT_EQ(data, want) << "only the reported bytes come back";
  std::vector<HostCompletion> log = HostStream_Completions();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].srb, &request) << "the log names the caller's request";
}

// The minidriver reads its request after completing it: the request and its format are poison.
TEST(StreamClassRequests, AMinidriverReadingItsCompletedRequestReadsPoison) {
  HostStream_Reset();
  std::vector<uint8_t> format(sizeof(KSDATAFORMAT), 0x22);
  HW_STREAM_OBJECT object{};
  HW_STREAM_REQUEST_BLOCK request{};
  request.Command = SRB_OPEN_STREAM;
  request.StreamObject = &object;
  request.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(format.data());
  for (NTSTATUS outcome : {STATUS_SUCCESS, STATUS_DEVICE_BUSY}) {
    memset(&object, 0, sizeof(object));
    bool srbPoisoned = false, formatPoisoned = false;
    HostStream_Issue(request, HostRequestSizes{format.size(), 0, 0}, [&](PHW_STREAM_REQUEST_BLOCK srb) {
      PKSDATAFORMAT copy = srb->CommandData.OpenFormat;
      Complete(srb, outcome, 0);
      srbPoisoned = Poisoned(srb, sizeof(*srb));
      formatPoisoned = Poisoned(copy, format.size());
    }, kWait);
    EXPECT_TRUE(srbPoisoned);
    EXPECT_TRUE(formatPoisoned);
    EXPECT_EQ(request.Status, outcome);
    EXPECT_EQ(format, std::vector<uint8_t>(sizeof(KSDATAFORMAT), 0x22)) << "the caller's format is its own";
    EXPECT_EQ(Poisoned(&object, sizeof(object)), !NT_SUCCESS(outcome))
        << "the stream object of a failed open is freed, an open stream's lives on";
  }
}

// A table of one set with a get-only item (with a value list) and a set-only item.
const GUID kSet = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
const KSPROPERTY_STEPPING_LONG kStep = {5, 0, {{-10, 10}}};
const LONG kDefault[2] = {3, 4};
const KSPROPERTY_MEMBERSLIST kMembers[] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kStep},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 2, KSPROPERTY_MEMBER_FLAG_DEFAULT}, kDefault}};
const KSPROPERTY_VALUES kValues = {{{{{0x9, 0x8, 0x7, {6, 5, 4, 3, 2, 1, 0, 0}}, 3, 0}}}, 2, kMembers};
const KSPROPERTY_ITEM kItems[] = {
    {1, {(PFNKSHANDLER)TRUE}, 28, 8, {nullptr}, &kValues, 0, nullptr, nullptr, 0},
    {2, {nullptr}, 24, 4, {(PFNKSHANDLER)TRUE}, nullptr, 0, nullptr, nullptr, 0}};
const KSPROPERTY_SET kSets[] = {{&kSet, 2, kItems, 0, nullptr}};

TEST(StreamClassProperties, OnlyAdvertisedItemsInTheirDirectionAndLengthsPass) {
  const HostPropertyTable table{kSets, 1};
  const GUID other = {0x1, 0x2, 0x4, {}};
  const ULONG get = KSPROPERTY_TYPE_GET, set = KSPROPERTY_TYPE_SET;
  const struct {
    const GUID *set;
    ULONG id, flags, input, data;
    bool passes;
    NTSTATUS status;
    ULONG bytes;
  } cases[] = {
      {&kSet, 1, get, 28, 8, true, 0, 0},
      {&kSet, 2, set, 24, 4, true, 0, 0},
      {&other, 1, get, 28, 8, false, STATUS_NOT_FOUND, 0},
      {&kSet, 3, get, 28, 8, false, STATUS_NOT_FOUND, 0},
      {&kSet, 1, set, 28, 8, false, STATUS_NOT_FOUND, 0},
      {&kSet, 2, get, 28, 8, false, STATUS_NOT_FOUND, 0},
      {&kSet, 1, get, 27, 8, false, STATUS_BUFFER_TOO_SMALL, 0},
      {&kSet, 1, get, 20, 8, false, STATUS_BUFFER_TOO_SMALL, 0},
      {&kSet, 1, get, 28, 7, false, STATUS_BUFFER_TOO_SMALL, 0},
      {&kSet, 1, get, 28, 0, false, STATUS_BUFFER_OVERFLOW, 8},
      {&kSet, 2, set, 24, 0, false, STATUS_BUFFER_TOO_SMALL, 0},
  };
  for (const auto &c : cases) {
    std::vector<uint64_t> input(8, 0), data(8, 0);
    auto *p = reinterpret_cast<PKSPROPERTY>(input.data());
    p->Set = *c.set, p->Id = c.id, p->Flags = c.flags;
    STREAM_PROPERTY_DESCRIPTOR d{p, 99, data.data(), c.input, c.data};
    HW_STREAM_REQUEST_BLOCK request{};
    request.Command = c.flags == set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    request.CommandData.PropertyInfo = &d;
    request.Status = STATUS_PENDING;
    const bool passes = !HostStream_FilterProperty(table, request);
    EXPECT_EQ(passes, c.passes) << c.id << " " << c.flags << " " << c.input << " " << c.data;
    if (passes) {
      EXPECT_EQ(d.PropertySetID, 0u) << "the set's index in the table";
    } else {
      EXPECT_EQ(std::tuple(request.Status, request.ActualBytesTransferred), std::tuple(c.status, c.bytes)) << c.id;
    }
  }
}

// Basic support describes the item and all its lists; default values only the default lists.
TEST(StreamClassProperties, DescriptionsComeFromTheItemsValues) {
  const HostPropertyTable table{kSets, 1};
  auto describe = [&](ULONG flags, ULONG size, std::vector<uint8_t> *reply) {
    std::vector<uint64_t> input(4, 0), data(16, 0);
    auto *p = reinterpret_cast<PKSPROPERTY>(input.data());
    p->Set = kSet, p->Id = 1, p->Flags = flags;
    STREAM_PROPERTY_DESCRIPTOR d{p, 0, data.data(), 28, size};
    HW_STREAM_REQUEST_BLOCK request{};
    request.Command = SRB_GET_DEVICE_PROPERTY;
    request.CommandData.PropertyInfo = &d;
    EXPECT_TRUE(HostStream_FilterProperty(table, request));
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(data.data());
    reply->assign(bytes, bytes + std::min<ULONG>(request.ActualBytesTransferred, 128));
    return std::tuple(request.Status, request.ActualBytesTransferred);
  };
  std::vector<uint8_t> reply;
  // 40-byte description; a 16-byte header and 16 bytes of stepping; a header and two LONGs.
  EXPECT_EQ(describe(KSPROPERTY_TYPE_BASICSUPPORT, 0, &reply), std::tuple(STATUS_BUFFER_OVERFLOW, 96u));
  EXPECT_EQ(describe(KSPROPERTY_TYPE_BASICSUPPORT, 4, &reply), std::tuple(STATUS_SUCCESS, 4u));
  EXPECT_EQ(reply, (std::vector<uint8_t>{0x01, 0x02, 0, 0}));  // basic support and get
  EXPECT_EQ(describe(KSPROPERTY_TYPE_BASICSUPPORT, 20, &reply), std::tuple(STATUS_BUFFER_TOO_SMALL, 0u));
  EXPECT_EQ(describe(KSPROPERTY_TYPE_BASICSUPPORT, 60, &reply), std::tuple(STATUS_SUCCESS, 40u));
  EXPECT_EQ(describe(KSPROPERTY_TYPE_BASICSUPPORT, 128, &reply), std::tuple(STATUS_SUCCESS, 96u));
  KSPROPERTY_DESCRIPTION d;
  memcpy(&d, reply.data(), sizeof(d));
  EXPECT_EQ(std::tuple(d.AccessFlags, d.DescriptionSize, d.PropTypeSet.Id, d.MembersListCount),
            std::tuple(0x201u, 96u, 3u, 2u));
  LONG step[4], defaults[2];
  memcpy(step, reply.data() + 40 + 16, sizeof(step));
  memcpy(defaults, reply.data() + 40 + 16 + 16 + 16, sizeof(defaults));
  EXPECT_EQ(std::vector<LONG>(step, step + 4), (std::vector<LONG>{5, 0, -10, 10}));
  EXPECT_EQ(std::vector<LONG>(defaults, defaults + 2), (std::vector<LONG>{3, 4}));
  EXPECT_EQ(describe(KSPROPERTY_TYPE_DEFAULTVALUES, 128, &reply), std::tuple(STATUS_SUCCESS, 64u));
  memcpy(&d, reply.data(), sizeof(d));
  KSPROPERTY_MEMBERSHEADER h;
  memcpy(&h, reply.data() + 40, sizeof(h));
  memcpy(defaults, reply.data() + 56, sizeof(defaults));
  EXPECT_EQ(std::tuple(d.MembersListCount, h.MembersFlags, h.Flags, defaults[0]),
            std::tuple(1u, ULONG(KSPROPERTY_MEMBER_VALUES), ULONG(KSPROPERTY_MEMBER_FLAG_DEFAULT), 3));
}

}  // namespace
