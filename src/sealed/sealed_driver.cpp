#include "sealed_driver.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>

#include "../framework/box.hpp"
#include "../framework/class_scores.hpp"
#include "../framework/exception.hpp"
#include "../framework/ranking.hpp"
#include "../framework/screen.hpp"
#include "../framework/string_builder.hpp"
#include "candidate_nms.hpp"

namespace quelt {

namespace {

using sorvanta::framework::_bs;
using sorvanta::framework::reject;

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

  // A negative image count fails here with the standard length error (the
  // size converts to a huge unsigned value), before the tensor is touched.
  std::vector<std::vector<object_detection>> result;
  if (batch_size != 0) {
    result.reserve(static_cast<std::size_t>(batch_size));
  }
  // Room for one image's candidates: a negative or absurd row count fails here,
  // before any row is read, rather than reading past the caller's tensor.
  std::vector<float*> rows;
  if (batch_size > 0 && boxes_count != 0) {
    rows.reserve(static_cast<std::size_t>(boxes_count));
  }

  const std::int64_t row_size = std::int64_t{classes} + 5;
  const float net_width = static_cast<float>(width);
  const float net_height = static_cast<float>(height);
  detail::candidate_nms_workspace workspace;
  std::vector<float> objectness;
  std::vector<std::uint32_t> order;
  std::vector<std::uint64_t> scratch;
  std::vector<std::uint32_t> holder_start;
  std::vector<std::uint32_t> holder_class;
  // Room for one row's held classes, so the running list grows by what is held.
  std::vector<std::uint32_t> held_scratch(static_cast<std::size_t>(std::max(classes, 0)));
  for (std::int64_t i = 0; i < batch_size; ++i) {
    const float threshold = conf_thresholds[i];
    rows.clear();
    objectness.clear();
    holder_start.clear();
    holder_class.clear();
    // With no rows the tensor may be null: form no pointer into it.
    if (boxes_count > 0) {
      float* image = sealed_output + i * boxes_count * row_size;
      sorvanta::framework::screen_rows(
          image + 4, static_cast<std::uint64_t>(boxes_count), static_cast<std::size_t>(row_size),
          [threshold](float object) { return object > threshold; },
          [&](std::uint64_t r) {
            float* row = image + static_cast<std::int64_t>(r) * row_size;
            const float object = row[4];
            holder_start.push_back(static_cast<std::uint32_t>(holder_class.size()));
            // Scoring in place: each class score becomes objectness x score,
            // or 0 where that product does not pass.
            const std::size_t held = sorvanta::framework::threshold_products(
                row + 5, row + 5, classes, object, threshold, held_scratch.data());
            holder_class.insert(holder_class.end(), held_scratch.begin(),
                                held_scratch.begin() + static_cast<std::ptrdiff_t>(held));
            rows.push_back(row);
            objectness.push_back(object);
          });
    }
    holder_start.push_back(static_cast<std::uint32_t>(holder_class.size()));

    // Rank once by objectness; every class pass would sort to this order.
    sorvanta::framework::rank_descending(objectness, order, scratch);
    workspace.rows.clear();
    workspace.holders.clear();
    for (std::uint32_t rank = 0; rank < order.size(); ++rank) {
      const std::uint32_t c = order[rank];
      workspace.rows.push_back(rows[c]);
      for (std::uint32_t h = holder_start[c]; h < holder_start[c + 1]; ++h) {
        workspace.holders.push_back(sorvanta::framework::class_member{holder_class[h], rank});
      }
    }
    detail::suppress_ranked_candidates(classes, nms_thresholds[i], workspace);

    // Each candidate reports its best class left after suppression, if any:
    // the first largest score. Every class it does not hold reads 0, so only
    // its holders need a look.
    std::vector<object_detection> records;
    for (std::uint32_t rank = 0; rank < order.size(); ++rank) {
      const std::uint32_t c = order[rank];
      const float* r = rows[c];
      const sorvanta::framework::corner_box& box = workspace.boxes[rank];
      sorvanta::framework::append_best_class_record(
          records, box.x_min / net_width, box.y_min / net_height, box.x_max / net_width,
          box.y_max / net_height, r[4], r + 5, holder_class.data() + holder_start[c],
          holder_start[c + 1] - holder_start[c], classes);
    }
    // The stored lists keep no spare room.
    records.shrink_to_fit();
    result.push_back(std::move(records));
  }
  return result;
}

}  // namespace quelt
