#include "activation.hpp"

#include <cstddef>
#include <cstdint>

#include "../darknet/box_decoding.hpp"
#include "../framework/logistic.hpp"

namespace quelt {

using sorvanta::framework::logistic;

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
      record[0] = detail::centre_offset(record[0], xy_scale, offset);
      record[1] = detail::centre_offset(record[1], xy_scale, offset);
      continue;
    }
    record[0] = detail::centre_offset(logistic(record[0]), xy_scale, offset);
    record[1] = detail::centre_offset(logistic(record[1]), xy_scale, offset);
    for (std::size_t p = 4; p < record_length; ++p) {
      record[p] = logistic(record[p]);
    }
  }
}

}  // namespace quelt
