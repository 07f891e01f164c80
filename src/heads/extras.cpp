#include "extras.hpp"

#include "../framework/logistic.hpp"
#include "decoder.hpp"

namespace quelt::heads {

namespace {

template <class Struct>
extras_rule rule_of(const Struct& s) {
  extras_rule rule;
  rule.count = s.extras_count;
  rule.keypoints = s.keypoint_count;
  rule.values = s.keypoint_count > 0 ? s.keypoint_values : 3;
  rule.logit_visibility = s.keypoint_coding == QUELT_SCORES_LOGITS;
  rule.grid = s.keypoint_form == QUELT_KEYPOINTS_GRID;
  return rule;
}

}  // namespace

extras_rule extras_rule_of(const quelt_layout& layout) {
  return rule_of(layout);
}

extras_rule extras_rule_of(const quelt_levels& levels) {
  return rule_of(levels);
}

cell_place place_of(const quelt_levels& levels, std::int64_t candidate) {
  std::int64_t l = 0;
  for (; l + 1 < levels.level_count; ++l) {
    const std::int64_t cells = levels.levels[l].height * levels.levels[l].width;
    if (candidate < cells) {
      break;
    }
    candidate -= cells;
  }
  const quelt_level& level = levels.levels[l];
  return cell_place{l, candidate / level.width, candidate % level.width,
                    static_cast<float>(level.stride)};
}

void append_extras(const quelt_layout& layout, std::int64_t b, std::int64_t candidate,
                   std::vector<float>& extras) {
  const element_view view(layout.extras, layout.extras_element);
  for (std::int32_t c = 0; c < layout.extras_count; ++c) {
    extras.push_back(view.value(b, candidate, c));
  }
}

void append_extras(const quelt_levels& levels, std::int64_t b, const cell_place& place,
                   std::vector<float>& extras) {
  const grid_reader view(levels.extras[place.level]);
  for (std::int32_t c = 0; c < levels.extras_count; ++c) {
    extras.push_back(view.value(b, place.y, place.x, c));
  }
}

void append_keypoints(const extras_rule& rule, const float* extras, const cell_place& place,
                      std::vector<float>& keypoints) {
  const auto gx = static_cast<float>(place.x);
  const auto gy = static_cast<float>(place.y);
  for (std::int32_t k = 0; k < rule.keypoints; ++k) {
    const float* v = extras + static_cast<std::ptrdiff_t>(k) * rule.values;
    float x = v[0];
    float y = v[1];
    if (rule.grid) {
      x = (x * 2.0f + gx) * place.stride;
      y = (y * 2.0f + gy) * place.stride;
    }
    float visibility = 1.0f;
    if (rule.values == 3) {
      visibility = rule.logit_visibility ? fw::logistic(v[2]) : v[2];
    }
    keypoints.push_back(x);
    keypoints.push_back(y);
    keypoints.push_back(visibility);
  }
}

namespace {

// Per image, per record: its extras read at its place, then its keypoints
// decoded from them.
template <class Extras, class Place>
void fill(const extras_rule& rule, fw::detailed_detections& batch, Extras&& read_extras,
          Place&& place_of_source) {
  if (!rule.any()) {
    return;
  }
  batch.extras_per_record = rule.count;
  batch.keypoints_per_record = rule.keypoints;
  batch.extras.assign(batch.records.size(), {});
  batch.keypoints.assign(batch.records.size(), {});
  for (std::size_t b = 0; b < batch.records.size(); ++b) {
    const std::vector<std::int64_t>& sources = batch.sources[b];
    std::vector<float>& extras = batch.extras[b];
    std::vector<float>& points = batch.keypoints[b];
    extras.reserve(sources.size() * static_cast<std::size_t>(rule.count));
    points.reserve(sources.size() * static_cast<std::size_t>(rule.keypoints) * 3);
    for (std::size_t r = 0; r < sources.size(); ++r) {
      const auto image = static_cast<std::int64_t>(b);
      const cell_place place = place_of_source(sources[r]);
      read_extras(image, sources[r], place, extras);
      if (rule.keypoints > 0) {
        append_keypoints(rule, extras.data() + r * static_cast<std::size_t>(rule.count), place,
                         points);
      }
    }
  }
}

}  // namespace

void add_extras(const quelt_layout& layout, fw::detailed_detections& batch) {
  fill(
      extras_rule_of(layout), batch,
      [&](std::int64_t b, std::int64_t candidate, const cell_place&, std::vector<float>& out) {
        append_extras(layout, b, candidate, out);
      },
      [](std::int64_t) {
        return cell_place{0, 0, 0, 0.0f};
      });
}

void add_extras(const quelt_levels& levels, fw::detailed_detections& batch) {
  fill(
      extras_rule_of(levels), batch,
      [&](std::int64_t b, std::int64_t, const cell_place& place, std::vector<float>& out) {
        append_extras(levels, b, place, out);
      },
      [&](std::int64_t candidate) { return place_of(levels, candidate); });
}

}  // namespace quelt::heads
