// The store of the seen list in memory: what was committed, and failures on demand.
#pragma once
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "port/seen_store.h"
#include "support/fake_account_files.h"

namespace kc::test {

class FakeSeenStore final : public SeenStorePort, public FakeAccountFiles {
 public:
  std::vector<uint8_t> stored;  // the committed list
  bool exists = false;
  bool failOpen = false;    // OpenRead fails
  bool failWrite = false;   // Write fails (disk full)
  bool failCommit = false;  // Commit fails
  int commits = 0;
  int reads = 0;

  // Each account's list: see FakeAccountFiles.
  const char* Where() override { return where_.c_str(); }
  void UseAccount(uint64_t key) override {
    SwitchTo(key, "seen", stored, exists, where_);
    pending_.clear();
  }
  SeenStoreOpen OpenRead(char* why, size_t whySize) override {
    ++reads;
    if (failOpen) {
      Say(why, whySize, "Permission denied");
      return SeenStoreOpen::kFailed;
    }
    if (!exists) return SeenStoreOpen::kMissing;
    readAt_ = 0;
    return SeenStoreOpen::kOpened;
  }
  int32_t Read(uint8_t* buffer, uint32_t size, char*, size_t) override {
    size_t n = stored.size() - readAt_;
    if (n > size) n = size;
    if (n != 0) std::memcpy(buffer, stored.data() + readAt_, n);
    readAt_ += n;
    return static_cast<int32_t>(n);
  }
  void CloseRead() override {}
  bool BeginWrite(char*, size_t) override {
    pending_.clear();
    return true;
  }
  bool Write(const uint8_t* bytes, uint32_t n, char* why, size_t whySize) override {
    if (failWrite) {
      Say(why, whySize, "No space left on device");
      return false;
    }
    pending_.insert(pending_.end(), bytes, bytes + n);
    return true;
  }
  bool Commit(char* why, size_t whySize) override {
    if (failCommit) {
      Say(why, whySize, "Read-only file system");
      return false;
    }
    stored = pending_;
    exists = true;
    ++commits;
    return true;
  }
  void Abandon() override { pending_.clear(); }

 private:
  static void Say(char* why, size_t size, const char* text) {
    std::strncpy(why, text, size - 1);
    why[size - 1] = '\0';
  }
  std::string where_ = "/state/kestova/seen.dat";
  size_t readAt_ = 0;
  std::vector<uint8_t> pending_;
};

}  // namespace kc::test
