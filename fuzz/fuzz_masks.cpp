// Fuzz target: quelt_batch_masks_size and quelt_batch_masks_store.
//
// Input: network width and height (u8 each, 1..64), candidates (u8, 0..15),
// extras per candidate (u8, 0..6), geometry or not (u8), the candidates'
// columns (corner box, one score, the extras; compact floats), then
// requests, each: kind (u8, -1..3), coefficients_first and _count (u8 each,
// -1..6), prototype channels, height and width (u8 each, 0..12), element
// type (u8, 0..7), the image index (u8, 0..2) and the prototype values
// (compact floats) of a (channels, height, width) tensor.
//
// Checked: the size call and the store call agree on success; a failure
// writes nothing; a success writes exactly the bytes the size call
// reported and one region per record, each region inside its grid with
// offsets one after the other, binary values 0 or 1; one byte fewer fails
// and writes nothing.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.hpp"

namespace {

using quelt::fuzz::byte_reader;
using quelt::fuzz::exact_buffer;
using quelt::fuzz::settle;

constexpr unsigned char untouched = 0xa5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  byte_reader in(data, size);
  const std::int32_t width = 1 + in.u8() % 64;
  const std::int32_t height = 1 + in.u8() % 64;
  const std::int64_t candidates = in.u8() % 16;
  const std::int32_t extras = in.u8() % 7;
  const bool with_geometry = in.u8() % 2 == 1;
  const std::int64_t rows = 5 + extras;
  exact_buffer<float> columns(static_cast<std::size_t>(rows * candidates));
  for (std::size_t k = 0; k < columns.count; ++k) {
    columns.get()[k] = in.value(true) * static_cast<float>(width) / 4.0f;
  }
  quelt_layout layout;
  quelt_layout_columns(&layout, columns.get(), 1, candidates, 1);
  layout.box_coding = QUELT_BOX_CORNERS;
  layout.extras = quelt_view{columns.get() + 5 * candidates, 0, 1, candidates};
  layout.extras_count = extras;
  const float score = -1.0f;
  const float iou = 2.0f;
  const quelt_image_geometry geometry = quelt_geometry_letterbox(
      width, height, static_cast<float>(in.u8() % 100 + 1), static_cast<float>(in.u8() % 100 + 1));
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = width;
  options.network_height = height;
  options.score_thresholds = &score;
  options.iou_thresholds = &iou;
  options.geometry = with_geometry ? &geometry : nullptr;
  options.details = 1;
  object_handler batch{};
  FUZZ_CHECK(settle(quelt_decode(&layout, &options, &batch)));
  std::uint64_t records = 0;
  FUZZ_CHECK(settle(detections_batch_detections_count(batch, 0, &records)));

  for (int calls = 0; calls < 8 && !in.exhausted(); ++calls) {
    quelt_mask_request request;
    quelt_mask_request_init(&request);
    request.kind = static_cast<std::int32_t>(in.u8() % 5) - 1;
    request.coefficients_first = static_cast<std::int32_t>(in.u8() % 8) - 1;
    request.coefficients_count = static_cast<std::int32_t>(in.u8() % 8) - 1;
    const std::int32_t channels = in.u8() % 13;
    const std::int32_t rows_p = in.u8() % 13;
    const std::int32_t columns_p = in.u8() % 13;
    const std::int32_t type = in.u8() % 8;
    const std::uint64_t image = in.u8() % 3;
    request.prototype_channels = channels;
    request.prototype_height = rows_p;
    request.prototype_width = columns_p;
    const std::size_t count = static_cast<std::size_t>(channels * rows_p * columns_p);
    // Every element type fits in a float's four bytes; the view reads the
    // first bytes of each.
    exact_buffer<float> prototypes(count);
    for (std::size_t k = 0; k < count; ++k) {
      prototypes.get()[k] = in.value(true);
    }
    const std::int64_t spread = type == QUELT_ELEMENT_FLOAT32 ? 1 : type <= 2 || type >= 5 ? 2 : 4;
    request.prototypes = quelt_grid_view{prototypes.get(),
                                         0,
                                         columns_p * spread,
                                         spread,
                                         rows_p * columns_p * spread,
                                         quelt_element{type, 0, 0.5f, 0}};
    std::uint64_t bytes = 0xDEADBEEFull;
    const bool sized = settle(quelt_batch_masks_size(batch, image, &request, &bytes));
    if (!sized) {
      FUZZ_CHECK(bytes == 0xDEADBEEFull);
      bytes = 64;
    }
    exact_buffer<unsigned char> values(static_cast<std::size_t>(bytes));
    std::memset(values.get(), untouched, values.count);
    exact_buffer<quelt_mask_region> regions(static_cast<std::size_t>(records));
    if (regions.count > 0) {
      std::memset(static_cast<void*>(regions.get()), untouched,
                  regions.count * sizeof(quelt_mask_region));
    }
    const auto values_before = values.copy();
    const auto regions_before = regions.copy();
    request.values = values.get();
    request.regions = regions.get();
    if (sized && bytes > 0) {
      request.values_size = bytes - 1;
      FUZZ_CHECK(!settle(quelt_batch_masks_store(batch, image, &request)));
      FUZZ_CHECK(values.same_bytes(values_before));
    }
    request.values_size = bytes;
    const bool stored = settle(quelt_batch_masks_store(batch, image, &request));
    FUZZ_CHECK(stored == sized);
    if (!stored) {
      FUZZ_CHECK(values.same_bytes(values_before));
      FUZZ_CHECK(regions.count == 0 || std::memcmp(regions.get(), regions_before.data(),
                                                   regions.count * sizeof(quelt_mask_region)) == 0);
      continue;
    }
    std::int64_t offset = 0;
    const bool binary = request.kind != QUELT_MASK_PROTOTYPE_PROBABILITIES;
    for (std::size_t r = 0; r < regions.count; ++r) {
      const quelt_mask_region& region = regions.get()[r];
      FUZZ_CHECK(region.offset == offset);
      FUZZ_CHECK(region.width >= 0 && region.height >= 0);
      FUZZ_CHECK((region.width == 0) == (region.height == 0));
      if (region.width == 0) {
        continue;
      }
      FUZZ_CHECK(region.x >= 0 && region.y >= 0);
      if (request.kind == QUELT_MASK_PROTOTYPE_PROBABILITIES) {
        FUZZ_CHECK(region.x + region.width <= columns_p && region.y + region.height <= rows_p);
      } else if (request.kind == QUELT_MASK_INPUT_BINARY) {
        FUZZ_CHECK(region.x + region.width <= width && region.y + region.height <= height);
      }
      offset += static_cast<std::int64_t>(region.width) * region.height;
    }
    FUZZ_CHECK(static_cast<std::uint64_t>(offset) * (binary ? 1 : 4) == bytes);
    if (binary) {
      for (std::size_t k = 0; k < values.count; ++k) {
        FUZZ_CHECK(values.get()[k] <= 1);
      }
    }
  }
  object_handler_destroy(batch);
  return 0;
}
