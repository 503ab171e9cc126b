// Building application/x-www-form-urlencoded bodies and query strings in a fixed buffer, and
// reading one parameter of a query.
#pragma once
#include <cstddef>

namespace kc {

class FormBuilder {
 public:
  FormBuilder(char* buffer, size_t size);
  // Appends "&name=value" (no "&" first), the value percent-encoded.
  FormBuilder& Add(const char* name, const char* value);
  // False when anything did not fit: the text is then unusable.
  bool ok() const { return ok_; }
  size_t length() const { return length_; }

 private:
  void Put(char c);
  char* buffer_;
  size_t size_;
  size_t length_ = 0;
  bool ok_;
};

// The value of `name` in a query ("a=1&b=2", after the "?"), percent-decoded into out. False
// when absent, too long for out, or holding a NUL or control byte.
bool QueryParameter(const char* query, const char* name, char* out, size_t size);

}  // namespace kc
