// The heads entry written out literally: every candidate and every class
// looked at, the logistic applied to every value it needs, an insertion sort
// and all-pairs suppression.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "framework/exponential.hpp"
#include "reference/reference.hpp"

namespace quelt_reference {

namespace {

float sigmoid(float v) {
  return 1.0f / (sorvanta::framework::rounded_exp(-v) + 1.0f);  // the single-precision exponential
}

struct heads_record {
  std::int64_t candidate;
  std::int32_t class_id;
  float score;
  float objectness;
  float x0, y0, x1, y1;  // network-input pixels
  rotated turned;        // rotated boxes only
};

float value_at(const quelt_view& view, std::int64_t b, std::int64_t n, std::int64_t c) {
  return view.data[b * view.image_stride + n * view.candidate_stride + c * view.component_stride];
}

bool class_allowed(const quelt_decode_options& options, std::int64_t k) {
  if (options.classes_allowed == nullptr) {
    return true;
  }
  for (std::int64_t i = 0; i < options.classes_allowed_count; ++i) {
    if (options.classes_allowed[i] == k) {
      return true;
    }
  }
  return false;
}

bool has_nan_bound(const heads_record& r) {
  return std::isnan(r.x0) || std::isnan(r.y0) || std::isnan(r.x1) || std::isnan(r.y1);
}

// Intersection over union of `kept` and `box`; on equal or unordered bounds
// the kept box's bound is taken. NaN when either box has a NaN bound.
float iou(const heads_record& kept, const heads_record& box) {
  if (has_nan_bound(kept) || has_nan_bound(box)) {
    return std::numeric_limits<float>::quiet_NaN();
  }
  const float kept_area = (kept.x1 - kept.x0) * (kept.y1 - kept.y0);
  const float box_area = (box.x1 - box.x0) * (box.y1 - box.y0);
  const float left = kept.x0 > box.x0 ? kept.x0 : box.x0;
  const float right = kept.x1 < box.x1 ? kept.x1 : box.x1;
  const float top = kept.y0 > box.y0 ? kept.y0 : box.y0;
  const float bottom = kept.y1 < box.y1 ? kept.y1 : box.y1;
  if (left >= right || top >= bottom) {
    return 0.0f;
  }
  const float inter = (right - left) * (bottom - top);
  return inter / ((kept_area + box_area) - inter);
}

float clip(float value, float extent) {
  if (value < 0.0f) {
    return 0.0f;
  }
  if (value > extent) {
    return extent;
  }
  return value;
}

// A view's `components` values per candidate, copied as floats.
quelt_view converted_view(const quelt_view& view, const quelt_element& element, std::int64_t images,
                          std::int64_t candidates, std::int64_t components,
                          std::vector<float>& storage) {
  storage.clear();
  const std::int64_t bytes =
      element.type == QUELT_ELEMENT_FLOAT32
          ? 4
          : (element.type == QUELT_ELEMENT_INT8 || element.type == QUELT_ELEMENT_UINT8 ? 1 : 2);
  for (std::int64_t b = 0; b < images; ++b) {
    for (std::int64_t n = 0; n < candidates; ++n) {
      for (std::int64_t c = 0; c < components; ++c) {
        const std::int64_t index =
            b * view.image_stride + n * view.candidate_stride + c * view.component_stride;
        storage.push_back(
            element_value(element, reinterpret_cast<const char*>(view.data) + index * bytes));
      }
    }
  }
  storage.push_back(0.0f);  // never read: keeps the data non-null
  return quelt_view{storage.data(), candidates * components, components, 1};
}

}  // namespace

float element_value(const quelt_element& element, const void* address) {
  const auto* p = static_cast<const unsigned char*>(address);
  std::uint16_t half = 0;
  if (element.type != QUELT_ELEMENT_INT8 && element.type != QUELT_ELEMENT_UINT8) {
    std::memcpy(&half, p, 2);  // 16-bit types (a float32 is read below)
  }
  switch (element.type) {
    case QUELT_ELEMENT_FLOAT16: {
      // (-1)^sign x 2^(exponent - 15) x 1.mantissa; exponent 0: 2^-14 x 0.mantissa.
      const int exponent = (half >> 10) & 31;
      const int mantissa = half & 1023;
      double value = 0.0;
      if (exponent == 31 && mantissa != 0) {
        // NaN keeps its sign and payload, in the float's upper mantissa bits.
        const std::uint32_t bits = (static_cast<std::uint32_t>(half & 0x8000) << 16) | 0x7f800000u |
                                   (static_cast<std::uint32_t>(mantissa) << 13);
        float nan;
        std::memcpy(&nan, &bits, 4);
        return nan;
      }
      if (exponent == 31) {
        value = std::numeric_limits<double>::infinity();
      } else if (exponent == 0) {
        value = std::ldexp(static_cast<double>(mantissa), -24);
      } else {
        value = std::ldexp(static_cast<double>(1024 + mantissa), exponent - 25);
      }
      return static_cast<float>((half & 0x8000) != 0 ? -value : value);
    }
    case QUELT_ELEMENT_BFLOAT16: {
      const std::uint32_t bits = static_cast<std::uint32_t>(half) << 16;
      float value;
      std::memcpy(&value, &bits, 4);
      return value;
    }
    case QUELT_ELEMENT_INT8:
      return static_cast<float>(static_cast<std::int8_t>(p[0]) - element.zero_point) *
             element.scale;
    case QUELT_ELEMENT_UINT8:
      return static_cast<float>(p[0] - element.zero_point) * element.scale;
    case QUELT_ELEMENT_INT16:
      return static_cast<float>(static_cast<std::int16_t>(half) - element.zero_point) *
             element.scale;
    case QUELT_ELEMENT_UINT16:
      return static_cast<float>(half - element.zero_point) * element.scale;
    default: {
      float value;
      std::memcpy(&value, p, 4);
      return value;
    }
  }
}

quelt_layout converted_layout(const quelt_layout& layout,
                              std::vector<std::vector<float>>& storage) {
  quelt_layout converted = layout;
  storage.resize(5);
  const bool raw = layout.candidate_kind == QUELT_CANDIDATES_RAW;
  converted.boxes = converted_view(layout.boxes, layout.boxes_element, layout.batch,
                                   layout.candidates, 4, storage[0]);
  if (layout.objectness.data != nullptr) {
    converted.objectness = converted_view(layout.objectness, layout.objectness_element,
                                          layout.batch, layout.candidates, 1, storage[1]);
  }
  converted.scores = converted_view(layout.scores, layout.scores_element, layout.batch,
                                    layout.candidates, raw ? layout.classes : 2, storage[2]);
  if (layout.extras_count > 0) {
    converted.extras = converted_view(layout.extras, layout.extras_element, layout.batch,
                                      layout.candidates, layout.extras_count, storage[3]);
  }
  if (layout.box_coding == QUELT_BOX_ROTATED) {
    converted.angles = converted_view(layout.angles, layout.angles_element, layout.batch,
                                      layout.candidates, 1, storage[4]);
    converted.angles_element = quelt_element{};
  }
  converted.boxes_element = quelt_element{};
  converted.objectness_element = quelt_element{};
  converted.scores_element = quelt_element{};
  converted.extras_element = quelt_element{};
  return converted;
}

namespace {

// Every candidate's keypoints in network-input pixels (the layout's pixel
// form), K x 3 per candidate, image after image.
std::vector<float> pixel_keypoints(const quelt_layout& layout) {
  std::vector<float> all;
  const std::int64_t values = layout.keypoint_values;
  for (std::int64_t b = 0; b < layout.batch; ++b) {
    for (std::int64_t n = 0; n < layout.candidates; ++n) {
      for (std::int64_t k = 0; k < layout.keypoint_count; ++k) {
        all.push_back(value_at(layout.extras, b, n, k * values));
        all.push_back(value_at(layout.extras, b, n, k * values + 1));
        float v = 1.0f;
        if (values == 3) {
          v = value_at(layout.extras, b, n, k * values + 2);
          if (layout.keypoint_coding == QUELT_SCORES_LOGITS) {
            v = sigmoid(v);
          }
        }
        all.push_back(v);
      }
    }
  }
  return all;
}

details decode_with_keypoints(const quelt_layout& layout, const quelt_decode_options& options,
                              const std::vector<float>& keypoints);

}  // namespace

namespace {

// The records of a details batch, and their sources and rotated records
// when asked.
detections records_of(const details& found, sources_list* sources,
                      rotated_list* rotated_records = nullptr) {
  detections result;
  if (sources != nullptr) {
    sources->clear();
  }
  if (rotated_records != nullptr) {
    rotated_records->clear();
  }
  for (const details_image& image : found) {
    result.push_back(image.records);
    if (sources != nullptr) {
      sources->push_back(image.sources);
    }
    if (rotated_records != nullptr) {
      rotated_records->push_back(image.rotated);
    }
  }
  return result;
}

}  // namespace

detections decode_heads(const quelt_layout& given, const quelt_decode_options& options,
                        sources_list* sources, rotated_list* rotated_out) {
  return records_of(decode_heads_details(given, options), sources, rotated_out);
}

details decode_heads_details(const quelt_layout& given, const quelt_decode_options& options) {
  std::vector<std::vector<float>> storage;
  const quelt_layout layout = converted_layout(given, storage);
  return decode_with_keypoints(layout, options, pixel_keypoints(layout));
}

namespace {

details decode_with_keypoints(const quelt_layout& layout, const quelt_decode_options& options,
                              const std::vector<float>& all_keypoints) {
  const bool logits = layout.score_coding == QUELT_SCORES_LOGITS;
  const bool end_to_end = layout.candidate_kind == QUELT_CANDIDATES_END_TO_END;
  const bool has_objectness = layout.objectness.data != nullptr;
  details result;
  for (std::int64_t b = 0; b < layout.batch; ++b) {
    const float threshold = options.score_thresholds[b];
    std::vector<heads_record> records;
    for (std::int64_t n = 0; n < layout.candidates; ++n) {
      heads_record box{};
      box.candidate = n;
      const float v0 = value_at(layout.boxes, b, n, 0);
      const float v1 = value_at(layout.boxes, b, n, 1);
      const float v2 = value_at(layout.boxes, b, n, 2);
      const float v3 = value_at(layout.boxes, b, n, 3);
      if (layout.box_coding == QUELT_BOX_ROTATED) {
        float angle = value_at(layout.angles, b, n, 0);
        if (layout.angle_flags & QUELT_ANGLE_DEGREES) {
          angle = angle * static_cast<float>(3.14159265358979323846 / 180);
        }
        if (layout.angle_flags & QUELT_ANGLE_COUNTERCLOCKWISE) {
          angle = -angle;
        }
        box.turned = rotated{v0, v1, v2, v3, angle};
        rotated_bounds(box.turned, box.x0, box.y0, box.x1, box.y1);
      } else if (layout.box_coding == QUELT_BOX_CENTRE_SIZE) {
        box.x0 = v0 - v2 * 0.5f;
        box.y0 = v1 - v3 * 0.5f;
        box.x1 = v0 + v2 * 0.5f;
        box.y1 = v1 + v3 * 0.5f;
      } else {
        box.x0 = v0;
        box.y0 = v1;
        box.x1 = v2;
        box.y1 = v3;
      }
      float objectness = 1.0f;
      if (has_objectness) {
        objectness = value_at(layout.objectness, b, n, 0);
        if (logits) {
          objectness = sigmoid(objectness);
        }
      }
      box.objectness = objectness;

      if (end_to_end) {
        float score = value_at(layout.scores, b, n, 0);
        if (logits) {
          score = sigmoid(score);
        }
        score = objectness * score;
        const float class_value = value_at(layout.scores, b, n, 1);
        if (!(score > threshold)) {
          continue;
        }
        if (!(class_value >= 0.0f) || !(class_value < 2147483648.0f) ||
            std::floor(class_value) != class_value) {
          continue;
        }
        const std::int64_t k = static_cast<std::int64_t>(class_value);
        if ((layout.classes > 0 && k >= layout.classes) || !class_allowed(options, k)) {
          continue;
        }
        box.class_id = static_cast<std::int32_t>(k);
        box.score = score;
        records.push_back(box);
        continue;
      }

      if (has_objectness && !(objectness > threshold)) {
        continue;
      }
      bool found = false;
      heads_record best = box;
      for (std::int32_t k = 0; k < layout.classes; ++k) {
        float score = value_at(layout.scores, b, n, k);
        if (logits) {
          score = sigmoid(score);
        }
        score = objectness * score;
        if (!(score > threshold) || !class_allowed(options, k)) {
          continue;
        }
        heads_record record = box;
        record.class_id = k;
        record.score = score;
        if (options.multi_label != 0) {
          records.push_back(record);
        } else if (!found || score > best.score) {
          best = record;
          found = true;
        }
      }
      if (options.multi_label == 0 && found) {
        records.push_back(best);
      }
    }

    // Insertion sort by descending score; equal scores keep their order.
    for (std::size_t i = 1; i < records.size(); ++i) {
      for (std::size_t j = i; j > 0 && records[j].score > records[j - 1].score; --j) {
        const heads_record swap = records[j];
        records[j] = records[j - 1];
        records[j - 1] = swap;
      }
    }

    std::vector<bool> removed(records.size(), false);
    if (!end_to_end) {
      const float limit = options.iou_thresholds[b];
      for (std::size_t i = 0; i < records.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
          if (removed[j]) {
            continue;
          }
          if (options.agnostic == 0 && records[j].class_id != records[i].class_id) {
            continue;
          }
          if (layout.box_coding == QUELT_BOX_ROTATED) {
            if (!rotated_takes_part(records[j].turned) || !rotated_takes_part(records[i].turned)) {
              continue;
            }
            const float overlap =
                layout.rotated_overlap == QUELT_OVERLAP_PROBABILISTIC
                    ? rotated_probabilistic_iou(records[j].turned, records[i].turned)
                    : rotated_iou(records[j].turned, records[i].turned);
            if (overlap > limit) {
              removed[i] = true;
              break;
            }
            continue;
          }
          if (iou(records[j], records[i]) > limit) {
            removed[i] = true;
            break;
          }
        }
      }
    }

    details_image found;
    std::vector<object_detection>& image = found.records;
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (removed[i]) {
        continue;
      }
      if (options.max_detections > 0 &&
          image.size() == static_cast<std::size_t>(options.max_detections)) {
        break;
      }
      const std::int64_t n = records[i].candidate;
      found.sources.push_back(n);
      for (std::int64_t c = 0; c < layout.extras_count; ++c) {
        found.extras.push_back(value_at(layout.extras, b, n, c));
      }
      for (std::int64_t k = 0; k < layout.keypoint_count; ++k) {
        const float* p = &all_keypoints[static_cast<std::size_t>(
            ((b * layout.candidates + n) * layout.keypoint_count + k) * 3)];
        if (options.geometry == nullptr) {
          found.keypoints.push_back(p[0] / static_cast<float>(options.network_width));
          found.keypoints.push_back(p[1] / static_cast<float>(options.network_height));
        } else {
          const quelt_image_geometry& g = options.geometry[b];
          found.keypoints.push_back(clip((p[0] - g.pad_x) / g.scale_x, g.original_width));
          found.keypoints.push_back(clip((p[1] - g.pad_y) / g.scale_y, g.original_height));
        }
        found.keypoints.push_back(p[2]);
        found.keypoint_pixels.insert(found.keypoint_pixels.end(), p, p + 3);
      }
      const heads_record& r = records[i];
      object_detection d{};
      if (options.geometry == nullptr) {
        const float w = static_cast<float>(options.network_width);
        const float h = static_cast<float>(options.network_height);
        d.x_min = r.x0 / w;
        d.y_min = r.y0 / h;
        d.x_max = r.x1 / w;
        d.y_max = r.y1 / h;
      } else {
        const quelt_image_geometry& g = options.geometry[b];
        d.x_min = clip((r.x0 - g.pad_x) / g.scale_x, g.original_width);
        d.y_min = clip((r.y0 - g.pad_y) / g.scale_y, g.original_height);
        d.x_max = clip((r.x1 - g.pad_x) / g.scale_x, g.original_width);
        d.y_max = clip((r.y1 - g.pad_y) / g.scale_y, g.original_height);
      }
      d.class_id = r.class_id;
      d.objectness = r.objectness;
      d.probability = r.score;
      image.push_back(d);
      if (layout.box_coding == QUELT_BOX_ROTATED) {
        const rotated t = options.geometry != nullptr
                              ? rotated_mapped(r.turned, options.geometry[b])
                              : rotated_record_form(r.turned);
        found.rotated.push_back(
            quelt_rotated_detection{t.cx, t.cy, t.w, t.h, t.angle, r.class_id, r.score});
      }
    }
    result.push_back(found);
  }
  return result;
}

}  // namespace

detections map_detections(const detections& batch, std::int32_t network_width,
                          std::int32_t network_height, const quelt_image_geometry* geometry,
                          std::int32_t max_detections, sources_list* sources,
                          rotated_list* rotated_records) {
  details plain;
  for (std::size_t b = 0; b < batch.size(); ++b) {
    plain.push_back(details_image{batch[b],
                                  sources != nullptr ? (*sources)[b] : std::vector<std::int64_t>{},
                                  {},
                                  {},
                                  {},
                                  rotated_records != nullptr
                                      ? (*rotated_records)[b]
                                      : std::vector<quelt_rotated_detection>{}});
  }
  return records_of(map_details(plain, network_width, network_height, geometry, max_detections),
                    sources, rotated_records);
}

details map_details(const details& batch, std::int32_t network_width, std::int32_t network_height,
                    const quelt_image_geometry* geometry, std::int32_t max_detections) {
  details result;
  for (std::size_t b = 0; b < batch.size(); ++b) {
    const std::vector<object_detection>& records = batch[b].records;
    const std::size_t extras = records.empty() ? 0 : batch[b].extras.size() / records.size();
    const std::size_t keypoints = records.empty() ? 0 : batch[b].keypoints.size() / records.size();
    // A record stays when fewer than max_detections records rank above it:
    // a higher probability, or an equal one earlier (NaN ranks lowest).
    details_image image;
    for (std::size_t i = 0; i < records.size(); ++i) {
      std::size_t above = 0;
      for (std::size_t j = 0; j < records.size(); ++j) {
        const float p = records[j].probability;
        const float q = records[i].probability;
        const bool higher =
            std::isnan(q) ? (!std::isnan(p) || j < i) : (p > q || (p == q && j < i));
        if (j != i && higher) {
          ++above;
        }
      }
      if (max_detections > 0 && above >= static_cast<std::size_t>(max_detections)) {
        continue;
      }
      if (!batch[b].rotated.empty()) {
        quelt_rotated_detection t = batch[b].rotated[i];
        if (geometry != nullptr) {
          const rotated m =
              rotated_mapped(rotated{t.cx, t.cy, t.width, t.height, t.angle}, geometry[b]);
          t = quelt_rotated_detection{m.cx, m.cy, m.w, m.h, m.angle, t.class_id, t.probability};
        }
        image.rotated.push_back(t);
      }
      object_detection d = records[i];
      const float w = static_cast<float>(network_width);
      const float h = static_cast<float>(network_height);
      if (geometry != nullptr) {
        const quelt_image_geometry& g = geometry[b];
        d.x_min = clip((d.x_min * w - g.pad_x) / g.scale_x, g.original_width);
        d.y_min = clip((d.y_min * h - g.pad_y) / g.scale_y, g.original_height);
        d.x_max = clip((d.x_max * w - g.pad_x) / g.scale_x, g.original_width);
        d.y_max = clip((d.y_max * h - g.pad_y) / g.scale_y, g.original_height);
      }
      image.records.push_back(d);
      if (!batch[b].sources.empty()) {
        image.sources.push_back(batch[b].sources[i]);
      }
      for (std::size_t c = 0; c < extras; ++c) {
        image.extras.push_back(batch[b].extras[i * extras + c]);
      }
      for (std::size_t k = 0; k < keypoints; k += 3) {
        const float* pixels = &batch[b].keypoint_pixels[i * keypoints + k];
        float x = batch[b].keypoints[i * keypoints + k];
        float y = batch[b].keypoints[i * keypoints + k + 1];
        if (geometry != nullptr) {
          const quelt_image_geometry& g = geometry[b];
          x = clip((pixels[0] - g.pad_x) / g.scale_x, g.original_width);
          y = clip((pixels[1] - g.pad_y) / g.scale_y, g.original_height);
        }
        image.keypoints.push_back(x);
        image.keypoints.push_back(y);
        image.keypoints.push_back(batch[b].keypoints[i * keypoints + k + 2]);
        image.keypoint_pixels.insert(image.keypoint_pixels.end(), pixels, pixels + 3);
      }
    }
    result.push_back(image);
  }
  return result;
}

namespace {

std::int64_t element_bytes(const quelt_element& element) {
  if (element.type == QUELT_ELEMENT_FLOAT32) {
    return 4;
  }
  return element.type == QUELT_ELEMENT_INT8 || element.type == QUELT_ELEMENT_UINT8 ? 1 : 2;
}

float grid_value(const quelt_grid_view& view, std::int64_t b, std::int64_t y, std::int64_t x,
                 std::int64_t c) {
  const std::int64_t index = b * view.image_stride + y * view.row_stride + x * view.column_stride +
                             c * view.channel_stride;
  return element_value(
      view.element, reinterpret_cast<const char*>(view.data) + index * element_bytes(view.element));
}

// The distance of one side: the expectation of the softmax over its bins.
float side_distance(const quelt_grid_view& boxes, std::int64_t b, std::int64_t y, std::int64_t x,
                    std::int64_t side, std::int64_t bins) {
  if (bins == 1) {
    return grid_value(boxes, b, y, x, side);
  }
  std::vector<float> v;
  for (std::int64_t k = 0; k < bins; ++k) {
    v.push_back(grid_value(boxes, b, y, x, side * bins + k));
  }
  float largest = v[0];
  for (std::int64_t k = 1; k < bins; ++k) {
    if (v[k] > largest) {
      largest = v[k];
    }
  }
  std::vector<float> e;
  float total = 0.0f;
  for (std::int64_t k = 0; k < bins; ++k) {
    e.push_back(sorvanta::framework::rounded_exp(v[k] - largest));
    total = total + e[k];
  }
  float distance = 0.0f;
  for (std::int64_t k = 0; k < bins; ++k) {
    const float p = e[k] / total;
    distance = distance + static_cast<float>(k) * p;
  }
  return distance;
}

}  // namespace

detections decode_levels(const quelt_levels& levels, const quelt_decode_options& options,
                         sources_list* sources) {
  return records_of(decode_levels_details(levels, options), sources);
}

details decode_levels_details(const quelt_levels& levels, const quelt_decode_options& options) {
  std::int64_t cells = 0;
  for (std::int64_t l = 0; l < levels.level_count; ++l) {
    cells += levels.levels[l].height * levels.levels[l].width;
  }
  const std::int64_t classes = levels.classes;
  std::vector<float> boxes(static_cast<std::size_t>(levels.batch * cells * 4) + 1);
  std::vector<float> scores(static_cast<std::size_t>(levels.batch * cells * classes) + 1);
  const std::int64_t extras_count = levels.extras_count;
  const std::int64_t values = levels.keypoint_values;
  std::vector<float> extras(static_cast<std::size_t>(levels.batch * cells * extras_count) + 1);
  std::vector<float> keypoints;
  for (std::int64_t b = 0; b < levels.batch; ++b) {
    std::int64_t n = 0;
    for (std::int64_t l = 0; l < levels.level_count; ++l) {
      const quelt_level& level = levels.levels[l];
      const float s = static_cast<float>(level.stride);
      for (std::int64_t y = 0; y < level.height; ++y) {
        for (std::int64_t x = 0; x < level.width; ++x, ++n) {
          const float ax = (static_cast<float>(x) + 0.5f) * s;
          const float ay = (static_cast<float>(y) + 0.5f) * s;
          float* box = &boxes[static_cast<std::size_t>((b * cells + n) * 4)];
          box[0] = ax - side_distance(level.boxes, b, y, x, 0, levels.bins) * s;
          box[1] = ay - side_distance(level.boxes, b, y, x, 1, levels.bins) * s;
          box[2] = ax + side_distance(level.boxes, b, y, x, 2, levels.bins) * s;
          box[3] = ay + side_distance(level.boxes, b, y, x, 3, levels.bins) * s;
          const bool screened_out =
              level.score_sum.data != nullptr &&
              !(grid_value(level.score_sum, b, y, x, 0) > options.score_thresholds[b]);
          for (std::int64_t k = 0; k < classes; ++k) {
            scores[static_cast<std::size_t>((b * cells + n) * classes + k)] =
                screened_out ? std::numeric_limits<float>::quiet_NaN()
                             : grid_value(level.scores, b, y, x, k);
          }
          for (std::int64_t c = 0; c < extras_count; ++c) {
            extras[static_cast<std::size_t>((b * cells + n) * extras_count + c)] =
                grid_value(levels.extras[l], b, y, x, c);
          }
          for (std::int64_t k = 0; k < levels.keypoint_count; ++k) {
            float kx = grid_value(levels.extras[l], b, y, x, k * values);
            float ky = grid_value(levels.extras[l], b, y, x, k * values + 1);
            if (levels.keypoint_form == QUELT_KEYPOINTS_GRID) {
              kx = (kx * 2.0f + static_cast<float>(x)) * s;
              ky = (ky * 2.0f + static_cast<float>(y)) * s;
            }
            float v = 1.0f;
            if (values == 3) {
              v = grid_value(levels.extras[l], b, y, x, k * values + 2);
              if (levels.keypoint_coding == QUELT_SCORES_LOGITS) {
                v = sigmoid(v);
              }
            }
            keypoints.push_back(kx);
            keypoints.push_back(ky);
            keypoints.push_back(v);
          }
        }
      }
    }
  }
  quelt_layout layout{};
  layout.struct_size = sizeof layout;
  layout.box_coding = QUELT_BOX_CORNERS;
  layout.score_coding = levels.score_coding;
  layout.candidate_kind = QUELT_CANDIDATES_RAW;
  layout.batch = levels.batch;
  layout.candidates = cells;
  layout.classes = levels.classes;
  layout.boxes = quelt_view{boxes.data(), cells * 4, 4, 1};
  layout.scores = quelt_view{scores.data(), cells * classes, classes, 1};
  layout.extras = quelt_view{extras.data(), cells * extras_count, extras_count, 1};
  layout.extras_count = levels.extras_count;
  layout.keypoint_count = levels.keypoint_count;
  return decode_with_keypoints(layout, options, keypoints);
}

quelt_levels converted_levels(const quelt_levels& levels, std::vector<std::vector<float>>& storage,
                              std::vector<quelt_level>& copies) {
  copies.assign(levels.levels, levels.levels + levels.level_count);
  storage.clear();
  storage.reserve(static_cast<std::size_t>(3 * levels.level_count));
  for (quelt_level& level : copies) {
    const std::int64_t channels[3] = {4 * levels.bins, levels.classes, 1};
    quelt_grid_view* maps[3] = {&level.boxes, &level.scores, &level.score_sum};
    for (int m = 0; m < 3; ++m) {
      quelt_grid_view& view = *maps[m];
      storage.emplace_back();
      if (view.data == nullptr) {
        view.element = quelt_element{};
        continue;
      }
      std::vector<float>& values = storage.back();
      for (std::int64_t b = 0; b < levels.batch; ++b) {
        for (std::int64_t c = 0; c < channels[m]; ++c) {
          for (std::int64_t y = 0; y < level.height; ++y) {
            for (std::int64_t x = 0; x < level.width; ++x) {
              values.push_back(grid_value(view, b, y, x, c));
            }
          }
        }
      }
      values.push_back(0.0f);  // never read: keeps the data non-null
      const std::int64_t plane = level.height * level.width;
      view = quelt_grid_view{values.data(), channels[m] * plane, level.width, 1,
                             plane,         quelt_element{}};
    }
  }
  quelt_levels converted = levels;
  converted.levels = copies.data();
  return converted;
}

}  // namespace quelt_reference
