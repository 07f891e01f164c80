// What a decoding entry hands to the batch behind a handle.
#ifndef QUELT_FRAMEWORK_DETECTIONS_LIST_HPP
#define QUELT_FRAMEWORK_DETECTIONS_LIST_HPP

#include <vector>

#include "quelt/quelt.h"

namespace quelt {

// One list of records per image, in image order.
using detections_list = std::vector<std::vector<object_detection>>;

}  // namespace quelt

#endif
