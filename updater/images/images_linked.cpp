#include <cstdint>

#include "platform/resources.h"
#include "updater/images/images.h"

extern "C" const uint8_t quarn_bitstream_begin[];
extern "C" const uint8_t quarn_bitstream_end[];
extern "C" const uint8_t quarn_firmware_begin[];
extern "C" const uint8_t quarn_firmware_end[];

namespace updater {

void RegisterBuiltInImages() {
  platform::RegisterResource("FLASHING", "BITSTREAM", quarn_bitstream_begin,
                             static_cast<size_t>(quarn_bitstream_end - quarn_bitstream_begin));
  platform::RegisterResource("FLASHING", "FIRMWARE", quarn_firmware_begin,
                             static_cast<size_t>(quarn_firmware_end - quarn_firmware_begin));
}

}  // namespace updater
