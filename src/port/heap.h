// Where the display takes its heap blocks: the two report buffers and the pager's rows block.
#pragma once
#include <cstddef>

namespace kc {

// Null from Allocate means no memory.
class HeapPort {
 public:
  virtual ~HeapPort() = default;
  virtual void* Allocate(size_t size) = 0;
  virtual void Release(void* block) = 0;
};

}  // namespace kc
