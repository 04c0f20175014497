// The services a program or the control gets from its platform. The real backend of this build
// (posix or win32) provides HostServices(); the simulation builds its own set around a SimWorld.
#pragma once

#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "platform/serial.h"

namespace platform {

struct Services {
  EventLoop* loop = nullptr;
  SerialPorts* serial = nullptr;
  FileSystem* files = nullptr;
  Locale* locale = nullptr;
  Resources* resources = nullptr;
};

// The services of the backend this build was made for. Created on first use, never destroyed.
Services& HostServices();

}  // namespace platform
