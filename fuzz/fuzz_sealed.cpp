// Fuzz target: process_yolo_sealed_output_detections.
//
// Input: flags (u8), classes (u8, becomes -1..99), images (u8, 0..4),
// rows per image (u8, 0..32), width and height (i16 each), one detection and
// one overlap threshold per image, then the tensor's floats (compact or raw,
// see byte_reader::value).
//
// Checked: the call fails exactly when the arguments are unusable, and then
// leaves the tensor and the handle as documented; on success the rewritten
// tensor keeps positions 0 to 4 and the rows that did not pass, every score
// is 0 or the passing product, and the records are exactly those the
// rewritten rows describe, ranked by objectness.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"

namespace {

using quelt::fuzz::byte_reader;
using quelt::fuzz::exact_buffer;
using quelt::fuzz::record_less;
using quelt::fuzz::same_record;
using quelt::fuzz::settle;

enum flag : std::uint8_t {
  compact = 1,
  null_tensor = 2,
  null_conf = 4,
  null_nms = 8,
  negative_count = 16,
  negative_batch = 32,  // with negative_count: the image count, else the rows
  null_handle = 64,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  byte_reader in(data, size);
  const std::uint8_t flags = in.u8();
  const bool is_compact = (flags & compact) != 0;
  const std::int32_t classes = static_cast<std::int32_t>(in.u8() % 101) - 1;
  std::int64_t batch = in.u8() % 5;
  std::int64_t boxes = in.u8() % 33;
  const std::int32_t width = in.i16();
  const std::int32_t height = in.i16();

  exact_buffer<float> conf(static_cast<std::size_t>(batch));
  exact_buffer<float> nms(static_cast<std::size_t>(batch));
  for (std::int64_t i = 0; i < batch; ++i) {
    conf.get()[i] = in.value(is_compact);
    nms.get()[i] = in.value(is_compact);
  }
  const std::int64_t row = std::int64_t{std::max(classes, 0)} + 5;
  exact_buffer<float> tensor(static_cast<std::size_t>(batch * boxes * row));
  for (std::size_t k = 0; k < tensor.count; ++k) {
    tensor.get()[k] = in.value(is_compact);
  }
  const std::vector<float> before = tensor.copy();

  if ((flags & negative_count) != 0) {
    if ((flags & negative_batch) != 0) {
      batch = -batch - 1;
    } else {
      boxes = -boxes - 1;
    }
  }
  const bool negative = batch < 0 || (batch > 0 && boxes < 0);
  const bool usable = !negative && (flags & null_handle) == 0 && classes >= 1 &&
                      (batch == 0 || ((flags & (null_conf | null_nms)) == 0 &&
                                      (boxes == 0 || (flags & null_tensor) == 0)));

  object_handler handle{reinterpret_cast<void*>(0x1), static_cast<object_type>(0)};
  const bool succeeded = settle(process_yolo_sealed_output_detections(
      (flags & null_tensor) != 0 ? nullptr : tensor.get(), boxes, batch, classes,
      (flags & null_conf) != 0 ? nullptr : conf.get(),
      (flags & null_nms) != 0 ? nullptr : nms.get(), width, height,
      (flags & null_handle) != 0 ? nullptr : &handle));

  FUZZ_CHECK(succeeded == usable);
  if (!succeeded) {
    // Refused before touching anything.
    FUZZ_CHECK(tensor.same_bytes(before));
    if ((flags & null_handle) == 0) {
      FUZZ_CHECK(handle.object == nullptr && handle.type == detections_batch);
    }
    return 0;
  }
  FUZZ_CHECK(handle.object != nullptr && handle.type == detections_batch);
  const auto images = quelt::fuzz::read_batch(handle);
  object_handler_destroy(handle);
  FUZZ_CHECK(images.size() == static_cast<std::size_t>(batch));

  const float net_width = static_cast<float>(width);
  const float net_height = static_cast<float>(height);
  for (std::int64_t i = 0; i < batch; ++i) {
    const float threshold = conf.get()[i];
    std::vector<object_detection> expected;
    for (std::int64_t r = 0; r < boxes; ++r) {
      const float* after = tensor.get() + (i * boxes + r) * row;
      const float* original = before.data() + (i * boxes + r) * row;
      FUZZ_CHECK(std::memcmp(after, original, 5 * sizeof(float)) == 0);
      const float objectness = original[4];
      if (!(objectness > threshold)) {
        FUZZ_CHECK(std::memcmp(after, original, row * sizeof(float)) == 0);
        continue;
      }
      std::int32_t best = 0;
      for (std::int32_t j = 0; j < classes; ++j) {
        const float product = objectness * original[5 + j];
        FUZZ_CHECK(after[5 + j] == 0.0f ||
                   (product > threshold && quelt::fuzz::same_float(after[5 + j], product)));
        if (after[5 + j] > after[5 + best]) {
          best = j;
        }
      }
      const float score = after[5 + best];
      if (score == 0.0f) {
        continue;
      }
      const float half_w = after[2] * 0.5f;
      const float half_h = after[3] * 0.5f;
      expected.push_back(
          object_detection{(after[0] - half_w) / net_width, (after[1] - half_h) / net_height,
                           (after[0] + half_w) / net_width, (after[1] + half_h) / net_height, best,
                           objectness, score});
    }

    std::vector<object_detection> got = images[static_cast<std::size_t>(i)];
    for (std::size_t k = 0; k < got.size(); ++k) {
      FUZZ_CHECK(got[k].probability != 0.0f && got[k].probability > threshold);
      FUZZ_CHECK(got[k].class_id >= 0 && got[k].class_id < classes);
      if (k > 0) {
        FUZZ_CHECK(!(got[k].objectness > got[k - 1].objectness));
      }
    }
    // Ties in objectness may come in either order: compare as sets, sorted
    // by a key under which equal records (NaNs of any payload) are neighbours.
    std::sort(expected.begin(), expected.end(), record_less);
    std::sort(got.begin(), got.end(), record_less);
    FUZZ_CHECK(got.size() == expected.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
      FUZZ_CHECK(same_record(got[k], expected[k]));
    }
  }
  return 0;
}
