#include "updater/images/images.h"

namespace updater {

// On Windows the images are resources of the executable, found by the resources service.
void RegisterBuiltInImages() {}

}  // namespace updater
