// Device property requests as the stream class handles them before the minidriver sees one:
// only the sets and items of the minidriver's device property-set table are served, within
// the lengths the item declares, and the descriptions of an item's values (basic support,
// default values) are answered from the table without the minidriver.
#include "shared_rules.h"

namespace {

constexpr ULONG kTypeMask = ~ULONG(KSPROPERTY_TYPE_TOPOLOGY);

BOOLEAN Answer(HW_STREAM_REQUEST_BLOCK &request, NTSTATUS status, ULONG bytes) {
  request.Status = status;
  request.ActualBytesTransferred = bytes;
  return TRUE;
}

// The members lists a description reports: basic support all of them (the ranges and the
// default list, whose header flag marks it), default values only those with the default flag.
bool Reported(const KSPROPERTY_MEMBERSLIST &list, bool defaults) {
  return !defaults || (list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) != 0;
}

// A basic-support or default-values request on an item without a support routine: the item's
// access and its values. A zero-length buffer asks for the size (STATUS_BUFFER_OVERFLOW), a
// ULONG takes the access flags alone, a buffer for the description but not its lists takes
// the description alone.
BOOLEAN Describe(const KSPROPERTY_ITEM &item, bool defaults, HW_STREAM_REQUEST_BLOCK &request) {
  PSTREAM_PROPERTY_DESCRIPTOR d = request.CommandData.PropertyInfo;
  const KSPROPERTY_VALUES *values = item.Values;
  ULONG access = KSPROPERTY_TYPE_BASICSUPPORT;
  if (item.GetPropertyHandler != nullptr) access |= KSPROPERTY_TYPE_GET;
  if (item.SetPropertyHandler != nullptr) access |= KSPROPERTY_TYPE_SET;

  ULONG total = sizeof(KSPROPERTY_DESCRIPTION), lists = 0;
  for (ULONG i = 0; values != nullptr && i < values->MembersListCount; ++i) {
    const KSPROPERTY_MEMBERSLIST &list = values->MembersList[i];
    if (!Reported(list, defaults)) continue;
    total += sizeof(KSPROPERTY_MEMBERSHEADER) + list.MembersHeader.MembersSize * list.MembersHeader.MembersCount;
    ++lists;
  }
  const ULONG size = d->PropertyOutputSize;
  PUCHAR out = static_cast<PUCHAR>(d->PropertyInfo);
  if (size == 0) return Answer(request, STATUS_BUFFER_OVERFLOW, total);
  if (size == sizeof(ULONG)) {
    memcpy(out, &access, sizeof(access));
    return Answer(request, STATUS_SUCCESS, sizeof(ULONG));
  }
  if (size < sizeof(KSPROPERTY_DESCRIPTION)) return Answer(request, STATUS_BUFFER_TOO_SMALL, 0);
  KSPROPERTY_DESCRIPTION description;
  memset(&description, 0, sizeof(description));
  description.AccessFlags = access;
  description.DescriptionSize = total;
  if (values != nullptr) description.PropTypeSet = values->PropTypeSet;
  description.MembersListCount = lists;
  memcpy(out, &description, sizeof(description));
  if (size < total) return Answer(request, STATUS_SUCCESS, sizeof(description));
  ULONG at = sizeof(description);
  for (ULONG i = 0; values != nullptr && i < values->MembersListCount; ++i) {
    const KSPROPERTY_MEMBERSLIST &list = values->MembersList[i];
    if (!Reported(list, defaults)) continue;
    memcpy(out + at, &list.MembersHeader, sizeof(list.MembersHeader));
    at += sizeof(list.MembersHeader);
    ULONG bytes = list.MembersHeader.MembersSize * list.MembersHeader.MembersCount;
    memcpy(out + at, list.Members, bytes);
    at += bytes;
  }
  return Answer(request, STATUS_SUCCESS, total);
}

}  // namespace

void TorvaneShared_Poison(void *block, ULONG size) {
  if (block != nullptr) memset(block, TORVANE_FREED_POISON, size);
}

BOOLEAN TorvaneShared_FilterProperty(const KSPROPERTY_SET *sets, ULONG count, PHW_STREAM_REQUEST_BLOCK srb) {
  HW_STREAM_REQUEST_BLOCK &request = *srb;
  PSTREAM_PROPERTY_DESCRIPTOR d = request.CommandData.PropertyInfo;
  if (d == nullptr || d->Property == nullptr || d->PropertyInputSize < sizeof(KSPROPERTY)) {
    return Answer(request, STATUS_BUFFER_TOO_SMALL, 0);
  }
  const KSPROPERTY &property = *d->Property;
  const KSPROPERTY_SET *set = nullptr;
  ULONG setIndex = 0;
  for (; setIndex < count; ++setIndex) {
    if (sets[setIndex].Set != nullptr && memcmp(sets[setIndex].Set, &property.Set, sizeof(GUID)) == 0) {
      set = &sets[setIndex];
      break;
    }
  }
  if (set == nullptr) return Answer(request, STATUS_NOT_FOUND, 0);
  const KSPROPERTY_ITEM *item = nullptr;
  for (ULONG i = 0; i < set->PropertiesCount; ++i) {
    if (set->PropertyItem[i].PropertyId == property.Id) {
      item = &set->PropertyItem[i];
      break;
    }
  }
  if (item == nullptr) return Answer(request, STATUS_NOT_FOUND, 0);
  if (d->PropertyInputSize < item->MinProperty) return Answer(request, STATUS_BUFFER_TOO_SMALL, 0);
  d->PropertySetID = setIndex;

  const ULONG type = property.Flags & kTypeMask;
  switch (type) {
    case KSPROPERTY_TYPE_GET:
    case KSPROPERTY_TYPE_SET: {
      // An item that has no handler for the direction asked is, for that direction, an item
      // the set does not have: not found, as an unknown item is.
      const bool set_ = type == KSPROPERTY_TYPE_SET;
      if ((set_ ? item->SetPropertyHandler : item->GetPropertyHandler) == nullptr) {
        return Answer(request, STATUS_NOT_FOUND, 0);
      }
      if (d->PropertyOutputSize < item->MinData) {
        // A get with no buffer at all asks how large the reply is.
        if (!set_ && d->PropertyOutputSize == 0) return Answer(request, STATUS_BUFFER_OVERFLOW, item->MinData);
        return Answer(request, STATUS_BUFFER_TOO_SMALL, 0);
      }
      return FALSE;  // the minidriver's
    }
    case KSPROPERTY_TYPE_BASICSUPPORT:
    case KSPROPERTY_TYPE_DEFAULTVALUES:
      // An item with a support routine describes itself; the others are described here.
      if (item->SupportHandler != nullptr) return FALSE;
      return Describe(*item, type == KSPROPERTY_TYPE_DEFAULTVALUES, request);
    default:
      return Answer(request, STATUS_INVALID_PARAMETER, 0);
  }
}
