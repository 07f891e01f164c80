// What the command-line tool decodes, and the calls into the C interface
// that decode it. Inputs are validated here first so a wrong file is reported
// by name, in terms of its shape, before the library sees it.
#ifndef QUELT_TOOLS_QUELT_DECODE_HPP
#define QUELT_TOOLS_QUELT_DECODE_HPP

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quelt/quelt.h"

namespace quelt::cli {

// A mistake in what the user gave: reported as one line, exit status 1.
struct input_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct layer_settings {
  std::vector<std::int32_t> mask;
  float xy_scale = 1.0f;
  bool preactivated = false;
};

struct layer_input {
  std::string file;
  std::vector<std::size_t> shape;  // (batch, height, width, channels)
  std::vector<float> values;
  layer_settings settings;
};

struct sealed_input {
  std::string file;
  std::int64_t batch = 0;
  std::int64_t rows = 0;
  std::int32_t classes = 0;
  std::vector<float> values;  // rewritten by the decoding call
};

struct thresholds {
  std::vector<float> score;    // one per image
  std::vector<float> overlap;  // one per image
};

using image_detections = std::vector<object_detection>;

// One record's binary instance mask: width x height bytes 0 or 1, row after
// row, over columns x .. and rows y .. of the original image (of the network
// input without geometry).
struct record_mask {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<unsigned char> values;
};
using image_masks = std::vector<record_mask>;

// An array read whole, batch axis first: float32 in `values`, or float16 or
// quantized integers kept as stored in `elements`, described by `element`.
struct tensor_input {
  std::string file;
  std::vector<std::size_t> shape;
  std::vector<float> values;
  std::vector<unsigned char> elements;
  quelt_element element{};
};

// Gives every integer input its scale and zero point from --quant: `pairs`
// holds "SCALE,ZERO_POINT" texts, one for all integer inputs or one per
// integer input in the order given. Integer inputs without one are refused.
void set_quantization(const std::vector<tensor_input*>& inputs,
                      const std::vector<std::string>& pairs);

// What the decode command was asked for, beyond the thresholds.
struct decode_request {
  std::string layout;  // rows, rows-objectness, columns, separate, separate-by-class, end-to-end
  bool corners = false;
  bool logits = false;
  bool agnostic = false;
  bool multi_label = false;
  std::int32_t max_detections = 0;
  bool filter_classes = false;
  std::vector<std::int32_t> classes;               // kept when filter_classes
  const quelt_image_geometry* geometry = nullptr;  // the same for every image, or none
  std::vector<std::int32_t> strides;               // levels: per level, or none (net width / W)
  std::int32_t bins = 0;                           // levels: 0 for the box channels / 4
  // Pose keypoints, K x (x, y, visibility), after the classes (rows,
  // columns) or as a third map per level; 0 for none.
  std::int32_t keypoints = 0;
  bool degrees = false;           // obb: angles in degrees
  bool counterclockwise = false;  // obb: angles turn counter-clockwise
  bool probabilistic = false;     // obb: the probabilistic overlap
};

// Per image, the keypoints of its records (request.keypoints x 3 floats a
// record, mapped as the edges are).
using image_keypoints = std::vector<float>;

using image_rotated = std::vector<quelt_rotated_detection>;

// The layouts of the decode command, with the shape each reads.
const std::vector<std::pair<std::string, std::string>>& tensor_layouts();

// Reads an array of `dimensions` axes, or one fewer for a single image (the
// batch axis is then added); `what` names the expected shape in messages.
tensor_input load_tensor(const std::string& file, std::size_t dimensions, const std::string& what);

// Reads a sealed tensor of shape (batch, rows, classes + 5) or
// (rows, classes + 5). `classes` < 0 takes the count from the shape;
// otherwise the shape must fit it.
sealed_input load_sealed(const std::string& file, std::int32_t classes);

// Reads one layer of shape (batch, height, width, channels) or (height, width,
// channels) and checks that channels = mask size x (classes + 5).
layer_input load_layer(const std::string& file, const layer_settings& settings,
                       std::int32_t classes);

// Stacks several files' images of equal shape into one batch.
sealed_input stack_sealed(std::vector<sealed_input> parts);
layer_input stack_layers(std::vector<layer_input> parts);

// Expands one value to every image, or checks there is one per image, and
// checks each lies in [0, 1]; `name` is the option named in messages.
std::vector<float> per_image(const std::vector<float>& given, std::size_t images,
                             const std::string& name);

std::vector<image_detections> decode_sealed(sealed_input& input, std::int32_t net_width,
                                            std::int32_t net_height, const thresholds& limits);

// Decodes `predictions` (the boxes for the separate layouts, whose class
// scores are in `scores`) as `request.layout` describes them.
// With request.keypoints, `keypoints` gets them. With `prototypes` (batch,
// C, H, W) the last C values of each candidate of the columns or rows are
// mask coefficients, and `masks` receives each record's binary mask.
// For --layout obb the rotated records go to `rotated`, one list per image.
std::vector<image_detections> decode_tensors(
    const tensor_input& predictions, const tensor_input* scores, std::int32_t net_width,
    std::int32_t net_height, const thresholds& limits, const decode_request& request,
    std::vector<image_keypoints>* keypoints = nullptr, const tensor_input* prototypes = nullptr,
    std::vector<image_masks>* masks = nullptr, std::vector<image_rotated>* rotated = nullptr);

// Decodes raw per-level heads: `maps` holds a box-distribution and a class
// map (NCHW) per level, in that order, and with request.keypoints a pose
// head's raw keypoint map (batch, 3 x K, H, W) third.
std::vector<image_detections> decode_level_tensors(
    const std::vector<tensor_input>& maps, std::int32_t net_width, std::int32_t net_height,
    const thresholds& limits, const decode_request& request,
    std::vector<image_keypoints>* keypoints = nullptr);

std::vector<image_detections> decode_layers(std::vector<layer_input>& layers,
                                            const std::vector<float>& anchors, std::int32_t classes,
                                            std::int32_t net_width, std::int32_t net_height,
                                            const thresholds& limits);

}  // namespace quelt::cli

#endif
