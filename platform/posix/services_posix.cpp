// The posix backend's services for the program: one of each, made on first use and never
// destroyed (the control and the updater may still use them from static destructors).
#include "platform/posix/posix_backend.h"
#include "platform/services.h"

namespace platform {

Services& HostServices() {
  static Services* services = [] {
    auto* s = new Services;
    s->loop = posix::NewEventLoop().release();
    s->serial = posix::NewSerialPorts().release();
    s->files = posix::NewFileSystem().release();
    s->locale = posix::NewLocale().release();
    s->resources = posix::NewResources().release();
    return s;
  }();
  return *services;
}

}  // namespace platform
