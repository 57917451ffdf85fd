// Base for classes that hold a resource: they are handled by pointer and never copied.
#pragma once

namespace orv::util {

class nocopy {
 public:
  nocopy(const nocopy&) = delete;
  nocopy& operator=(const nocopy&) = delete;

 protected:
  nocopy() = default;
  ~nocopy() = default;
};

}  // namespace orv::util
