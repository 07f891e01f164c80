// Fuzz target: process_yolo_detections.
//
// Input: flags (u8), layers (u8, 0..3), classes (u8: below 0xE0 it gives
// 0..7, from 0xE0 to 0xFE 8..38, and 0xFF gives 80), images (u8, 0..3),
// network width and height (i16 each), anchor pairs (u8, 1..6), one
// detection and one overlap threshold per image, the anchors; then per
// layer: width, height, anchors per cell (u8 each, 0..4, 0..4, 0..3), a
// mode byte (activation, xy_scale, and deliberate contradictions), the mask
// entries (u8 each) and the layer's floats. Floats are compact or raw (see
// byte_reader::value).
//
// Checked: the call fails exactly when the descriptors contradict each other
// or name missing buffers; the caller's buffers and descriptors never change;
// on success there is one list per image, no more records than anchor
// records, every record's objectness and probability pass the image's
// threshold, and a second call gives the same records.
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"

namespace {

using quelt::fuzz::byte_reader;
using quelt::fuzz::exact_buffer;
using quelt::fuzz::settle;

enum flag : std::uint8_t {
  compact = 1,
  null_conf = 2,
  null_nms = 4,
  null_handle = 8,
  null_layers = 16,
};

enum mode : std::uint8_t {
  preactivated = 1,
  // bits 1-2: xy_scale 1, 2, 1.05 or a value from the input
  wrong_channels = 8,
  wrong_classes = 16,
  wrong_batch = 32,
  null_data = 64,
  negative_mask = 128,
};

// Most inputs get few classes: each call ranks and suppresses rows class by
// class, so with many classes the fuzzer runs few inputs a second. More
// classes, and the 80 of real networks, stay reachable.
std::int32_t class_count(std::uint8_t byte) {
  if (byte < 0xE0) {
    return byte % 8;
  }
  return byte == 0xFF ? 80 : 8 + (byte - 0xE0);
}

struct layer_buffers {
  exact_buffer<float> values{0};
  exact_buffer<std::int32_t> mask{0};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  byte_reader in(data, size);
  const std::uint8_t flags = in.u8();
  const bool is_compact = (flags & compact) != 0;
  const std::uint64_t layer_count = in.u8() % 4;
  const std::int32_t classes = class_count(in.u8());
  const std::uint64_t batch = in.u8() % 4;
  const net_params net{in.i16(), in.i16()};
  const std::uint64_t pairs = 1 + in.u8() % 6;

  exact_buffer<float> conf(batch);
  exact_buffer<float> nms(batch);
  for (std::uint64_t i = 0; i < batch; ++i) {
    conf.get()[i] = in.value(is_compact);
    nms.get()[i] = in.value(is_compact);
  }
  exact_buffer<float> anchors(2 * pairs);
  for (std::uint64_t k = 0; k < anchors.count; ++k) {
    anchors.get()[k] = in.value(is_compact);
  }

  bool usable = layer_count > 0 && classes >= 1 && (flags & (null_handle | null_layers)) == 0;
  std::uint64_t anchor_records = 0;  // per image, over all layers
  std::vector<layer_buffers> buffers(layer_count);
  exact_buffer<yolo_output> layers(layer_count);
  for (std::uint64_t l = 0; l < layer_count; ++l) {
    yolo_output& layer = layers.get()[l];
    std::memset(&layer, 0, sizeof layer);
    const std::uint64_t width = in.u8() % 5;
    const std::uint64_t height = in.u8() % 5;
    const std::uint64_t mask_size = in.u8() % 4;
    // The first layer sets the class and image counts the others must share.
    const std::uint8_t m =
        l == 0 ? static_cast<std::uint8_t>(in.u8() & ~(wrong_classes | wrong_batch)) : in.u8();
    const std::int32_t layer_classes = (m & wrong_classes) != 0 ? classes + 1 : classes;
    const std::uint64_t layer_batch = (m & wrong_batch) != 0 ? batch + 1 : batch;
    const std::uint64_t channels = mask_size * (static_cast<std::uint64_t>(layer_classes) + 5);
    const std::uint64_t records = layer_batch * height * width * mask_size;

    buffers[l].mask = exact_buffer<std::int32_t>(mask_size);
    for (std::uint64_t k = 0; k < mask_size; ++k) {
      buffers[l].mask.get()[k] = static_cast<std::int32_t>(in.u8() % pairs);
    }
    if ((m & negative_mask) != 0 && mask_size > 0) {
      buffers[l].mask.get()[mask_size - 1] = -1;
    }
    buffers[l].values = exact_buffer<float>(layer_batch * height * width * channels);
    for (std::uint64_t k = 0; k < buffers[l].values.count; ++k) {
      buffers[l].values.get()[k] = in.value(is_compact);
    }
    static constexpr float scales[3] = {1.0f, 2.0f, 1.05f};
    const std::uint8_t scale = (m >> 1) & 3;

    layer.output.data = (m & null_data) != 0 ? nullptr : buffers[l].values.get();
    layer.output.batch = layer_batch;
    layer.output.width = width;
    layer.output.height = height;
    layer.output.channels = (m & wrong_channels) != 0 ? channels + 1 : channels;
    layer.classes = layer_classes;
    layer.mask = buffers[l].mask.get();
    layer.mask_size = mask_size;
    layer.xy_scale = scale < 3 ? scales[scale] : in.value(is_compact);
    layer.preactivated = (m & preactivated) != 0 ? 1 : 0;
    layer.anchors = anchors.get();

    usable = usable && (m & (wrong_classes | wrong_batch | wrong_channels)) == 0 &&
             (records == 0 || (m & (null_data | negative_mask)) == 0);
    anchor_records += height * width * mask_size;
  }
  usable = usable && (batch == 0 || (flags & (null_conf | null_nms)) == 0);

  // Everything the call may only read, to compare afterwards.
  const std::vector<yolo_output> descriptors = layers.copy();
  std::vector<std::vector<float>> values;
  std::vector<std::vector<std::int32_t>> masks;
  for (const layer_buffers& b : buffers) {
    values.push_back(b.values.copy());
    masks.push_back(b.mask.copy());
  }
  const std::vector<float> conf_before = conf.copy();
  const std::vector<float> nms_before = nms.copy();
  const std::vector<float> anchors_before = anchors.copy();

  const auto decode = [&](object_handler* handle) {
    return settle(process_yolo_detections((flags & null_layers) != 0 ? nullptr : layers.get(),
                                          layer_count, net,
                                          (flags & null_conf) != 0 ? nullptr : conf.get(),
                                          (flags & null_nms) != 0 ? nullptr : nms.get(), handle));
  };
  object_handler handle{reinterpret_cast<void*>(0x1), static_cast<object_type>(0)};
  const bool succeeded = decode((flags & null_handle) != 0 ? nullptr : &handle);

  FUZZ_CHECK(layers.same_bytes(descriptors));
  for (std::uint64_t l = 0; l < layer_count; ++l) {
    FUZZ_CHECK(buffers[l].values.same_bytes(values[l]));
    FUZZ_CHECK(buffers[l].mask.same_bytes(masks[l]));
  }
  FUZZ_CHECK(conf.same_bytes(conf_before));
  FUZZ_CHECK(nms.same_bytes(nms_before));
  FUZZ_CHECK(anchors.same_bytes(anchors_before));

  FUZZ_CHECK(succeeded == usable);
  if (!succeeded) {
    if ((flags & null_handle) == 0) {
      FUZZ_CHECK(handle.object == nullptr && handle.type == detections_batch);
    }
    return 0;
  }
  FUZZ_CHECK(handle.object != nullptr && handle.type == detections_batch);
  const auto images = quelt::fuzz::read_batch(handle);
  object_handler_destroy(handle);
  FUZZ_CHECK(images.size() == batch);
  for (std::uint64_t i = 0; i < batch; ++i) {
    const float threshold = conf.get()[i];
    FUZZ_CHECK(images[i].size() <= anchor_records);
    for (const object_detection& d : images[i]) {
      FUZZ_CHECK(d.class_id >= 0 && d.class_id < classes);
      FUZZ_CHECK(d.objectness > threshold);
      FUZZ_CHECK(d.probability != 0.0f && d.probability > threshold);
    }
  }

  // Nothing of the first call lingers: the same call gives the same records.
  object_handler again{};
  FUZZ_CHECK(decode(&again));
  const auto repeated = quelt::fuzz::read_batch(again);
  object_handler_destroy(again);
  FUZZ_CHECK(repeated.size() == images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    FUZZ_CHECK(repeated[i].size() == images[i].size());
    for (std::size_t k = 0; k < images[i].size(); ++k) {
      FUZZ_CHECK(quelt::fuzz::same_record(repeated[i][k], images[i][k]));
    }
  }
  return 0;
}
