// Pool memory on the host: blocks come from malloc, and every live block is recorded with
// its tag, size and pool type, so tests can see what the driver holds, catch double frees
// and foreign pointers, and make chosen allocations fail.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "host_kernel.h"

namespace {

// New blocks are filled with this byte: pool memory is not zeroed on Windows either, and a
// driver that relies on fresh memory being zero should show it in tests.
constexpr unsigned char kFreshFill = 0xA5;

struct PoolState {
  std::mutex lock;
  std::unordered_map<const void *, HostPoolBlock> live;
  std::unordered_set<const void *> freed;  // freed and not handed out again since
  std::map<ULONG, HostPoolTagStats> tags;
  uint64_t serial = 0;    // allocations made, successful or not
  uint64_t failAt = 0;    // serial of the attempt to fail, 0 for none
  std::unordered_set<ULONG> failingTags;
  ULONG countedTag = 0;         // with countdown: the tag whose attempts are counted
  uint64_t countdown = 0;       // attempts with countedTag left until the one that fails
  size_t liveBytes = 0;   // all tags together
  size_t peakBytes = 0;   // the most that was live at once since the last peak reset
};

// Never destroyed: system threads may still free memory while the process exits.
PoolState &Pool() {
  static PoolState *state = new PoolState;
  return *state;
}

bool IsPagedType(POOL_TYPE type) { return (type & 1) != 0 && type != NonPagedPoolNx; }

std::string TagText(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = (char)((tag >> (8 * i)) & 0xFF);
    s.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  }
  return s;
}

}  // namespace

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  // Paged pool may fault, so it is only allowed below DISPATCH_LEVEL.
  HostIrql_Require(IsPagedType(PoolType) ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");

  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  uint64_t serial = ++pool.serial;
  HostPoolTagStats &stats = pool.tags[Tag];
  bool counted = pool.countdown != 0 && Tag == pool.countedTag && --pool.countdown == 0;
  if (counted || serial == pool.failAt || pool.failingTags.count(Tag) != 0) {
    if (serial == pool.failAt) {
      pool.failAt = 0;
    }
    ++stats.failures;
    return NULL;
  }
  void *p = malloc(NumberOfBytes != 0 ? NumberOfBytes : 1);
  if (p == NULL) {
    ++stats.failures;
    return NULL;
  }
  memset(p, kFreshFill, NumberOfBytes);
  pool.freed.erase(p);
  pool.live[p] = HostPoolBlock{p, NumberOfBytes, Tag, PoolType, serial};
  ++stats.allocations;
  ++stats.liveBlocks;
  stats.liveBytes += NumberOfBytes;
  pool.liveBytes += NumberOfBytes;
  pool.peakBytes = std::max(pool.peakBytes, pool.liveBytes);
  return p;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, HostPool_Tag("None"));
}

static void FreeBlock(PVOID P, const ULONG *expectedTag) {
  PoolState &pool = Pool();
  std::unique_lock<std::mutex> guard(pool.lock);
  auto it = pool.live.find(P);
  if (it == pool.live.end()) {
    bool twice = pool.freed.count(P) != 0;
    guard.unlock();
    if (twice) {
      HostBugCheck(HOST_BUGCHECK_BAD_POOL_CALLER, "ExFreePool(%p): block already freed (double free)", P);
    }
    HostBugCheck(HOST_BUGCHECK_BAD_POOL_CALLER, "ExFreePool(%p): not the start of a pool block", P);
  }
  HostPoolBlock block = it->second;
  if (expectedTag != NULL && *expectedTag != block.tag) {
    guard.unlock();
    HostBugCheck(HOST_BUGCHECK_BAD_POOL_CALLER, "ExFreePoolWithTag(%p): tag '%s' given, block has '%s'", P,
                 TagText(*expectedTag).c_str(), TagText(block.tag).c_str());
  }
  KIRQL irql = KeGetCurrentIrql();
  if (irql > (IsPagedType(block.type) ? APC_LEVEL : DISPATCH_LEVEL)) {
    guard.unlock();
    HostBugCheck(HOST_BUGCHECK_IRQL_NOT_LESS_OR_EQUAL, "ExFreePool(%p) of a %s block at IRQL %u", P,
                 IsPagedType(block.type) ? "paged" : "non-paged", irql);
  }
  pool.live.erase(it);
  pool.freed.insert(P);
  HostPoolTagStats &stats = pool.tags[block.tag];
  --stats.liveBlocks;
  stats.liveBytes -= block.size;
  pool.liveBytes -= block.size;
  free(P);
}

VOID NTAPI ExFreePool(PVOID P) { FreeBlock(P, NULL); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, &Tag); }

std::vector<HostPoolBlock> HostPool_LiveBlocks() {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  std::vector<HostPoolBlock> blocks;
  for (const auto &entry : pool.live) {
    blocks.push_back(entry.second);
  }
  std::sort(blocks.begin(), blocks.end(),
            [](const HostPoolBlock &a, const HostPoolBlock &b) { return a.serial < b.serial; });
  return blocks;
}

HostPoolTagStats HostPool_TagStats(ULONG tag) {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  auto it = pool.tags.find(tag);
  return it == pool.tags.end() ? HostPoolTagStats{} : it->second;
}

size_t HostPool_LiveBlockCount() {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return pool.live.size();
}

size_t HostPool_LiveByteCount() {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  size_t bytes = 0;
  for (const auto &entry : pool.live) {
    bytes += entry.second.size;
  }
  return bytes;
}

size_t HostPool_PeakByteCount() {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return pool.peakBytes;
}

void HostPool_ResetPeak() {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.peakBytes = pool.liveBytes;
}

bool HostPool_IsLive(const void *p) {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return pool.live.count(p) != 0;
}

std::string HostPool_Report() {
  std::string report;
  size_t bytes = 0;
  std::vector<HostPoolBlock> blocks = HostPool_LiveBlocks();
  for (const HostPoolBlock &b : blocks) {
    char line[128];
    snprintf(line, sizeof(line), "%s %s %zu bytes #%" PRIu64 "\n", TagText(b.tag).c_str(),
             IsPagedType(b.type) ? "Paged" : "NonPaged", b.size, b.serial);
    report += line;
    bytes += b.size;
  }
  char total[96];
  snprintf(total, sizeof(total), "%zu blocks, %zu bytes live\n", blocks.size(), bytes);
  report += total;
  return report;
}

void HostPool_FailNthAllocation(uint64_t n) {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.failAt = n == 0 ? 0 : pool.serial + n;
}

void HostPool_FailNthAllocationOfTag(ULONG tag, uint64_t n) {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.countedTag = tag;
  pool.countdown = n;
}

void HostPool_FailTag(ULONG tag, bool fail) {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  if (fail) {
    pool.failingTags.insert(tag);
  } else {
    pool.failingTags.erase(tag);
  }
}

void HostPool_ClearFaults() {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.failAt = 0;
  pool.countdown = 0;
  pool.failingTags.clear();
}

void HostPool_Reset() {
  PoolState &pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  for (auto &entry : pool.live) {
    free(const_cast<void *>(entry.first));
  }
  pool.live.clear();
  pool.freed.clear();
  pool.tags.clear();
  pool.failAt = 0;
  pool.countdown = 0;
  pool.failingTags.clear();
  pool.liveBytes = 0;
  pool.peakBytes = 0;
}
