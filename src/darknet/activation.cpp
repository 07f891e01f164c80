#include "activation.hpp"

#include "candidate_scan.hpp"

#include <cstddef>
#include <cstdint>

namespace quelt {

// The one logistic of the Darknet path, shared with the candidate scan so
// that activation and the scan can never differ in a bit.
using detail::logistic;

void activate_yolo_output(output_tensor output, int anchors, int classes, float xy_scale,
                          bool preactivated) {
  // The anchor count is widened with its sign, as the record count is defined.
  const std::uint64_t records = output.batch * output.width * output.height *
                                static_cast<std::uint64_t>(static_cast<std::int64_t>(anchors));
  // Computed in size_t so a huge class count cannot overflow int.
  const std::size_t record_length = static_cast<std::size_t>(classes) + 5;
  const float offset = (xy_scale - 1.0f) * 0.5f;

  float* record = output.data;
  for (std::uint64_t r = 0; r < records; ++r, record += record_length) {
    if (preactivated) {
      record[0] = xy_scale * record[0] - offset;
      record[1] = xy_scale * record[1] - offset;
      continue;
    }
    record[0] = logistic(record[0]) * xy_scale - offset;
    record[1] = logistic(record[1]) * xy_scale - offset;
    for (std::size_t p = 4; p < record_length; ++p) {
      record[p] = logistic(record[p]);
    }
  }
}

}  // namespace quelt
