#include <cstdint>

#include "platform/resources.h"
#include "updater/images/images.h"

extern "C" const uint8_t quarn_bitstream_begin[];
extern "C" const uint8_t quarn_bitstream_end[];
extern "C" const uint8_t quarn_firmware_begin[];
extern "C" const uint8_t quarn_firmware_end[];

namespace updater {

// Each begin and end is a label at either side of one block of the embedded data
// (images_embed.S.in), so the difference is the image's length.
void RegisterBuiltInImages() {
  // cppcheck-suppress comparePointers
  const auto bitstream_size = static_cast<size_t>(quarn_bitstream_end - quarn_bitstream_begin);
  // cppcheck-suppress comparePointers
  const auto firmware_size = static_cast<size_t>(quarn_firmware_end - quarn_firmware_begin);
  platform::RegisterResource("FLASHING", "BITSTREAM", quarn_bitstream_begin, bitstream_size);
  platform::RegisterResource("FLASHING", "FIRMWARE", quarn_firmware_begin, firmware_size);
}

}  // namespace updater
