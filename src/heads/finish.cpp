#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "../framework/geometry.hpp"
#include "decoder.hpp"
#include "extras.hpp"
#include "heads_decode.hpp"

namespace quelt::heads {

namespace {

fw::corner_box box_of(const quelt_layout& layout, std::int64_t image, std::int64_t candidate) {
  float v[4];
  if (layout.boxes_element.type == QUELT_ELEMENT_FLOAT32) {
    const float* f = at(layout.boxes, image, candidate, 0);
    const std::int64_t s = layout.boxes.component_stride;
    v[0] = f[0];
    v[1] = f[s];
    v[2] = f[2 * s];
    v[3] = f[3 * s];
  } else {
    const element_view boxes(layout.boxes, layout.boxes_element);
    for (int c = 0; c < 4; ++c) {
      v[c] = boxes.value(image, candidate, c);
    }
  }
  if (layout.box_coding == QUELT_BOX_CENTRE_SIZE) {
    return fw::centre_to_corners(v[0], v[1], v[2], v[3]);
  }
  return fw::make_corner_box(v[0], v[1], v[2], v[3]);
}

// A rotated box as decoded: the four box values and the angle, turned into
// radians clockwise on the image (one single-precision product for degrees).
fw::rotated_box rotated_of(const quelt_layout& layout, std::int64_t image, std::int64_t candidate) {
  const element_view boxes(layout.boxes, layout.boxes_element);
  const element_view angles(layout.angles, layout.angles_element);
  float angle = angles.value(image, candidate, 0);
  if ((layout.angle_flags & QUELT_ANGLE_DEGREES) != 0) {
    angle = angle * fw::radians_per_degree;
  }
  if ((layout.angle_flags & QUELT_ANGLE_COUNTERCLOCKWISE) != 0) {
    angle = -angle;
  }
  return fw::rotated_box{boxes.value(image, candidate, 0), boxes.value(image, candidate, 1),
                         boxes.value(image, candidate, 2), boxes.value(image, candidate, 3), angle};
}

}  // namespace

// The boxes of the hits of quelt_decode, read in candidate order, which
// walks the tensor forwards.
void decoder::read_boxes(std::int64_t b) {
  candidate_boxes_.resize(hits_.size());
  if (is_rotated_) {
    candidate_rotated_.resize(hits_.size());
    for (std::size_t i = 0; i < hits_.size(); ++i) {
      candidate_rotated_[i] = rotated_of(layout_, b, hits_[i].candidate);
      candidate_boxes_[i] = fw::rotated_bounds(candidate_rotated_[i]);
    }
    return;
  }
  for (std::size_t i = 0; i < hits_.size(); ++i) {
    candidate_boxes_[i] = box_of(layout_, b, hits_[i].candidate);
  }
}

// Ranking, suppression and records of the hits, whose boxes the gatherer
// left in candidate_boxes_ (one per hit, in hit order).
std::vector<object_detection> decoder::finish(std::int64_t b) {
  const std::size_t count = hits_.size();
  keys_.resize(count);
  boxes_.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    keys_[i] = hits_[i].score;
  }
  fw::rank_descending(keys_, order_, scratch_);
  for (std::size_t i = 0; i < count; ++i) {
    boxes_[i] = candidate_boxes_[order_[i]];
  }
  if (is_rotated_) {
    rotated_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      rotated_[i] = candidate_rotated_[order_[i]];
    }
  }
  const std::size_t cap =
      options_.max_detections > 0 ? static_cast<std::size_t>(options_.max_detections) : count;
  // Whether a record survives depends only on the records ranked above it,
  // so with a cap the suppression runs on a prefix of the ranking, doubled
  // until it keeps `cap` records or holds them all.
  std::size_t prefix = cap < count ? std::max<std::size_t>(2 * cap, 64) : count;
  std::size_t kept = 0;
  for (;;) {
    prefix = std::min(prefix, count);
    removed_.assign(prefix, 0);
    if (layout_.candidate_kind == QUELT_CANDIDATES_RAW && prefix > 1 &&
        fw::can_suppress(options_.iou_thresholds[b], fw::suppression_rule::above)) {
      suppress(options_.iou_thresholds[b], prefix);
    }
    kept = 0;
    for (std::size_t i = 0; i < prefix; ++i) {
      kept += removed_[i] == 0 ? 1 : 0;
    }
    if (kept >= cap || prefix == count) {
      break;
    }
    prefix *= 2;
  }
  std::vector<object_detection> records;
  records.reserve(std::min(kept, cap));
  sources_.clear();
  network_boxes_.clear();
  rotated_records_.clear();
  for (std::size_t i = 0; i < prefix && records.size() < cap; ++i) {
    if (removed_[i] == 0) {
      records.push_back(record(b, hits_[order_[i]], boxes_[i]));
      if (details_) {
        sources_.push_back(hits_[order_[i]].candidate);
        network_boxes_.push_back(boxes_[i]);
      }
      if (is_rotated_) {
        rotated_records_.push_back(rotated_record(b, hits_[order_[i]], rotated_[i]));
      }
    }
  }
  return records;
}

// Moves image b's records, and what the details keep of them, into `out`.
void decoder::publish(std::int64_t b, std::vector<object_detection> records,
                      detailed_detections& out) {
  const auto image = static_cast<std::size_t>(b);
  out.records[image] = std::move(records);
  if (details_) {
    out.sources[image] = std::move(sources_);
    out.network_boxes[image] = std::move(network_boxes_);
    sources_.clear();
    network_boxes_.clear();
  }
  if (is_rotated_) {
    out.rotated_records[image] = std::move(rotated_records_);
    rotated_records_.clear();
  }
}

detailed_detections empty_batch(std::int64_t images, const quelt_decode_options& options) {
  detailed_detections result(static_cast<std::size_t>(images));
  result.network_width = options.network_width;
  result.network_height = options.network_height;
  if (options.geometry != nullptr) {
    result.original_pixels = true;
    result.geometry.assign(options.geometry, options.geometry + images);
  } else if (options.details != 0) {
    // The geometry quelt_map_detections may record later goes here, so that
    // mapping keeps the batch's blocks as they were.
    result.geometry.resize(static_cast<std::size_t>(images));
  }
  return result;
}

// Suppression among the first `count` records of the ranking.
// A box with a NaN bound has a NaN IoU with every box, which no threshold
// test passes: it is never removed and removes nothing, so it stays out of
// suppression (where a negative threshold would let an overlap of 0 count).
static bool has_nan_bound(const fw::corner_box& box) {
  return box.x_min != box.x_min || box.y_min != box.y_min || box.x_max != box.x_max ||
         box.y_max != box.y_max;
}

void decoder::suppress(float threshold, std::size_t count) {
  // Agnostic suppression is class-wise suppression with one class.
  const bool agnostic = options_.agnostic != 0;
  const std::size_t classes = agnostic ? 1 : static_cast<std::size_t>(layout_.classes);
  members_.clear();
  if (is_rotated_) {
    // Boxes with a non-finite value or a negative size neither suppress nor
    // are suppressed, as boxes with a NaN bound.
    for (std::size_t i = 0; i < count; ++i) {
      if (fw::rotated_valid(rotated_[i])) {
        members_.push_back(fw::class_member{agnostic ? 0u : hits_[order_[i]].class_index,
                                            static_cast<std::uint32_t>(i)});
      }
    }
    fw::suppress_by_class(
        members_, classes, threshold, fw::suppression_rule::above, nms_,
        [this](const fw::class_member& m) { return rotated_[m.item]; }, fw::keep_order{},
        [this](const fw::class_member& m) { removed_[m.item] = 1; },
        layout_.rotated_overlap == QUELT_OVERLAP_PROBABILISTIC ? fw::rotated_measure::probabilistic
                                                               : fw::rotated_measure::exact);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!has_nan_bound(boxes_[i])) {
      members_.push_back(fw::class_member{agnostic ? 0u : hits_[order_[i]].class_index,
                                          static_cast<std::uint32_t>(i)});
    }
  }
  fw::suppress_by_class(
      members_, classes, threshold, fw::suppression_rule::above, nms_,
      [this](const fw::class_member& m) { return boxes_[m.item]; }, fw::keep_order{},
      [this](const fw::class_member& m) { removed_[m.item] = 1; });
}

object_detection decoder::record(std::int64_t b, const hit& h, const fw::corner_box& box) const {
  const auto class_id = static_cast<std::int32_t>(h.class_index);
  if (options_.geometry != nullptr) {
    return fw::original_record(box, options_.geometry[b], class_id, h.objectness, h.score);
  }
  return fw::fraction_record(box, static_cast<float>(options_.network_width),
                             static_cast<float>(options_.network_height), class_id, h.objectness,
                             h.score);
}

// A rotated record: in record form, in network-input pixels, or mapped to the
// original image with geometry.
quelt_rotated_detection decoder::rotated_record(std::int64_t b, const hit& h,
                                                const fw::rotated_box& box) const {
  fw::rotated_box out;
  if (options_.geometry != nullptr) {
    const quelt_image_geometry& g = options_.geometry[b];
    out = fw::map_rotated(box, g.scale_x, g.scale_y, g.pad_x, g.pad_y);
  } else {
    out = fw::rotated_record_form(box);
  }
  return quelt_rotated_detection{
      out.cx, out.cy, out.w, out.h, out.angle, static_cast<std::int32_t>(h.class_index), h.score};
}

detailed_detections decode(const quelt_layout& layout, const quelt_decode_options& options) {
  detailed_detections result = empty_batch(layout.batch, options);
  result.rotated = layout.box_coding == QUELT_BOX_ROTATED;
  if (layout.candidates > 0) {
    decoder images(layout, options);
    for (std::int64_t b = 0; b < layout.batch; ++b) {
      images.publish(b, images.image(b), result);
    }
  }
  add_extras(layout, result);
  return result;
}

}  // namespace quelt::heads
