// lcd_screen: shows in a terminal what the program's display would show.
//
// It reads the program's output reports from a file or FIFO, plays them into an emulated
// HD44780 controller and prints the 2 x 16 screen in UTF-8 whenever it has changed, once each
// update is complete (at the start of the next update, or when the stream pauses or ends).
//
//   lcd_screen --make-tree DIR [--descriptor FILE.hex] [--file]
//       Makes a simulated display for the unchanged Linux program: DIR/sys/class/hidraw/hidraw0
//       (HID_ID=0003:00005E1C:00002A07 and a report descriptor; by default 64-byte reports)
//       and the node DIR/dev/hidraw0, a FIFO (or with --file a plain file). Prints the two
//       environment settings that point the program at it.
//   lcd_screen [--tree DIR | --length N] [--oneline] [--follow] [--stats] [FILE]
//       Reads reports of N bytes (with --tree: the length its descriptor gives, and the node
//       DIR/dev/hidraw0 as FILE; default 65) from FILE or standard input. --oneline prints each
//       screen as "[row 1][row 2]"; --follow goes on reading after the writer has gone;
//       --stats prints "reports: N" on standard error at the end.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "posix/report_descriptor.h"
#include "support/fake_hid.h"
#include "support/hd44780.h"

namespace {

using kc::test::Hd44780;

constexpr int kQuietMs = 100;  // a pause this long ends an update

int Usage() {
  std::fprintf(
      stderr,
      "usage: lcd_screen --make-tree DIR [--descriptor FILE.hex] [--file]\n"
      "       lcd_screen [--tree DIR | --length N] [--oneline] [--follow] [--stats] [FILE]\n");
  return 2;
}

std::string HidrawDir(const std::string& tree) { return tree + "/sys/class/hidraw/hidraw0/device"; }

int MakeTree(const std::string& dir, const std::string& descriptorFile, bool plainFile) {
  std::vector<uint8_t> descriptor = descriptorFile.empty()
                                        ? kc::test::Vendor64Descriptor()
                                        : kc::test::LoadHexDescriptor(descriptorFile);
  kc::test::SimHidTree tree(dir, true);
  if (!tree.ok() || !tree.Add(0, kc::kLcdVendorId, kc::kLcdProductId, descriptor,
                              plainFile ? kc::test::SimHidTree::Node::kFile
                                        : kc::test::SimHidTree::Node::kFifo)) {
    std::fprintf(stderr, "lcd_screen: cannot make the tree in %s (it must not exist yet)\n",
                 dir.c_str());
    return 1;
  }
  std::printf("export KESTOVA_SYSFS_ROOT=%s\nexport KESTOVA_DEV_ROOT=%s\n",
              tree.sysfsRoot().c_str(), tree.devRoot().c_str());
  return 0;
}

// The output report length the tree's descriptor gives; 0 when it cannot be read.
size_t TreeReportLength(const std::string& dir) {
  std::ifstream in(HidrawDir(dir) + "/report_descriptor", std::ios::binary);
  std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  kc::ReportLengths lengths{};
  if (!in.good() && !in.eof()) return 0;
  if (!kc::ParseReportDescriptor(d.data(), d.size(), &lengths)) return 0;
  return lengths.output;
}

class Printer {
 public:
  explicit Printer(bool oneLine) : oneLine_(oneLine) {}
  void ShowIfChanged(const Hd44780& lcd) {
    std::string screen = lcd.ScreenUtf8();
    if (screen == last_) return;
    last_ = screen;
    if (oneLine_) {
      std::printf("%s\n", screen.c_str());
    } else {
      std::printf("+----------------+\n|%s|\n|%s|\n+----------------+\n", lcd.RowUtf8(0).c_str(),
                  lcd.RowUtf8(1).c_str());
    }
    std::fflush(stdout);
  }

 private:
  bool oneLine_;
  std::string last_;
};

int Watch(const std::string& path, size_t length, bool oneLine, bool follow, bool stats) {
  Hd44780 lcd;
  Printer printer(oneLine);
  std::vector<uint8_t> pending;
  uint8_t buffer[4096];
  bool fromStdin = path.empty() || path == "-";
  unsigned long reports = 0;
  for (;;) {
    int fd = fromStdin ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(stderr, "lcd_screen: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
      return 1;
    }
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      int ready = poll(&p, 1, kQuietMs);
      if (ready == 0) {  // a pause: the update is complete
        printer.ShowIfChanged(lcd);
        continue;
      }
      if (ready < 0 && errno == EINTR) continue;
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.insert(pending.end(), buffer, buffer + n);
      size_t at = 0;
      for (; pending.size() - at >= length; at += length) {
        lcd.TakeReport(pending.data() + at, length);
        ++reports;
        const auto& latches = lcd.latches();
        // Return home starts every update: what is on the screen now is the previous one.
        if (!latches.empty() && !latches.back().rs && latches.back().value == 0x02) {
          printer.ShowIfChanged(lcd);
        }
        lcd.ClearLatches();
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<long>(at));
    }
    printer.ShowIfChanged(lcd);
    if (!fromStdin) close(fd);
    if (!follow || fromStdin) {
      if (stats) std::fprintf(stderr, "reports: %lu\n", reports);
      return 0;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) usleep(kQuietMs * 1000);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string makeTree, tree, descriptor, file;
  size_t length = 0;
  bool oneLine = false, follow = false, plainFile = false, stats = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string number;
    if (arg == "--make-tree") {
      if (!value(&makeTree)) return Usage();
    } else if (arg == "--descriptor") {
      if (!value(&descriptor)) return Usage();
    } else if (arg == "--file") {
      plainFile = true;
    } else if (arg == "--tree") {
      if (!value(&tree)) return Usage();
    } else if (arg == "--length") {
      if (!value(&number)) return Usage();
      length = static_cast<size_t>(std::strtoul(number.c_str(), nullptr, 10));
    } else if (arg == "--oneline") {
      oneLine = true;
    } else if (arg == "--follow") {
      follow = true;
    } else if (arg == "--stats") {
      stats = true;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return Usage();
    } else {
      file = arg;
    }
  }
  if (!makeTree.empty()) return MakeTree(makeTree, descriptor, plainFile);
  if (!tree.empty()) {
    if (length == 0) length = TreeReportLength(tree);
    if (file.empty()) file = tree + "/dev/hidraw0";
  }
  if (length == 0) length = 65;
  if (length < 3) return Usage();
  return Watch(file, length, oneLine, follow, stats);
}
