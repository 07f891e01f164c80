// Calls from several threads at once: each thread decodes tensors of its own
// through every entry and maps its own quelt_decode batch, while all of them
// decode one shared tensor through quelt_decode and read one shared batch.
// The library keeps no shared state, so every answer must equal the
// one-thread answer (and the tsan preset must report nothing).
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quelt/quelt.h"

namespace {

using records = std::vector<std::vector<object_detection>>;

// Small deterministic generator: the inputs differ per thread but are the
// same on every run.
struct lcg {
  std::uint32_t state;
  float next(float low, float high) {
    state = state * 1664525u + 1013904223u;
    return low + (high - low) * static_cast<float>(state >> 8) / 16777216.0f;
  }
};

constexpr int images = 2;
constexpr int classes = 4;

std::vector<float> sealed_tensor(std::uint32_t seed, int rows) {
  lcg random{seed};
  std::vector<float> values;
  for (int r = 0; r < images * rows; ++r) {
    values.push_back(random.next(0, 64));
    values.push_back(random.next(0, 64));
    values.push_back(random.next(2, 16));
    values.push_back(random.next(2, 16));
    values.push_back(random.next(0, 1));
    for (int j = 0; j < classes; ++j) {
      values.push_back(random.next(0, 1));
    }
  }
  return values;
}

// One raw-mode layer of 6 x 6 cells with two anchors per cell.
struct darknet_input {
  std::vector<float> values;
  std::vector<std::int32_t> mask{0, 1};
  std::vector<float> anchors{10, 14, 23, 27};
  yolo_output layer{};

  explicit darknet_input(std::uint32_t seed) {
    lcg random{seed};
    values.resize(images * 6 * 6 * 2 * (classes + 5));
    for (float& v : values) {
      v = random.next(-4, 4);
    }
    layer.output = output_tensor{values.data(), images, 6, 6, 2 * (classes + 5)};
    layer.classes = classes;
    layer.mask = mask.data();
    layer.mask_size = mask.size();
    layer.xy_scale = 1.0f;
    layer.anchors = anchors.data();
  }
};

// An anchor-free head's columns (images, 4 + classes, candidates).
std::vector<float> columns_tensor(std::uint32_t seed, int candidates) {
  lcg random{seed};
  std::vector<float> values;
  for (int b = 0; b < images; ++b) {
    for (int c = 0; c < 4 + classes; ++c) {
      for (int n = 0; n < candidates; ++n) {
        values.push_back(c < 2   ? random.next(0, 64)
                         : c < 4 ? random.next(2, 16)
                                 : random.next(0, 1));
      }
    }
  }
  return values;
}

const float conf[images] = {0.3f, 0.5f};
const float nms[images] = {0.45f, 0.3f};

// Reads every image of a batch; false if any call fails.
bool read_batch(object_handler handle, records& out) {
  out.clear();
  std::uint64_t size = 0;
  return_status status = detections_batch_size(handle, &size);
  bool ok = status.status_code == 1;
  done_return_status(status);
  for (std::uint64_t i = 0; ok && i < size; ++i) {
    std::uint64_t count = 0;
    status = detections_batch_detections_count(handle, i, &count);
    ok = status.status_code == 1;
    done_return_status(status);
    std::vector<object_detection> image(count);
    status = detections_batch_detections_store(handle, i, image.data());
    ok = ok && status.status_code == 1;
    done_return_status(status);
    out.push_back(std::move(image));
  }
  return ok;
}

bool decode_sealed(std::vector<float> tensor, int rows, records& out) {
  object_handler handle{};
  return_status status = process_yolo_sealed_output_detections(tensor.data(), rows, images, classes,
                                                               conf, nms, 64, 64, &handle);
  const bool ok = status.status_code == 1 && read_batch(handle, out);
  done_return_status(status);
  object_handler_destroy(handle);
  return ok;
}

bool decode_darknet(const darknet_input& input, records& out) {
  object_handler handle{};
  return_status status =
      process_yolo_detections(&input.layer, 1, net_params{64, 64}, conf, nms, &handle);
  const bool ok = status.status_code == 1 && read_batch(handle, out);
  done_return_status(status);
  object_handler_destroy(handle);
  return ok;
}

// quelt_decode; with `geometry`, quelt_map_detections then maps and caps
// the same batch into `mapped`.
bool decode_heads(const quelt_layout& layout, records& out,
                  const quelt_image_geometry* geometry = nullptr, records* mapped = nullptr) {
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = 64;
  options.network_height = 64;
  options.score_thresholds = conf;
  options.iou_thresholds = nms;
  object_handler handle{};
  return_status status = quelt_decode(&layout, &options, &handle);
  bool ok = status.status_code == 1 && read_batch(handle, out);
  done_return_status(status);
  if (ok && geometry != nullptr) {
    status = quelt_map_detections(handle, 64, 64, geometry, 3);
    ok = status.status_code == 1 && read_batch(handle, *mapped);
    done_return_status(status);
  }
  object_handler_destroy(handle);
  return ok;
}

bool same(const records& a, const records& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].size() != b[i].size() ||
        (!a[i].empty() &&
         std::memcmp(a[i].data(), b[i].data(), a[i].size() * sizeof(object_detection)) != 0)) {
      return false;
    }
  }
  return true;
}

TEST(Threads, ConcurrentDecodingAndReadingMatchOneThread) {
  constexpr int threads = 4;
  constexpr int rounds = 40;
  constexpr int rows = 120;

  std::vector<std::vector<float>> tensors;
  std::vector<darknet_input> layers;
  std::vector<records> sealed_expected(threads);
  std::vector<records> darknet_expected(threads);
  std::vector<std::vector<float>> columns(threads);
  std::vector<quelt_layout> heads(threads);
  std::vector<records> heads_expected(threads);
  std::vector<records> mapped_expected(threads);
  const quelt_image_geometry fitted[images] = {quelt_geometry_letterbox(64, 64, 640, 480),
                                               quelt_geometry_letterbox(64, 64, 300, 500)};
  for (int t = 0; t < threads; ++t) {
    tensors.push_back(sealed_tensor(1000u + static_cast<std::uint32_t>(t), rows));
    layers.emplace_back(2000u + static_cast<std::uint32_t>(t));
    columns[t] = columns_tensor(5000u + static_cast<std::uint32_t>(t), rows);
    quelt_layout_columns(&heads[t], columns[t].data(), images, rows, classes);
  }
  for (int t = 0; t < threads; ++t) {
    ASSERT_TRUE(decode_sealed(tensors[t], rows, sealed_expected[t]));
    ASSERT_TRUE(decode_darknet(layers[t], darknet_expected[t]));
    ASSERT_TRUE(decode_heads(heads[t], heads_expected[t], fitted, &mapped_expected[t]));
    // Inputs that decode to nothing would prove little.
    ASSERT_FALSE(sealed_expected[t][0].empty());
    ASSERT_FALSE(darknet_expected[t][0].empty());
    ASSERT_GT(heads_expected[t][0].size(), 3u);  // so the cap has work
    ASSERT_FALSE(same(heads_expected[t], mapped_expected[t]));
  }

  // Rows with objectness every thread decodes at the same time; quelt_decode
  // only reads them.
  const std::vector<float> shared_rows = sealed_tensor(4000u, rows);
  quelt_layout shared_layout;
  quelt_layout_rows(&shared_layout, shared_rows.data(), images, rows, classes, 1);
  records shared_heads_expected;
  ASSERT_TRUE(decode_heads(shared_layout, shared_heads_expected));
  ASSERT_FALSE(shared_heads_expected[0].empty());

  // The batch every thread reads at the same time.
  object_handler shared{};
  {
    std::vector<float> tensor = sealed_tensor(3000u, rows);
    return_status status = process_yolo_sealed_output_detections(
        tensor.data(), rows, images, classes, conf, nms, 64, 64, &shared);
    ASSERT_EQ(status.status_code, 1);
  }
  records shared_expected;
  ASSERT_TRUE(read_batch(shared, shared_expected));

  std::atomic<int> ready{0};
  std::vector<int> mismatches(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      // Start together so the calls overlap.
      ready.fetch_add(1);
      while (ready.load() < threads) {
        std::this_thread::yield();
      }
      for (int round = 0; round < rounds; ++round) {
        records got;
        if (!decode_sealed(tensors[t], rows, got) || !same(got, sealed_expected[t])) {
          ++mismatches[t];
        }
        if (!decode_darknet(layers[t], got) || !same(got, darknet_expected[t])) {
          ++mismatches[t];
        }
        if (!read_batch(shared, got) || !same(got, shared_expected)) {
          ++mismatches[t];
        }
        records mapped;
        if (!decode_heads(heads[t], got, fitted, &mapped) || !same(got, heads_expected[t]) ||
            !same(mapped, mapped_expected[t])) {
          ++mismatches[t];
        }
        if (!decode_heads(shared_layout, got) || !same(got, shared_heads_expected)) {
          ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  object_handler_destroy(shared);
  for (int t = 0; t < threads; ++t) {
    EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  }
}

}  // namespace
