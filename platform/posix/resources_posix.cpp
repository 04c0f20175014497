// Built-in resources outside Windows: the blocks linked into the program announce themselves
// to the common registry (RegisterResource), and Find looks them up there.
#include <memory>

#include "platform/posix/posix_backend.h"
#include "platform/resources.h"

namespace platform::posix {
namespace {

class PosixResources : public Resources {
 public:
  ResourceData Find(std::string_view type, std::string_view name) override {
    return FindRegisteredResource(type, name);
  }
};

}  // namespace

std::unique_ptr<Resources> NewResources() {
  return std::make_unique<PosixResources>();
}

}  // namespace platform::posix
