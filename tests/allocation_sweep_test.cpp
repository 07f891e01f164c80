// Running out of memory at every allocation a call makes, one after the
// other: the 1st, 2nd, ... allocation is refused until the call gets through
// untouched. Every run must give the unfailed answer or a clean failure, leave
// no batch in the handle, leak nothing, keep the boxes and objectness of every
// sealed row, and (quelt_map_detections) leave a batch it fails on as it was.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "api/object_handler.hpp"
#include "api/status_frame.hpp"
#include "darknet_test_layer.hpp"
#include "sealed_test_tensor.hpp"
#include "support/failing_allocator.hpp"

// Let huge requests come back as a failure (std::bad_alloc) instead of ending
// the sanitizer run, so the refusal itself can be checked.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
extern "C" const char* __tsan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

using quelt::test::allocation_stats;
using quelt::test::arm_allocator;
using quelt::test::disarm_allocator;

using images = std::vector<std::vector<object_detection>>;

const std::string fatal_text =
    "Total fatal error. Cannot construct message of return_status for API.";
const std::string out_of_memory = std::bad_alloc().what();

// The original entries report the exception's own text; the quelt_ ones say
// it in words.
std::string out_of_memory_text(const std::string& entry) {
  return entry.rfind("quelt_", 0) == 0 ? entry + ": out of memory" : out_of_memory;
}

// Allocation points swept per entry point, printed once at the end.
std::map<std::string, std::uint64_t>& swept_points() {
  static std::map<std::string, std::uint64_t> points;
  return points;
}

class sweep_report : public ::testing::Environment {
 public:
  void TearDown() override {
    for (const auto& [entry, points] : swept_points()) {
      std::cout << "allocation points swept: " << entry << " " << points << "\n";
    }
  }
};

const auto* const report = ::testing::AddGlobalTestEnvironment(new sweep_report);

enum class shape { success, failure, fatal, malformed };

shape shape_of(const return_status& status) {
  if (status.status_code == 1) {
    return status.message == nullptr && status.message_is_static == 0 ? shape::success
                                                                      : shape::malformed;
  }
  if (status.status_code != 0 || status.message == nullptr) {
    return shape::malformed;
  }
  if (status.message_is_static == 1) {
    return status.message == fatal_text ? shape::fatal : shape::malformed;
  }
  return status.message_is_static == 0 ? shape::failure : shape::malformed;
}

// One entry point applied to one input. Only `invoke` runs while the
// allocator is armed; the rest prepares fresh inputs and reads results.
struct scenario {
  std::string entry;
  std::string name;
  bool decodes = false;           // the call fills a handle
  std::function<void()> prepare;  // fresh inputs for a run
  std::function<return_status(object_handler&)> invoke;
  // The call's results, byte for byte, after a successful run.
  std::function<void(object_handler, std::vector<char>&)> collect;
  // What must hold of the inputs after a failed run (sealed rows).
  std::function<void()> check_after_failure;
};

struct run_result {
  return_status status{};
  shape kind = shape::malformed;
  std::string text;  // failure or fatal text, "" on success
  object_handler handle{};
  std::vector<char> outputs;
  allocation_stats stats;
};

run_result run_once(const scenario& s, std::uint64_t fail_at) {
  run_result r;
  if (s.prepare) {
    s.prepare();
  }
  r.handle = object_handler{reinterpret_cast<void*>(0x1), static_cast<object_type>(0)};
  arm_allocator(fail_at);
  r.status = s.invoke(r.handle);
  r.stats = disarm_allocator();
  r.kind = shape_of(r.status);
  if (r.kind == shape::failure || r.kind == shape::fatal) {
    r.text = r.status.message;
  }
  if (r.kind == shape::success && s.collect) {
    s.collect(r.handle, r.outputs);
  }
  return r;
}

// Releases what a run handed over and returns how many live allocations that
// gave back.
std::int64_t release(const scenario& s, const run_result& r) {
  arm_allocator(0);
  done_return_status(r.status);
  if (s.decodes) {
    object_handler_destroy(r.handle);
  }
  return -disarm_allocator().live;
}

// Fails the 1st, 2nd, ... allocation of the scenario's call until a run does
// not reach the refused allocation; returns the number of points swept.
std::uint64_t sweep(const scenario& s) {
  SCOPED_TRACE(s.entry + ": " + s.name);

  // The unfailed run is the yardstick.
  const run_result expected = run_once(s, 0);
  EXPECT_TRUE(expected.kind == shape::success || expected.kind == shape::failure);
  if (expected.kind == shape::failure) {
    // The text lives in an array of exactly its length plus the NUL.
    EXPECT_EQ(expected.stats.last_array_size, expected.text.size() + 1);
  }
  EXPECT_EQ(expected.stats.live, release(s, expected)) << "the unfailed run leaks";

  std::uint64_t first_fatal = 0;
  std::uint64_t n = 1;
  for (;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " refused");
    if (n > expected.stats.allocations + 1000) {
      ADD_FAILURE() << "the call never stops allocating";
      break;
    }
    const run_result r = run_once(s, n);
    if (!r.stats.failed) {
      // Every allocation went through: the unfailed answer again.
      EXPECT_EQ(r.kind, expected.kind);
      EXPECT_EQ(r.text, expected.text);
      EXPECT_EQ(r.outputs, expected.outputs);
    } else if (r.kind == shape::success) {
      // A refusal the call may work around (a sort's scratch buffer).
      EXPECT_EQ(expected.kind, shape::success);
      EXPECT_EQ(r.outputs, expected.outputs);
    } else {
      EXPECT_NE(r.kind, shape::malformed);
      if (r.kind == shape::fatal) {
        // Only the text of a failure can fail to be built, and once the
        // frame builds it every later refusal strikes there too.
        EXPECT_EQ(expected.kind, shape::failure);
        if (first_fatal == 0) {
          first_fatal = n;
        }
      } else {
        EXPECT_EQ(first_fatal, 0u) << "a failure after the fatal tail began at " << first_fatal;
        EXPECT_TRUE(r.text == out_of_memory_text(s.entry) ||
                    (expected.kind == shape::failure && r.text == expected.text))
            << r.text;
      }
    }
    // Failures by design too, on the run nothing was refused.
    if (r.kind != shape::success) {
      if (s.decodes) {
        EXPECT_EQ(r.handle.object, nullptr);
        EXPECT_EQ(r.handle.type, detections_batch);
      }
      if (s.check_after_failure) {
        s.check_after_failure();
      }
    }
    EXPECT_EQ(r.stats.live, release(s, r)) << "leak";
    if (r.kind == shape::fatal) {
      // done_return_status leaves the constant alone.
      EXPECT_EQ(std::string(r.status.message), fatal_text);
    }
    if (!r.stats.failed) {
      break;
    }
  }
  if (expected.kind == shape::failure) {
    // The last allocation is the text's array: refusing it can only be fatal.
    EXPECT_NE(first_fatal, 0u);
  }
  const std::uint64_t points = n - 1;
  EXPECT_EQ(points, expected.stats.allocations);
  swept_points()[s.entry] += points;
  return points;
}

template <class T>
void append_bytes(std::vector<char>& out, const T* values, std::size_t count) {
  const char* bytes = reinterpret_cast<const char*>(values);
  out.insert(out.end(), bytes, bytes + count * sizeof(T));
}

// Reads the whole batch back (unarmed) as bytes: sizes, counts, records, and
// what a details batch keeps beside them.
void read_batch(object_handler handle, std::vector<char>& out) {
  std::uint64_t size = 0;
  if (detections_batch_size(handle, &size).status_code != 1) {
    ADD_FAILURE() << "a successful call left no readable batch";
    return;
  }
  quelt_batch_info info;
  quelt_batch_info_init(&info);
  EXPECT_EQ(quelt_batch_describe(handle, &info).status_code, 1);
  append_bytes(out, &size, 1);
  append_bytes(out, &info, 1);
  for (std::uint64_t i = 0; i < size; ++i) {
    std::uint64_t count = 0;
    EXPECT_EQ(detections_batch_detections_count(handle, i, &count).status_code, 1);
    std::vector<object_detection> records(count);
    EXPECT_EQ(detections_batch_detections_store(handle, i, records.data()).status_code, 1);
    append_bytes(out, &count, 1);
    append_bytes(out, records.data(), records.size());
    if (info.has_sources != 0) {
      std::vector<std::int64_t> sources(count);
      EXPECT_EQ(quelt_batch_sources_store(handle, i, sources.data()).status_code, 1);
      append_bytes(out, sources.data(), sources.size());
    }
    if (info.extras_per_record > 0) {
      std::vector<float> extras(count * static_cast<std::uint64_t>(info.extras_per_record));
      EXPECT_EQ(quelt_batch_extras_store(handle, i, extras.data()).status_code, 1);
      append_bytes(out, extras.data(), extras.size());
    }
    if (info.keypoints_per_record > 0) {
      std::vector<float> points(count * static_cast<std::uint64_t>(info.keypoints_per_record) * 3);
      EXPECT_EQ(quelt_batch_keypoints_store(handle, i, points.data()).status_code, 1);
      append_bytes(out, points.data(), points.size());
    }
  }
}

// ---------------------------------------------------------------------------
// Sealed entry

struct sealed_case {
  std::string name;
  quelt::test::sealed_tensor tensor{1};
  std::int64_t boxes = 0;
  std::int64_t batch = 0;
  std::int32_t classes = 1;
  std::vector<float> conf;
  std::vector<float> nms;
  bool null_nms = false;
};

std::vector<sealed_case> sealed_cases() {
  std::vector<sealed_case> cases;
  {
    sealed_case c;
    c.name = "empty batch";
    c.tensor = quelt::test::sealed_tensor(2);
    c.tensor.add(10, 10, 4, 4, 0.9f, {0.9f, 0.2f});
    c.boxes = 1;
    c.batch = 0;
    c.classes = 2;
    cases.push_back(c);
  }
  {
    // Image 0: suppression at work in both classes; image 1: nothing passes
    // the objectness test; image 2: objectness passes, every product fails,
    // except for one lone box.
    sealed_case c;
    c.name = "three images";
    c.tensor = quelt::test::sealed_tensor(3);
    auto& t = c.tensor;
    t.add(10, 10, 4, 4, 0.9f, {0.9f, 0.2f, 0.1f});
    t.add(11, 10, 4, 4, 0.8f, {0.9f, 0.7f, 0.1f});
    t.add(40, 10, 4, 4, 0.7f, {0.1f, 0.9f, 0.3f});
    t.add(10, 11, 4, 4, 0.85f, {0.2f, 0.95f, 0.1f});
    for (int r = 0; r < 4; ++r) {
      t.add(10.0f + r, 10, 4, 4, 0.1f, {0.9f, 0.9f, 0.9f});
    }
    t.add(10, 10, 4, 4, 0.6f, {0.1f, 0.2f, 0.1f});
    t.add(30, 10, 4, 4, 0.6f, {0.1f, 0.2f, 0.9f});
    t.add(10, 30, 4, 4, 0.6f, {0.3f, 0.2f, 0.1f});
    t.add(12, 30, 4, 4, 0.6f, {0.3f, 0.2f, 0.1f});
    c.boxes = 4;
    c.batch = 3;
    c.classes = 3;
    c.conf = {0.3f, 0.3f, 0.4f};
    c.nms = {0.45f, 0.45f, 0.5f};
    cases.push_back(c);
  }
  {
    // Enough holders of one class for the suppression grid, some overlapping.
    sealed_case c;
    c.name = "a class crowded enough for the grid";
    c.tensor = quelt::test::sealed_tensor(2);
    for (int r = 0; r < 30; ++r) {
      c.tensor.add(static_cast<float>(r % 6) * 7.0f, static_cast<float>(r / 6) * 7.0f, 9, 9,
                   0.9f - 0.01f * static_cast<float>(r), {0.8f, r % 2 == 0 ? 0.7f : 0.0f});
    }
    c.boxes = 30;
    c.batch = 1;
    c.classes = 2;
    c.conf = {0.3f};
    c.nms = {0.3f};
    cases.push_back(c);
  }
  {
    sealed_case c;
    c.name = "images without rows";
    c.tensor = quelt::test::sealed_tensor(1);
    c.boxes = 0;
    c.batch = 2;
    c.classes = 1;
    c.conf = {0.3f, 0.3f};
    c.nms = {0.45f, 0.45f};
    cases.push_back(c);
  }
  {
    sealed_case c;
    c.name = "no classes (fails by design)";
    c.tensor = quelt::test::sealed_tensor(1);
    c.tensor.add(10, 10, 4, 4, 0.9f, {0.9f});
    c.boxes = 1;
    c.batch = 1;
    c.classes = 0;
    c.conf = {0.3f};
    c.nms = {0.45f};
    cases.push_back(c);
  }
  {
    sealed_case c;
    c.name = "null overlap thresholds (fails by design)";
    c.tensor = quelt::test::sealed_tensor(1);
    c.tensor.add(10, 10, 4, 4, 0.9f, {0.9f});
    c.boxes = 1;
    c.batch = 1;
    c.classes = 1;
    c.conf = {0.3f};
    c.null_nms = true;
    cases.push_back(c);
  }
  return cases;
}

TEST(AllocationSweep, SealedEntry) {
  for (const sealed_case& c : sealed_cases()) {
    std::vector<float> working(c.tensor.values.size());  // the tensor of the current run
    scenario s;
    s.entry = "process_yolo_sealed_output_detections";
    s.name = c.name;
    s.decodes = true;
    s.prepare = [&] { working = c.tensor.values; };
    s.invoke = [&](object_handler& handle) {
      return process_yolo_sealed_output_detections(
          working.empty() ? nullptr : working.data(), c.boxes, c.batch, c.classes,
          c.conf.empty() ? nullptr : c.conf.data(),
          c.null_nms || c.nms.empty() ? nullptr : c.nms.data(), 64, 48, &handle);
    };
    s.collect = [&](object_handler handle, std::vector<char>& out) {
      read_batch(handle, out);
      append_bytes(out, working.data(), working.size());
    };
    s.check_after_failure = [&] {
      const std::size_t row = static_cast<std::size_t>(c.tensor.classes) + 5;
      for (std::size_t r = 0; r * row < working.size(); ++r) {
        for (std::size_t p = 0; p < 5; ++p) {
          ASSERT_EQ(
              std::memcmp(&working[r * row + p], &c.tensor.values[r * row + p], sizeof(float)), 0)
              << "row " << r << " position " << p;
        }
      }
    };
    sweep(s);
  }
}

// ---------------------------------------------------------------------------
// Darknet entry

struct darknet_layer_data {
  std::vector<float> values;
  std::vector<std::int32_t> mask;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  float xy_scale = 1.0f;
  bool preactivated = false;
};

struct darknet_case {
  std::string name;
  std::uint64_t batch = 0;
  int classes = 1;
  std::vector<darknet_layer_data> layers;
  std::vector<float> conf;
  std::vector<float> nms;
  bool wrong_channels = false;
};

// Cells of `layer` filled from a fixed pattern: every third anchor record
// is confident, and records of one cell share their centre and size terms,
// so anchors of similar size overlap and suppression has work to do.
darknet_layer_data patterned_layer(std::uint64_t batch, std::uint64_t width, std::uint64_t height,
                                   std::vector<std::int32_t> mask, int classes, bool preactivated,
                                   float xy_scale) {
  darknet_layer_data layer;
  layer.mask = std::move(mask);
  layer.width = width;
  layer.height = height;
  layer.preactivated = preactivated;
  layer.xy_scale = xy_scale;
  const std::size_t record = static_cast<std::size_t>(classes) + 5;
  const std::size_t records = batch * width * height * layer.mask.size();
  layer.values.resize(records * record);
  for (std::size_t r = 0; r < records; ++r) {
    float* v = layer.values.data() + r * record;
    const bool confident = r % 3 != 1;
    const float low = preactivated ? 0.05f : -3.0f;
    const float high = preactivated ? 0.9f : 3.0f;
    v[0] = preactivated ? 0.4f : 0.1f;
    v[1] = preactivated ? 0.6f : -0.2f;
    v[2] = preactivated ? 0.5f : 0.0f;
    v[3] = preactivated ? 0.55f : 0.1f;
    v[4] = confident ? high : low;
    for (int j = 0; j < classes; ++j) {
      v[5 + j] = (r + static_cast<std::size_t>(j)) % 2 == 0 ? high : low;
    }
  }
  return layer;
}

std::vector<darknet_case> darknet_cases() {
  std::vector<darknet_case> cases;
  {
    darknet_case c;
    c.name = "empty batch";
    c.batch = 0;
    c.classes = 2;
    c.layers.push_back(patterned_layer(0, 2, 2, {0, 1}, 2, false, 1.0f));
    cases.push_back(c);
  }
  {
    // Two layers of different grids in raw mode; image 1's threshold is
    // above every objectness, so it has no detections.
    darknet_case c;
    c.name = "two raw layers, three images";
    c.batch = 3;
    c.classes = 2;
    c.layers.push_back(patterned_layer(3, 2, 2, {2, 1}, 2, false, 1.0f));
    c.layers.push_back(patterned_layer(3, 3, 1, {0, 1, 1}, 2, false, 1.05f));
    c.conf = {0.25f, 0.99f, 0.5f};
    c.nms = {0.45f, 0.45f, 0.3f};
    cases.push_back(c);
  }
  {
    darknet_case c;
    c.name = "preactivated layer and an anchorless layer";
    c.batch = 2;
    c.classes = 3;
    c.layers.push_back(patterned_layer(2, 3, 2, {0, 1}, 3, true, 2.0f));
    c.layers.push_back(patterned_layer(2, 2, 2, {}, 3, true, 1.0f));
    c.conf = {0.3f, 0.3f};
    c.nms = {0.45f, 0.6f};
    cases.push_back(c);
  }
  {
    // Enough rows of one class for the suppression grid.
    darknet_case c;
    c.name = "a layer crowded enough for the grid";
    c.batch = 1;
    c.classes = 2;
    c.layers.push_back(patterned_layer(1, 6, 6, {0, 1}, 2, false, 1.0f));
    c.conf = {0.25f};
    c.nms = {0.3f};
    cases.push_back(c);
  }
  {
    darknet_case c;
    c.name = "channels that contradict the mask (fails by design)";
    c.batch = 1;
    c.classes = 1;
    c.layers.push_back(patterned_layer(1, 2, 2, {0}, 1, false, 1.0f));
    c.conf = {0.3f};
    c.nms = {0.45f};
    c.wrong_channels = true;
    cases.push_back(c);
  }
  return cases;
}

TEST(AllocationSweep, DarknetEntry) {
  std::vector<float> anchors{10, 14, 12, 16, 30, 40};
  for (darknet_case& c : darknet_cases()) {
    std::vector<yolo_output> layers;
    for (darknet_layer_data& l : c.layers) {
      layers.push_back(quelt::test::make_layer(l.values, c.batch, l.width, l.height, l.mask,
                                               c.classes, anchors, l.xy_scale, l.preactivated));
    }
    if (c.wrong_channels) {
      layers[0].output.channels += 1;
    }
    scenario s;
    s.entry = "process_yolo_detections";
    s.name = c.name;
    s.decodes = true;
    s.invoke = [&](object_handler& handle) {
      return process_yolo_detections(layers.data(), layers.size(), net_params{64, 48},
                                     c.conf.empty() ? nullptr : c.conf.data(),
                                     c.nms.empty() ? nullptr : c.nms.data(), &handle);
    };
    s.collect = [&](object_handler handle, std::vector<char>& out) { read_batch(handle, out); };
    sweep(s);
  }
}

// ---------------------------------------------------------------------------
// Accessors

object_detection record(float x, std::int32_t class_id) {
  return object_detection{x, x + 1, x + 2, x + 3, class_id, 0.5f, 0.25f};
}

TEST(AllocationSweep, Accessors) {
  quelt::detections_list batch{{record(1, 0), record(2, 3)}, {}, {record(4, 1)}};
  const object_handler good{&batch, detections_batch};
  const object_handler wrong_kind{&batch, static_cast<object_type>(0)};
  const object_handler other_kind{nullptr, static_cast<object_type>(7)};
  const object_handler no_batch{nullptr, detections_batch};

  struct accessor_case {
    std::string name;
    object_handler handle;
    std::uint64_t index;
    bool null_output;
  };
  const std::vector<accessor_case> cases{
      {"a batch", good, 0, false},
      {"an empty image", good, 1, false},
      {"the last image", good, 2, false},
      {"index at the size", good, 3, false},
      {"huge index", good, ~std::uint64_t{0}, false},
      {"wrong kind", wrong_kind, 0, false},
      {"unknown kind", other_kind, 0, false},
      {"no batch", no_batch, 0, false},
      {"null output", good, 0, true},
  };

  for (const accessor_case& c : cases) {
    // Sentinels: a failed call must leave them as they were.
    std::uint64_t value = 0;
    std::vector<object_detection> room(3);
    const auto fill = [&] {
      value = 0xDEADBEEF;
      for (object_detection& d : room) {
        d = record(-7, -7);
      }
    };
    scenario size;
    size.entry = "detections_batch_size";
    size.name = c.name;
    size.prepare = fill;
    size.invoke = [&](object_handler&) {
      return detections_batch_size(c.handle, c.null_output ? nullptr : &value);
    };
    size.collect = [&](object_handler, std::vector<char>& out) { append_bytes(out, &value, 1); };
    size.check_after_failure = [&] { EXPECT_EQ(value, 0xDEADBEEFu); };
    sweep(size);

    scenario count = size;
    count.entry = "detections_batch_detections_count";
    count.invoke = [&](object_handler&) {
      return detections_batch_detections_count(c.handle, c.index, c.null_output ? nullptr : &value);
    };
    sweep(count);

    scenario store;
    store.entry = "detections_batch_detections_store";
    store.name = c.name;
    store.prepare = fill;
    store.invoke = [&](object_handler&) {
      return detections_batch_detections_store(c.handle, c.index,
                                               c.null_output ? nullptr : room.data());
    };
    store.collect = [&](object_handler, std::vector<char>& out) {
      append_bytes(out, room.data(), room.size());
    };
    store.check_after_failure = [&] {
      for (const object_detection& d : room) {
        EXPECT_EQ(d.class_id, -7);
      }
    };
    sweep(store);
  }
}

// ---------------------------------------------------------------------------
// Heads entry and quelt_map_detections

struct heads_case {
  std::string name;
  std::vector<float> values;
  std::vector<unsigned char> elements;  // `values` quantized, for element-typed views
  std::vector<float> extras;            // per candidate, for the extras view
  quelt_layout layout{};
  quelt_decode_options options{};
  std::vector<float> scores;
  std::vector<float> ious;
  std::vector<std::int32_t> allowed;
  std::vector<quelt_image_geometry> geometry;

  heads_case() { quelt_decode_options_init(&options); }
  heads_case(const heads_case&) = delete;
  heads_case& operator=(const heads_case&) = delete;

  void point(std::int64_t images) {
    scores.resize(static_cast<std::size_t>(images), 0.3f);
    ious.resize(static_cast<std::size_t>(images), 0.45f);
    options.network_width = 64;
    options.network_height = 48;
    options.score_thresholds = scores.data();
    options.iou_thresholds = ious.data();
    if (!allowed.empty()) {
      options.classes_allowed = allowed.data();
      options.classes_allowed_count = static_cast<std::int64_t>(allowed.size());
    }
    options.geometry = geometry.empty() ? nullptr : geometry.data();
  }
};

// Columns (images, 4 + classes, candidates) of boxes on a grid that overlap
// their neighbours, scores cycling through the classes: enough records to
// reach the radix ranking and the suppression grid.
void fill_columns(heads_case& c, std::int64_t images, std::int64_t candidates,
                  std::int32_t classes) {
  c.values.assign(static_cast<std::size_t>(images * (4 + classes) * candidates), 0.0f);
  for (std::int64_t b = 0; b < images; ++b) {
    float* image = c.values.data() + b * (4 + classes) * candidates;
    for (std::int64_t n = 0; n < candidates; ++n) {
      image[n] = static_cast<float>(n % 20) * 3.0f;
      image[candidates + n] = static_cast<float>(n / 20) * 3.0f;
      image[2 * candidates + n] = 5.0f;
      image[3 * candidates + n] = 5.0f;
      image[(4 + n % classes) * candidates + n] = 0.31f + static_cast<float>((n * 7) % 13) * 0.05f;
    }
  }
  quelt_layout_columns(&c.layout, c.values.data(), images, candidates, classes);
  c.point(images);
}

std::vector<std::unique_ptr<heads_case>> heads_cases() {
  std::vector<std::unique_ptr<heads_case>> cases;
  auto add = [&](const std::string& name) {
    cases.push_back(std::make_unique<heads_case>());
    cases.back()->name = name;
    return cases.back().get();
  };
  fill_columns(*add("columns, two images"), 2, 12, 3);
  {
    heads_case& c = *add("300 candidates, letterbox, cap");
    c.geometry.push_back(quelt_geometry_letterbox(64, 48, 640, 360));
    c.options.max_detections = 20;
    fill_columns(c, 1, 300, 2);
  }
  {
    // Rows with objectness, logits, every passing class, across classes.
    heads_case& c = *add("rows, logits, multi-label, agnostic, allow-list");
    c.values = {10, 10, 4, 4, 2.0f, 3.0f,  1.0f, -9.0f, 11, 10, 4, 4, 1.0f,  2.0f, 2.0f, 2.0f,
                40, 10, 4, 4, 0.5f, -1.0f, 4.0f, 4.0f,  9,  30, 4, 4, -5.0f, 9.0f, 9.0f, 9.0f};
    quelt_layout_rows(&c.layout, c.values.data(), 1, 4, 3, 1);
    c.layout.score_coding = QUELT_SCORES_LOGITS;
    c.options.multi_label = 1;
    c.options.agnostic = 1;
    c.allowed = {0, 2};
    c.point(1);
  }
  {
    // Every passing class of each candidate, walked class by class.
    heads_case& c = *add("columns, multi-label, allow-list");
    c.options.multi_label = 1;
    c.allowed = {2, 0, 7};
    fill_columns(c, 1, 40, 3);
  }
  {
    // Scores candidate by candidate without objectness, geometry.
    heads_case& c = *add("separate, scores by candidate, stretch");
    const std::int64_t candidates = 24;
    const std::int32_t classes = 2;
    c.values.assign(static_cast<std::size_t>(candidates * (4 + classes)), 0.0f);
    float* scores = c.values.data() + 4 * candidates;
    for (std::int64_t n = 0; n < candidates; ++n) {
      float* box = c.values.data() + 4 * n;
      box[0] = static_cast<float>(n % 6) * 4.0f;
      box[1] = static_cast<float>(n / 6) * 4.0f;
      box[2] = 7.0f;
      box[3] = 7.0f;
      scores[n * classes + n % classes] = 0.35f + static_cast<float>(n % 5) * 0.1f;
    }
    quelt_layout_separate(&c.layout, c.values.data(), scores, 1, candidates, classes, 0);
    c.geometry.push_back(quelt_geometry_stretch(64, 48, 320, 200));
    c.point(1);
  }
  {
    // Objectness and probabilities, class by class, in two images.
    heads_case& c = *add("rows with objectness, two images");
    c.values = {10, 10, 4, 4, 0.9f, 0.8f, 0.1f, 11, 10, 4, 4, 0.8f, 0.9f, 0.7f,
                40, 10, 4, 4, 0.2f, 0.9f, 0.9f, 10, 11, 4, 4, 0.7f, 0.2f, 0.9f,
                10, 10, 4, 4, 0.6f, 0.1f, 0.9f, 30, 10, 4, 4, 0.9f, 0.9f, 0.9f,
                10, 30, 4, 4, 0.1f, 0.9f, 0.9f, 12, 30, 4, 4, 0.6f, 0.6f, 0.6f};
    quelt_layout_rows(&c.layout, c.values.data(), 2, 4, 2, 1);
    c.point(2);
  }
  {
    heads_case& c = *add("end-to-end");
    c.values = {1, 1, 9, 9, 0.9f, 2, 1, 1, 9, 9, 0.5f, 0, 0, 0, 0, 0, 0, -1};
    quelt_layout_end_to_end(&c.layout, c.values.data(), 1, 3);
    c.point(1);
  }
  {
    // The same columns as uint8 (scale 1/4): the integer cut, the class-by-
    // class walk over elements and every passing class.
    heads_case& c = *add("uint8 columns, multi-label");
    c.options.multi_label = 1;
    fill_columns(c, 1, 300, 2);
    for (float v : c.values) {
      c.elements.push_back(static_cast<unsigned char>(v * 4.0f + 0.5f));
    }
    c.layout.boxes.data = reinterpret_cast<const float*>(c.elements.data());
    c.layout.scores.data = reinterpret_cast<const float*>(c.elements.data() + 4 * 300);
    c.layout.boxes_element = quelt_element{QUELT_ELEMENT_UINT8, 0, 0.25f, 0};
    c.layout.scores_element = c.layout.boxes_element;
  }
  {
    // Rows with an int16 objectness and scores (scale 1/100, zero point -3).
    heads_case& c = *add("int16 rows with objectness");
    c.values = {10, 10, 4, 4, 0.9f, 0.8f, 0.1f, 11, 10, 4, 4, 0.8f, 0.9f, 0.7f,
                40, 10, 4, 4, 0.2f, 0.9f, 0.9f, 10, 11, 4, 4, 0.7f, 0.2f, 0.9f};
    for (float v : c.values) {
      const auto q = static_cast<std::int16_t>(v * 100.0f - 3.0f + 0.5f);
      c.elements.push_back(static_cast<unsigned char>(q & 0xff));
      c.elements.push_back(static_cast<unsigned char>((q >> 8) & 0xff));
    }
    quelt_layout_rows(&c.layout, reinterpret_cast<const float*>(c.elements.data()), 1, 4, 2, 1);
    c.layout.objectness.data = reinterpret_cast<const float*>(c.elements.data() + 4 * 2);
    c.layout.scores.data = reinterpret_cast<const float*>(c.elements.data() + 5 * 2);
    c.layout.boxes_element = quelt_element{QUELT_ELEMENT_INT16, -3, 0.01f, 0};
    c.layout.objectness_element = c.layout.boxes_element;
    c.layout.scores_element = c.layout.boxes_element;
    c.point(1);
  }
  {
    // Two keypoints (x, y, visibility logit) and a spare extra per
    // candidate, carried by the survivors and mapped to the picture.
    heads_case& c = *add("columns, keypoints, letterbox");
    c.geometry.push_back(quelt_geometry_letterbox(64, 48, 640, 360));
    const std::int64_t candidates = 40;
    for (std::int64_t n = 0; n < candidates; ++n) {
      const auto x = static_cast<float>(n % 20) * 3.0f;
      const auto y = static_cast<float>(n / 20) * 3.0f;
      c.extras.insert(c.extras.end(), {x, y, 2.0f, x + 1.0f, y + 1.0f, -1.0f, 0.5f});
    }
    // fill_columns describes the columns afresh: the extras come after.
    fill_columns(c, 1, candidates, 2);
    c.layout.extras = quelt_view{c.extras.data(), 7 * candidates, 7, 1};
    c.layout.extras_count = 7;
    c.layout.keypoint_count = 2;
    c.layout.keypoint_values = 3;
    c.layout.keypoint_coding = QUELT_SCORES_LOGITS;
    // Rotated boxes: the columns' boxes turned, 300 of one class so that
    // the suppression grid culls by their bounds, and a second set with the
    // probabilistic overlap.
    for (int measure = 0; measure < 2; ++measure) {
      heads_case& c = *add(measure == 0 ? "rotated, exact overlap, letterbox"
                                        : "rotated, probabilistic overlap");
      fill_columns(c, 1, 300, 1);
      c.values.resize(c.values.size() + 300);
      float* angles = c.values.data() + 5 * 300;
      for (int n = 0; n < 300; ++n) {
        angles[n] = static_cast<float>(n % 7) * 0.3f;
      }
      c.layout.box_coding = QUELT_BOX_ROTATED;
      c.layout.boxes.data = c.values.data();
      c.layout.scores.data = c.values.data() + 4 * 300;
      c.layout.angles = quelt_view{angles, 300, 1, 0};
      c.layout.rotated_overlap = measure;
      if (measure == 0) {
        c.geometry.push_back(quelt_geometry_letterbox(64, 48, 640, 360));
        c.point(1);
      }
    }
  }
  {
    heads_case& c = *add("NaN threshold (fails by design)");
    fill_columns(c, 1, 4, 2);
    c.scores[0] = std::numeric_limits<float>::quiet_NaN();
  }
  return cases;
}

TEST(AllocationSweep, HeadsEntry) {
  for (const auto& c : heads_cases()) {
    const std::vector<float> before = c->values;
    const std::vector<unsigned char> elements_before = c->elements;
    {
      // A case meant to decode must give records, or its sweep misses the work.
      object_handler probe{};
      const return_status status = quelt_decode(&c->layout, &c->options, &probe);
      std::uint64_t records = 0;
      done_return_status(detections_batch_detections_count(probe, 0, &records));
      EXPECT_EQ(status.status_code == 1 && records > 0,
                c->name.find("fails by design") == std::string::npos)
          << c->name;
      done_return_status(status);
      object_handler_destroy(probe);
    }
    scenario s;
    s.entry = "quelt_decode";
    s.name = c->name;
    s.decodes = true;
    s.invoke = [&](object_handler& handle) {
      return quelt_decode(&c->layout, &c->options, &handle);
    };
    s.collect = [&](object_handler handle, std::vector<char>& out) { read_batch(handle, out); };
    s.check_after_failure = [&] {
      EXPECT_EQ(c->values, before);
      EXPECT_EQ(c->elements, elements_before);
    };
    sweep(s);
  }
}

// Raw per-level heads: two levels of 16-bin distributions, the first NCHW
// float32, the second NHWC int8 behind a uint8 score-sum screen; every
// passing class, with a cap.
TEST(AllocationSweep, LevelsEntry) {
  const std::int64_t classes = 3;
  const std::int64_t bins = 16;
  // Level 0: 4 x 4 cells, stride 8; level 1: 2 x 2 cells, stride 16.
  std::vector<float> boxes0(static_cast<std::size_t>(4 * bins * 16));
  std::vector<float> scores0(static_cast<std::size_t>(classes * 16), -6.0f);
  for (std::size_t i = 0; i < boxes0.size(); ++i) {
    boxes0[i] = static_cast<float>((i * 7) % 11) * 0.4f;
  }
  for (std::int64_t cell = 0; cell < 16; ++cell) {
    scores0[static_cast<std::size_t>((cell % classes) * 16 + cell)] = 0.5f + 0.1f * cell;
  }
  std::vector<unsigned char> boxes1(static_cast<std::size_t>(4 * 4 * bins));
  std::vector<unsigned char> scores1(static_cast<std::size_t>(4 * classes));
  std::vector<unsigned char> sums1 = {200, 10, 220, 240};
  for (std::size_t i = 0; i < boxes1.size(); ++i) {
    boxes1[i] = static_cast<unsigned char>((i * 13) % 40);
  }
  for (std::size_t i = 0; i < scores1.size(); ++i) {
    scores1[i] = static_cast<unsigned char>(i % 3 == 0 ? 60 : 0x90);  // 60: passes; -112: not
  }
  std::vector<quelt_level> levels(2);
  levels[0].height = 4;
  levels[0].width = 4;
  levels[0].stride = 8;
  levels[0].boxes = quelt_grid_view{boxes0.data(), 0, 4, 1, 16, quelt_element{}};
  levels[0].scores = quelt_grid_view{scores0.data(), 0, 4, 1, 16, quelt_element{}};
  const quelt_element int8{QUELT_ELEMENT_INT8, 0, 0.05f, 0};
  levels[1].height = 2;
  levels[1].width = 2;
  levels[1].stride = 16;
  levels[1].boxes = quelt_grid_view{
      reinterpret_cast<const float*>(boxes1.data()), 0, 2 * 4 * bins, 4 * bins, 1, int8};
  levels[1].scores = quelt_grid_view{
      reinterpret_cast<const float*>(scores1.data()), 0, 2 * classes, classes, 1, int8};
  levels[1].score_sum =
      quelt_grid_view{reinterpret_cast<const float*>(sums1.data()),        0, 2, 1, 0,
                      quelt_element{QUELT_ELEMENT_UINT8, 0, 1.0f / 255, 0}};
  quelt_levels heads;
  quelt_levels_init(&heads);
  heads.score_coding = QUELT_SCORES_LOGITS;
  heads.batch = 1;
  heads.classes = classes;
  heads.bins = bins;
  heads.level_count = 2;
  heads.levels = levels.data();
  const float score = 0.3f;
  const float iou = 0.45f;
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = 32;
  options.network_height = 32;
  options.multi_label = 1;
  options.max_detections = 12;
  options.score_thresholds = &score;
  options.iou_thresholds = &iou;
  {
    object_handler probe{};
    const return_status status = quelt_decode_levels(&heads, &options, &probe);
    std::uint64_t records = 0;
    done_return_status(detections_batch_detections_count(probe, 0, &records));
    EXPECT_TRUE(status.status_code == 1 && records > 0);
    done_return_status(status);
    object_handler_destroy(probe);
  }
  scenario s;
  s.entry = "quelt_decode_levels";
  s.name = "two levels, float32 and int8";
  s.decodes = true;
  s.invoke = [&](object_handler& handle) { return quelt_decode_levels(&heads, &options, &handle); };
  s.collect = [&](object_handler handle, std::vector<char>& out) { read_batch(handle, out); };
  sweep(s);
}

TEST(AllocationSweep, MapDetections) {
  auto cases = heads_cases();
  // Two images, so a refusal can strike after the first image's new list.
  const std::vector<quelt_image_geometry> fitting{quelt_geometry_stretch(64, 48, 320, 200),
                                                  quelt_geometry_letterbox(64, 48, 640, 360)};
  const std::vector<quelt_image_geometry> flat{fitting[0],
                                               quelt_image_geometry{640, 360, 0, 1, 0, 0}};
  // The second as a details batch, whose sources, extras and keypoints (the
  // box values read again, as two keypoints of x and y) the cap keeps in step.
  cases[1]->options.details = 1;
  cases[1]->layout.extras = cases[1]->layout.boxes;
  cases[1]->layout.extras_count = 4;
  cases[1]->layout.keypoint_count = 2;
  cases[1]->layout.keypoint_values = 2;
  for (heads_case* source : {cases[0].get(), cases[1].get()}) {
    source->options.max_detections = 0;
    source->options.geometry = nullptr;
    object_handler batch{};
    std::vector<char> unmapped;
    for (const auto& [name, geometry, cap] :
         {std::tuple<std::string, const quelt_image_geometry*, std::int32_t>{"map only",
                                                                             fitting.data(), 0},
          {"cap only", nullptr, 5},
          {"map and cap", fitting.data(), 7},
          {"negative cap (fails by design)", fitting.data(), -1},
          {"a scale of 0 (fails by design)", flat.data(), 3}}) {
      scenario s;
      s.entry = "quelt_map_detections";
      s.name = source->name + ", " + name;
      s.prepare = [&] {
        object_handler_destroy(batch);
        ASSERT_EQ(quelt_decode(&source->layout, &source->options, &batch).status_code, 1);
        unmapped.clear();
        read_batch(batch, unmapped);
      };
      s.invoke = [&, geometry = geometry, cap = cap](object_handler&) {
        return quelt_map_detections(batch, 64, 48, geometry, cap);
      };
      s.collect = [&](object_handler, std::vector<char>& out) { read_batch(batch, out); };
      s.check_after_failure = [&] {
        std::vector<char> now;
        read_batch(batch, now);
        EXPECT_EQ(now, unmapped) << "a failed call changed the batch";
      };
      sweep(s);
    }
    object_handler_destroy(batch);
  }
}

// ---------------------------------------------------------------------------
// Out of memory outside the sweep

// ---------------------------------------------------------------------------
// Instance masks

// The masks of a decoded batch in each form, their size, and one buffer a
// byte short (fails by design): three records on 16 x 12 prototypes of two channels,
// one box reaching past the input's edge.
TEST(AllocationSweep, MasksStore) {
  constexpr std::int64_t candidates = 3;
  constexpr std::int32_t channels = 2;
  // Columns: x_min, y_min, x_max, y_max, one score, two coefficients.
  std::vector<float> columns{2,  30,  -4,  4,   20, 40, 30, 60,  70, 9, 40,
                             50, .9f, .8f, .7f, 1,  -1, 2,  .5f, 3,  -2};
  std::vector<float> prototypes(channels * 12 * 16);
  for (std::size_t i = 0; i < prototypes.size(); ++i) {
    prototypes[i] = static_cast<float>(static_cast<int>(i * 7 % 13) - 6) * 0.5f;
  }
  quelt_layout layout;
  quelt_layout_columns(&layout, columns.data(), 1, candidates, 1);
  layout.box_coding = QUELT_BOX_CORNERS;
  layout.extras = quelt_view{columns.data() + 5 * candidates, 0, 1, candidates};
  layout.extras_count = channels;
  const float score = 0.1f;
  const float iou = 0.9f;
  const quelt_image_geometry photo = quelt_geometry_letterbox(64, 48, 100, 90);
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = 64;
  options.network_height = 48;
  options.score_thresholds = &score;
  options.iou_thresholds = &iou;
  options.geometry = &photo;
  options.details = 1;
  object_handler batch{};
  ASSERT_EQ(quelt_decode(&layout, &options, &batch).status_code, 1);

  for (std::int32_t kind :
       {QUELT_MASK_PROTOTYPE_PROBABILITIES, QUELT_MASK_INPUT_BINARY, QUELT_MASK_ORIGINAL_BINARY}) {
    for (bool short_buffer : {false, true}) {
      quelt_mask_request request;
      quelt_mask_request_init(&request);
      request.kind = kind;
      request.prototypes = quelt_grid_view{prototypes.data(), 0, 16, 1, 12 * 16, {}};
      request.prototype_channels = channels;
      request.prototype_height = 12;
      request.prototype_width = 16;
      std::uint64_t bytes = 0;
      ASSERT_EQ(quelt_batch_masks_size(batch, 0, &request, &bytes).status_code, 1);
      ASSERT_GT(bytes, 0u);
      std::vector<unsigned char> values(bytes);
      std::vector<quelt_mask_region> regions(candidates);
      request.values = values.data();
      request.values_size = short_buffer ? bytes - 1 : bytes;
      request.regions = regions.data();
      scenario s;
      s.entry = "quelt_batch_masks_store";
      s.name = "kind " + std::to_string(kind) + (short_buffer ? ", fails by design" : "");
      s.prepare = [&] {
        std::fill(values.begin(), values.end(), 0xa5);
        std::fill(regions.begin(), regions.end(), quelt_mask_region{-1, -1, -1, -1, -1});
      };
      s.invoke = [&](object_handler&) { return quelt_batch_masks_store(batch, 0, &request); };
      s.collect = [&](object_handler, std::vector<char>& out) {
        append_bytes(out, values.data(), values.size());
        append_bytes(out, regions.data(), regions.size());
      };
      s.check_after_failure = [&] {
        EXPECT_TRUE(
            std::all_of(values.begin(), values.end(), [](unsigned char v) { return v == 0xa5; }));
        EXPECT_EQ(regions[0].offset, -1);
      };
      sweep(s);
      if (!short_buffer) {
        std::uint64_t size = 0;
        scenario sized;
        sized.entry = "quelt_batch_masks_size";
        sized.name = "kind " + std::to_string(kind);
        sized.prepare = [&] { size = 7; };
        sized.invoke = [&](object_handler&) {
          return quelt_batch_masks_size(batch, 0, &request, &size);
        };
        sized.collect = [&](object_handler, std::vector<char>& out) {
          append_bytes(out, &size, 1);
        };
        sized.check_after_failure = [&] { EXPECT_EQ(size, 7u); };
        sweep(sized);
      }
    }
  }
  object_handler_destroy(batch);
}

TEST(OutOfMemory, InsideTheWorkGivesFailureWithStandardText) {
  arm_allocator(1);
  return_status status = quelt::api::run_in_status_frame([] { std::vector<int> values(64); });
  const auto stats = disarm_allocator();
  ASSERT_TRUE(stats.failed);
  ASSERT_EQ(status.status_code, 0);
  EXPECT_EQ(status.message_is_static, 0);
  EXPECT_EQ(status.message, out_of_memory);
  done_return_status(status);
}

TEST(OutOfMemory, SealedCountsTooLargeToReserveFailBeforeReading) {
  // One row of storage; the counts claim far more. Nothing may be read.
  quelt::test::sealed_tensor t(1);
  t.add(10, 10, 4, 4, 0.9f, {0.9f});
  const std::vector<float> before = t.values;
  const std::vector<float> thresholds(1, 0.5f);
  for (const auto& [boxes, batch] :
       {std::pair<std::int64_t, std::int64_t>{std::int64_t{1} << 56, 1},
        {1, std::int64_t{1} << 50}}) {
    auto result = quelt::test::decode(t.values.data(), boxes, batch, 1, thresholds.data(),
                                      thresholds.data(), 320, 320);
    EXPECT_EQ(result.failure, out_of_memory) << boxes << " x " << batch;
    EXPECT_EQ(result.handle.object, nullptr);
    EXPECT_EQ(t.values, before);
  }
}

}  // namespace
