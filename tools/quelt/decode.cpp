#include "decode.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "npy/npy.hpp"

namespace quelt::cli {

namespace {

std::string shape_text(const std::vector<std::size_t>& shape) {
  std::ostringstream text;
  text << "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    text << (i > 0 ? ", " : "") << shape[i];
  }
  text << (shape.size() == 1 ? ",)" : ")");
  return text.str();
}

npy::npy_array read(const std::string& file, bool any_type = false) {
  try {
    return any_type ? npy::read_npy_elements(file) : npy::read_npy(file);
  } catch (const npy::npy_error& error) {
    throw input_error(error.what());
  }
}

bool quantized(const quelt_element& element) {
  return element.type >= QUELT_ELEMENT_INT8 && element.type <= QUELT_ELEMENT_UINT16;
}

const char* element_name(std::int32_t type) {
  switch (type) {
    case QUELT_ELEMENT_INT8:
      return "int8";
    case QUELT_ELEMENT_UINT8:
      return "uint8";
    case QUELT_ELEMENT_INT16:
      return "int16";
    case QUELT_ELEMENT_UINT16:
      return "uint16";
    case QUELT_ELEMENT_FLOAT16:
      return "float16";
    default:
      return "float32";
  }
}

// The address of element `offset` of `input`, cast as the views take it. The
// layout helpers count their offsets in floats, so every view's data is set
// here, in elements of the input's own type. Empty arrays give NULL: nothing
// of them is read.
const float* element_at(const tensor_input& input, std::size_t offset) {
  if (input.element.type == QUELT_ELEMENT_FLOAT32) {
    return input.values.empty() ? nullptr : input.values.data() + offset;
  }
  const std::size_t width =
      input.element.type <= QUELT_ELEMENT_BFLOAT16 || input.element.type >= QUELT_ELEMENT_INT16 ? 2
                                                                                                : 1;
  return input.elements.empty()
             ? nullptr
             : reinterpret_cast<const float*>(input.elements.data() + offset * width);
}

// Releases the batch however the caller is left.
struct batch_owner {
  batch_owner() = default;
  batch_owner(const batch_owner&) = delete;
  batch_owner& operator=(const batch_owner&) = delete;
  ~batch_owner() { object_handler_destroy(handle); }
  object_handler handle{};
};

// Throws with the library's text, releasing the status first.
void check(return_status status, const char* call) {
  if (status.status_code == 1) {
    return;
  }
  const std::string text = status.message != nullptr ? status.message : "(no message)";
  done_return_status(status);
  throw std::runtime_error(std::string(call) + " failed: " + text);
}

std::vector<image_detections> read_batch(const object_handler& handle) {
  std::uint64_t images = 0;
  check(detections_batch_size(handle, &images), "detections_batch_size");
  std::vector<image_detections> result(images);
  for (std::uint64_t i = 0; i < images; ++i) {
    std::uint64_t count = 0;
    check(detections_batch_detections_count(handle, i, &count),
          "detections_batch_detections_count");
    result[i].resize(count);
    check(detections_batch_detections_store(handle, i, result[i].data()),
          "detections_batch_detections_store");
  }
  return result;
}

// Each image's keypoints, `count` a record.
std::vector<image_keypoints> read_keypoints(const object_handler& handle, std::int32_t count) {
  std::uint64_t images = 0;
  check(detections_batch_size(handle, &images), "detections_batch_size");
  std::vector<image_keypoints> result(images);
  for (std::uint64_t i = 0; i < images; ++i) {
    std::uint64_t records = 0;
    check(detections_batch_detections_count(handle, i, &records),
          "detections_batch_detections_count");
    result[i].resize(records * static_cast<std::uint64_t>(count) * 3);
    check(quelt_batch_keypoints_store(handle, i, result[i].data()), "quelt_batch_keypoints_store");
  }
  return result;
}

void check_size(std::int32_t net_width, std::int32_t net_height) {
  if (net_width <= 0 || net_height <= 0) {
    throw input_error("the network input size must be positive, got " + std::to_string(net_width) +
                      " x " + std::to_string(net_height));
  }
}

// The options of a quelt_ decoding call and the per-image arrays they point
// into; neither copied nor moved.
struct decode_settings {
  decode_settings(std::size_t images, std::int32_t net_width, std::int32_t net_height,
                  const thresholds& limits, const decode_request& request)
      : score(per_image(limits.score, images, "--score")),
        overlap(per_image(limits.overlap, images, "--overlap")),
        geometry(request.geometry != nullptr ? std::max<std::size_t>(images, 1) : 0,
                 request.geometry != nullptr ? *request.geometry : quelt_image_geometry{}) {
    quelt_decode_options_init(&options);
    options.network_width = net_width;
    options.network_height = net_height;
    options.agnostic = request.agnostic ? 1 : 0;
    options.multi_label = request.multi_label ? 1 : 0;
    options.max_detections = request.max_detections;
    options.score_thresholds = score.data();
    options.iou_thresholds = overlap.data();
    if (request.filter_classes) {
      options.classes_allowed = request.classes.data();
      options.classes_allowed_count = static_cast<std::int64_t>(request.classes.size());
    }
    options.geometry = geometry.empty() ? nullptr : geometry.data();
  }
  decode_settings(const decode_settings&) = delete;
  decode_settings& operator=(const decode_settings&) = delete;

  std::vector<float> score;
  std::vector<float> overlap;
  std::vector<quelt_image_geometry> geometry;
  quelt_decode_options options{};
};

}  // namespace

sealed_input load_sealed(const std::string& file, std::int32_t classes) {
  npy::npy_array array = read(file);
  if (array.shape.size() == 2) {
    array.shape.insert(array.shape.begin(), 1);
  }
  if (array.shape.size() != 3) {
    throw input_error(file + ": shape " + shape_text(array.shape) +
                      " is not (batch, rows, classes + 5)");
  }
  const std::size_t row = array.shape[2];
  if (classes >= 0 && row != static_cast<std::size_t>(classes) + 5) {
    throw input_error(file + ": rows of " + std::to_string(row) + " values do not fit " +
                      std::to_string(classes) + " classes (need " + std::to_string(classes + 5) +
                      ")");
  }
  if (row < 6) {
    throw input_error(file + ": rows of " + std::to_string(row) +
                      " values leave no class score (need classes + 5, at least 6)");
  }
  sealed_input input;
  input.file = file;
  input.batch = static_cast<std::int64_t>(array.shape[0]);
  input.rows = static_cast<std::int64_t>(array.shape[1]);
  input.classes = static_cast<std::int32_t>(row - 5);
  input.values = std::move(array.values);
  return input;
}

layer_input load_layer(const std::string& file, const layer_settings& settings,
                       std::int32_t classes) {
  npy::npy_array array = read(file);
  if (array.shape.size() == 3) {
    array.shape.insert(array.shape.begin(), 1);
  }
  if (array.shape.size() != 4) {
    throw input_error(file + ": shape " + shape_text(array.shape) +
                      " is not (batch, height, width, channels)");
  }
  if (classes < 1) {
    throw input_error("the class count must be at least 1, got " + std::to_string(classes));
  }
  const std::size_t record = static_cast<std::size_t>(classes) + 5;
  const std::size_t channels = array.shape[3];
  layer_settings chosen = settings;
  // Without a mask, a layer uses the first anchor pairs, one per record of a cell.
  if (chosen.mask.empty() && channels % record == 0) {
    for (std::size_t k = 0; k < channels / record; ++k) {
      chosen.mask.push_back(static_cast<std::int32_t>(k));
    }
  }
  if (chosen.mask.empty()) {
    throw input_error(file + ": " + std::to_string(channels) +
                      " channels are not a multiple of classes + 5 = " + std::to_string(record) +
                      " (wrong --classes?)");
  }
  if (channels != chosen.mask.size() * record) {
    throw input_error(file + ": " + std::to_string(channels) + " channels do not fit " +
                      std::to_string(chosen.mask.size()) + " anchors x (" +
                      std::to_string(classes) +
                      " classes + 5) = " + std::to_string(chosen.mask.size() * record));
  }
  layer_input input;
  input.file = file;
  input.shape = std::move(array.shape);
  input.values = std::move(array.values);
  input.settings = std::move(chosen);
  return input;
}

sealed_input stack_sealed(std::vector<sealed_input> parts) {
  sealed_input all = std::move(parts.at(0));
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i].rows != all.rows || parts[i].classes != all.classes) {
      throw input_error(parts[i].file + ": shape differs from " + all.file +
                        "; the images of a batch must match");
    }
    all.values.insert(all.values.end(), parts[i].values.begin(), parts[i].values.end());
    all.batch += parts[i].batch;
  }
  return all;
}

layer_input stack_layers(std::vector<layer_input> parts) {
  layer_input all = std::move(parts.at(0));
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (!std::equal(parts[i].shape.begin() + 1, parts[i].shape.end(), all.shape.begin() + 1)) {
      throw input_error(parts[i].file + ": shape " + shape_text(parts[i].shape) + " differs from " +
                        all.file + "'s " + shape_text(all.shape) +
                        "; the images of a batch must match");
    }
    all.values.insert(all.values.end(), parts[i].values.begin(), parts[i].values.end());
    all.shape[0] += parts[i].shape[0];
  }
  return all;
}

std::vector<float> per_image(const std::vector<float>& given, std::size_t images,
                             const std::string& name) {
  if (given.size() != 1 && given.size() != images) {
    throw input_error(name + " takes one value or one per image (" + std::to_string(images) +
                      "), got " + std::to_string(given.size()));
  }
  for (const float value : given) {
    // Written so that NaN fails too.
    if (!(value >= 0.0f && value <= 1.0f)) {
      std::ostringstream text;
      text << name << " must lie between 0 and 1, got " << value;
      throw input_error(text.str());
    }
  }
  return given.size() == images ? given : std::vector<float>(images, given.front());
}

std::vector<image_detections> decode_sealed(sealed_input& input, std::int32_t net_width,
                                            std::int32_t net_height, const thresholds& limits) {
  check_size(net_width, net_height);
  const auto images = static_cast<std::size_t>(input.batch);
  const std::vector<float> score = per_image(limits.score, images, "--score");
  const std::vector<float> overlap = per_image(limits.overlap, images, "--overlap");
  batch_owner owner;
  check(process_yolo_sealed_output_detections(input.values.data(), input.rows, input.batch,
                                              input.classes, score.data(), overlap.data(),
                                              net_width, net_height, &owner.handle),
        "process_yolo_sealed_output_detections");
  return read_batch(owner.handle);
}

const std::vector<std::pair<std::string, std::string>>& tensor_layouts() {
  static const std::vector<std::pair<std::string, std::string>> layouts = {
      {"columns", "(batch, 4 + classes, candidates), the anchor-free export"},
      {"rows", "(batch, candidates, 4 + classes)"},
      {"rows-objectness", "(batch, candidates, 5 + classes)"},
      {"separate", "boxes (batch, candidates, 4), --scores (batch, candidates, classes)"},
      {"separate-by-class", "boxes (batch, candidates, 4), --scores (batch, classes, candidates)"},
      {"end-to-end", "(batch, candidates, 6): x_min, y_min, x_max, y_max, score, class"},
      {"obb",
       "(batch, 4 + classes + 1, candidates): rotated boxes, the angle last (radians, "
       "clockwise on the image; see --degrees, --counterclockwise)"},
      {"levels",
       "raw per-level heads: files BOX CLS per level, (batch, 4 x bins, H, W) box "
       "distributions and (batch, classes, H, W) class scores (with --logits for logits)"},
  };
  return layouts;
}

tensor_input load_tensor(const std::string& file, std::size_t dimensions, const std::string& what) {
  npy::npy_array array = read(file, true);
  if (array.shape.size() + 1 == dimensions) {
    array.shape.insert(array.shape.begin(), 1);
  }
  if (array.shape.size() != dimensions) {
    throw input_error(file + ": shape " + shape_text(array.shape) + " is not " + what);
  }
  quelt_element element{};
  switch (array.type) {
    case npy::element_type::float32:
      element.type = QUELT_ELEMENT_FLOAT32;
      break;
    case npy::element_type::float16:
      element.type = QUELT_ELEMENT_FLOAT16;
      break;
    case npy::element_type::int8:
      element.type = QUELT_ELEMENT_INT8;
      break;
    case npy::element_type::uint8:
      element.type = QUELT_ELEMENT_UINT8;
      break;
    case npy::element_type::int16:
      element.type = QUELT_ELEMENT_INT16;
      break;
    case npy::element_type::uint16:
      element.type = QUELT_ELEMENT_UINT16;
      break;
  }
  return tensor_input{file, std::move(array.shape), std::move(array.values),
                      std::move(array.elements), element};
}

void set_quantization(const std::vector<tensor_input*>& inputs,
                      const std::vector<std::string>& pairs) {
  std::vector<tensor_input*> integers;
  for (tensor_input* input : inputs) {
    if (quantized(input->element)) {
      integers.push_back(input);
    }
  }
  if (pairs.empty() && !integers.empty()) {
    throw input_error(integers[0]->file + ": " + element_name(integers[0]->element.type) +
                      " values need their quantization: --quant SCALE,ZERO_POINT");
  }
  if (!pairs.empty() && integers.empty()) {
    throw input_error("--quant goes with integer .npy files (int8, uint8, int16, uint16)");
  }
  if (pairs.size() != 1 && pairs.size() != integers.size()) {
    throw input_error(
        "--quant takes one SCALE,ZERO_POINT for every integer file or one per "
        "integer file (" +
        std::to_string(integers.size()) + "), got " + std::to_string(pairs.size()));
  }
  for (std::size_t i = 0; i < integers.size(); ++i) {
    const std::string& text = pairs.size() == 1 ? pairs[0] : pairs[i];
    const std::size_t comma = text.find(',');
    const std::string scale_text = text.substr(0, comma);
    const std::string zero_text = comma == std::string::npos ? "" : text.substr(comma + 1);
    char* scale_end = nullptr;
    char* zero_end = nullptr;
    const float scale = std::strtof(scale_text.c_str(), &scale_end);
    const long zero_point = std::strtol(zero_text.c_str(), &zero_end, 10);
    if (scale_text.empty() || zero_text.empty() || *scale_end != '\0' || *zero_end != '\0' ||
        !std::isfinite(scale) || !(scale > 0.0f) || zero_point < -0x8000L || zero_point > 0xffffL) {
      throw input_error("--quant: '" + text +
                        "' is not SCALE,ZERO_POINT with a finite scale above 0, e.g. "
                        "0.0039,-128");
    }
    integers[i]->element.scale = scale;
    integers[i]->element.zero_point = static_cast<std::int32_t>(zero_point);
  }
}

namespace {

// Each record's binary mask, on the original image's grid with geometry,
// else on the network input's; the coefficients are the extras from `first`.
std::vector<image_masks> read_masks(const object_handler& handle, const tensor_input& prototypes,
                                    std::int32_t first, bool original,
                                    const std::vector<image_detections>& images) {
  const std::vector<std::size_t>& p = prototypes.shape;
  quelt_mask_request request;
  quelt_mask_request_init(&request);
  request.kind = original ? QUELT_MASK_ORIGINAL_BINARY : QUELT_MASK_INPUT_BINARY;
  request.prototypes = quelt_grid_view{element_at(prototypes, 0),
                                       static_cast<std::int64_t>(p[1] * p[2] * p[3]),
                                       static_cast<std::int64_t>(p[3]),
                                       1,
                                       static_cast<std::int64_t>(p[2] * p[3]),
                                       prototypes.element};
  request.prototype_channels = static_cast<std::int32_t>(p[1]);
  request.prototype_height = static_cast<std::int32_t>(p[2]);
  request.prototype_width = static_cast<std::int32_t>(p[3]);
  request.coefficients_first = first;
  std::vector<image_masks> all;
  for (std::size_t b = 0; b < images.size(); ++b) {
    std::uint64_t bytes = 0;
    check(quelt_batch_masks_size(handle, b, &request, &bytes), "quelt_batch_masks_size");
    std::vector<unsigned char> values(bytes);
    std::vector<quelt_mask_region> regions(images[b].size());
    request.values = values.data();
    request.values_size = bytes;
    request.regions = regions.data();
    check(quelt_batch_masks_store(handle, b, &request), "quelt_batch_masks_store");
    image_masks found;
    for (const quelt_mask_region& r : regions) {
      const auto begin = values.begin() + r.offset;
      found.push_back(
          record_mask{r.x, r.y, r.width, r.height,
                      std::vector<unsigned char>(
                          begin, begin + static_cast<std::ptrdiff_t>(r.width) * r.height)});
    }
    all.push_back(std::move(found));
  }
  return all;
}

}  // namespace

std::vector<image_detections> decode_tensors(
    const tensor_input& predictions, const tensor_input* scores, std::int32_t net_width,
    std::int32_t net_height, const thresholds& limits, const decode_request& request,
    std::vector<image_keypoints>* keypoints, const tensor_input* prototypes,
    std::vector<image_masks>* masks, std::vector<image_rotated>* rotated) {
  check_size(net_width, net_height);
  const std::vector<std::size_t>& shape = predictions.shape;
  // Mask coefficients: the last C values of each candidate.
  std::size_t coefficients = 0;
  if (prototypes != nullptr) {
    if (request.layout != "columns" && request.layout != "rows" &&
        request.layout != "rows-objectness") {
      throw input_error("--masks goes with --layout columns, rows or rows-objectness");
    }
    coefficients = prototypes->shape.at(1);
    if (prototypes->shape.at(0) != shape.at(0)) {
      throw input_error(prototypes->file + ": shape " + shape_text(prototypes->shape) +
                        " holds another number of images than " + predictions.file);
    }
  }
  // The keypoint values and mask coefficients after the classes, taken off
  // the class count.
  const std::size_t keypoint_values = static_cast<std::size_t>(request.keypoints) * 3;
  const std::size_t tail = keypoint_values + coefficients;
  if (tail > 0 && request.layout != "rows" && request.layout != "rows-objectness" &&
      request.layout != "columns") {
    throw input_error("--keypoints goes with --layout rows, rows-objectness, columns or levels");
  }
  const auto batch = static_cast<std::int64_t>(shape.at(0));
  const auto fits_int32 = [](std::size_t value) { return value <= 0x7fffffffu; };
  const auto refuse = [&](const std::string& file, const std::vector<std::size_t>& got,
                          const std::string& wanted) {
    throw input_error(file + ": shape " + shape_text(got) + " is not " + wanted + " (--layout " +
                      request.layout + ")");
  };
  quelt_layout layout{};
  if (request.layout == "rows" || request.layout == "rows-objectness") {
    const std::size_t first = request.layout == "rows" ? 4 : 5;
    if (shape[2] <= first + tail || !fits_int32(shape[2] - first)) {
      refuse(predictions.file, shape,
             first == 4 ? "(batch, candidates, 4 + classes)" : "(batch, candidates, 5 + classes)");
    }
    quelt_layout_rows(&layout, element_at(predictions, 0), batch,
                      static_cast<std::int64_t>(shape[1]),
                      static_cast<std::int32_t>(shape[2] - first - tail), first == 5 ? 1 : 0);
    layout.objectness.data = first == 5 ? element_at(predictions, 4) : nullptr;
    layout.scores.data = element_at(predictions, first);
    layout.extras = quelt_view{element_at(predictions, shape[2] - tail),
                               static_cast<std::int64_t>(shape[1] * shape[2]),
                               static_cast<std::int64_t>(shape[2]), 1};
  } else if (request.layout == "columns") {
    if (shape[1] <= 4 + tail || !fits_int32(shape[1] - 4)) {
      refuse(predictions.file, shape,
             tail > 0 ? "(batch, 4 + classes + " + std::to_string(tail) + " extras, candidates)"
                      : std::string("(batch, 4 + classes, candidates)"));
    }
    quelt_layout_columns(&layout, element_at(predictions, 0), batch,
                         static_cast<std::int64_t>(shape[2]),
                         static_cast<std::int32_t>(shape[1] - 4 - tail));
    layout.scores.data = element_at(predictions, 4 * shape[2]);
    layout.extras = quelt_view{element_at(predictions, (shape[1] - tail) * shape[2]),
                               static_cast<std::int64_t>(shape[1] * shape[2]), 1,
                               static_cast<std::int64_t>(shape[2])};
  } else if (request.layout == "separate" || request.layout == "separate-by-class") {
    const bool by_class = request.layout == "separate-by-class";
    if (scores == nullptr) {
      throw input_error("--layout " + request.layout +
                        " needs the class scores: --scores FILE.npy");
    }
    if (shape[2] != 4) {
      refuse(predictions.file, shape, "(batch, candidates, 4)");
    }
    const std::vector<std::size_t>& score_shape = scores->shape;
    const std::size_t classes = by_class ? score_shape[1] : score_shape[2];
    const std::size_t candidates = by_class ? score_shape[2] : score_shape[1];
    if (score_shape[0] != shape[0] || candidates != shape[1] || classes == 0 ||
        !fits_int32(classes)) {
      const std::string wanted = "(" + std::to_string(shape[0]) + ", " +
                                 (by_class ? "classes, " + std::to_string(shape[1])
                                           : std::to_string(shape[1]) + ", classes") +
                                 ") to fit the boxes";
      refuse(scores->file, score_shape, wanted);
    }
    quelt_layout_separate(&layout, element_at(predictions, 0), element_at(*scores, 0), batch,
                          static_cast<std::int64_t>(shape[1]), static_cast<std::int32_t>(classes),
                          by_class ? 1 : 0);
  } else if (request.layout == "obb") {
    if (shape[1] <= 5 || !fits_int32(shape[1] - 5)) {
      refuse(predictions.file, shape, "(batch, 4 + classes + 1, candidates)");
    }
    quelt_layout_columns(&layout, element_at(predictions, 0), batch,
                         static_cast<std::int64_t>(shape[2]),
                         static_cast<std::int32_t>(shape[1] - 5));
    layout.scores.data = element_at(predictions, 4 * shape[2]);
    layout.box_coding = QUELT_BOX_ROTATED;
    layout.angles = quelt_view{element_at(predictions, (shape[1] - 1) * shape[2]),
                               static_cast<std::int64_t>(shape[1] * shape[2]), 1, 0};
    layout.angles_element = predictions.element;
    layout.angle_flags = (request.degrees ? QUELT_ANGLE_DEGREES : 0) |
                         (request.counterclockwise ? QUELT_ANGLE_COUNTERCLOCKWISE : 0);
    layout.rotated_overlap =
        request.probabilistic ? QUELT_OVERLAP_PROBABILISTIC : QUELT_OVERLAP_EXACT;
  } else if (request.layout == "end-to-end") {
    if (shape[2] != 6) {
      refuse(predictions.file, shape, "(batch, candidates, 6)");
    }
    quelt_layout_end_to_end(&layout, element_at(predictions, 0), batch,
                            static_cast<std::int64_t>(shape[1]));
    layout.scores.data = element_at(predictions, 4);
  } else {
    throw input_error("unknown layout '" + request.layout + "'");
  }
  if (scores != nullptr && request.layout.rfind("separate", 0) != 0) {
    throw input_error("--scores goes with --layout separate or separate-by-class");
  }
  layout.boxes_element = predictions.element;
  layout.objectness_element = predictions.element;
  layout.scores_element = scores != nullptr ? scores->element : predictions.element;
  const bool obb = request.layout == "obb";
  if ((request.degrees || request.counterclockwise || request.probabilistic) && !obb) {
    throw input_error("--degrees, --counterclockwise and --probabilistic go with --layout obb");
  }
  if (request.corners) {
    if (obb) {
      throw input_error("--corners does not go with --layout obb (centre, size and angle)");
    }
    layout.box_coding = QUELT_BOX_CORNERS;
  }
  if (request.logits) {
    layout.score_coding = QUELT_SCORES_LOGITS;
  }
  if (tail > 0) {
    layout.extras_element = predictions.element;
    layout.extras_count = static_cast<std::int32_t>(tail);
  }
  if (keypoint_values > 0) {
    layout.keypoint_count = request.keypoints;
    layout.keypoint_values = 3;
    layout.keypoint_coding = layout.score_coding;
  } else if (tail == 0) {
    layout.extras = quelt_view{};
  }

  const decode_settings settings(static_cast<std::size_t>(batch), net_width, net_height, limits,
                                 request);
  quelt_decode_options options = settings.options;
  if (tail > 0) {
    options.details = 1;  // keeps each record's extras and box
  }
  batch_owner owner;
  check(quelt_decode(&layout, &options, &owner.handle), "quelt_decode");
  if (keypoint_values > 0 && keypoints != nullptr) {
    *keypoints = read_keypoints(owner.handle, request.keypoints);
  }
  std::vector<image_detections> images = read_batch(owner.handle);
  if (coefficients != 0 && masks != nullptr) {
    *masks = read_masks(owner.handle, *prototypes, static_cast<std::int32_t>(keypoint_values),
                        request.geometry != nullptr, images);
  }
  if (request.layout == "obb" && rotated != nullptr) {
    rotated->resize(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
      (*rotated)[i].resize(images[i].size());
      check(quelt_batch_rotated_store(owner.handle, i, (*rotated)[i].data()),
            "quelt_batch_rotated_store");
    }
  }
  return images;
}

std::vector<image_detections> decode_level_tensors(const std::vector<tensor_input>& maps,
                                                   std::int32_t net_width, std::int32_t net_height,
                                                   const thresholds& limits,
                                                   const decode_request& request,
                                                   std::vector<image_keypoints>* keypoints) {
  check_size(net_width, net_height);
  // Files a level: box, class and, with keypoints, keypoint maps.
  const std::size_t per_level = request.keypoints > 0 ? 3 : 2;
  if (maps.empty() || maps.size() % per_level != 0) {
    throw input_error(
        per_level == 2 ? "--layout levels reads pairs of files, BOX.npy CLS.npy per level; got " +
                             std::to_string(maps.size()) + " files"
                       : "--layout levels with --keypoints reads BOX.npy CLS.npy KPT.npy per "
                         "level; got " +
                             std::to_string(maps.size()) + " files");
  }
  const std::size_t count = maps.size() / per_level;
  if (!request.strides.empty() && request.strides.size() != count) {
    throw input_error("--strides: " + std::to_string(request.strides.size()) + " strides for " +
                      std::to_string(count) + " levels");
  }
  const tensor_input& first_box = maps[0];
  const tensor_input& first_cls = maps[1];
  std::vector<quelt_grid_view> keypoint_maps;
  const std::size_t bins =
      request.bins > 0 ? static_cast<std::size_t>(request.bins) : first_box.shape[1] / 4;
  std::vector<quelt_level> levels(count);
  for (std::size_t l = 0; l < count; ++l) {
    const tensor_input& box = maps[per_level * l];
    const tensor_input& cls = maps[per_level * l + 1];
    const std::size_t h = cls.shape[2];
    const std::size_t w = cls.shape[3];
    if (cls.shape[0] != first_cls.shape[0] || cls.shape[1] != first_cls.shape[1] ||
        cls.shape[1] == 0 || cls.shape[1] > 0x7fffffffu) {
      throw input_error(cls.file + ": shape " + shape_text(cls.shape) + " is not (" +
                        std::to_string(first_cls.shape[0]) + ", " +
                        std::to_string(first_cls.shape[1]) + ", H, W) like " + first_cls.file);
    }
    if (bins == 0 || bins > 0x7fffffffu / 4 || box.shape[0] != cls.shape[0] ||
        box.shape[1] != 4 * bins || box.shape[2] != h || box.shape[3] != w) {
      throw input_error(box.file + ": shape " + shape_text(box.shape) + " is not (" +
                        std::to_string(cls.shape[0]) + ", 4 x bins, " + std::to_string(h) + ", " +
                        std::to_string(w) + ") beside " + cls.file);
    }
    std::int32_t stride = 0;
    if (!request.strides.empty()) {
      stride = request.strides[l];
    } else if (w > 0 && static_cast<std::size_t>(net_width) % w == 0) {
      stride = static_cast<std::int32_t>(static_cast<std::size_t>(net_width) / w);
    } else {
      throw input_error(cls.file + ": " + std::to_string(w) +
                        " columns do not divide the network width; give --strides");
    }
    const auto plane = static_cast<std::int64_t>(h * w);
    const auto width = static_cast<std::int64_t>(w);
    levels[l].height = static_cast<std::int64_t>(h);
    levels[l].width = width;
    levels[l].stride = stride;
    levels[l].boxes = quelt_grid_view{
        element_at(box, 0), static_cast<std::int64_t>(box.shape[1]) * plane, width, 1, plane,
        box.element};
    levels[l].scores = quelt_grid_view{
        element_at(cls, 0), static_cast<std::int64_t>(cls.shape[1]) * plane, width, 1, plane,
        cls.element};
    if (per_level == 3) {
      const tensor_input& kpt = maps[per_level * l + 2];
      const auto channels = static_cast<std::size_t>(request.keypoints) * 3;
      if (kpt.shape[0] != cls.shape[0] || kpt.shape[1] != channels || kpt.shape[2] != h ||
          kpt.shape[3] != w) {
        throw input_error(kpt.file + ": shape " + shape_text(kpt.shape) + " is not (" +
                          std::to_string(cls.shape[0]) + ", " + std::to_string(channels) + ", " +
                          std::to_string(h) + ", " + std::to_string(w) + ") beside " + cls.file);
      }
      keypoint_maps.push_back(quelt_grid_view{element_at(kpt, 0),
                                              static_cast<std::int64_t>(channels) * plane, width, 1,
                                              plane, kpt.element});
    }
  }
  quelt_levels heads;
  quelt_levels_init(&heads);
  heads.score_coding = request.logits ? QUELT_SCORES_LOGITS : QUELT_SCORES_PROBABILITIES;
  heads.batch = static_cast<std::int64_t>(first_cls.shape[0]);
  heads.classes = static_cast<std::int32_t>(first_cls.shape[1]);
  heads.bins = static_cast<std::int32_t>(bins);
  heads.level_count = static_cast<std::int64_t>(count);
  heads.levels = levels.data();
  if (per_level == 3) {
    // A pose head's raw terms: x = (raw_x * 2 + gx) * stride, visibility a logit.
    heads.extras = keypoint_maps.data();
    heads.extras_count = request.keypoints * 3;
    heads.keypoint_count = request.keypoints;
    heads.keypoint_values = 3;
    heads.keypoint_coding = heads.score_coding;
    heads.keypoint_form = QUELT_KEYPOINTS_GRID;
  }
  const decode_settings settings(first_cls.shape[0], net_width, net_height, limits, request);
  batch_owner owner;
  check(quelt_decode_levels(&heads, &settings.options, &owner.handle), "quelt_decode_levels");
  if (per_level == 3 && keypoints != nullptr) {
    *keypoints = read_keypoints(owner.handle, request.keypoints);
  }
  return read_batch(owner.handle);
}

std::vector<image_detections> decode_layers(std::vector<layer_input>& layers,
                                            const std::vector<float>& anchors, std::int32_t classes,
                                            std::int32_t net_width, std::int32_t net_height,
                                            const thresholds& limits) {
  check_size(net_width, net_height);
  if (layers.empty()) {
    throw input_error("no layer files given");
  }
  const std::size_t pairs = anchors.size() / 2;
  if (anchors.empty() || anchors.size() % 2 != 0) {
    throw input_error("--anchors needs (width, height) pairs, got " +
                      std::to_string(anchors.size()) + " values");
  }
  std::vector<yolo_output> outputs(layers.size());
  for (std::size_t l = 0; l < layers.size(); ++l) {
    const layer_input& layer = layers[l];
    if (layer.shape[0] != layers[0].shape[0]) {
      throw input_error(layer.file + ": " + std::to_string(layer.shape[0]) + " images, but " +
                        layers[0].file + " has " + std::to_string(layers[0].shape[0]));
    }
    for (const std::int32_t entry : layer.settings.mask) {
      if (entry < 0 || static_cast<std::size_t>(entry) >= pairs) {
        throw input_error(layer.file + ": mask entry " + std::to_string(entry) +
                          " names no anchor pair (there are " + std::to_string(pairs) + ")");
      }
    }
    if (!std::isfinite(layer.settings.xy_scale)) {
      throw input_error("--xy-scale must be a finite number");
    }
    yolo_output& out = outputs[l];
    out.output = output_tensor{const_cast<float*>(layer.values.data()), layer.shape[0],
                               layer.shape[2], layer.shape[1], layer.shape[3]};
    out.classes = classes;
    out.mask = const_cast<std::int32_t*>(layer.settings.mask.data());
    out.mask_size = layer.settings.mask.size();
    out.xy_scale = layer.settings.xy_scale;
    out.preactivated = layer.settings.preactivated ? 1 : 0;
    out.anchors = const_cast<float*>(anchors.data());
  }
  const auto images = static_cast<std::size_t>(layers[0].shape[0]);
  const std::vector<float> score = per_image(limits.score, images, "--score");
  const std::vector<float> overlap = per_image(limits.overlap, images, "--overlap");
  batch_owner owner;
  check(process_yolo_detections(outputs.data(), outputs.size(), net_params{net_width, net_height},
                                score.data(), overlap.data(), &owner.handle),
        "process_yolo_detections");
  return read_batch(owner.handle);
}

}  // namespace quelt::cli
