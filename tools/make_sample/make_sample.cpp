// quelt-make-sample: writes a small made-up network output that holds a few
// labelled boxes, so the tools can be tried without a trained network.
//
//   quelt-make-sample OUTDIR
//
// OUTDIR receives, for one 320x320 image of three classes:
//   sample.layer0.npy, sample.layer1.npy  raw Darknet YOLO layers (10x10 and
//                                         20x20 grids, three anchors each)
//   sample.sealed.npy                     the same records decoded into sealed
//                                         rows (centre, size in pixels,
//                                         objectness, class scores)
//   sample.names                          the class names
//   manifest.json                         sizes, layer settings and files, plus
//                                         the boxes that were encoded
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "npy/npy.hpp"

namespace {

constexpr int net_size = 320;
constexpr int classes = 3;
constexpr int record = classes + 5;
constexpr int anchors_per_cell = 3;
const std::vector<float> anchors = {10, 14, 23, 27, 37, 58, 81, 82, 135, 169, 344, 319};
const char* const names[classes] = {"person", "bicycle", "dog"};

struct layer_shape {
  int grid;
  std::vector<std::int32_t> mask;
};
const layer_shape layers[] = {{10, {3, 4, 5}}, {20, {0, 1, 2}}};

struct labelled_box {
  const char* why;
  int class_id;
  double cx, cy, w, h;  // network-input pixels
  double objectness;
  double score;  // of class_id; the other classes score 0.01
  int layer;     // which layer and anchor slot carries it
  int slot;
};

// A person, a bicycle and a dog; the person and the bicycle are found a
// second time by a neighbouring anchor slot, which suppression must remove;
// one faint box stays below the default detection threshold.
const labelled_box boxes[] = {
    {"person", 0, 92, 168, 74, 196, 0.96, 0.93, 0, 1},
    {"person again", 0, 96, 162, 70, 188, 0.81, 0.90, 0, 0},
    {"bicycle", 1, 210, 226, 150, 104, 0.91, 0.88, 0, 0},
    {"bicycle again", 1, 206, 230, 140, 98, 0.74, 0.86, 0, 2},
    {"dog", 2, 262, 84, 66, 50, 0.86, 0.83, 1, 2},
    {"faint", 2, 40, 40, 28, 26, 0.12, 0.70, 1, 1},
};

double logit(double p) {
  return std::log(p / (1.0 - p));
}
double logistic(double v) {
  return 1.0 / (1.0 + std::exp(-v));
}

// Raw values of one layer: (1, grid, grid, 3 x record), background records
// first, then each labelled box written into its cell and anchor slot.
std::vector<float> encode_layer(int index) {
  const layer_shape& shape = layers[index];
  std::vector<float> values(
      static_cast<std::size_t>(shape.grid * shape.grid * anchors_per_cell * record));
  for (std::size_t r = 0; r < values.size() / record; ++r) {
    float* v = &values[r * record];
    v[4] = static_cast<float>(logit(0.003));
    for (int c = 0; c < classes; ++c) {
      v[5 + c] = static_cast<float>(logit(0.01));
    }
  }
  for (const labelled_box& box : boxes) {
    if (box.layer != index) {
      continue;
    }
    const double gx = box.cx / net_size * shape.grid;
    const double gy = box.cy / net_size * shape.grid;
    const int col = static_cast<int>(gx);
    const int row = static_cast<int>(gy);
    const int pair = shape.mask[static_cast<std::size_t>(box.slot)];
    float* v = &values[static_cast<std::size_t>(
        ((row * shape.grid + col) * anchors_per_cell + box.slot) * record)];
    v[0] = static_cast<float>(logit(gx - col));
    v[1] = static_cast<float>(logit(gy - row));
    v[2] = static_cast<float>(std::log(box.w / anchors[2 * pair]));
    v[3] = static_cast<float>(std::log(box.h / anchors[2 * pair + 1]));
    v[4] = static_cast<float>(logit(box.objectness));
    v[5 + box.class_id] = static_cast<float>(logit(box.score));
  }
  return values;
}

// The sealed rows of both layers, decoded from the raw values in double.
std::vector<float> seal(const std::vector<std::vector<float>>& raw) {
  std::vector<float> rows;
  for (int l = 0; l < 2; ++l) {
    const layer_shape& shape = layers[l];
    for (int gy = 0; gy < shape.grid; ++gy) {
      for (int gx = 0; gx < shape.grid; ++gx) {
        for (int k = 0; k < anchors_per_cell; ++k) {
          const float* v = &raw[static_cast<std::size_t>(l)][static_cast<std::size_t>(
              ((gy * shape.grid + gx) * anchors_per_cell + k) * record)];
          const int pair = shape.mask[static_cast<std::size_t>(k)];
          rows.push_back(static_cast<float>((gx + logistic(v[0])) / shape.grid * net_size));
          rows.push_back(static_cast<float>((gy + logistic(v[1])) / shape.grid * net_size));
          rows.push_back(
              static_cast<float>(std::exp(static_cast<double>(v[2])) * anchors[2 * pair]));
          rows.push_back(
              static_cast<float>(std::exp(static_cast<double>(v[3])) * anchors[2 * pair + 1]));
          for (int p = 4; p < record; ++p) {
            rows.push_back(static_cast<float>(logistic(v[p])));
          }
        }
      }
    }
  }
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) == "--help") {
    std::cerr << "usage: quelt-make-sample OUTDIR   (writes a made-up network output there)\n";
    return argc == 2 ? 0 : 2;
  }
  const std::string dir = argv[1];
  try {
    std::filesystem::create_directories(dir);
    std::vector<std::vector<float>> raw;
    nlohmann::ordered_json manifest;
    manifest["net"] = {{"width", net_size}, {"height", net_size}};
    manifest["names"] = "sample.names";
    manifest["layers"] = nlohmann::ordered_json::array();
    nlohmann::ordered_json layer_files = nlohmann::ordered_json::array();
    for (int l = 0; l < 2; ++l) {
      raw.push_back(encode_layer(l));
      const std::size_t grid = static_cast<std::size_t>(layers[l].grid);
      const std::string file = "sample.layer" + std::to_string(l) + ".npy";
      quelt::npy::write_npy(dir + "/" + file, {1, grid, grid, anchors_per_cell * record},
                            raw.back());
      layer_files.push_back(file);
      manifest["layers"].push_back({{"mask", layers[l].mask},
                                    {"anchors", anchors},
                                    {"classes", classes},
                                    {"xy_scale", 1.0},
                                    {"preactivated", 0}});
    }
    const std::vector<float> sealed = seal(raw);
    quelt::npy::write_npy(dir + "/sample.sealed.npy", {1, sealed.size() / record, record}, sealed);

    nlohmann::ordered_json encoded = nlohmann::ordered_json::array();
    for (const labelled_box& box : boxes) {
      encoded.push_back({{"label", box.why},
                         {"class_id", box.class_id},
                         {"x_min", (box.cx - box.w / 2) / net_size},
                         {"y_min", (box.cy - box.h / 2) / net_size},
                         {"x_max", (box.cx + box.w / 2) / net_size},
                         {"y_max", (box.cy + box.h / 2) / net_size},
                         {"objectness", box.objectness},
                         {"probability", box.objectness * box.score}});
    }
    manifest["images"] = {{{"name", "sample"},
                           {"layers", layer_files},
                           {"sealed", "sample.sealed.npy"},
                           {"encoded_boxes", encoded}}};

    std::ofstream names_file(dir + "/sample.names");
    for (const char* name : names) {
      names_file << name << "\n";
    }
    std::ofstream manifest_file(dir + "/manifest.json");
    manifest_file << manifest.dump(1) << "\n";
    if (!names_file || !manifest_file.flush()) {
      throw std::runtime_error(dir + ": cannot write the sample files");
    }
  } catch (const std::exception& error) {
    std::cerr << "quelt-make-sample: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
