// Box extraction straight from the caller's raw layer values: each record's
// objectness is tested first, and only records that pass are activated and
// decoded. The rows produced are bit for bit those of activating a copy of
// the whole layer and extracting from it.
#ifndef QUELT_DARKNET_CANDIDATE_SCAN_HPP
#define QUELT_DARKNET_CANDIDATE_SCAN_HPP

#include <cstdint>
#include <vector>

#include "quelt/quelt.h"

namespace quelt::detail {

// Appends the rows of image `image` of one layer to `rows` (classes + 5 floats
// each), and for each row the start of its held classes to `held_start` and
// those classes (the ones whose probability is not 0, in class order) to
// `held`, and, when `sources` is not NULL, each row's anchor record index,
// counted from `first` (the records of the layers before), to `sources`.
void scan_layer_image(const yolo_output& layer, std::uint64_t image, int classes, net_params net,
                      float threshold, std::vector<float>& rows, std::vector<std::uint32_t>& held,
                      std::vector<std::uint32_t>& held_start, std::int64_t first,
                      std::vector<std::int64_t>* sources);

}  // namespace quelt::detail

#endif
