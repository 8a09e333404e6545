// Fuzzes random sequences of registry operations against a plain model of
// what the registry must hold: one descriptor per (uid, path), one record per
// descriptor, reference counts, and a close exactly at the last drop of a
// descriptor marked for closing. Every result is checked against the model.
#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "registry/open_files_map.h"

namespace {

using callerfs::OpenFilesMap;

struct ModelRecord {
  int uid;
  std::string path;
  int flags;
  int refcount;
  bool close_on_last_drop;
};

uint32_t current_uid = 0;
std::map<int, int> closes;  // fd -> times the registry closed it

uint32_t CurrentUid() { return current_uid; }
int RecordClose(int fd) {
  ++closes[fd];
  return 0;
}

const char* const kPaths[] = {"/a", "/b", "/a/b", "/b\n", "/\xff"};
const uint32_t kUids[] = {0, 1000, 4294967294u};
const int kFlags[] = {O_RDONLY, O_WRONLY, O_RDWR, O_WRONLY | O_APPEND, O_WRONLY | O_PATH};

class Model {
 public:
  std::map<int, ModelRecord> records;                 // by descriptor
  std::map<std::pair<int, std::string>, int> by_key;  // (uid, path) -> descriptor

  int Lookup(int uid, const std::string& path) const {
    auto found = by_key.find({uid, path});
    return found == by_key.end() ? -1 : found->second;
  }
  bool Drop(int fd, std::map<int, int>& expected_closes) {
    auto record = records.find(fd);
    if (record == records.end()) return false;
    if (--record->second.refcount == 0) {
      if (record->second.close_on_last_drop) ++expected_closes[fd];
      by_key.erase({record->second.uid, record->second.path});
      records.erase(record);
    }
    return true;
  }
};

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  OpenFilesMap::SetCallerUidSource(CurrentUid);
  OpenFilesMap::Instance().SetCloseFunction(RecordClose);
  // The registry's lines are not under test here.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OpenFilesMap& registry = OpenFilesMap::Instance();
  Model model;
  std::map<int, int> expected_closes;
  closes.clear();

  for (size_t i = 0; i + 2 < size; i += 3) {
    const uint8_t op = data[i] % 8;
    const uint8_t a = data[i + 1];
    const uint8_t b = data[i + 2];
    current_uid = kUids[a % 3];
    const int uid = static_cast<int32_t>(current_uid);
    const char* path = kPaths[(a / 3) % 5];
    const int fd = (b % 6) - 1;  // -1 .. 4
    switch (op) {
      case 0: {  // register
        const int flags = kFlags[(b / 6) % 5];
        const bool close = (a & 0x80) != 0;
        const bool expected = fd != -1 && !model.records.contains(fd) && model.Lookup(uid, path) == -1;
        Check(registry.AddMapping(path, fd, flags, close) == expected);
        if (expected) {
          model.records[fd] = {uid, path, flags, 1, close};
          model.by_key[{uid, path}] = fd;
        }
        break;
      }
      case 1: {  // lookup
        const int expected = model.Lookup(uid, path);
        Check(registry.GetMapping(path) == expected);
        if (expected != -1) ++model.records[expected].refcount;
        break;
      }
      case 2: {  // write-only lookup
        const int found = model.Lookup(uid, path);
        const bool matches =
            found != -1 && (model.records[found].flags & callerfs::kWriteOnlyMask) == O_WRONLY;
        Check(registry.GetMappingWithMode(path, callerfs::kWriteOnlyMask, O_WRONLY) ==
              (matches ? found : -1));
        if (matches) ++model.records[found].refcount;
        break;
      }
      case 3:  // drop
        Check(registry.RemoveMapping(fd) == model.Drop(fd, expected_closes));
        break;
      case 4: {  // flags
        auto record = model.records.find(fd);
        Check(registry.GetMode(fd) == (record == model.records.end() ? -1 : record->second.flags));
        break;
      }
      case 5: {  // mark for closing, then drop
        auto record = model.records.find(fd);
        if (record != model.records.end()) record->second.close_on_last_drop = true;
        Check(registry.CloseMapping(fd) == model.Drop(fd, expected_closes));
        break;
      }
      case 6: {  // drop by path
        const int found = model.Lookup(uid, path);
        Check(registry.RemoveMappingByPath(path) == (found != -1 && model.Drop(found, expected_closes)));
        break;
      }
      case 7:  // refusals of bad input change nothing
        Check(!registry.AddMapping(nullptr, 3, O_WRONLY, true));
        Check(!registry.AddMapping("", 3, O_WRONLY, true));
        Check(!registry.RemoveMapping(-1));
        break;
    }
    Check(closes == expected_closes);
  }

  // Empty the registry for the next input, checking every count on the way.
  for (auto& [fd, record] : model.records) {
    while (record.refcount-- > 0) Check(registry.RemoveMapping(fd));
    Check(!registry.RemoveMapping(fd));
  }
  for (uint32_t uid : kUids) {
    current_uid = uid;
    for (const char* path : kPaths) Check(registry.GetMapping(path) == -1);
  }
  return 0;
}
