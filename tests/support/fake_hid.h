// A scriptable HID layer for the display logic, and a simulated hidraw tree for the Linux back
// end. Reports written to the fake go into an HD44780 emulator, so tests can look at the screen.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lcd/display.h"
#include "port/hid.h"
#include "support/fakes.h"
#include "support/hd44780.h"

namespace kc::test {

struct FakeInterface {
  std::string path;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t versionNumber = 0x0100;
  uint16_t inputLength = 65;
  uint16_t outputLength = 65;
  HidEnumResult listed = HidEnumResult::kFound;  // kSkip: this index cannot be read
  bool openFails = false;
  bool attributesFail = false;
  bool capsFail = false;
};

// The display as the machine's first HID interface.
FakeInterface LcdInterface(const std::string& path = "\\\\?\\hid#vid_5e1c&pid_2a07#lcd");

class FakeHid final : public HidPort {
 public:
  // Script.
  std::vector<FakeInterface> interfaces;
  bool loadFails = false;
  bool enumerationFails = false;
  int failWriteAt = 0;        // the write attempt of this number (from 1) fails; 0: none does
  bool unplugAtFail = false;  // and every write after it fails too, as with a display pulled out

  // Record.
  std::vector<std::string> calls;  // "load", "begin", "path 0", "open <path>", "close <path>", ...
  std::vector<std::vector<uint8_t>> reports;  // every report written successfully, whole
  int writeAttempts = 0;
  Hd44780 lcd;  // the display, fed with every report written successfully

  // Interfaces open now, by path.
  std::multiset<std::string> OpenPaths() const;
  bool enumerating() const { return enumerating_; }
  // The first nine bytes of report i as hex pairs: "00 01 41 F0 F1 F2 F3 F4 F5".
  std::string ReportHead(size_t i) const;
  // Forget the reports and the controller's latches written so far.
  void ClearReports();

  bool Load() override;
  bool BeginEnumeration() override;
  HidEnumResult InterfacePath(uint32_t index, char* path, size_t pathSize) override;
  void EndEnumeration() override;
  HidHandle Open(const char* path) override;
  bool GetAttributes(HidHandle h, HidAttributes* attributes) override;
  bool GetCaps(HidHandle h, HidCaps* caps) override;
  bool WriteReport(HidHandle h, const uint8_t* report, uint32_t length) override;
  void Close(HidHandle h) override;

 private:
  const FakeInterface* Find(HidHandle h) const;
  bool enumerating_ = false;
  HidHandle nextHandle_ = 0x100;
  std::map<HidHandle, size_t> open_;  // handle -> interface index
};

// A heap that can refuse the allocation of a given number, and counts what is taken and given
// back.
class FakeHeap final : public HeapPort {
 public:
  int failAt = 0;  // the allocation of this number (from 1) fails; 0: none does
  int allocations = 0;
  std::vector<size_t> sizes;  // of the blocks given out
  std::set<void*> live;
  void* Allocate(size_t size) override;
  void Release(void* block) override;
};

// A display over fakes. The device, when a test adds it, is LcdInterface().
struct DisplayRig {
  static constexpr WindowRef kWindow = 0x5150;
  FakeHid hid;
  FakeWindow window;
  FakeTrace trace;
  FakeMessageBox box;
  FakeHeap heap;
  Display display{DisplayPorts{hid, window, trace, box}, heap};

  // With the display as the only interface: open it and initialise the controller, then forget
  // the reports of that start. False when either step failed.
  bool Start(uint16_t outputLength = 65);
};

// A HID report descriptor kept as hex text: pairs of hex digits, blanks and '#' comments.
std::vector<uint8_t> LoadHexDescriptor(const std::string& path);
// A vendor-defined device with 64-byte input and output reports, no report IDs (65-byte
// reports with the ID byte), like the common USB HID display adapters.
std::vector<uint8_t> Vendor64Descriptor();

// A sysfs and /dev tree for the hidraw back end, under one root directory:
// <root>/sys/class/hidraw/hidrawN/device/{uevent,report_descriptor} and <root>/dev/hidrawN.
class SimHidTree {
 public:
  enum class Node { kFile, kFifo, kNone };
  // A fresh directory under $TMPDIR (or /tmp) when root is empty. keep: leave it at the end.
  explicit SimHidTree(const std::string& root = "", bool keep = false);
  ~SimHidTree();
  SimHidTree(const SimHidTree&) = delete;
  SimHidTree& operator=(const SimHidTree&) = delete;

  bool ok() const { return ok_; }
  const std::string& root() const { return root_; }
  std::string sysfsRoot() const { return root_ + "/sys"; }
  std::string devRoot() const { return root_ + "/dev"; }
  std::string NodePath(int n) const;

  // Adds hidrawN with HID_ID=0003:<vendor>:<product>; false when a file cannot be made.
  bool Add(int n, uint16_t vendor, uint16_t product, const std::vector<uint8_t>& descriptor,
           Node node = Node::kFile);
  // Points /dev/hidrawN at another file (such as /dev/full).
  bool LinkNode(int n, const std::string& target);
  // Sets KESTOVA_SYSFS_ROOT and KESTOVA_DEV_ROOT to this tree.
  void Export() const;
  // The bytes written to a plain-file node so far.
  std::vector<uint8_t> NodeBytes(int n) const;

 private:
  std::string root_;
  bool keep_;
  bool ok_ = false;
};

}  // namespace kc::test
