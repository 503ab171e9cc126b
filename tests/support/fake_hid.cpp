#include "support/fake_hid.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kc::test {

FakeInterface LcdInterface(const std::string& path) {
  FakeInterface lcd;
  lcd.path = path;
  lcd.vendorId = kLcdVendorId;
  lcd.productId = kLcdProductId;
  return lcd;
}

// ---- FakeHid ----

std::multiset<std::string> FakeHid::OpenPaths() const {
  std::multiset<std::string> paths;
  for (const auto& open : open_) paths.insert(interfaces[open.second].path);
  return paths;
}

std::string FakeHid::ReportHead(size_t i) const {
  std::string out;
  if (i >= reports.size()) return out;
  char hex[4];
  for (size_t b = 0; b < 9 && b < reports[i].size(); ++b) {
    std::snprintf(hex, sizeof hex, b == 0 ? "%02X" : " %02X", reports[i][b]);
    out += hex;
  }
  return out;
}

void FakeHid::ClearReports() {
  reports.clear();
  lcd.ClearLatches();
}

const FakeInterface* FakeHid::Find(HidHandle h) const {
  auto it = open_.find(h);
  return it == open_.end() ? nullptr : &interfaces[it->second];
}

bool FakeHid::Load() {
  calls.push_back("load");
  return !loadFails;
}

bool FakeHid::BeginEnumeration() {
  calls.push_back("begin");
  // Without the library there is no class of HID interfaces to list.
  if (enumerationFails || loadFails) return false;
  enumerating_ = true;
  return true;
}

HidEnumResult FakeHid::InterfacePath(uint32_t index, char* path, size_t pathSize) {
  calls.push_back("path " + std::to_string(index));
  if (index >= interfaces.size()) return HidEnumResult::kEnd;
  const FakeInterface& i = interfaces[index];
  if (i.listed != HidEnumResult::kFound) return i.listed;
  if (i.path.size() >= pathSize) return HidEnumResult::kSkip;
  std::memcpy(path, i.path.c_str(), i.path.size() + 1);
  return HidEnumResult::kFound;
}

void FakeHid::EndEnumeration() {
  calls.push_back("end");
  enumerating_ = false;
}

HidHandle FakeHid::Open(const char* path) {
  calls.push_back(std::string("open ") + path);
  for (size_t i = 0; i < interfaces.size(); ++i) {
    if (interfaces[i].path != path) continue;
    if (interfaces[i].openFails) return 0;
    HidHandle h = nextHandle_++;
    open_[h] = i;
    return h;
  }
  return 0;
}

bool FakeHid::GetAttributes(HidHandle h, HidAttributes* attributes) {
  const FakeInterface* i = Find(h);
  if (i == nullptr || i->attributesFail) return false;
  attributes->vendorId = i->vendorId;
  attributes->productId = i->productId;
  attributes->versionNumber = i->versionNumber;
  return true;
}

bool FakeHid::GetCaps(HidHandle h, HidCaps* caps) {
  const FakeInterface* i = Find(h);
  if (i == nullptr) return false;
  calls.push_back("caps " + i->path);
  if (i->capsFail) return false;
  *caps = HidCaps{i->inputLength, i->outputLength};
  return true;
}

bool FakeHid::WriteReport(HidHandle h, const uint8_t* report, uint32_t length) {
  ++writeAttempts;
  if (Find(h) == nullptr) return false;
  if (failWriteAt != 0 &&
      (writeAttempts == failWriteAt || (unplugAtFail && writeAttempts > failWriteAt))) {
    return false;
  }
  reports.emplace_back(report, report + length);
  lcd.TakeReport(report, length);
  return true;
}

void FakeHid::Close(HidHandle h) {
  auto it = open_.find(h);
  if (it == open_.end()) {
    calls.push_back("close ?");
    return;
  }
  calls.push_back("close " + interfaces[it->second].path);
  open_.erase(it);
}

// ---- DisplayRig ----

bool DisplayRig::Start(uint16_t outputLength) {
  FakeInterface lcd = LcdInterface();
  lcd.outputLength = outputLength;
  hid.interfaces = {lcd};
  bool ok = display.OpenLcdDevice() && display.LcdInit(kWindow);
  hid.ClearReports();
  trace.lines.clear();
  trace.all.clear();
  return ok;
}

// ---- FakeHeap ----

void* FakeHeap::Allocate(size_t size) {
  ++allocations;
  if (allocations == failAt) return nullptr;
  void* block = std::malloc(size != 0 ? size : 1);
  sizes.push_back(size);
  live.insert(block);
  return block;
}

void FakeHeap::Release(void* block) {
  live.erase(block);
  std::free(block);
}

// ---- Descriptors ----

std::vector<uint8_t> LoadHexDescriptor(const std::string& path) {
  std::ifstream in(path);
  std::vector<uint8_t> bytes;
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string word;
    while (words >> word) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return bytes;
}

std::vector<uint8_t> Vendor64Descriptor() {
  return {
      0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x09, 0x02,        //   Usage (2)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8)
      0x95, 0x40,        //   Report Count (64)
      0x81, 0x02,        //   Input (Data, Variable, Absolute)
      0x09, 0x03,        //   Usage (3)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8)
      0x95, 0x40,        //   Report Count (64)
      0x91, 0x02,        //   Output (Data, Variable, Absolute)
      0xC0,              // End Collection
  };
}

// ---- SimHidTree ----

namespace {

bool WriteFile(const std::string& path, const void* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  std::remove(path);
  return 0;
}

}  // namespace

SimHidTree::SimHidTree(const std::string& root, bool keep) : keep_(keep) {
  if (root.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kestova-hid-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) return;
    root_ = name.data();
  } else {
    root_ = root;
    mkdir(root_.c_str(), 0755);
  }
  ok_ = mkdir((root_ + "/sys").c_str(), 0755) == 0 &&
        mkdir((root_ + "/sys/class").c_str(), 0755) == 0 &&
        mkdir((root_ + "/sys/class/hidraw").c_str(), 0755) == 0 &&
        mkdir((root_ + "/dev").c_str(), 0755) == 0;
}

SimHidTree::~SimHidTree() {
  if (!keep_ && !root_.empty()) nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string SimHidTree::NodePath(int n) const { return devRoot() + "/hidraw" + std::to_string(n); }

bool SimHidTree::Add(int n, uint16_t vendor, uint16_t product,
                     const std::vector<uint8_t>& descriptor, Node node) {
  std::string dir = sysfsRoot() + "/class/hidraw/hidraw" + std::to_string(n);
  if (mkdir(dir.c_str(), 0755) != 0 || mkdir((dir + "/device").c_str(), 0755) != 0) return false;
  char uevent[256];
  std::snprintf(uevent, sizeof uevent,
                "DRIVER=hid-generic\nHID_ID=0003:%08X:%08X\nHID_NAME=Simulated %04x:%04x\n"
                "HID_PHYS=usb-0000:00:14.0-1/input0\nMODALIAS=hid:b0003g0001v%08Xp%08X\n",
                vendor, product, vendor, product, vendor, product);
  if (!WriteFile(dir + "/device/uevent", uevent, std::strlen(uevent))) return false;
  if (!WriteFile(dir + "/device/report_descriptor", descriptor.data(), descriptor.size())) {
    return false;
  }
  switch (node) {
    case Node::kFile: return WriteFile(NodePath(n), "", 0);
    case Node::kFifo: return mkfifo(NodePath(n).c_str(), 0600) == 0;
    case Node::kNone: return true;
  }
  return true;
}

bool SimHidTree::LinkNode(int n, const std::string& target) {
  std::remove(NodePath(n).c_str());
  return symlink(target.c_str(), NodePath(n).c_str()) == 0;
}

void SimHidTree::Export() const {
  setenv("KESTOVA_SYSFS_ROOT", sysfsRoot().c_str(), 1);
  setenv("KESTOVA_DEV_ROOT", devRoot().c_str(), 1);
}

std::vector<uint8_t> SimHidTree::NodeBytes(int n) const {
  std::ifstream in(NodePath(n), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kc::test
