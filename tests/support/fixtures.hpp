// The real network outputs beside the checkout (../shared/fixtures/real-yolo),
// when they are there.
#ifndef QUELT_TESTS_SUPPORT_FIXTURES_HPP
#define QUELT_TESTS_SUPPORT_FIXTURES_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quelt/quelt.h"

namespace quelt::test {

// A peer decoder's answer: corners as fractions of the input, class, score.
struct peer_detection {
  float x_min;
  float y_min;
  float x_max;
  float y_max;
  int class_id;
  float probability;
};

struct fixture_layer {
  std::vector<std::int32_t> mask;
  std::vector<float> anchors;
  int classes;
  float xy_scale;
  int preactivated;
};

struct fixture_image {
  std::string name;
  std::vector<std::string> layer_files;  // full paths, layer order
  std::string sealed_file;               // full path
  std::vector<peer_detection> peers;
  std::string image_file;  // full path of the photo the network saw, stretched
  int image_width = 0;     // its pixel size, 0 when unreadable
  int image_height = 0;
};

struct fixture_set {
  std::string dir;
  int net_width;
  int net_height;
  std::vector<fixture_layer> layers;
  std::vector<fixture_image> images;
  std::vector<std::string> class_names;
};

// The folder the fixtures are expected in.
std::string real_fixture_dir();

// nullopt when the folder is absent; throws when it is there but unreadable.
std::optional<fixture_set> load_real_fixtures();

// The Darknet layers of every image of a set, read once and stacked along
// the batch axis, with descriptors over any run of consecutive images. The
// descriptors point into this object and into `set`, which must outlive it;
// so it is neither copied nor moved.
class fixture_layers {
 public:
  // Throws when a layer file is not (1, H, W, channels) or disagrees with the
  // same layer of the first image.
  explicit fixture_layers(const fixture_set& set);
  fixture_layers(const fixture_layers&) = delete;
  fixture_layers& operator=(const fixture_layers&) = delete;

  // One descriptor per layer for images [first, first + count).
  std::vector<yolo_output> outputs(std::size_t first, std::size_t count) const;

 private:
  struct stacked {
    std::vector<float> values;  // every image, one after the other
    std::uint64_t height = 0;
    std::uint64_t width = 0;
    std::uint64_t channels = 0;
  };
  const fixture_set& set_;
  std::vector<stacked> layers_;
};

// Intersection over union of two corner boxes, in double.
double corner_iou(double x_min, double y_min, double x_max, double y_max, double other_x_min,
                  double other_y_min, double other_x_max, double other_y_max);

}  // namespace quelt::test

#endif
