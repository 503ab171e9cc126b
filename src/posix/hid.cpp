// The HID port on Linux, over hidraw: the interfaces are the nodes of /sys/class/hidraw in
// numeric order, each known by the HID_ID line of its device's uevent, opened as /dev/hidrawN;
// the report lengths come from the report descriptor that sysfs publishes, counted as the
// Windows HID parser counts them.
//
// KESTOVA_SYSFS_ROOT (default /sys) and KESTOVA_DEV_ROOT (default /dev) move both trees, so a
// simulated device (a FIFO or a plain file as the node) can stand in for the real one.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "lcd/display.h"
#include "posix/backends.h"
#include "posix/files.h"
#include "posix/report_descriptor.h"

namespace kc::posix {

namespace {

constexpr size_t kMaxDescriptorSize = 4096;  // the kernel's HID_MAX_DESCRIPTOR_SIZE
constexpr size_t kMaxUeventSize = 4096;

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

// Up to limit bytes of a file; false when it cannot be read or is longer.
bool ReadSmallFile(const std::string& path, size_t limit, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  bool ok = ReadToEnd(fd, limit, out) == 0;
  close(fd);
  return ok;
}

bool ParseHex(const char* text, const char** end, uint32_t* value) {
  char* stop = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &stop, 16);
  if (stop == text || errno != 0 || v > 0xFFFFFFFFul) return false;
  *value = static_cast<uint32_t>(v);
  *end = stop;
  return true;
}

// The vendor and product of "HID_ID=bus:vendor:product" (hexadecimal) in a uevent file.
bool ParseHidId(const std::string& uevent, uint16_t* vendor, uint16_t* product) {
  size_t start = 0;
  while (start < uevent.size()) {
    size_t stop = uevent.find('\n', start);
    if (stop == std::string::npos) stop = uevent.size();
    std::string line = uevent.substr(start, stop - start);
    start = stop + 1;
    if (line.compare(0, 7, "HID_ID=") != 0) continue;
    const char* p = line.c_str() + 7;
    uint32_t bus = 0, v = 0, pr = 0;
    if (!ParseHex(p, &p, &bus) || *p++ != ':') return false;
    if (!ParseHex(p, &p, &v) || *p++ != ':') return false;
    if (!ParseHex(p, &p, &pr) || *p != '\0') return false;
    *vendor = static_cast<uint16_t>(v);
    *product = static_cast<uint16_t>(pr);
    return true;
  }
  return false;
}

// The N of "hidrawN", or -1.
long NodeNumber(const char* name) {
  if (std::strncmp(name, "hidraw", 6) != 0 || name[6] == '\0') return -1;
  char* stop = nullptr;
  long n = std::strtol(name + 6, &stop, 10);
  return *stop == '\0' && n >= 0 ? n : -1;
}

class HidrawHid final : public HidPort {
 public:
  ~HidrawHid() override {
    for (const auto& open : open_) close(static_cast<int>(open.first - 1));
  }

  bool Load() override { return true; }  // hidraw is part of the kernel

  bool BeginEnumeration() override {
    sysfs_ = EnvOr("KESTOVA_SYSFS_ROOT", "/sys");
    dev_ = EnvOr("KESTOVA_DEV_ROOT", "/dev");
    nodes_.clear();
    // No hidraw class at all means no HID interface: an empty listing.
    DIR* dir = opendir((sysfs_ + "/class/hidraw").c_str());
    if (dir == nullptr) return true;
    std::vector<std::pair<long, std::string>> found;
    while (dirent* entry = readdir(dir)) {
      long n = NodeNumber(entry->d_name);
      if (n >= 0) found.emplace_back(n, entry->d_name);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    for (auto& node : found) nodes_.push_back(std::move(node.second));
    return true;
  }

  HidEnumResult InterfacePath(uint32_t index, char* path, size_t pathSize) override {
    if (index >= nodes_.size()) return HidEnumResult::kEnd;
    std::string node = dev_ + "/" + nodes_[index];
    if (node.size() >= pathSize) return HidEnumResult::kSkip;
    std::memcpy(path, node.c_str(), node.size() + 1);
    return HidEnumResult::kFound;
  }

  void EndEnumeration() override {}

  HidHandle Open(const char* path) override {
    // Non-blocking, so that a node nobody drains (a simulated one) fails a write rather than
    // stopping the program; hidraw writes themselves are synchronous either way.
    int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const char* slash = std::strrchr(path, '/');
    if (fd < 0) {
      if (errno == EACCES || errno == EPERM) TellIfOurDisplay(path, slash, errno);
      return 0;
    }
    HidHandle h = static_cast<HidHandle>(fd) + 1;
    open_[h] = slash != nullptr ? slash + 1 : path;
    return h;
  }

  // The display is there but this user may not open it: the one thing a user can fix.
  void TellIfOurDisplay(const char* path, const char* slash, int error) {
    std::string node = slash != nullptr ? slash + 1 : path;
    std::string uevent;
    uint16_t vendor = 0, product = 0;
    if (!ReadSmallFile(sysfs_ + "/class/hidraw/" + node + "/device/uevent", kMaxUeventSize,
                       &uevent) ||
        !ParseHidId(uevent, &vendor, &product) || vendor != kLcdVendorId ||
        product != kLcdProductId) {
      return;
    }
    TellUser(std::string("the display ") + path + " cannot be opened: " + std::strerror(error) +
             "; install dist/linux/70-kestova-lcd.rules (see README, Using it)");
  }

  bool GetAttributes(HidHandle h, HidAttributes* attributes) override {
    auto it = open_.find(h);
    if (it == open_.end()) return false;
    std::string device = sysfs_ + "/class/hidraw/" + it->second + "/device";
    std::string uevent;
    uint16_t vendor = 0, product = 0;
    if (!ReadSmallFile(device + "/uevent", kMaxUeventSize, &uevent) ||
        !ParseHidId(uevent, &vendor, &product)) {
      return false;
    }
    // The USB device's release number, two levels above the HID device; 0 when there is none.
    uint16_t version = 0;
    std::string bcd;
    const char* end = nullptr;
    uint32_t value = 0;
    if (ReadSmallFile(device + "/../../bcdDevice", 64, &bcd) &&
        ParseHex(bcd.c_str(), &end, &value)) {
      version = static_cast<uint16_t>(value);
    }
    attributes->vendorId = vendor;
    attributes->productId = product;
    attributes->versionNumber = version;
    return true;
  }

  bool GetCaps(HidHandle h, HidCaps* caps) override {
    auto it = open_.find(h);
    if (it == open_.end()) return false;
    std::string descriptor;
    if (!ReadSmallFile(sysfs_ + "/class/hidraw/" + it->second + "/device/report_descriptor",
                       kMaxDescriptorSize, &descriptor)) {
      return false;
    }
    ReportLengths lengths{};
    if (!ParseReportDescriptor(reinterpret_cast<const uint8_t*>(descriptor.data()),
                               descriptor.size(), &lengths)) {
      return false;
    }
    *caps = HidCaps{lengths.input, lengths.output};
    return true;
  }

  bool WriteReport(HidHandle h, const uint8_t* report, uint32_t length) override {
    if (open_.find(h) == open_.end()) return false;
    int fd = static_cast<int>(h - 1);
    ssize_t n;
    do {
      n = write(fd, report, length);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length);
  }

  void Close(HidHandle h) override {
    auto it = open_.find(h);
    if (it == open_.end()) return;
    close(static_cast<int>(h - 1));
    open_.erase(it);
  }

 private:
  std::string sysfs_ = "/sys";
  std::string dev_ = "/dev";
  std::vector<std::string> nodes_;
  std::map<HidHandle, std::string> open_;  // handle -> node name
};

}  // namespace

std::unique_ptr<HidPort> MakeHid() { return std::make_unique<HidrawHid>(); }

}  // namespace kc::posix
