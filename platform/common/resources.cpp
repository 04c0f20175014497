#include <string>
#include <vector>

#include "platform/resources.h"

namespace platform {
namespace {

struct Entry {
  std::string type;
  std::string name;
  ResourceData data;
};

std::vector<Entry>& Registry() {
  static std::vector<Entry> registry;
  return registry;
}

}  // namespace

void RegisterResource(std::string_view type, std::string_view name, const uint8_t* data,
                      size_t size) {
  for (Entry& e : Registry()) {
    if (e.type == type && e.name == name) {
      e.data = {data, size};
      return;
    }
  }
  Registry().push_back({std::string(type), std::string(name), {data, size}});
}

ResourceData FindRegisteredResource(std::string_view type, std::string_view name) {
  for (const Entry& e : Registry()) {
    if (e.type == type && e.name == name) return e.data;
  }
  return {};
}

}  // namespace platform
