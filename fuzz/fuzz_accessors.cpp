// Fuzz target: the batch accessors and object_handler_destroy.
//
// Input: images (u8, 0..4), classes (u8, 1..4), rows per image (u8, 0..8),
// one detection threshold per image and the rows of a sealed tensor (compact
// floats), decoded into a batch; then calls, three bytes each plus an index:
// which accessor (u8), which handle (u8: the batch, no object, another kind,
// another kind over the batch), whether the output pointer is null (u8), and
// the image index (u8: an index near the batch size, or 255 then a raw u64).
//
// Checked: a call succeeds exactly when the handle holds a batch, the index
// is below its size and there is somewhere to write; a failure writes
// nothing; a success writes exactly what the first reading showed, into
// buffers of exactly the reported size; destroying through a handle of
// another kind releases nothing.
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"

namespace {

using quelt::fuzz::byte_reader;
using quelt::fuzz::exact_buffer;
using quelt::fuzz::settle;

constexpr std::uint64_t untouched = 0xDEADBEEFCAFEF00Dull;

object_detection sentinel() {
  return object_detection{-7, -7, -7, -7, -7, -7, -7};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  byte_reader in(data, size);
  const std::int64_t batch = in.u8() % 5;
  const std::int32_t classes = 1 + in.u8() % 4;
  const std::int64_t boxes = in.u8() % 9;
  exact_buffer<float> conf(static_cast<std::size_t>(batch));
  exact_buffer<float> nms(static_cast<std::size_t>(batch));
  for (std::int64_t i = 0; i < batch; ++i) {
    conf.get()[i] = in.value(true);
    nms.get()[i] = 0.45f;
  }
  exact_buffer<float> tensor(static_cast<std::size_t>(batch * boxes * (classes + 5)));
  for (std::size_t k = 0; k < tensor.count; ++k) {
    tensor.get()[k] = in.value(true);
  }
  object_handler batch_handle{};
  FUZZ_CHECK(settle(process_yolo_sealed_output_detections(
      tensor.get(), boxes, batch, classes, conf.get(), nms.get(), 32, 32, &batch_handle)));
  const auto images = quelt::fuzz::read_batch(batch_handle);
  FUZZ_CHECK(images.size() == static_cast<std::size_t>(batch));

  for (int calls = 0; calls < 64 && !in.exhausted(); ++calls) {
    const std::uint8_t which = in.u8() % 4;
    const std::uint8_t handle_kind = in.u8() % 4;
    const bool null_output = in.u8() % 4 == 0;
    const std::uint8_t index_byte = in.u8();
    const std::uint64_t index =
        index_byte == 255 ? in.u64() : static_cast<std::uint64_t>(index_byte % 8);

    object_handler handle = batch_handle;
    if (handle_kind == 1) {
      handle.object = nullptr;
    } else if (handle_kind >= 2) {
      handle.type = static_cast<object_type>(static_cast<std::int32_t>(in.u32()));
      if (handle_kind == 2) {
        handle.object = nullptr;
      }
    }
    if (handle.object != nullptr && handle.type == quelt_details_batch) {
      // A plain batch handed over as the other kind is a caller's error the
      // library cannot see, as a pointer to something else would be.
      continue;
    }
    const bool holds_batch = handle.object != nullptr && handle.type == detections_batch;
    const bool index_ok = index < static_cast<std::uint64_t>(batch);

    if (which == 0) {
      std::uint64_t out = untouched;
      const bool ok = settle(detections_batch_size(handle, null_output ? nullptr : &out));
      FUZZ_CHECK(ok == (holds_batch && !null_output));
      FUZZ_CHECK(out == (ok ? static_cast<std::uint64_t>(batch) : untouched));
    } else if (which == 1) {
      std::uint64_t out = untouched;
      const bool ok =
          settle(detections_batch_detections_count(handle, index, null_output ? nullptr : &out));
      FUZZ_CHECK(ok == (holds_batch && index_ok && !null_output));
      FUZZ_CHECK(out == (ok ? images[index].size() : untouched));
    } else if (which == 2) {
      // Room for exactly the records the image has, or one when the index
      // names no image, so a stray write shows.
      const std::size_t count = index_ok ? images[index].size() : 1;
      exact_buffer<object_detection> room(count);
      for (std::size_t k = 0; k < count; ++k) {
        room.get()[k] = sentinel();
      }
      const bool ok = settle(
          detections_batch_detections_store(handle, index, null_output ? nullptr : room.get()));
      // An image without records needs nowhere to write.
      const bool writable = !null_output || (index_ok && images[index].empty());
      FUZZ_CHECK(ok == (holds_batch && index_ok && writable));
      for (std::size_t k = 0; k < count; ++k) {
        FUZZ_CHECK(quelt::fuzz::same_record(room.get()[k], ok ? images[index][k] : sentinel()));
      }
    } else if (!holds_batch) {
      // Releases nothing: the batch must still read the same afterwards.
      object_handler_destroy(handle);
    }
  }

  const auto again = quelt::fuzz::read_batch(batch_handle);
  FUZZ_CHECK(again.size() == images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    FUZZ_CHECK(again[i].size() == images[i].size());
    for (std::size_t k = 0; k < images[i].size(); ++k) {
      FUZZ_CHECK(quelt::fuzz::same_record(again[i][k], images[i][k]));
    }
  }
  object_handler_destroy(batch_handle);
  return 0;
}
