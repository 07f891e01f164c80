// Sealed tensors written row by row in test code, and a decode through the C
// interface that reads the whole batch back.
#ifndef QUELT_TESTS_SEALED_TEST_TENSOR_HPP
#define QUELT_TESTS_SEALED_TEST_TENSOR_HPP

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "quelt/quelt.h"
#include "support/status.hpp"

namespace quelt::test {

struct sealed_tensor {
  explicit sealed_tensor(std::int32_t classes) : classes(classes) {}

  // Appends one row; `scores` holds exactly `classes` values.
  std::int64_t add(float cx, float cy, float w, float h, float objectness,
                   std::initializer_list<float> scores) {
    values.insert(values.end(), {cx, cy, w, h, objectness});
    values.insert(values.end(), scores);
    return rows() - 1;
  }

  std::int64_t rows() const { return static_cast<std::int64_t>(values.size()) / (classes + 5); }
  float* row(std::int64_t r) { return values.data() + r * (classes + 5); }
  float score(std::int64_t r, int j) const { return values[r * (classes + 5) + 5 + j]; }

  std::int32_t classes;
  std::vector<float> values;
};

struct decode_result {
  std::string failure;  // "" on success
  object_handler handle{};
  std::vector<std::vector<object_detection>> images;
};

// Copies every image's records out of the handle and destroys it.
inline decode_result read_back(return_status status, object_handler handle) {
  decode_result result;
  result.failure = failure_text(status);
  result.handle = handle;
  if (!result.failure.empty()) {
    return result;
  }
  std::uint64_t size = 0;
  result.failure = failure_text(detections_batch_size(handle, &size));
  for (std::uint64_t i = 0; i < size && result.failure.empty(); ++i) {
    std::uint64_t count = 0;
    result.failure = failure_text(detections_batch_detections_count(handle, i, &count));
    std::vector<object_detection> records(count);
    if (result.failure.empty()) {
      result.failure = failure_text(detections_batch_detections_store(handle, i, records.data()));
    }
    result.images.push_back(std::move(records));
  }
  object_handler_destroy(handle);
  return result;
}

inline decode_result decode(float* tensor, std::int64_t boxes_count, std::int64_t batch_size,
                            std::int32_t classes, const float* conf, const float* nms,
                            std::int32_t width, std::int32_t height) {
  object_handler handle{reinterpret_cast<void*>(0x1), static_cast<object_type>(0)};
  const return_status status = process_yolo_sealed_output_detections(
      tensor, boxes_count, batch_size, classes, conf, nms, width, height, &handle);
  return read_back(status, handle);
}

// One image: the whole tensor, one detection and one overlap threshold.
inline decode_result decode_one(sealed_tensor& tensor, float conf, float nms,
                                std::int32_t width = 1, std::int32_t height = 1) {
  return decode(tensor.values.data(), tensor.rows(), 1, tensor.classes, &conf, &nms, width, height);
}

}  // namespace quelt::test

#endif
