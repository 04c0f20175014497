// The services of the posix backend, as factories, and the port-name mapping of its serial
// service. HostServices() holds one of each for the program; the backend's own tests make
// fresh ones and check the name mapping directly.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "platform/serial.h"

namespace platform::posix {

std::unique_ptr<EventLoop> NewEventLoop();
std::unique_ptr<SerialPorts> NewSerialPorts();
std::unique_ptr<FileSystem> NewFileSystem();
std::unique_ptr<Locale> NewLocale();
std::unique_ptr<Resources> NewResources();

// Where the default serial-device order looks: the device folder and the sysfs root. Tests
// point these at a tree of their own.
struct DeviceRoots {
  std::string dev = "/dev";
  std::string sys = "/sys";
};

// The machine's serial devices in the stable order that numbers COM1, COM2, ... when no
// CHANFOLD_COMn variable names a device (see serial_posix.cpp for the rules).
std::vector<std::string> DefaultSerialDevices(const DeviceRoots& roots = {});

// The device path that a name given to SerialPorts::Open stands for, or "" when the name is
// not a port (see serial_posix.cpp).
std::string SerialDevicePath(const std::string& name, const DeviceRoots& roots = {});

}  // namespace platform::posix
