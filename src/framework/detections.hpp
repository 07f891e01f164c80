// The records a decoding call hands back: one list per image, in image order.
#ifndef QUELT_FRAMEWORK_DETECTIONS_HPP
#define QUELT_FRAMEWORK_DETECTIONS_HPP

#include <vector>

#include "quelt/quelt.h"

namespace sorvanta::framework {

using detections_list = std::vector<std::vector<object_detection>>;

}  // namespace sorvanta::framework

#endif
