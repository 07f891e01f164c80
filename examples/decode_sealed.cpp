// Decodes a sealed YOLO output tensor with quelt and prints the detections.
//
//   decode_sealed                      decode a small tensor made up here
//   decode_sealed TENSOR.npy           decode a float32 tensor of shape
//                                      (batch, rows, classes + 5)
// Options: --score S (0.25), --overlap O (0.45), --size W H (320 320),
//          --names FILE (class names, one a line).
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "npy/npy.hpp"
#include "quelt/quelt.h"

namespace {

struct options {
  float score = 0.25f;
  float overlap = 0.45f;
  std::int32_t width = 320;
  std::int32_t height = 320;
  std::string names_file;
  std::string tensor_file;
};

struct sealed_input {
  std::string source;
  std::vector<float> values;
  std::int64_t batch = 0;
  std::int64_t rows = 0;
  std::int32_t classes = 0;
  std::vector<std::string> names;
};

const char usage[] =
    "usage: decode_sealed [--score S] [--overlap O] [--size W H] [--names FILE] [TENSOR.npy]\n"
    "Without TENSOR.npy a small made-up tensor is decoded. A tensor file holds float32\n"
    "rows of (centre x, centre y, width, height, objectness, one score per class), in\n"
    "network-input pixels, shape (batch, rows, classes + 5).\n";

options parse(int argc, char** argv) {
  options opts;
  std::string arg;
  auto value = [&](int& k) -> std::string {
    if (k + 1 >= argc) {
      throw std::invalid_argument(arg + " needs more values");
    }
    return argv[++k];
  };
  auto number = [&](int& k) -> float {
    const std::string text = value(k);
    std::size_t used = 0;
    try {
      const float parsed = std::stof(text, &used);
      if (used == text.size()) {
        return parsed;
      }
    } catch (const std::logic_error&) {
    }
    throw std::invalid_argument(arg + ": not a number: " + text);
  };
  for (int k = 1; k < argc; ++k) {
    arg = argv[k];
    if (arg == "--score") {
      opts.score = number(k);
    } else if (arg == "--overlap") {
      opts.overlap = number(k);
    } else if (arg == "--size") {
      opts.width = static_cast<std::int32_t>(number(k));
      opts.height = static_cast<std::int32_t>(number(k));
    } else if (arg == "--names") {
      opts.names_file = value(k);
    } else if (arg == "-h" || arg == "--help") {
      std::cout << usage;
      std::exit(0);
    } else if (!arg.empty() && arg[0] != '-' && opts.tensor_file.empty()) {
      opts.tensor_file = arg;
    } else {
      throw std::invalid_argument("unexpected argument " + arg);
    }
  }
  return opts;
}

// One 320x320 image: a person, a car and a dog, the first two each found
// again by slightly shifted boxes that suppression should remove, plus a faint
// row and a row whose class scores are too weak.
sealed_input made_up_tensor() {
  sealed_input input;
  input.source = "made-up tensor";
  input.classes = 3;
  input.names = {"person", "car", "dog"};
  input.values = {
      // centre x, y, width, height, objectness, person, car, dog
      100, 120, 60,  180, 0.92f, 0.95f, 0.02f, 0.01f,  //
      104, 118, 58,  176, 0.85f, 0.90f, 0.03f, 0.02f,  // same person
      97,  125, 64,  170, 0.70f, 0.88f, 0.05f, 0.02f,  // same person
      240, 200, 110, 70,  0.88f, 0.02f, 0.93f, 0.01f,  //
      236, 204, 104, 66,  0.81f, 0.03f, 0.90f, 0.02f,  // same car
      200, 260, 80,  60,  0.77f, 0.05f, 0.03f, 0.86f,  //
      40,  40,  20,  20,  0.10f, 0.90f, 0.05f, 0.05f,  // too faint
      280, 60,  30,  30,  0.40f, 0.30f, 0.20f, 0.10f,  // no class strong enough
  };
  input.batch = 1;
  input.rows = static_cast<std::int64_t>(input.values.size()) / (input.classes + 5);
  return input;
}

sealed_input tensor_from_file(const std::string& path) {
  quelt::npy::npy_array array = quelt::npy::read_npy(path);
  if (array.shape.size() == 2) {
    array.shape.insert(array.shape.begin(), 1);
  }
  if (array.shape.size() != 3 || array.shape[2] < 6) {
    throw std::runtime_error(path + ": expected shape (batch, rows, classes + 5)");
  }
  sealed_input input;
  input.source = path;
  input.batch = static_cast<std::int64_t>(array.shape[0]);
  input.rows = static_cast<std::int64_t>(array.shape[1]);
  input.classes = static_cast<std::int32_t>(array.shape[2] - 5);
  input.values = std::move(array.values);
  return input;
}

std::vector<std::string> read_names(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error(path + ": cannot open");
  }
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);) {
    names.push_back(line);
  }
  return names;
}

// Throws with the library's text when a call fails, releasing the status.
void check(return_status status, const char* what) {
  if (status.status_code == 1) {
    return;
  }
  const std::string text = status.message != nullptr ? status.message : "(no message)";
  done_return_status(status);
  throw std::runtime_error(std::string(what) + " failed: " + text);
}

// Releases the batch however main is left; a handle without one is ignored.
struct batch_handle {
  batch_handle() = default;
  batch_handle(const batch_handle&) = delete;
  batch_handle& operator=(const batch_handle&) = delete;
  ~batch_handle() { object_handler_destroy(handle); }
  object_handler handle{};
};

}  // namespace

int main(int argc, char** argv) {
  try {
    const options opts = parse(argc, argv);
    sealed_input input =
        opts.tensor_file.empty() ? made_up_tensor() : tensor_from_file(opts.tensor_file);
    if (!opts.names_file.empty()) {
      input.names = read_names(opts.names_file);
    }

    // Counted before the call, which rewrites the class scores in place.
    const std::int64_t row_size = input.classes + 5;
    std::vector<std::int64_t> candidates(static_cast<std::size_t>(input.batch), 0);
    for (std::int64_t i = 0; i < input.batch; ++i) {
      for (std::int64_t r = 0; r < input.rows; ++r) {
        candidates[i] += input.values[(i * input.rows + r) * row_size + 4] > opts.score;
      }
    }

    std::cout << "Decoding " << input.source << ": " << input.batch << " image(s) x " << input.rows
              << " rows, " << input.classes << " classes, input " << opts.width << "x"
              << opts.height << ", score > " << opts.score << ", overlap > " << opts.overlap
              << " suppressed\n";

    const std::vector<float> score(static_cast<std::size_t>(input.batch), opts.score);
    const std::vector<float> overlap(static_cast<std::size_t>(input.batch), opts.overlap);
    batch_handle owner;
    const object_handler& batch = owner.handle;
    check(process_yolo_sealed_output_detections(input.values.data(), input.rows, input.batch,
                                                input.classes, score.data(), overlap.data(),
                                                opts.width, opts.height, &owner.handle),
          "process_yolo_sealed_output_detections");

    std::uint64_t images = 0;
    check(detections_batch_size(batch, &images), "detections_batch_size");
    for (std::uint64_t i = 0; i < images; ++i) {
      std::uint64_t count = 0;
      check(detections_batch_detections_count(batch, i, &count),
            "detections_batch_detections_count");
      std::vector<object_detection> found(count);
      check(detections_batch_detections_store(batch, i, found.data()),
            "detections_batch_detections_store");

      std::cout << "\nImage " << i << ": " << candidates[i] << " rows above the score threshold, "
                << count << " detection(s)\n";
      if (count == 0) {
        continue;
      }
      std::cout << "  class          probability  objectness    x_min  y_min  x_max  y_max"
                   "   box in pixels\n";
      for (const object_detection& d : found) {
        const std::string name =
            d.class_id >= 0 && static_cast<std::size_t>(d.class_id) < input.names.size()
                ? input.names[d.class_id]
                : "class " + std::to_string(d.class_id);
        std::cout << "  " << std::left << std::setw(15) << name << std::right << std::fixed
                  << std::setprecision(3) << std::setw(11) << d.probability << std::setw(12)
                  << d.objectness << "  " << std::setw(7) << d.x_min << std::setw(7) << d.y_min
                  << std::setw(7) << d.x_max << std::setw(7) << d.y_max << "   ("
                  << std::setprecision(0) << d.x_min * opts.width << ", " << d.y_min * opts.height
                  << ", " << d.x_max * opts.width << ", " << d.y_max * opts.height << ")\n";
        std::cout.unsetf(std::ios::fixed);
      }
    }
    return 0;
  } catch (const std::invalid_argument& error) {
    std::cerr << "decode_sealed: " << error.what() << "\n" << usage;
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "decode_sealed: " << error.what() << "\n";
    return 1;
  }
}
