#include "sealed_driver.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "../framework/box.hpp"
#include "../framework/class_scores.hpp"
#include "../framework/geometry.hpp"
#include "../framework/ranking.hpp"
#include "../framework/screen.hpp"
#include "candidate_nms.hpp"

namespace quelt {

std::vector<std::vector<object_detection>> process_yolo_sealed_output_detections(
    float* sealed_output, std::int64_t boxes_count, std::int64_t batch_size, std::int32_t classes,
    float* conf_thresholds, float* nms_thresholds, std::int32_t width, std::int32_t height) {
  return detail::decode_sealed_rows(sealed_output, boxes_count, batch_size, classes,
                                    conf_thresholds, nms_thresholds, width, height, nullptr);
}

std::vector<std::vector<object_detection>> detail::decode_sealed_rows(
    float* sealed_output, std::int64_t boxes_count, std::int64_t batch_size, std::int32_t classes,
    const float* conf_thresholds, const float* nms_thresholds, std::int32_t width,
    std::int32_t height, std::vector<std::vector<std::int64_t>>* sources) {
  // A negative image count fails here with the standard length error (the
  // size converts to a huge unsigned value), before the tensor is touched.
  std::vector<std::vector<object_detection>> result;
  if (batch_size != 0) {
    result.reserve(static_cast<std::size_t>(batch_size));
  }
  // A row count no tensor in memory could back fails here, before any row is
  // read: a negative one with the standard length error (the size converts to
  // a huge unsigned value, which reserve refuses), an absurdly large one with
  // the allocator's failure to hold one pointer per row. Below that size
  // (tensors under about 400 MB) the lists grow with the rows that pass, not
  // with the tensor.
  constexpr std::int64_t rows_reserved_from = std::int64_t{1} << 24;
  std::vector<float*> rows;
  if (batch_size > 0 && (boxes_count < 0 || boxes_count > rows_reserved_from)) {
    rows.reserve(static_cast<std::size_t>(boxes_count));
  }
  std::vector<std::int64_t> row_index;
  if (sources != nullptr) {
    sources->assign(static_cast<std::size_t>(batch_size), {});
  }

  const std::int64_t row_size = std::int64_t{classes} + 5;
  const float net_width = static_cast<float>(width);
  const float net_height = static_cast<float>(height);
  detail::candidate_nms_workspace workspace;
  std::vector<float> objectness;
  std::vector<std::uint32_t> order;
  std::vector<std::uint64_t> scratch;
  std::vector<std::uint32_t> holder_start;
  // The classes each passing row holds, row after row: the first `held_total`
  // entries. Kept with room for one more row's classes, so threshold_products
  // writes into it directly.
  std::vector<std::uint32_t> holder_class;
  const auto row_classes = static_cast<std::size_t>(std::max(classes, 0));
  std::size_t held_total = 0;
  for (std::int64_t i = 0; i < batch_size; ++i) {
    const float threshold = conf_thresholds[i];
    rows.clear();
    row_index.clear();
    objectness.clear();
    holder_start.clear();
    held_total = 0;
    // With no rows the tensor may be null: form no pointer into it.
    if (boxes_count > 0) {
      float* image = sealed_output + i * boxes_count * row_size;
      sorvanta::framework::screen_rows(
          image + 4, static_cast<std::uint64_t>(boxes_count), static_cast<std::size_t>(row_size),
          [threshold](float object) { return object > threshold; },
          [&](std::uint64_t r) {
            float* row = image + static_cast<std::int64_t>(r) * row_size;
            const float object = row[4];
            holder_start.push_back(static_cast<std::uint32_t>(held_total));
            if (holder_class.size() < held_total + row_classes) {
              holder_class.resize(std::max(2 * holder_class.size(), held_total + row_classes));
            }
            // Scoring in place: each class score becomes objectness x score,
            // or 0 where that product does not pass.
            held_total += sorvanta::framework::threshold_products(
                row + 5, row + 5, classes, object, threshold, holder_class.data() + held_total);
            rows.push_back(row);
            if (sources != nullptr) {
              row_index.push_back(static_cast<std::int64_t>(r));
            }
            objectness.push_back(object);
          });
    }
    holder_start.push_back(static_cast<std::uint32_t>(held_total));

    // Rank once by objectness; every class pass would sort to this order.
    sorvanta::framework::rank_descending(objectness, order, scratch);
    workspace.rows.clear();
    workspace.holders.clear();
    workspace.rows.reserve(order.size());
    workspace.holders.reserve(held_total);
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
    records.reserve(order.size());
    for (std::uint32_t rank = 0; rank < order.size(); ++rank) {
      const std::uint32_t c = order[rank];
      const float* r = rows[c];
      std::int32_t best = 0;
      float score = 0.0f;
      if (sorvanta::framework::best_held_class(r + 5, holder_class.data() + holder_start[c],
                                               holder_start[c + 1] - holder_start[c], classes, best,
                                               score)) {
        records.push_back(sorvanta::framework::fraction_record(workspace.boxes[rank], net_width,
                                                               net_height, best, r[4], score));
        if (sources != nullptr) {
          (*sources)[static_cast<std::size_t>(i)].push_back(row_index[c]);
        }
      }
    }
    // The stored lists keep no spare room.
    records.shrink_to_fit();
    result.push_back(std::move(records));
  }
  return result;
}

}  // namespace quelt
