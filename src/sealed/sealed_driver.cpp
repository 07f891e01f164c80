#include "sealed_driver.hpp"

#include <cstddef>
#include <limits>
#include <string>
#include <utility>

#include <boost/beast/core/span.hpp>

#include "../framework/exception.hpp"
#include "../framework/max_index.hpp"
#include "../framework/string_builder.hpp"
#include "box_provider_nms.hpp"
#include "darknet_box_provider.hpp"

namespace quelt {

namespace {

using sorvanta::framework::_bs;
using sorvanta::framework::error_message;
using sorvanta::framework::runtime_exception;

[[noreturn]] void reject(const std::string& text) {
  throw runtime_exception() << error_message(text);
}

// Negative counts are left to the reservations below, which reject them with
// the standard length error before anything else about the call is judged.
bool counts_are_negative(std::int64_t boxes_count, std::int64_t batch_size) {
  return batch_size < 0 || (batch_size > 0 && boxes_count < 0);
}

// Everything the scoring needs before it may read a row. With zero classes the
// class pick would fall back on the objectness and report class -1; with fewer
// the rows would overlap or run backwards.
void check_arguments(const float* sealed_output, std::int64_t boxes_count, std::int64_t batch_size,
                     std::int32_t classes, const float* conf_thresholds,
                     const float* nms_thresholds) {
  if (classes < 1) {
    reject(_bs("classes must be at least 1, got ", classes));
  }
  if (batch_size == 0) {
    return;
  }
  if (conf_thresholds == nullptr || nms_thresholds == nullptr) {
    reject(_bs(conf_thresholds == nullptr ? "conf_thresholds" : "nms_thresholds",
               " is null: one threshold per image is needed (batch_size = ", batch_size, ")"));
  }
  if (boxes_count == 0) {
    return;
  }
  if (sealed_output == nullptr) {
    reject(_bs("sealed_output is null: ", batch_size, " x ", boxes_count, " rows were to be read"));
  }
  // A tensor of more floats than a pointer can address cannot exist; refusing
  // it keeps the row offsets below from overflowing.
  const std::int64_t row_size = std::int64_t{classes} + 5;
  const std::int64_t max_floats =
      std::numeric_limits<std::ptrdiff_t>::max() / static_cast<std::int64_t>(sizeof(float));
  if (batch_size > max_floats / boxes_count || batch_size * boxes_count > max_floats / row_size) {
    reject(_bs("sealed tensor too large: ", batch_size, " x ", boxes_count, " rows of ", row_size,
               " floats cannot be addressed"));
  }
}

}  // namespace

std::vector<std::vector<object_detection>> process_yolo_sealed_output_detections(
    float* sealed_output, std::int64_t boxes_count, std::int64_t batch_size, std::int32_t classes,
    float* conf_thresholds, float* nms_thresholds, std::int32_t width, std::int32_t height) {
  if (!counts_are_negative(boxes_count, batch_size)) {
    check_arguments(sealed_output, boxes_count, batch_size, classes, conf_thresholds,
                    nms_thresholds);
  }

  // Room for every candidate first: a negative count fails here (the sizes
  // convert to huge unsigned values), before the tensor is touched.
  std::vector<std::vector<darknet_box_provider>> candidates;
  if (batch_size != 0) {
    candidates.reserve(static_cast<std::size_t>(batch_size));
  }
  for (std::int64_t i = 0; i < batch_size; ++i) {
    std::vector<darknet_box_provider> list;
    if (boxes_count != 0) {
      list.reserve(static_cast<std::size_t>(boxes_count));
    }
    candidates.push_back(std::move(list));
  }

  // Scoring in place: a candidate's class scores become objectness x score,
  // or 0 where that product does not pass.
  const std::int64_t row_size = std::int64_t{classes} + 5;
  for (std::int64_t i = 0; i < batch_size; ++i) {
    const float threshold = conf_thresholds[i];
    for (std::int64_t r = 0; r < boxes_count; ++r) {
      float* row = sealed_output + (i * boxes_count + r) * row_size;
      const float objectness = row[4];
      if (!(objectness > threshold)) {
        continue;
      }
      for (std::int32_t j = 0; j < classes; ++j) {
        const float p = objectness * row[5 + j];
        row[5 + j] = p > threshold ? p : 0.0f;
      }
      candidates[static_cast<std::size_t>(i)].push_back(darknet_box_provider{row, classes});
    }
  }

  darknet_box_nms_sort(candidates, classes, nms_thresholds);

  // Each candidate reports its best class left after suppression, if any.
  std::vector<std::vector<object_detection>> result;
  result.reserve(candidates.size());
  const float net_width = static_cast<float>(width);
  const float net_height = static_cast<float>(height);
  for (const auto& list : candidates) {
    std::vector<object_detection> records;
    if (boxes_count != 0) {
      records.reserve(static_cast<std::size_t>(boxes_count));
    }
    for (const darknet_box_provider& candidate : list) {
      const float* row = candidate.row;
      const std::int64_t best = sorvanta::framework::max_index(boost::beast::span<float>(
          candidate.row + 5, static_cast<std::size_t>(candidate.classes)));
      const float score = row[5 + best];
      if (score == 0.0f) {
        continue;
      }
      const float half_w = row[2] * 0.5f;
      const float half_h = row[3] * 0.5f;
      records.push_back(
          object_detection{(row[0] - half_w) / net_width, (row[1] - half_h) / net_height,
                           (row[0] + half_w) / net_width, (row[1] + half_h) / net_height,
                           static_cast<std::int32_t>(best), row[4], score});
    }
    // The stored lists keep no spare room.
    records.shrink_to_fit();
    result.push_back(std::move(records));
  }
  return result;
}

}  // namespace quelt
