// The tool's outputs: a table, JSON or CSV on standard output, and an SVG
// picture of the boxes.
#ifndef QUELT_TOOLS_QUELT_OUTPUT_HPP
#define QUELT_TOOLS_QUELT_OUTPUT_HPP

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "decode.hpp"

namespace quelt::cli {

struct image_result {
  std::string name;
  image_detections detections;
  // With --keypoints: per detection, keypoints_per_record x (x, y,
  // visibility), x and y in the units of the detection's edges.
  std::int32_t keypoints_per_record = 0;
  std::vector<float> keypoints;
  image_masks masks;  // one per detection, or none
  // --layout obb: the rotated box of each detection (network-input pixels,
  // or original-image pixels as the detections); empty otherwise.
  image_rotated rotated;
};

struct report_context {
  std::vector<std::string> names;  // class names by id; may be short or empty
  std::int32_t net_width = 0;
  std::int32_t net_height = 0;
  // Above 0 when the boxes are in pixels of an original image of this size
  // rather than fractions of the network input.
  double image_width = 0;
  double image_height = 0;
};

// "person" from the names, else "class 7".
std::string class_name(const report_context& context, std::int32_t class_id);

// One line a class name; trailing blank lines and carriage returns dropped.
std::vector<std::string> read_names(const std::string& file);

void write_table(std::ostream& out, const std::vector<image_result>& results,
                 const report_context& context);
void write_json(std::ostream& out, const std::vector<image_result>& results,
                const report_context& context);
void write_csv(std::ostream& out, const std::vector<image_result>& results,
               const report_context& context);

// An image to draw over, embedded whole as a data URI.
struct picture {
  std::string media_type;  // image/png, image/jpeg or image/gif
  std::string base64;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Reads a PNG, JPEG or GIF and finds its pixel size.
picture load_picture(const std::string& file);

// Standard base64 with padding.
std::string base64_encode(const std::string& bytes);

// The boxes over the picture, or over a blank canvas of the network input
// size (of the original image, for boxes in its pixels) without one. Box
// corners are scaled to the picture's size. Keypoints are drawn as dots,
// and 17 keypoints as COCO's person skeleton, leaving out those whose
// visibility is not above 0.5. Each mask is drawn under the boxes as a
// semi-transparent area with its outline, in its box's colour.
std::string render_svg(const image_result& result, const report_context& context,
                       const std::optional<picture>& background);

}  // namespace quelt::cli

#endif
