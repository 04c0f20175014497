// The update images built into the program.
#pragma once

namespace updater {

// Announces the built-in images to the resources service, as type "FLASHING" and names
// "BITSTREAM" and "FIRMWARE". Programs call it once at start; it may be called again.
void RegisterBuiltInImages();

}  // namespace updater
