// HID devices that arrive, seen through inotify on the device folder: the kernel (or udev)
// makes a hidrawN node there when a HID device is plugged in, and udev then sets its owner and
// mode, so the node's attributes changing counts too (the node may not open before that).
// A node removed is a device gone. The watch is one descriptor in the event loop's poll: it
// wakes nothing while no device comes or goes.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "posix/backends.h"

namespace kc::posix {

int WatchHidArrivals(EventLoop& loop, const WindowRef& mainWindow) {
  const char* root = std::getenv("KESTOVA_DEV_ROOT");
  const std::string dev = root != nullptr && root[0] != '\0' ? root : "/dev";
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return -1;
  if (inotify_add_watch(fd, dev.c_str(),
                        IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
    close(fd);
    return -1;
  }
  loop.Watch(fd, POLLIN, [fd, &loop, &mainWindow](short) {
    // Events are read whole: the buffer is aligned for the records and fits the longest name.
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + 256)];
    bool arrived = false;
    bool removed = false;
    for (;;) {
      ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
        inotify_event event;
        std::memcpy(&event, buffer + at, sizeof event);
        const char* name = buffer + at + sizeof(inotify_event);
        const size_t nameLength = event.len != 0 ? strnlen(name, event.len) : 0;
        if (nameLength > 6 && std::strncmp(name, "hidraw", 6) == 0) {
          if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
            removed = true;
          } else {
            arrived = true;
          }
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      }
    }
    // One look for any number of nodes that came or went at once.
    if (removed) loop.Post(mainWindow, kWmDeviceChange, kDbtDeviceRemoveComplete, 0);
    if (arrived) loop.Post(mainWindow, kWmDeviceChange, kDbtDeviceArrival, 0);
  });
  return fd;
}

}  // namespace kc::posix
