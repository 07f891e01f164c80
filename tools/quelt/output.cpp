#include "output.hpp"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <limits>
#include <sstream>

#include <nlohmann/json.hpp>

namespace quelt::cli {

namespace {

// Enough digits that a float read back from the text is the same float.
constexpr int exact_digits = std::numeric_limits<float>::max_digits10;

std::string xml_escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // Control characters are not allowed in XML 1.0 text.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') {
          out += c;
        }
    }
  }
  return out;
}

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) {
    return text;
  }
  std::string out = "\"";
  for (const char c : text) {
    out += c;
    if (c == '"') {
      out += '"';
    }
  }
  return out + "\"";
}

std::uint32_t big_endian(const std::string& bytes, std::size_t at, int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

// Walks the JPEG markers to the first start-of-frame, which holds the size.
bool jpeg_size(const std::string& bytes, std::int32_t& width, std::int32_t& height) {
  std::size_t at = 2;
  while (at + 9 < bytes.size()) {
    if (static_cast<unsigned char>(bytes[at]) != 0xff) {
      return false;
    }
    const unsigned marker = static_cast<unsigned char>(bytes[at + 1]);
    if (marker == 0xff) {
      ++at;
      continue;
    }
    // TEM and RST0..RST7 stand alone, without a length.
    if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
      at += 2;
      continue;
    }
    const std::uint32_t length = big_endian(bytes, at + 2, 2);
    if (length < 2) {
      return false;
    }
    const bool frame =
        marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
    if (frame) {
      height = static_cast<std::int32_t>(big_endian(bytes, at + 5, 2));
      width = static_cast<std::int32_t>(big_endian(bytes, at + 7, 2));
      return true;
    }
    at += 2 + length;
  }
  return false;
}

const char* const palette[] = {"#e6194b", "#3cb44b", "#4363d8", "#f58231", "#911eb4",
                               "#42d4f4", "#f032e6", "#9a6324", "#800000", "#469990"};

}  // namespace

std::string class_name(const report_context& context, std::int32_t class_id) {
  if (class_id >= 0 && static_cast<std::size_t>(class_id) < context.names.size()) {
    return context.names[static_cast<std::size_t>(class_id)];
  }
  return "class " + std::to_string(class_id);
}

std::vector<std::string> read_names(const std::string& file) {
  std::ifstream in(file);
  if (!in) {
    throw input_error(file + ": cannot open: " + std::strerror(errno));
  }
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    names.push_back(line);
  }
  while (!names.empty() && names.back().empty()) {
    names.pop_back();
  }
  return names;
}

void write_table(std::ostream& out, const std::vector<image_result>& results,
                 const report_context& context) {
  for (std::size_t i = 0; i < results.size(); ++i) {
    const image_result& result = results[i];
    out << (i > 0 ? "\n" : "") << result.name << ": " << result.detections.size()
        << (result.detections.size() == 1 ? " detection" : " detections") << "\n";
    if (result.detections.empty()) {
      continue;
    }
    if (context.image_width > 0) {
      out << "  class            probability  objectness    x_min    y_min    x_max    y_max"
             "   (image pixels)\n";
      for (const object_detection& d : result.detections) {
        std::ostringstream line;
        line << "  " << std::left << std::setw(16) << class_name(context, d.class_id) << std::right
             << std::fixed << std::setprecision(3) << std::setw(12) << d.probability
             << std::setw(12) << d.objectness << std::setprecision(1) << std::setw(9) << d.x_min
             << std::setw(9) << d.y_min << std::setw(9) << d.x_max << std::setw(9) << d.y_max
             << "\n";
        out << line.str();
      }
      continue;
    }
    out << "  class            probability  objectness   x_min   y_min   x_max   y_max"
           "   box in input pixels\n";
    for (const object_detection& d : result.detections) {
      std::ostringstream line;
      line << "  " << std::left << std::setw(16) << class_name(context, d.class_id) << std::right
           << std::fixed << std::setprecision(3) << std::setw(12) << d.probability << std::setw(12)
           << d.objectness << std::setw(8) << d.x_min << std::setw(8) << d.y_min << std::setw(8)
           << d.x_max << std::setw(8) << d.y_max << "   " << std::setprecision(0) << "("
           << d.x_min * static_cast<float>(context.net_width) << ", "
           << d.y_min * static_cast<float>(context.net_height) << ", "
           << d.x_max * static_cast<float>(context.net_width) << ", "
           << d.y_max * static_cast<float>(context.net_height) << ")\n";
      out << line.str();
    }
  }
}

void write_json(std::ostream& out, const std::vector<image_result>& results,
                const report_context& context) {
  nlohmann::ordered_json images = nlohmann::ordered_json::array();
  for (const image_result& result : results) {
    nlohmann::ordered_json detections = nlohmann::ordered_json::array();
    const bool rotated = result.rotated.size() == result.detections.size();
    for (std::size_t i = 0; i < result.detections.size(); ++i) {
      const object_detection& d = result.detections[i];
      detections.push_back({{"class_id", d.class_id},
                            {"class", class_name(context, d.class_id)},
                            {"probability", d.probability},
                            {"objectness", d.objectness},
                            {"x_min", d.x_min},
                            {"y_min", d.y_min},
                            {"x_max", d.x_max},
                            {"y_max", d.y_max}});
      if (result.keypoints_per_record > 0) {
        // x, y, visibility per keypoint, x and y in the units of the edges.
        const auto k = static_cast<std::size_t>(result.keypoints_per_record);
        const std::size_t at = (detections.size() - 1) * k * 3;
        nlohmann::ordered_json points = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < k; ++i) {
          points.push_back({result.keypoints[at + 3 * i], result.keypoints[at + 3 * i + 1],
                            result.keypoints[at + 3 * i + 2]});
        }
        detections.back()["keypoints"] = std::move(points);
      }
      if (rotated && !result.rotated.empty()) {
        // The rotated box, in pixels of the network input or of the image.
        const quelt_rotated_detection& r = result.rotated[i];
        detections.back()["rotated"] = {{"cx", r.cx},
                                        {"cy", r.cy},
                                        {"width", r.width},
                                        {"height", r.height},
                                        {"angle", r.angle}};
      }
    }
    images.push_back({{"name", result.name}, {"detections", std::move(detections)}});
  }
  nlohmann::ordered_json document = {
      {"net", {{"width", context.net_width}, {"height", context.net_height}}}};
  if (context.image_width > 0) {
    // The boxes are pixels of images of this size, not fractions of the input.
    document["image_pixels"] = {{"width", context.image_width}, {"height", context.image_height}};
  }
  document["images"] = std::move(images);
  out << document.dump(2) << "\n";
}

void write_csv(std::ostream& out, const std::vector<image_result>& results,
               const report_context& context) {
  out << "image,class_id,class,probability,objectness,x_min,y_min,x_max,y_max\n";
  out << std::setprecision(exact_digits);
  for (const image_result& result : results) {
    for (const object_detection& d : result.detections) {
      out << csv_field(result.name) << "," << d.class_id << ","
          << csv_field(class_name(context, d.class_id)) << "," << d.probability << ","
          << d.objectness << "," << d.x_min << "," << d.y_min << "," << d.x_max << "," << d.y_max
          << "\n";
    }
  }
}

std::string base64_encode(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const std::uint32_t group = big_endian(bytes, i, 3);
    out += alphabet[(group >> 18) & 63];
    out += alphabet[(group >> 12) & 63];
    out += alphabet[(group >> 6) & 63];
    out += alphabet[group & 63];
  }
  if (i + 1 == bytes.size()) {
    const std::uint32_t group = big_endian(bytes, i, 1) << 16;
    out += alphabet[(group >> 18) & 63];
    out += alphabet[(group >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    const std::uint32_t group = big_endian(bytes, i, 2) << 8;
    out += alphabet[(group >> 18) & 63];
    out += alphabet[(group >> 12) & 63];
    out += alphabet[(group >> 6) & 63];
    out += '=';
  }
  return out;
}

picture load_picture(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw input_error(file + ": cannot open: " + std::strerror(errno));
  }
  errno = 0;
  std::string bytes;
  try {
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    // The stream buffer throws when reading fails (a folder, say); errno says why.
    bytes.clear();
  }
  if (bytes.empty()) {
    throw input_error(
        file + ": cannot read: " + (errno != 0 ? std::strerror(errno) : "the file is empty"));
  }
  picture result;
  bool sized = false;
  if (bytes.size() >= 8 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
    result.media_type = "image/png";
    // The size is in the IHDR chunk, which must come first.
    if (bytes.size() >= 24 && bytes.compare(12, 4, "IHDR") == 0) {
      result.width = static_cast<std::int32_t>(big_endian(bytes, 16, 4));
      result.height = static_cast<std::int32_t>(big_endian(bytes, 20, 4));
      sized = true;
    }
  } else if (bytes.size() >= 4 && bytes.compare(0, 2, "\xff\xd8") == 0) {
    result.media_type = "image/jpeg";
    sized = jpeg_size(bytes, result.width, result.height);
  } else if (bytes.size() >= 10 &&
             (bytes.compare(0, 6, "GIF87a") == 0 || bytes.compare(0, 6, "GIF89a") == 0)) {
    result.media_type = "image/gif";
    result.width =
        static_cast<unsigned char>(bytes[6]) | (static_cast<unsigned char>(bytes[7]) << 8);
    result.height =
        static_cast<unsigned char>(bytes[8]) | (static_cast<unsigned char>(bytes[9]) << 8);
    sized = true;
  } else {
    throw input_error(file + ": not a PNG, JPEG or GIF image");
  }
  if (!sized || result.width <= 0 || result.height <= 0) {
    throw input_error(file + ": cannot read the image size");
  }
  result.base64 = base64_encode(bytes);
  return result;
}

namespace {

// COCO's 17 keypoints joined as a person: the face, the arms, the trunk and
// the legs, pairs of keypoint indices.
constexpr int coco_skeleton[][2] = {
    {15, 13}, {13, 11}, {16, 14}, {14, 12}, {11, 12}, {5, 11}, {6, 12}, {5, 6}, {5, 7}, {6, 8},
    {7, 9},   {8, 10},  {1, 2},   {0, 1},   {0, 2},   {1, 3},  {2, 4},  {3, 5}, {4, 6}};
constexpr float shown_visibility = 0.5f;

void draw_keypoints(std::ostream& svg, const image_result& result, double x_scale, double y_scale,
                    double stroke) {
  const std::size_t k = static_cast<std::size_t>(result.keypoints_per_record);
  if (k == 0) {
    return;
  }
  svg << "<g stroke-linecap=\"round\">\n";
  for (std::size_t d = 0; d < result.detections.size(); ++d) {
    const float* points = result.keypoints.data() + d * k * 3;
    const auto shown = [&](std::size_t i) { return points[3 * i + 2] > shown_visibility; };
    if (k == 17) {
      for (const auto& bone : coco_skeleton) {
        const auto a = static_cast<std::size_t>(bone[0]);
        const auto b = static_cast<std::size_t>(bone[1]);
        if (shown(a) && shown(b)) {
          svg << "<line x1=\"" << points[3 * a] * x_scale << "\" y1=\""
              << points[3 * a + 1] * y_scale << "\" x2=\"" << points[3 * b] * x_scale << "\" y2=\""
              << points[3 * b + 1] * y_scale << "\" stroke=\"#00e5ff\" stroke-width=\"" << stroke
              << "\"/>\n";
        }
      }
    }
    for (std::size_t i = 0; i < k; ++i) {
      if (shown(i)) {
        svg << "<circle cx=\"" << points[3 * i] * x_scale << "\" cy=\""
            << points[3 * i + 1] * y_scale << "\" r=\"" << stroke * 1.5
            << "\" fill=\"#ff3d00\"/>\n";
      }
    }
  }
  svg << "</g>\n";
}

// A mask as SVG path data in canvas units: its pixels' rows as runs (the
// area), and the edges between set and unset pixels (the outline).
void mask_paths(const record_mask& mask, double x_scale, double y_scale, std::ostream& area,
                std::ostream& outline) {
  const auto set = [&](std::int32_t x, std::int32_t y) {
    return x >= 0 && y >= 0 && x < mask.width && y < mask.height &&
           mask.values[static_cast<std::size_t>(y) * mask.width + x] != 0;
  };
  const auto point = [&](std::ostream& out, char command, double x, double y) {
    out << command << (mask.x + x) * x_scale << ' ' << (mask.y + y) * y_scale << ' ';
  };
  for (std::int32_t y = 0; y < mask.height; ++y) {
    for (std::int32_t x = 0; x < mask.width;) {
      if (!set(x, y)) {
        ++x;
        continue;
      }
      std::int32_t end = x;
      while (end < mask.width && set(end, y)) {
        ++end;
      }
      point(area, 'M', x, y);
      point(area, 'L', end, y);
      point(area, 'L', end, y + 1);
      point(area, 'L', x, y + 1);
      area << "Z ";
      x = end;
    }
    // Horizontal edges above this row, merged along the row; vertical edges
    // at each run's ends.
    for (std::int32_t x = 0; x < mask.width;) {
      if (set(x, y) == set(x, y - 1)) {
        ++x;
        continue;
      }
      std::int32_t end = x;
      while (end < mask.width && set(end, y) != set(end, y - 1)) {
        ++end;
      }
      point(outline, 'M', x, y);
      point(outline, 'L', end, y);
      x = end;
    }
    for (std::int32_t x = 0; x <= mask.width; ++x) {
      if (set(x, y) != set(x - 1, y)) {
        point(outline, 'M', x, y);
        point(outline, 'L', x, y + 1);
      }
    }
  }
  for (std::int32_t x = 0; x < mask.width; ++x) {
    if (set(x, mask.height - 1)) {
      point(outline, 'M', x, mask.height);
      point(outline, 'L', x + 1, mask.height);
    }
  }
}

}  // namespace

std::string render_svg(const image_result& result, const report_context& context,
                       const std::optional<picture>& background) {
  const bool pixels = context.image_width > 0;
  const double width = background ? background->width
                       : pixels   ? context.image_width
                                  : context.net_width;
  const double height = background ? background->height
                        : pixels   ? context.image_height
                                   : context.net_height;
  // What a box corner is multiplied by to land on the canvas.
  const double x_scale = pixels ? width / context.image_width : width;
  const double y_scale = pixels ? height / context.image_height : height;
  // Strokes and labels scale with the picture so they stay readable.
  const double stroke = std::max(1.5, std::min(width, height) / 200.0);
  const double font = std::max(10.0, std::min(width, height) / 30.0);

  std::ostringstream svg;
  svg << std::fixed << std::setprecision(1);
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
      << "width=\"" << width << "\" height=\"" << height << "\" viewBox=\"0 0 " << width << " "
      << height << "\">\n"
      << "<title>" << xml_escape(result.name) << ": " << result.detections.size()
      << " detections</title>\n";
  if (background) {
    svg << "<image x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height
        << "\" preserveAspectRatio=\"none\" xlink:href=\"data:" << background->media_type
        << ";base64," << background->base64 << "\"/>\n";
  } else {
    svg << "<rect x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height
        << "\" fill=\"#f5f5f0\" stroke=\"#999\"/>\n";
  }
  // Masks first, under every box; in canvas units per mask pixel (original
  // pixels with geometry, network-input pixels without).
  const double mask_x = pixels ? x_scale : width / context.net_width;
  const double mask_y = pixels ? y_scale : height / context.net_height;
  for (std::size_t i = 0; i < result.masks.size() && i < result.detections.size(); ++i) {
    const std::int32_t class_id = result.detections[i].class_id;
    const char* color =
        palette[static_cast<std::size_t>(class_id < 0 ? -(class_id + 1) : class_id) %
                (sizeof palette / sizeof palette[0])];
    std::ostringstream area;
    std::ostringstream outline;
    area << std::fixed << std::setprecision(1);
    outline << std::fixed << std::setprecision(1);
    mask_paths(result.masks[i], mask_x, mask_y, area, outline);
    if (area.str().empty()) {
      continue;
    }
    svg << "<path d=\"" << area.str() << "\" fill=\"" << color
        << "\" fill-opacity=\"0.35\" stroke=\"none\"/>\n"
        << "<path d=\"" << outline.str() << "\" fill=\"none\" stroke=\"" << color
        << "\" stroke-opacity=\"0.9\" stroke-width=\"" << stroke * 0.6 << "\"/>\n";
  }
  svg << "<g font-family=\"sans-serif\" font-size=\"" << font << "\">\n";
  // Weakest first, so the strongest boxes and labels end up on top.
  std::vector<std::size_t> order(result.detections.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return result.detections[a].probability < result.detections[b].probability;
  });
  const bool rotated = result.rotated.size() == result.detections.size() && !order.empty() &&
                       !result.rotated.empty();
  // Rotated boxes are in pixels: of the original image, or of the network input.
  const double pixel_x = pixels ? x_scale : width / context.net_width;
  const double pixel_y = pixels ? y_scale : height / context.net_height;
  draw_keypoints(svg, result, x_scale, y_scale, stroke);
  for (const std::size_t at : order) {
    const object_detection& d = result.detections[at];
    const double x0 = d.x_min * x_scale;
    const double y0 = d.y_min * y_scale;
    const double x1 = d.x_max * x_scale;
    const double y1 = d.y_max * y_scale;
    const char* color =
        palette[static_cast<std::size_t>(d.class_id < 0 ? -(d.class_id + 1) : d.class_id) %
                (sizeof palette / sizeof palette[0])];
    std::ostringstream label;
    label << class_name(context, d.class_id) << " " << std::fixed << std::setprecision(2)
          << d.probability;
    const std::string text = xml_escape(label.str());
    // Above the box when there is room, else just inside its top edge.
    const double label_height = font * 1.3;
    const double label_top = y0 - label_height >= 0 ? y0 - label_height : y0;
    const double label_width = font * 0.6 * static_cast<double>(label.str().size()) + font * 0.5;
    // Kept inside the picture when the box touches its right edge.
    const double label_left = std::max(0.0, std::min(x0, width - label_width));
    svg << "<g><title>" << text << "</title>\n";
    if (rotated) {
      // The four corners of the rotated rectangle.
      const quelt_rotated_detection& r = result.rotated[at];
      const double c = std::cos(static_cast<double>(r.angle));
      const double s = std::sin(static_cast<double>(r.angle));
      const double ux = r.width * 0.5 * c;
      const double uy = r.width * 0.5 * s;
      const double vx = -r.height * 0.5 * s;
      const double vy = r.height * 0.5 * c;
      svg << "<polygon points=\"";
      const double signs[4][2] = {{1, 1}, {-1, 1}, {-1, -1}, {1, -1}};
      for (const auto& sign : signs) {
        svg << (r.cx + sign[0] * ux + sign[1] * vx) * pixel_x << ","
            << (r.cy + sign[0] * uy + sign[1] * vy) * pixel_y << " ";
      }
      svg << "\" fill=\"none\" stroke=\"" << color << "\" stroke-width=\"" << stroke << "\"/>\n";
    } else {
      svg << "<rect x=\"" << x0 << "\" y=\"" << y0 << "\" width=\"" << (x1 - x0) << "\" height=\""
          << (y1 - y0) << "\" fill=\"none\" stroke=\"" << color << "\" stroke-width=\"" << stroke
          << "\"/>\n";
    }
    svg << "<rect x=\"" << label_left << "\" y=\"" << label_top << "\" width=\"" << label_width
        << "\" height=\"" << label_height << "\" fill=\"" << color << "\" fill-opacity=\"0.85\"/>\n"
        << "<text x=\"" << label_left + font * 0.3 << "\" y=\"" << label_top + font * 1.0
        << "\" fill=\"#fff\">" << text << "</text></g>\n";
  }
  svg << "</g>\n</svg>\n";
  return svg.str();
}

}  // namespace quelt::cli
