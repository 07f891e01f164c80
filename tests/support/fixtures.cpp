#include "support/fixtures.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "npy/npy.hpp"

#ifndef QUELT_SHARED_DIR
#error "QUELT_SHARED_DIR must name the shared folder beside the checkout"
#endif

namespace quelt::test {

namespace {

// The size in a JPEG's first start-of-frame marker; false when there is none.
bool jpeg_size(const std::string& file, int& width, int& height) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  std::size_t at = 2;
  while (bytes.size() >= 2 && byte(0) == 0xff && byte(1) == 0xd8 && at + 9 < bytes.size() &&
         byte(at) == 0xff) {
    const unsigned marker = byte(at + 1);
    if (marker == 0xff) {  // fill byte
      ++at;
      continue;
    }
    if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc) {
      height = byte(at + 5) << 8 | byte(at + 6);
      width = byte(at + 7) << 8 | byte(at + 8);
      return true;
    }
    at += 2 + (byte(at + 2) << 8 | byte(at + 3));
  }
  return false;
}

}  // namespace

std::string real_fixture_dir() {
  return std::string(QUELT_SHARED_DIR) + "/fixtures/real-yolo";
}

std::optional<fixture_set> load_real_fixtures() {
  const std::string dir = real_fixture_dir();
  std::ifstream manifest_file(dir + "/manifest.json");
  if (!manifest_file) {
    return std::nullopt;
  }
  const auto manifest = nlohmann::json::parse(manifest_file);

  fixture_set set;
  set.dir = dir;
  set.net_width = manifest.at("net").at("width").get<int>();
  set.net_height = manifest.at("net").at("height").get<int>();
  for (const auto& layer : manifest.at("layers")) {
    set.layers.push_back(
        fixture_layer{layer.at("mask").get<std::vector<std::int32_t>>(),
                      layer.at("anchors").get<std::vector<float>>(), layer.at("classes").get<int>(),
                      layer.at("xy_scale").get<float>(), layer.at("preactivated").get<int>()});
  }
  for (const auto& image : manifest.at("images")) {
    fixture_image entry;
    entry.name = image.at("name").get<std::string>();
    for (const auto& file : image.at("layers")) {
      entry.layer_files.push_back(dir + "/" + file.get<std::string>());
    }
    entry.sealed_file = dir + "/" + image.at("sealed").get<std::string>();
    entry.image_file = dir + "/images/" + image.at("source").get<std::string>();
    jpeg_size(entry.image_file, entry.image_width, entry.image_height);
    for (const auto& peer : image.at("opencv_peer_detections")) {
      entry.peers.push_back(
          peer_detection{peer.at("x_min").get<float>(), peer.at("y_min").get<float>(),
                         peer.at("x_max").get<float>(), peer.at("y_max").get<float>(),
                         peer.at("class_id").get<int>(), peer.at("probability").get<float>()});
    }
    set.images.push_back(std::move(entry));
  }
  std::ifstream names(dir + "/coco.names");
  for (std::string line; std::getline(names, line);) {
    if (!line.empty()) {
      set.class_names.push_back(line);
    }
  }
  return set;
}

fixture_layers::fixture_layers(const fixture_set& set) : set_(set), layers_(set.layers.size()) {
  for (const auto& image : set.images) {
    if (image.layer_files.size() != layers_.size()) {
      throw std::runtime_error(image.name + ": " + std::to_string(image.layer_files.size()) +
                               " layer files for " + std::to_string(layers_.size()) + " layers");
    }
    for (std::size_t l = 0; l < layers_.size(); ++l) {
      const auto array = npy::read_npy(image.layer_files[l]);
      stacked& layer = layers_[l];
      if (array.shape.size() != 4 || array.shape[0] != 1 ||
          (!layer.values.empty() &&
           (array.shape[1] != layer.height || array.shape[2] != layer.width ||
            array.shape[3] != layer.channels))) {
        throw std::runtime_error(image.layer_files[l] + ": not a (1, H, W, channels) layer like " +
                                 set.images.front().layer_files[l]);
      }
      layer.height = array.shape[1];
      layer.width = array.shape[2];
      layer.channels = array.shape[3];
      layer.values.insert(layer.values.end(), array.values.begin(), array.values.end());
    }
  }
}

std::vector<yolo_output> fixture_layers::outputs(std::size_t first, std::size_t count) const {
  if (first > set_.images.size() || count > set_.images.size() - first) {
    throw std::out_of_range("fixture images " + std::to_string(first) + " + " +
                            std::to_string(count) + " beyond the " +
                            std::to_string(set_.images.size()) + " there are");
  }
  std::vector<yolo_output> outputs;
  for (std::size_t l = 0; l < layers_.size(); ++l) {
    const stacked& values = layers_[l];
    const fixture_layer& layer = set_.layers[l];
    const std::size_t per_image = values.height * values.width * values.channels;
    yolo_output output{};
    // The entries only read through these pointers.
    output.output = output_tensor{const_cast<float*>(values.values.data()) + first * per_image,
                                  count, values.width, values.height, values.channels};
    output.classes = layer.classes;
    output.mask = const_cast<std::int32_t*>(layer.mask.data());
    output.mask_size = layer.mask.size();
    output.xy_scale = layer.xy_scale;
    output.preactivated = layer.preactivated;
    output.anchors = const_cast<float*>(layer.anchors.data());
    outputs.push_back(output);
  }
  return outputs;
}

double corner_iou(double x_min, double y_min, double x_max, double y_max, double other_x_min,
                  double other_y_min, double other_x_max, double other_y_max) {
  const double ix = std::min(x_max, other_x_max) - std::max(x_min, other_x_min);
  const double iy = std::min(y_max, other_y_max) - std::max(y_min, other_y_min);
  if (ix <= 0 || iy <= 0) {
    return 0.0;
  }
  const double inter = ix * iy;
  const double area = (x_max - x_min) * (y_max - y_min);
  const double other_area = (other_x_max - other_x_min) * (other_y_max - other_y_min);
  return inter / (area + other_area - inter);
}

}  // namespace quelt::test
