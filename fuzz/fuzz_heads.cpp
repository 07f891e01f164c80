// Fuzz target: quelt_decode, and quelt_map_detections on its result.
//
// Input: flags (u8: compact, logits, end_to_end, objectness, corners,
// agnostic, multi_label, geometry), more flags (u8: shape in bits 0-1 (rows,
// columns, separate scores by class, rows read backwards), null_boxes,
// null_scores, null_handle, allow_list, bad_struct_size, negative_batch),
// classes (u8, becomes -1..30), images (u8, 0..3), candidates (u8, 0..39),
// max_detections (u8, becomes -1..6), network width and height (i16 each),
// then per image a score and an IoU threshold (and with geometry its six
// values), with allow_list a count (u8, 0..4) and that many class indices
// (u8, becomes -1..30), then the tensors' floats (compact or raw, see
// byte_reader::value), then the element types (u8: bits 0-2 the type of the
// objectness and the scores, bits 3-5 that of the boxes; 7 is no type), a
// zero point (i16) and a scale (a value) both share. A view of another
// type than float32 reads elements made from the low bytes of its floats,
// in a buffer of exactly the elements it may reach. Inputs that end before
// these bytes read float32 everywhere. Element-type bit 6 switches to
// quelt_decode_levels over the same images, classes, score coding, options
// and element description: then a level count (u8, 0..3), bins (u8, 0..16)
// and per level its height and width (u8 each, 0..4), stride (u8, 0..32)
// and map flags (u8: bit 0 NHWC, bit 1 a uint8 score sum, bits 2-4 the box
// type, bits 5-7 the score type), then each map's elements, made from values
// as above, in buffers of exactly the size the level's maps reach.
//
// Then a keypoint byte (u8): bit 0 decodes again with the boxes view (each
// level's box map) as the extras, read as keypoints of 2 values (bit 1: 3
// values over the first 3 of each 4, visibility logits), in pixels (bit 2:
// the grid form, levels only).
//
// Checked: the call fails exactly when the arguments are unusable, leaving
// the handle empty; the caller's buffers never change; on success each image
// has at most max_detections records, every record's score passes, its class
// is one the layout and the allow-list admit, the order is by descending
// score, edges mapped with geometry lie in the image, a second call gives the
// same bytes, and capping afterwards with quelt_map_detections gives what the
// cap gives within the call. With keypoints: the same records, each with a
// source below the candidates, its extras, and its keypoints' x and y in the
// image (with geometry) and visibility in [0, 1] (or NaN), 1 without one;
// capping keeps them in step.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.hpp"

namespace {

using quelt::fuzz::byte_reader;
using quelt::fuzz::exact_buffer;
using quelt::fuzz::same_record;
using quelt::fuzz::settle;

enum flag : std::uint8_t {
  compact = 1,
  logits = 2,
  end_to_end = 4,
  objectness = 8,
  corners = 16,
  agnostic = 32,
  multi_label = 64,
  geometry = 128,
};

enum more_flag : std::uint8_t {
  shape_bits = 3,
  null_boxes = 4,
  null_scores = 8,
  null_handle = 16,
  allow_list = 32,
  bad_struct_size = 64,
  negative_batch = 128,
};

using batch = std::vector<std::vector<object_detection>>;

bool decode(const quelt_layout& layout, const quelt_decode_options& options, batch& out) {
  object_handler handle{&out, static_cast<object_type>(3)};
  const bool succeeded = settle(quelt_decode(&layout, &options, &handle));
  FUZZ_CHECK(handle.type == detections_batch);
  if (!succeeded) {
    FUZZ_CHECK(handle.object == nullptr);
    return false;
  }
  FUZZ_CHECK(handle.object != nullptr);
  out = quelt::fuzz::read_batch(handle);
  object_handler_destroy(handle);
  return true;
}

bool same_batch(const batch& a, const batch& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].size() != b[i].size()) {
      return false;
    }
    for (std::size_t k = 0; k < a[i].size(); ++k) {
      if (!same_record(a[i][k], b[i][k])) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  byte_reader in(data, size);
  const std::uint8_t flags = in.u8();
  const std::uint8_t more = in.u8();
  const bool is_compact = (flags & compact) != 0;
  const bool e2e = (flags & end_to_end) != 0;
  const bool has_objectness = (flags & objectness) != 0;
  const std::int32_t classes = static_cast<std::int32_t>(in.u8() % 32) - 1;
  const std::int64_t images = in.u8() % 4;
  const std::int64_t candidates = in.u8() % 40;
  const std::int32_t max_detections = static_cast<std::int32_t>(in.u8() % 8) - 1;
  const std::int32_t width = in.i16();
  const std::int32_t height = in.i16();

  exact_buffer<float> score_thresholds(static_cast<std::size_t>(images));
  exact_buffer<float> iou_thresholds(static_cast<std::size_t>(images));
  exact_buffer<quelt_image_geometry> fitting((flags & geometry) != 0 ? images : 0);
  bool geometry_ok = true;
  for (std::int64_t i = 0; i < images; ++i) {
    score_thresholds.get()[i] = in.value(is_compact);
    iou_thresholds.get()[i] = in.value(is_compact);
    if ((flags & geometry) != 0) {
      quelt_image_geometry& g = fitting.get()[i];
      g = quelt_image_geometry{in.value(is_compact), in.value(is_compact), in.value(is_compact),
                               in.value(is_compact), in.value(is_compact), in.value(is_compact)};
      const float values[] = {g.original_width, g.original_height, g.scale_x,
                              g.scale_y,        g.pad_x,           g.pad_y};
      for (int f = 0; f < 6; ++f) {
        geometry_ok = geometry_ok && std::isfinite(values[f]) && (f >= 4 || values[f] > 0.0f);
      }
    }
  }
  const std::size_t allowed_count = (more & allow_list) != 0 ? in.u8() % 5 : 0;
  exact_buffer<std::int32_t> allowed(allowed_count);
  for (std::size_t i = 0; i < allowed_count; ++i) {
    allowed.get()[i] = static_cast<std::int32_t>(in.u8() % 32) - 1;
  }

  // The tensors, each of exactly the size its view reaches.
  const std::int64_t components = e2e ? 2 : std::max<std::int32_t>(classes, 0);
  const std::int64_t objectness_count = has_objectness ? 1 : 0;
  const int shape = more & shape_bits;
  const std::int64_t row = 4 + objectness_count + components;
  exact_buffer<float> main_tensor(
      static_cast<std::size_t>(images * candidates * (shape == 2 ? 4 + objectness_count : row)));
  exact_buffer<float> score_tensor(
      static_cast<std::size_t>(shape == 2 ? images * candidates * components : 0));
  for (std::size_t k = 0; k < main_tensor.count; ++k) {
    main_tensor.get()[k] = in.value(is_compact);
  }
  for (std::size_t k = 0; k < score_tensor.count; ++k) {
    score_tensor.get()[k] = in.value(is_compact);
  }
  const std::vector<float> main_before = main_tensor.copy();
  const std::vector<float> scores_before = score_tensor.copy();

  const std::uint8_t element_flags = in.u8();
  const std::int32_t zero_point = in.i16();
  const float scale = in.value(is_compact);
  const std::int32_t score_type = element_flags & 7;
  const std::int32_t box_type = (element_flags >> 3) & 7;
  const auto element_ok = [&](std::int32_t type) {
    if (type > QUELT_ELEMENT_UINT16) {
      return false;
    }
    const std::int32_t low = type == QUELT_ELEMENT_INT8    ? -128
                             : type == QUELT_ELEMENT_INT16 ? -32768
                                                           : 0;
    const std::int32_t high = type == QUELT_ELEMENT_INT8    ? 127
                              : type == QUELT_ELEMENT_UINT8 ? 255
                              : type == QUELT_ELEMENT_INT16 ? 32767
                                                            : 65535;
    return type < QUELT_ELEMENT_INT8 ||
           (std::isfinite(scale) && scale > 0.0f && zero_point >= low && zero_point <= high);
  };
  const auto bytes_of = [](std::int32_t type) -> std::size_t {
    return type == QUELT_ELEMENT_FLOAT32 || type > QUELT_ELEMENT_UINT16 ? 4
           : type == QUELT_ELEMENT_INT8 || type == QUELT_ELEMENT_UINT8  ? 1
                                                                        : 2;
  };
  // Copies of the tensors in the element types, from the low bytes of each
  // float (little-endian hosts: the first bytes of its bits).
  const auto make_elements = [&](exact_buffer<float>& floats, std::int32_t type) {
    const std::size_t bytes = bytes_of(type);
    exact_buffer<unsigned char> elements(floats.count * bytes);
    for (std::size_t k = 0; k < floats.count; ++k) {
      std::uint32_t bits;
      std::memcpy(&bits, floats.get() + k, sizeof bits);
      for (std::size_t j = 0; j < bytes; ++j) {
        elements.get()[k * bytes + j] = static_cast<unsigned char>(bits >> (8 * j));
      }
    }
    return elements;
  };
  exact_buffer<unsigned char> main_scores = make_elements(main_tensor, score_type);
  exact_buffer<unsigned char> main_boxes = make_elements(main_tensor, box_type);
  exact_buffer<unsigned char> side_scores = make_elements(score_tensor, score_type);
  const std::vector<unsigned char> main_scores_before = main_scores.copy();
  const std::vector<unsigned char> main_boxes_before = main_boxes.copy();
  const std::vector<unsigned char> side_scores_before = side_scores.copy();
  // `p` (into `floats`) moved to the same element of `elements`.
  const auto moved = [&](const float* p, exact_buffer<float>& floats,
                         exact_buffer<unsigned char>& elements, std::int32_t type) -> const float* {
    if (p == nullptr || type == QUELT_ELEMENT_FLOAT32 || type > QUELT_ELEMENT_UINT16) {
      return p;
    }
    return reinterpret_cast<const float*>(
        elements.get() + (p - floats.get()) * static_cast<std::ptrdiff_t>(bytes_of(type)));
  };

  quelt_layout layout{};
  layout.struct_size = (more & bad_struct_size) != 0 ? 128 : sizeof(quelt_layout);
  layout.box_coding = (flags & corners) != 0 ? QUELT_BOX_CORNERS : QUELT_BOX_CENTRE_SIZE;
  layout.score_coding = (flags & logits) != 0 ? QUELT_SCORES_LOGITS : QUELT_SCORES_PROBABILITIES;
  layout.candidate_kind = e2e ? QUELT_CANDIDATES_END_TO_END : QUELT_CANDIDATES_RAW;
  layout.batch = (more & negative_batch) != 0 ? -images - 1 : images;
  layout.candidates = candidates;
  layout.classes = classes;
  float* base = main_tensor.count == 0 ? nullptr : main_tensor.get();
  const float* boxes = nullptr;
  const float* object = nullptr;
  const float* scores = nullptr;
  if (base != nullptr) {
    switch (shape) {
      case 0:  // rows
        layout.boxes = quelt_view{base, candidates * row, row, 1};
        object = base + 4;
        layout.objectness = quelt_view{nullptr, candidates * row, row, 1};
        layout.scores = quelt_view{nullptr, candidates * row, row, 1};
        scores = base + 4 + objectness_count;
        break;
      case 1:  // columns
        layout.boxes = quelt_view{base, row * candidates, 1, candidates};
        object = base + 4 * candidates;
        layout.objectness = quelt_view{nullptr, row * candidates, 1, candidates};
        layout.scores = quelt_view{nullptr, row * candidates, 1, candidates};
        scores = base + (4 + objectness_count) * candidates;
        break;
      case 2:  // boxes and objectness as rows, scores (batch, components, candidates)
        layout.boxes =
            quelt_view{base, candidates * (4 + objectness_count), 4 + objectness_count, 1};
        object = base + 4;
        layout.objectness = layout.boxes;
        layout.scores = quelt_view{nullptr, components * candidates, 1, candidates};
        scores = score_tensor.count == 0 ? nullptr : score_tensor.get();
        break;
      default: {  // rows, last candidate first
        const std::int64_t last = (candidates - 1) * row;
        layout.boxes = quelt_view{base + last, candidates * row, -row, 1};
        object = base + last + 4;
        layout.objectness = quelt_view{nullptr, candidates * row, -row, 1};
        layout.scores = quelt_view{nullptr, candidates * row, -row, 1};
        scores = base + last + 4 + objectness_count;
        break;
      }
    }
    boxes = layout.boxes.data;
  }
  layout.boxes.data = (more & null_boxes) != 0 ? nullptr : boxes;
  layout.objectness.data = has_objectness ? object : nullptr;
  layout.scores.data = (more & null_scores) != 0 ? nullptr : scores;
  layout.boxes_element = quelt_element{box_type, zero_point, scale, 0};
  layout.objectness_element = quelt_element{score_type, zero_point, scale, 0};
  layout.scores_element = layout.objectness_element;
  layout.boxes.data = moved(layout.boxes.data, main_tensor, main_boxes, box_type);
  layout.objectness.data = moved(layout.objectness.data, main_tensor, main_scores, score_type);
  layout.scores.data = shape == 2 ? moved(layout.scores.data, score_tensor, side_scores, score_type)
                                  : moved(layout.scores.data, main_tensor, main_scores, score_type);

  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = width;
  options.network_height = height;
  options.agnostic = (flags & agnostic) != 0 ? 1 : 0;
  options.multi_label = (flags & multi_label) != 0 ? 1 : 0;
  options.max_detections = max_detections;
  options.score_thresholds = score_thresholds.get();
  options.iou_thresholds = iou_thresholds.get();
  options.classes_allowed = (more & allow_list) != 0 ? allowed.get() : nullptr;
  options.classes_allowed_count = static_cast<std::int64_t>(allowed_count);
  options.geometry = (flags & geometry) != 0 ? fitting.get() : nullptr;

  bool thresholds_ok = true;
  for (std::int64_t i = 0; i < images; ++i) {
    thresholds_ok = thresholds_ok && !std::isnan(score_thresholds.get()[i]) &&
                    (e2e || !std::isnan(iou_thresholds.get()[i]));
  }
  const bool reads = images > 0 && candidates > 0;
  const bool usable = (more & (bad_struct_size | negative_batch)) == 0 &&
                      (e2e ? classes >= 0 : classes >= 1) && width >= 1 && height >= 1 &&
                      max_detections >= 0 && thresholds_ok && geometry_ok &&
                      element_ok(score_type) && element_ok(box_type) &&
                      (!reads || (more & (null_boxes | null_scores)) == 0);

  // Levels mode: quelt_decode_levels over the same images, classes,
  // options and element description instead.
  const bool levels_mode = (element_flags & 64) != 0;
  const std::int64_t level_count = levels_mode ? in.u8() % 4 : 0;
  const std::int32_t bins = levels_mode ? in.u8() % 17 : 1;
  std::vector<quelt_level> level_list(static_cast<std::size_t>(level_count));
  std::vector<exact_buffer<unsigned char>> maps;
  std::vector<std::vector<unsigned char>> maps_before;
  bool levels_ok = classes >= 1 && bins >= 1;
  for (quelt_level& level : level_list) {
    level.height = in.u8() % 5;
    level.width = in.u8() % 5;
    level.stride = in.u8() % 33;
    const std::uint8_t map_flags = in.u8();
    const bool nhwc = (map_flags & 1) != 0;
    const bool has_sum = (map_flags & 2) != 0;
    const std::int32_t level_box_type = (map_flags >> 2) & 7;
    const std::int32_t level_score_type = (map_flags >> 5) & 7;
    levels_ok = levels_ok && level.height >= 1 && level.width >= 1 && level.stride >= 1 &&
                element_ok(level_box_type) && element_ok(level_score_type) &&
                (!has_sum || element_ok(QUELT_ELEMENT_UINT8));
    const auto map = [&](std::int64_t channels, std::int32_t type) {
      const std::int64_t h = level.height;
      const std::int64_t w = level.width;
      const std::size_t bytes = bytes_of(type);
      exact_buffer<unsigned char> elements(static_cast<std::size_t>(images * h * w * channels) *
                                           bytes);
      for (std::size_t k = 0; k < elements.count; k += bytes) {
        const float v = in.value(is_compact);
        std::uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (std::size_t j = 0; j < bytes; ++j) {
          elements.get()[k + j] = static_cast<unsigned char>(bits >> (8 * j));
        }
      }
      quelt_grid_view view{};
      view.data = elements.count == 0 ? nullptr : reinterpret_cast<const float*>(elements.get());
      view.element = quelt_element{type, zero_point, scale, 0};
      if (nhwc) {
        view =
            quelt_grid_view{view.data, h * w * channels, w * channels, channels, 1, view.element};
      } else {
        view = quelt_grid_view{view.data, channels * h * w, w, 1, h * w, view.element};
      }
      maps_before.push_back(elements.copy());
      maps.push_back(std::move(elements));
      return view;
    };
    if (level.height < 1 || level.width < 1 || bins < 1 || classes < 1) {
      continue;  // refused before any map is read
    }
    level.boxes = map(4 * bins, level_box_type);
    level.scores = map(classes, level_score_type);
    if (has_sum) {
      level.score_sum = map(1, QUELT_ELEMENT_UINT8);
    }
    levels_ok =
        levels_ok && (images == 0 || (level.boxes.data != nullptr && level.scores.data != nullptr));
  }
  quelt_levels levels;
  quelt_levels_init(&levels);
  levels.struct_size = (more & bad_struct_size) != 0 ? 32 : sizeof(quelt_levels);
  levels.score_coding = layout.score_coding;
  levels.batch = layout.batch;
  levels.classes = classes;
  levels.bins = bins;
  levels.level_count = level_count;
  levels.levels = level_list.empty() ? nullptr : level_list.data();
  bool ious_ok = true;
  for (std::int64_t i = 0; i < images; ++i) {
    ious_ok = ious_ok && !std::isnan(iou_thresholds.get()[i]);
  }
  const bool levels_usable = (more & (bad_struct_size | negative_batch)) == 0 && levels_ok &&
                             width >= 1 && height >= 1 && max_detections >= 0 && thresholds_ok &&
                             ious_ok && geometry_ok;
  const std::int32_t class_bound = levels_mode ? classes : layout.classes;
  const auto run = [&](const quelt_decode_options& o, batch& out) {
    if (!levels_mode) {
      return decode(layout, o, out);
    }
    object_handler handle{&out, static_cast<object_type>(3)};
    const bool succeeded = settle(quelt_decode_levels(&levels, &o, &handle));
    FUZZ_CHECK(handle.type == detections_batch);
    FUZZ_CHECK(succeeded == (handle.object != nullptr));
    if (succeeded) {
      out = quelt::fuzz::read_batch(handle);
      object_handler_destroy(handle);
    }
    return succeeded;
  };

  if ((more & null_handle) != 0) {
    FUZZ_CHECK(!settle(levels_mode ? quelt_decode_levels(&levels, &options, nullptr)
                                   : quelt_decode(&layout, &options, nullptr)));
    return 0;
  }
  batch first;
  FUZZ_CHECK(run(options, first) == (levels_mode ? levels_usable : usable));
  for (std::size_t m = 0; m < maps.size(); ++m) {
    FUZZ_CHECK(maps[m].same_bytes(maps_before[m]));
  }
  if (levels_mode && !levels_usable) {
    return 0;
  }
  FUZZ_CHECK(main_tensor.same_bytes(main_before) && score_tensor.same_bytes(scores_before));
  FUZZ_CHECK(main_scores.same_bytes(main_scores_before) &&
             main_boxes.same_bytes(main_boxes_before) &&
             side_scores.same_bytes(side_scores_before));
  if (!levels_mode && !usable) {
    return 0;
  }
  FUZZ_CHECK(first.size() == static_cast<std::size_t>(images));
  for (std::int64_t i = 0; i < images; ++i) {
    const auto& records = first[static_cast<std::size_t>(i)];
    FUZZ_CHECK(max_detections == 0 || records.size() <= static_cast<std::size_t>(max_detections));
    for (std::size_t k = 0; k < records.size(); ++k) {
      const object_detection& r = records[k];
      FUZZ_CHECK(r.probability > score_thresholds.get()[i]);
      FUZZ_CHECK(r.class_id >= 0 && (class_bound == 0 || r.class_id < class_bound));
      bool admitted = (more & allow_list) == 0;
      for (std::size_t a = 0; a < allowed_count; ++a) {
        admitted = admitted || allowed.get()[a] == r.class_id;
      }
      FUZZ_CHECK(admitted);
      FUZZ_CHECK((has_objectness && !levels_mode) || r.objectness == 1.0f);
      FUZZ_CHECK(k == 0 || !(r.probability > records[k - 1].probability));
      if ((flags & geometry) != 0) {
        const quelt_image_geometry& g = fitting.get()[i];
        for (float x : {r.x_min, r.x_max}) {
          FUZZ_CHECK(std::isnan(x) || (x >= 0.0f && x <= g.original_width));
        }
        for (float y : {r.y_min, r.y_max}) {
          FUZZ_CHECK(std::isnan(y) || (y >= 0.0f && y <= g.original_height));
        }
      }
    }
  }
  batch again;
  FUZZ_CHECK(run(options, again) && same_batch(first, again));

  const std::uint8_t keypoint_flags = in.u8();
  if ((keypoint_flags & 1) != 0 && (levels_mode || !e2e)) {
    const std::int32_t values = (keypoint_flags & 2) != 0 ? 3 : 2;
    const bool grid = levels_mode && (keypoint_flags & 4) != 0;
    quelt_layout with_extras = layout;
    quelt_levels levels_with_extras = levels;
    std::vector<quelt_grid_view> extra_maps;
    std::int64_t candidate_count = candidates;
    std::int32_t extras = 4;
    if (levels_mode) {
      extras = 4 * bins;
      candidate_count = 0;
      for (const quelt_level& level : level_list) {
        extra_maps.push_back(level.boxes);
        candidate_count += level.height * level.width;
      }
      levels_with_extras.extras = extra_maps.empty() ? nullptr : extra_maps.data();
      levels_with_extras.extras_count = extras;
      levels_with_extras.keypoint_count = extras / 4;
      levels_with_extras.keypoint_values = values;
      levels_with_extras.keypoint_coding = QUELT_SCORES_LOGITS;
      levels_with_extras.keypoint_form = grid ? QUELT_KEYPOINTS_GRID : QUELT_KEYPOINTS_PIXELS;
    } else {
      with_extras.extras = layout.boxes;
      with_extras.extras_element = layout.boxes_element;
      with_extras.extras_count = extras;
      with_extras.keypoint_count = 1;
      with_extras.keypoint_values = values;
      with_extras.keypoint_coding = QUELT_SCORES_LOGITS;
    }
    const std::int32_t keypoints = levels_mode ? extras / 4 : 1;
    const auto check_details = [&](object_handler handle, const batch& records) {
      for (std::size_t i = 0; i < records.size(); ++i) {
        const std::size_t n = records[i].size();
        exact_buffer<std::int64_t> sources(n);
        exact_buffer<float> extra_values(n * static_cast<std::size_t>(extras));
        exact_buffer<float> points(n * static_cast<std::size_t>(keypoints) * 3);
        FUZZ_CHECK(settle(quelt_batch_sources_store(handle, i, sources.get())));
        FUZZ_CHECK(settle(quelt_batch_extras_store(handle, i, extra_values.get())));
        FUZZ_CHECK(settle(quelt_batch_keypoints_store(handle, i, points.get())));
        for (std::size_t r = 0; r < n; ++r) {
          FUZZ_CHECK(sources.get()[r] >= 0 && sources.get()[r] < candidate_count);
          for (std::int32_t k = 0; k < keypoints; ++k) {
            const float* p = points.get() + (r * static_cast<std::size_t>(keypoints) + k) * 3;
            if ((flags & geometry) != 0) {
              const quelt_image_geometry& g = fitting.get()[i];
              FUZZ_CHECK(std::isnan(p[0]) || (p[0] >= 0.0f && p[0] <= g.original_width));
              FUZZ_CHECK(std::isnan(p[1]) || (p[1] >= 0.0f && p[1] <= g.original_height));
            }
            FUZZ_CHECK(values == 3 ? std::isnan(p[2]) || (p[2] >= 0.0f && p[2] <= 1.0f)
                                   : p[2] == 1.0f);
          }
        }
      }
    };
    object_handler handle{};
    FUZZ_CHECK(settle(levels_mode ? quelt_decode_levels(&levels_with_extras, &options, &handle)
                                  : quelt_decode(&with_extras, &options, &handle)));
    const batch records = quelt::fuzz::read_batch(handle);
    FUZZ_CHECK(same_batch(records, first));
    check_details(handle, records);
    // Capped again afterwards: the details follow their records.
    FUZZ_CHECK(settle(quelt_map_detections(handle, width, height, nullptr, 1)));
    check_details(handle, quelt::fuzz::read_batch(handle));
    object_handler_destroy(handle);
  }

  // Without a cap, then capped by quelt_map_detections: the same records.
  if (max_detections > 0) {
    options.max_detections = 0;
    object_handler handle{};
    FUZZ_CHECK(settle(levels_mode ? quelt_decode_levels(&levels, &options, &handle)
                                  : quelt_decode(&layout, &options, &handle)));
    FUZZ_CHECK(settle(quelt_map_detections(handle, width, height, nullptr, max_detections)));
    FUZZ_CHECK(same_batch(quelt::fuzz::read_batch(handle), first));
    object_handler_destroy(handle);
  }
  return 0;
}
