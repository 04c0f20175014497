// Built-in resources: blocks of bytes carried inside the program, found by type and name (the
// updater's images are type "FLASHING", names "BITSTREAM" and "FIRMWARE").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

struct ResourceData {
  const uint8_t* data = nullptr;
  size_t size = 0;
  bool found() const { return data != nullptr; }
};

class Resources {
 public:
  virtual ~Resources() = default;
  virtual ResourceData Find(std::string_view type, std::string_view name) = 0;
};

// Outside Windows, resources are linked into the program as data and announce themselves
// here (see ResourceRegistrar); the backends' Find looks them up.
void RegisterResource(std::string_view type, std::string_view name, const uint8_t* data,
                      size_t size);
ResourceData FindRegisteredResource(std::string_view type, std::string_view name);

}  // namespace platform
