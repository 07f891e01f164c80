// The library against the literal reference on seeded random calls. Any
// difference in status, counts, record bytes (two NaNs count as equal) or, on
// the sealed path, the caller's tensor afterwards is a failure.
//
// QUELT_DIFFERENTIAL_CASES sets the cases per group (default a quick pass),
// QUELT_DIFFERENTIAL_SEED the first seed; scripts/differential runs a long pass.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/logistic.hpp"
#include "step_api/activation.hpp"
#include "step_api/box_extraction.hpp"
#include "step_api/row_nms.hpp"
#include "reference/random_calls.hpp"
#include "reference/reference.hpp"
#include "step_api/box_provider_nms.hpp"
#include "step_api/darknet_box_provider.hpp"
#include "support/status.hpp"

namespace {

using namespace quelt_reference;

std::uint64_t setting(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::strtoull(text, nullptr, 10) : fallback;
}

std::uint64_t case_count() {
  return setting("QUELT_DIFFERENTIAL_CASES", 1500);
}
std::uint64_t first_seed() {
  return setting("QUELT_DIFFERENTIAL_SEED", 20261208);
}

// Reads a whole batch back through the C interface; with `sources`, each
// record's candidate too, which the batch must keep.
detections read_batch(object_handler handler, sources_list* sources = nullptr) {
  detections batch;
  std::uint64_t size = 0;
  EXPECT_EQ(quelt::test::failure_text(detections_batch_size(handler, &size)), "");
  for (std::uint64_t i = 0; i < size; ++i) {
    std::uint64_t count = 0;
    EXPECT_EQ(quelt::test::failure_text(detections_batch_detections_count(handler, i, &count)), "");
    std::vector<object_detection> records(count);
    EXPECT_EQ(
        quelt::test::failure_text(detections_batch_detections_store(handler, i, records.data())),
        "");
    batch.push_back(records);
    if (sources != nullptr) {
      sources->emplace_back(count, -1);
      EXPECT_EQ(
          quelt::test::failure_text(quelt_batch_sources_store(handler, i, sources->back().data())),
          "");
    }
  }
  return batch;
}

// The rotated records of every image of a batch.
rotated_list read_rotated(object_handler handler) {
  rotated_list batch;
  std::uint64_t size = 0;
  EXPECT_EQ(quelt::test::failure_text(detections_batch_size(handler, &size)), "");
  for (std::uint64_t i = 0; i < size; ++i) {
    std::uint64_t count = 0;
    EXPECT_EQ(quelt::test::failure_text(detections_batch_detections_count(handler, i, &count)), "");
    std::vector<quelt_rotated_detection> records(count);
    EXPECT_EQ(quelt::test::failure_text(quelt_batch_rotated_store(handler, i, records.data())), "");
    batch.push_back(records);
  }
  return batch;
}

::testing::AssertionResult same_rotated(const rotated_list& library,
                                        const rotated_list& reference) {
  if (library.size() != reference.size()) {
    return ::testing::AssertionFailure()
           << library.size() << " images, reference " << reference.size();
  }
  for (std::size_t b = 0; b < library.size(); ++b) {
    if (library[b].size() != reference[b].size()) {
      return ::testing::AssertionFailure() << "image " << b << ": " << library[b].size()
                                           << " rotated records, reference " << reference[b].size();
    }
    for (std::size_t i = 0; i < library[b].size(); ++i) {
      const quelt_rotated_detection& x = library[b][i];
      const quelt_rotated_detection& y = reference[b][i];
      if (!same_float(x.cx, y.cx) || !same_float(x.cy, y.cy) || !same_float(x.width, y.width) ||
          !same_float(x.height, y.height) || !same_float(x.angle, y.angle) ||
          x.class_id != y.class_id || !same_float(x.probability, y.probability)) {
        return ::testing::AssertionFailure()
               << "image " << b << " record " << i << ": (" << x.cx << ", " << x.cy << ", "
               << x.width << ", " << x.height << ", " << x.angle << ") reference (" << y.cx << ", "
               << y.cy << ", " << y.width << ", " << y.height << ", " << y.angle << ")";
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// Whether a seed's call asks for a details batch. Decided apart from the
// generator, whose draws the golden records depend on.
bool asks_details(std::uint64_t seed) {
  return seed % 3 == 0;
}

::testing::AssertionResult same_batches(const detections& library, const detections& reference) {
  if (library.size() != reference.size()) {
    return ::testing::AssertionFailure()
           << "images: library " << library.size() << ", reference " << reference.size();
  }
  for (std::size_t i = 0; i < library.size(); ++i) {
    if (!same_records(library[i], reference[i])) {
      auto failure = ::testing::AssertionFailure();
      failure << "image " << i << ": library " << library[i].size() << " records, reference "
              << reference[i].size() << "\n";
      for (const auto* side : {&library[i], &reference[i]}) {
        failure << (side == &library[i] ? " library:\n" : " reference:\n");
        for (const auto& r : *side) {
          failure << "  " << r.class_id << " p=" << r.probability << " o=" << r.objectness << " ("
                  << r.x_min << ", " << r.y_min << ", " << r.x_max << ", " << r.y_max << ")\n";
        }
      }
      return failure;
    }
  }
  return ::testing::AssertionSuccess();
}

// Reads a details batch back: records, and per record its source, E extras
// and K keypoints.
details read_details(object_handler handler, std::size_t extras, std::size_t keypoints) {
  details batch;
  for (const auto& records : read_batch(handler)) {
    const std::uint64_t i = batch.size();
    details_image image{records,
                        std::vector<std::int64_t>(records.size()),
                        std::vector<float>(records.size() * extras),
                        std::vector<float>(records.size() * keypoints * 3),
                        {},
                        {}};
    EXPECT_EQ(
        quelt::test::failure_text(quelt_batch_sources_store(handler, i, image.sources.data())), "");
    if (extras > 0) {
      EXPECT_EQ(
          quelt::test::failure_text(quelt_batch_extras_store(handler, i, image.extras.data())), "");
    }
    if (keypoints > 0) {
      EXPECT_EQ(quelt::test::failure_text(
                    quelt_batch_keypoints_store(handler, i, image.keypoints.data())),
                "");
    }
    batch.push_back(image);
  }
  return batch;
}

::testing::AssertionResult same_details(const details& library, const details& reference) {
  if (library.size() != reference.size()) {
    return ::testing::AssertionFailure()
           << "images: library " << library.size() << ", reference " << reference.size();
  }
  for (std::size_t i = 0; i < library.size(); ++i) {
    if (!same_records(library[i].records, reference[i].records)) {
      return ::testing::AssertionFailure() << "image " << i << ": records";
    }
    if (library[i].sources != reference[i].sources) {
      return ::testing::AssertionFailure() << "image " << i << ": sources";
    }
    if (!same_floats(library[i].extras, reference[i].extras)) {
      return ::testing::AssertionFailure() << "image " << i << ": extras";
    }
    if (!same_floats(library[i].keypoints, reference[i].keypoints)) {
      auto failure = ::testing::AssertionFailure() << "image " << i << ": keypoints\n";
      for (std::size_t k = 0; k < library[i].keypoints.size(); ++k) {
        failure << "  " << library[i].keypoints[k] << " "
                << (k < reference[i].keypoints.size() ? reference[i].keypoints[k] : -1.0f) << "\n";
      }
      return failure;
    }
  }
  return ::testing::AssertionSuccess();
}

std::size_t record_count(const detections& batch) {
  std::size_t count = 0;
  for (const auto& image : batch) {
    count += image.size();
  }
  return count;
}

// Whether a layer holds more records per image than one screening block.
bool beyond_one_block(const yolo_output& layer) {
  return layer.output.width * layer.output.height * layer.mask_size > 256;
}

// Whether an image of a sealed call has more candidates than the ranking
// sorts by comparison.
bool many_candidates(const sealed_call& call, std::int64_t image) {
  const std::size_t length = static_cast<std::size_t>(call.classes) + 5;
  std::size_t passing = 0;
  for (std::int64_t r = 0; r < call.boxes_count; ++r) {
    const float objectness =
        call.tensor[static_cast<std::size_t>(image * call.boxes_count + r) * length + 4];
    passing += objectness > call.conf[static_cast<std::size_t>(image)] ? 1 : 0;
  }
  return passing > 256;
}

TEST(Differential, DarknetEntryMatchesReference) {
  std::size_t records = 0;
  std::size_t large_layers = 0;
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    darknet_call call = random_darknet_call(random);
    const auto before = call.values;
    for (const yolo_output& layer : call.layers) {
      large_layers += beyond_one_block(layer) && layer.output.batch > 0 ? 1 : 0;
    }

    object_handler handler{};
    return_status status = process_yolo_detections(call.layers.data(), call.layers.size(), call.net,
                                                   call.conf.data(), call.nms.data(), &handler);
    ASSERT_EQ(quelt::test::failure_text(status), "") << "seed " << seed;
    const detections library = read_batch(handler);
    object_handler_destroy(handler);
    for (std::size_t l = 0; l < before.size(); ++l) {
      ASSERT_TRUE(same_floats(call.values[l], before[l]))
          << "caller's layer changed, seed " << seed;
    }

    const detections reference = process_yolo_detections(
        call.layers.data(), call.layers.size(), call.net, call.conf.data(), call.nms.data());
    ASSERT_TRUE(same_batches(library, reference)) << "seed " << seed;
    records += record_count(library);

    // The same records through quelt_decode_darknet, each from an anchor
    // record whose objectness it carries and whose class score makes its
    // probability.
    ASSERT_EQ(quelt::test::failure_text(quelt_decode_darknet(call.layers.data(), call.layers.size(),
                                                             call.net, call.conf.data(),
                                                             call.nms.data(), &handler)),
              "")
        << "seed " << seed;
    const details with_sources = read_details(handler, 0, 0);
    object_handler_destroy(handler);
    ASSERT_EQ(with_sources.size(), library.size());
    for (std::size_t i = 0; i < library.size(); ++i) {
      ASSERT_TRUE(same_records(with_sources[i].records, library[i])) << "seed " << seed;
      for (std::size_t r = 0; r < library[i].size(); ++r) {
        std::int64_t index = with_sources[i].sources[r];
        std::size_t l = 0;
        for (; l < call.layers.size(); ++l) {
          const output_tensor& t = call.layers[l].output;
          const auto count =
              static_cast<std::int64_t>(t.height * t.width * call.layers[l].mask_size);
          if (index < count) {
            break;
          }
          index -= count;
        }
        ASSERT_LT(l, call.layers.size()) << "seed " << seed;
        const yolo_output& layer = call.layers[l];
        const std::size_t length = static_cast<std::size_t>(layer.classes) + 5;
        const float* v =
            layer.output.data + (i * layer.output.height * layer.output.width * layer.mask_size +
                                 static_cast<std::size_t>(index)) *
                                    length;
        const auto activate = [&](float x) {
          return layer.preactivated != 0 ? x : sorvanta::framework::logistic(x);
        };
        const object_detection& d = library[i][r];
        ASSERT_TRUE(same_float(d.objectness, activate(v[4]))) << "seed " << seed;
        ASSERT_TRUE(same_float(d.probability, d.objectness * activate(v[5 + d.class_id])))
            << "seed " << seed;
      }
    }
  }
  // A generator that stopped producing detections would prove nothing, and
  // one without large inputs would miss the large-input branches.
  EXPECT_GT(records, case_count());
  if (case_count() >= 1000) {
    EXPECT_GT(large_layers * 1000, case_count());
  }
}

TEST(Differential, SealedEntryMatchesReferenceIncludingTensor) {
  std::size_t records = 0;
  std::size_t large_images = 0;
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    sealed_call call = random_sealed_call(random);
    std::vector<float> library_tensor = call.tensor;
    std::vector<float> reference_tensor = call.tensor;
    for (std::int64_t i = 0; i < call.batch_size; ++i) {
      large_images += call.classes >= 4 && many_candidates(call, i) ? 1 : 0;
    }

    object_handler handler{};
    return_status status = process_yolo_sealed_output_detections(
        library_tensor.data(), call.boxes_count, call.batch_size, call.classes, call.conf.data(),
        call.nms.data(), call.width, call.height, &handler);
    ASSERT_EQ(quelt::test::failure_text(status), "") << "seed " << seed;
    const detections library = read_batch(handler);
    object_handler_destroy(handler);

    std::vector<std::vector<std::int64_t>> rows;
    const detections reference = process_yolo_sealed_output_detections(
        reference_tensor.data(), call.boxes_count, call.batch_size, call.classes, call.conf.data(),
        call.nms.data(), call.width, call.height, &rows);
    ASSERT_TRUE(same_batches(library, reference)) << "seed " << seed;
    ASSERT_TRUE(same_floats(library_tensor, reference_tensor)) << "tensor, seed " << seed;
    records += record_count(library);

    // The same records and rewriting through quelt_decode_sealed, with rows.
    std::vector<float> details_tensor = call.tensor;
    ASSERT_EQ(quelt::test::failure_text(quelt_decode_sealed(
                  details_tensor.data(), call.boxes_count, call.batch_size, call.classes,
                  call.conf.data(), call.nms.data(), call.width, call.height, &handler)),
              "")
        << "seed " << seed;
    const details with_rows = read_details(handler, 0, 0);
    object_handler_destroy(handler);
    ASSERT_TRUE(same_floats(details_tensor, reference_tensor)) << "tensor, seed " << seed;
    ASSERT_EQ(with_rows.size(), reference.size()) << "seed " << seed;
    for (std::size_t i = 0; i < reference.size(); ++i) {
      ASSERT_TRUE(same_records(with_rows[i].records, reference[i])) << "seed " << seed;
      ASSERT_EQ(with_rows[i].sources, rows[i]) << "seed " << seed;
    }
  }
  EXPECT_GT(records, case_count());
  if (case_count() >= 1000) {
    EXPECT_GT(large_images * 1000, case_count());
  }
}

TEST(Differential, ActivationAndExtractionMatchReference) {
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    darknet_call library_call = random_darknet_call(random);
    darknet_call reference_call = library_call;
    reference_call.point_descriptors();

    const int classes = library_call.layers[0].classes;
    for (std::size_t l = 0; l < library_call.layers.size(); ++l) {
      const yolo_output& layer = library_call.layers[l];
      quelt::activate_yolo_output(layer.output, static_cast<int>(layer.mask_size), layer.classes,
                                  layer.xy_scale, layer.preactivated != 0);
      const yolo_output& twin = reference_call.layers[l];
      activate_yolo_output(twin.output, static_cast<int>(twin.mask_size), twin.classes,
                           twin.xy_scale, twin.preactivated != 0);
      ASSERT_TRUE(same_floats(library_call.values[l], reference_call.values[l]))
          << "activation, seed " << seed;
    }

    const auto library = quelt::get_yolo_boxes(library_call.layers, classes, library_call.net.width,
                                               library_call.net.height, library_call.conf.data());
    const auto reference = get_yolo_boxes(reference_call.layers, classes, reference_call.net.width,
                                          reference_call.net.height, reference_call.conf.data());
    ASSERT_EQ(library.size(), reference.size());
    for (std::size_t i = 0; i < library.size(); ++i) {
      ASSERT_TRUE(same_floats(library[i], reference[i])) << "rows, seed " << seed;
    }
    for (std::size_t l = 0; l < library_call.values.size(); ++l) {
      ASSERT_TRUE(same_floats(library_call.values[l], reference_call.values[l]))
          << "layer values after extraction, seed " << seed;
    }
  }
}

TEST(Differential, RowSortAndSuppressionMatchReference) {
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    const int classes = random.chance(0.8) ? random.integer(1, 4) : random.integer(1, 40);
    const bool with_nan = random.chance(0.3);

    std::vector<float> rows = random_box_rows(random, classes, with_nan);
    std::vector<float> twin = rows;
    const int key = random.integer(0, classes - 1);
    quelt::descending_sort_yolo_boxes(rows, classes, key);
    descending_sort_yolo_boxes(twin, classes, key);
    ASSERT_TRUE(same_floats(rows, twin)) << "sort, seed " << seed;

    const int images = random.integer(0, 3);
    std::vector<std::vector<float>> boxes;
    std::vector<float> thresholds;
    for (int i = 0; i < images; ++i) {
      boxes.push_back(random_box_rows(random, classes, with_nan));
      thresholds.push_back(random.threshold({1.0f / 3.0f, 0.5f}));
    }
    thresholds.push_back(0.5f);
    auto reference = boxes;
    const int passes = random.chance(0.05) ? random.integer(-1, 0) : classes;
    quelt::do_nms_sort(boxes, passes, thresholds.data());
    do_nms_sort(reference, passes, thresholds.data());
    for (int i = 0; i < images; ++i) {
      ASSERT_TRUE(
          same_floats(boxes[static_cast<std::size_t>(i)], reference[static_cast<std::size_t>(i)]))
          << "suppression, image " << i << ", seed " << seed;
    }
  }
}

TEST(Differential, ProviderSuppressionMatchesReference) {
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    sealed_call call = random_sealed_call(random);
    std::vector<float> twin_tensor = call.tensor;
    const std::size_t length = static_cast<std::size_t>(call.classes) + 5;
    const std::size_t rows = call.tensor.size() / length;

    // Lists of rows whose objectness is a number, in row order, as scoring
    // leaves them.
    std::vector<std::vector<quelt::darknet_box_provider>> lists(
        static_cast<std::size_t>(call.batch_size));
    std::vector<std::vector<box_provider>> twins(lists.size());
    for (std::size_t r = 0; r < rows; ++r) {
      if (std::isnan(call.tensor[r * length + 4]) || lists.empty()) {
        continue;
      }
      const std::size_t image = r / static_cast<std::size_t>(call.boxes_count);
      lists[image].push_back(quelt::darknet_box_provider{&call.tensor[r * length], call.classes});
      twins[image].push_back(box_provider{&twin_tensor[r * length], call.classes});
    }
    const int passes = random.chance(0.05) ? random.integer(-1, 0) : call.classes;
    quelt::darknet_box_nms_sort(lists, passes, call.nms.data());
    darknet_box_nms_sort(twins, passes, call.nms.data());
    ASSERT_TRUE(same_floats(call.tensor, twin_tensor)) << "tensor, seed " << seed;
    for (std::size_t i = 0; i < lists.size(); ++i) {
      ASSERT_EQ(lists[i].size(), twins[i].size());
      for (std::size_t k = 0; k < lists[i].size(); ++k) {
        ASSERT_EQ(lists[i][k].row - call.tensor.data(), twins[i][k].row - twin_tensor.data())
            << "order, image " << i << ", seed " << seed;
        const std::size_t other = (k * 7 + 3) % lists[i].size();
        ASSERT_TRUE(same_float(static_cast<float>(lists[i][k].iou(lists[i][other])),
                               static_cast<float>(provider_iou(twins[i][k], twins[i][other]))));
        ASSERT_TRUE(same_float(static_cast<float>(lists[i][k].iom(lists[i][other])),
                               static_cast<float>(provider_iom(twins[i][k], twins[i][other]))));
      }
    }
  }
}

// ---------------------------------------------------------------- heads --

// A quelt_ function's failure text: one line a person reads, "FUNCTION:
// FIELD: what was wrong; ...", naming the field at fault, with nothing of the
// library's insides.
::testing::AssertionResult plain_failure(const std::string& text, const std::string& function,
                                         const std::string& field) {
  if (text.rfind(function + ": ", 0) != 0 ||
      text.find(": ", function.size() + 2) == std::string::npos ||
      text.find(field) == std::string::npos) {
    return ::testing::AssertionFailure()
           << "expected '" << function << ": " << field << "...: ...', got '" << text << "'";
  }
  for (const char* internal : {"\n", "xception", "oost", "Throw", ".cpp", "sorvanta"}) {
    if (text.find(internal) != std::string::npos) {
      return ::testing::AssertionFailure() << "'" << internal << "' in '" << text << "'";
    }
  }
  return ::testing::AssertionSuccess();
}

// A call the generator made faulty was refused: no handle, and a plain
// failure text naming the field.
::testing::AssertionResult refused(const object_handler& handler, const std::string& text,
                                   const std::string& function, const std::string& field) {
  if (handler.object != nullptr) {
    return ::testing::AssertionFailure() << "expected " << field << ", got a handle";
  }
  return plain_failure(text, function, field);
}

TEST(Differential, HeadsEntryAndMappingMatchReference) {
  std::size_t records = 0;
  std::size_t faults = 0;
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    heads_call call;
    random_heads_call(random, call);
    const bool details = asks_details(seed);
    call.options.details = details ? 1 : 0;
    const auto before = call.storage;

    object_handler handler{&call, static_cast<object_type>(7)};
    const std::string text =
        quelt::test::failure_text(quelt_decode(&call.layout, &call.options, &handler));
    for (std::size_t s = 0; s < before.size(); ++s) {
      ASSERT_TRUE(same_floats(call.storage[s], before[s])) << "caller's tensor, seed " << seed;
    }
    if (!call.fault.empty()) {
      ASSERT_EQ(handler.type, detections_batch) << "seed " << seed;
      ASSERT_TRUE(refused(handler, text, "quelt_decode", call.fault)) << "seed " << seed;
      ++faults;
      continue;
    }
    ASSERT_EQ(text, "") << "seed " << seed;
    ASSERT_EQ(handler.type, details ? quelt_details_batch : detections_batch) << "seed " << seed;
    sources_list library_sources;
    sources_list reference_sources;
    const detections library = read_batch(handler, details ? &library_sources : nullptr);
    ASSERT_TRUE(same_batches(library, decode_heads(call.layout, call.options, &reference_sources)))
        << "seed " << seed;
    if (details) {
      ASSERT_EQ(library_sources, reference_sources) << "sources, seed " << seed;
    } else {
      std::int64_t untouched = -7;
      ASSERT_TRUE(plain_failure(
          quelt::test::failure_text(quelt_batch_sources_store(handler, 0, &untouched)),
          "quelt_batch_sources_store", "handler"));
      ASSERT_EQ(untouched, -7);
    }
    quelt_batch_info info;
    quelt_batch_info_init(&info);
    ASSERT_EQ(quelt::test::failure_text(quelt_batch_describe(handler, &info)), "");
    ASSERT_EQ(info.type, handler.type);
    ASSERT_EQ(info.has_sources, details ? 1 : 0);
    ASSERT_EQ(info.original_pixels, details && call.options.geometry != nullptr ? 1 : 0);
    records += record_count(library);

    const quelt_image_geometry* geometry =
        call.map_geometry.empty() ? nullptr : call.map_geometry.data();
    const std::string map_text = quelt::test::failure_text(
        quelt_map_detections(handler, call.map_width, call.map_height, geometry, call.map_cap));
    if (details && geometry != nullptr && call.options.geometry != nullptr) {
      // Its edges are original-image pixels already: mapping them again is refused.
      ASSERT_TRUE(plain_failure(map_text, "quelt_map_detections", "geometry")) << "seed " << seed;
      ASSERT_TRUE(same_batches(read_batch(handler), library)) << "seed " << seed;
      object_handler_destroy(handler);
      continue;
    }
    ASSERT_EQ(map_text, "") << "seed " << seed;
    sources_list mapped_sources;
    ASSERT_TRUE(same_batches(read_batch(handler, details ? &mapped_sources : nullptr),
                             map_detections(library, call.map_width, call.map_height, geometry,
                                            call.map_cap, details ? &library_sources : nullptr)))
        << "mapping, seed " << seed;
    if (details) {
      ASSERT_EQ(mapped_sources, library_sources) << "mapped sources, seed " << seed;
    }
    object_handler_destroy(handler);
  }
  EXPECT_GT(records, case_count());
  EXPECT_GT(faults, case_count() / 50);
}

// Rotated boxes: the records (their bounds) and the rotated records of the
// reference, whose overlap clips the rectangles the plain way, for
// identical, nested, touching and edge-sharing boxes, slivers, angles near
// quarter turns, huge coordinates and bad values, then capped and mapped;
// layout contradictions fail naming the field.
TEST(Differential, RotatedBoxesMatchReference) {
  std::size_t records = 0;
  std::size_t faults = 0;
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    heads_call call;
    random_rotated_call(random, call);
    object_handler handler{nullptr, detections_batch};
    const std::string text =
        quelt::test::failure_text(quelt_decode(&call.layout, &call.options, &handler));
    if (!call.fault.empty()) {
      ASSERT_TRUE(refused(handler, text, "quelt_decode", call.fault)) << "seed " << seed;
      ++faults;
      continue;
    }
    ASSERT_EQ(text, "") << "seed " << seed;
    const detections library = read_batch(handler);
    rotated_list expected_rotated;
    ASSERT_TRUE(
        same_batches(library, decode_heads(call.layout, call.options, nullptr, &expected_rotated)))
        << "seed " << seed;
    ASSERT_EQ(handler.type, quelt_details_batch) << "seed " << seed;
    ASSERT_TRUE(same_rotated(read_rotated(handler), expected_rotated)) << "seed " << seed;
    records += record_count(library);

    // Capped, and mapped when the call had no geometry: the rotated records
    // stay in step, a stretch giving the minimum-area rectangle.
    const quelt_image_geometry* geometry =
        call.options.geometry == nullptr && !call.map_geometry.empty() ? call.map_geometry.data()
                                                                       : nullptr;
    ASSERT_EQ(quelt::test::failure_text(quelt_map_detections(
                  handler, call.map_width, call.map_height, geometry, call.map_cap)),
              "")
        << "seed " << seed;
    const detections mapped = map_detections(library, call.map_width, call.map_height, geometry,
                                             call.map_cap, nullptr, &expected_rotated);
    ASSERT_TRUE(same_batches(read_batch(handler), mapped)) << "mapping, seed " << seed;
    ASSERT_TRUE(same_rotated(read_rotated(handler), expected_rotated))
        << "mapped rotated records, seed " << seed;
    object_handler_destroy(handler);
  }
  EXPECT_GT(records, case_count());
  EXPECT_GT(faults, case_count() / 50);
}

// The same calls with views stored as float16, bfloat16 and quantized
// integers: the records must be those of the reference, and byte for byte
// those of the float path over a float32 copy converted element by element.
TEST(Differential, HeadsElementTypesMatchReferenceAndFloatCopy) {
  std::size_t records = 0;
  std::size_t faults = 0;
  std::size_t converted_views = 0;
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    heads_call call;
    random_element_call(random, call);
    const auto before = call.element_storage;
    const auto floats_before = call.storage;

    object_handler handler{&call, static_cast<object_type>(7)};
    const std::string text =
        quelt::test::failure_text(quelt_decode(&call.layout, &call.options, &handler));
    ASSERT_EQ(call.element_storage, before) << "caller's elements, seed " << seed;
    for (std::size_t s = 0; s < floats_before.size(); ++s) {
      ASSERT_TRUE(same_floats(call.storage[s], floats_before[s])) << "seed " << seed;
    }
    ASSERT_EQ(handler.type, detections_batch) << "seed " << seed;
    if (!call.fault.empty()) {
      ASSERT_EQ(handler.object, nullptr) << "expected " << call.fault << ", seed " << seed;
      ASSERT_NE(text.find(call.fault), std::string::npos)
          << "expected a failure naming " << call.fault << ", got '" << text << "', seed " << seed;
      ASSERT_EQ(text.rfind("quelt_decode: ", 0), 0u) << text;
      ++faults;
      continue;
    }
    ASSERT_EQ(text, "") << "seed " << seed;
    const detections library = read_batch(handler);
    object_handler_destroy(handler);
    ASSERT_TRUE(same_batches(library, decode_heads(call.layout, call.options))) << "seed " << seed;
    records += record_count(library);

    std::vector<std::vector<float>> storage;
    const quelt_layout copy = converted_layout(call.layout, storage);
    object_handler float_handler{};
    ASSERT_EQ(quelt::test::failure_text(quelt_decode(&copy, &call.options, &float_handler)), "");
    const detections float_path = read_batch(float_handler);
    object_handler_destroy(float_handler);
    ASSERT_EQ(library.size(), float_path.size());
    for (std::size_t b = 0; b < library.size(); ++b) {
      ASSERT_EQ(library[b].size(), float_path[b].size()) << "seed " << seed;
      if (!library[b].empty()) {
        ASSERT_EQ(std::memcmp(library[b].data(), float_path[b].data(),
                              library[b].size() * sizeof(object_detection)),
                  0)
            << "bytes, seed " << seed;
      }
    }
    for (const quelt_element& e :
         {call.layout.boxes_element, call.layout.objectness_element, call.layout.scores_element}) {
      converted_views += e.type != QUELT_ELEMENT_FLOAT32 ? 1 : 0;
    }
  }
  EXPECT_GT(records, case_count() / 2);
  EXPECT_GT(faults, case_count() / 50);
  EXPECT_GT(converted_views, case_count());
}

// Raw per-level heads: the records of the reference (every cell's box and
// score converted, then the heads reference), and byte for byte those of the
// same call over float32 copies of the maps.
TEST(Differential, LevelsEntryMatchesReferenceAndFloatCopy) {
  std::size_t records = 0;
  std::size_t faults = 0;
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    levels_case call;
    random_levels_call(random, call);
    const bool details = asks_details(seed);
    call.options.details = details ? 1 : 0;
    const auto before = call.maps;

    object_handler handler{&call, static_cast<object_type>(7)};
    const std::string text =
        quelt::test::failure_text(quelt_decode_levels(&call.levels, &call.options, &handler));
    ASSERT_EQ(call.maps, before) << "caller's maps, seed " << seed;
    if (!call.fault.empty()) {
      ASSERT_EQ(handler.type, detections_batch) << "seed " << seed;
      ASSERT_TRUE(refused(handler, text, "quelt_decode_levels", call.fault)) << "seed " << seed;
      ++faults;
      continue;
    }
    ASSERT_EQ(text, "") << "seed " << seed;
    ASSERT_EQ(handler.type, details ? quelt_details_batch : detections_batch) << "seed " << seed;
    sources_list library_sources;
    sources_list reference_sources;
    const detections library = read_batch(handler, details ? &library_sources : nullptr);
    object_handler_destroy(handler);
    ASSERT_TRUE(same_batches(library, decode_levels(call.levels, call.options, &reference_sources)))
        << "seed " << seed;
    if (details) {
      ASSERT_EQ(library_sources, reference_sources) << "sources, seed " << seed;
    }
    records += record_count(library);

    std::vector<std::vector<float>> storage;
    std::vector<quelt_level> copies;
    const quelt_levels copy = converted_levels(call.levels, storage, copies);
    object_handler float_handler{};
    ASSERT_EQ(quelt::test::failure_text(quelt_decode_levels(&copy, &call.options, &float_handler)),
              "");
    const detections float_path = read_batch(float_handler);
    object_handler_destroy(float_handler);
    ASSERT_EQ(library.size(), float_path.size());
    for (std::size_t b = 0; b < library.size(); ++b) {
      ASSERT_EQ(library[b].size(), float_path[b].size()) << "seed " << seed;
      if (!library[b].empty()) {
        ASSERT_EQ(std::memcmp(library[b].data(), float_path[b].data(),
                              library[b].size() * sizeof(object_detection)),
                  0)
            << "bytes, seed " << seed;
      }
    }
  }
  EXPECT_GT(records, case_count());
  EXPECT_GT(faults, case_count() / 50);
}

// Extras and keypoints drawn on top of the heads calls: the survivors'
// sources, extras and keypoints are the reference's, byte for byte, and
// stay in step with the records when the batch is capped (and mapped, when
// the call had no geometry).
TEST(Differential, ExtrasAndKeypointsMatchReference) {
  std::size_t points = 0;
  std::size_t faults = 0;
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    heads_call call;
    random_heads_call(random, call);
    awkward_random extras_random(seed ^ 0x6b657970u);
    random_extras(extras_random, call);

    object_handler handler{};
    const std::string text =
        quelt::test::failure_text(quelt_decode(&call.layout, &call.options, &handler));
    if (!call.fault.empty()) {
      ASSERT_TRUE(refused(handler, text, "quelt_decode", call.fault)) << "seed " << seed;
      ++faults;
      continue;
    }
    ASSERT_EQ(text, "") << "seed " << seed;
    const auto extras = static_cast<std::size_t>(call.layout.extras_count);
    const auto keypoints = static_cast<std::size_t>(call.layout.keypoint_count);
    const details library = read_details(handler, extras, keypoints);
    const details reference = decode_heads_details(call.layout, call.options);
    ASSERT_TRUE(same_details(library, reference)) << "seed " << seed;
    for (const details_image& image : library) {
      points += image.keypoints.size();
    }

    const bool map = call.options.geometry == nullptr && !call.map_geometry.empty();
    const quelt_image_geometry* geometry = map ? call.map_geometry.data() : nullptr;
    ASSERT_EQ(quelt::test::failure_text(quelt_map_detections(handler, call.options.network_width,
                                                             call.options.network_height, geometry,
                                                             call.map_cap)),
              "")
        << "seed " << seed;
    ASSERT_TRUE(same_details(read_details(handler, extras, keypoints),
                             map_details(reference, call.options.network_width,
                                         call.options.network_height, geometry, call.map_cap)))
        << "mapping, seed " << seed;
    object_handler_destroy(handler);
  }
  EXPECT_GT(points, case_count());
  EXPECT_GT(faults, case_count() / 50);
}

// The same for raw per-level heads, keypoints mostly in their grid form.
TEST(Differential, LevelExtrasAndKeypointsMatchReference) {
  std::size_t points = 0;
  std::size_t faults = 0;
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    levels_case call;
    random_levels_call(random, call);
    awkward_random extras_random(seed ^ 0x6b657970u);
    random_level_extras(extras_random, call);

    object_handler handler{};
    const std::string text =
        quelt::test::failure_text(quelt_decode_levels(&call.levels, &call.options, &handler));
    if (!call.fault.empty()) {
      ASSERT_TRUE(refused(handler, text, "quelt_decode_levels", call.fault)) << "seed " << seed;
      ++faults;
      continue;
    }
    ASSERT_EQ(text, "") << "seed " << seed;
    const details library =
        read_details(handler, static_cast<std::size_t>(call.levels.extras_count),
                     static_cast<std::size_t>(call.levels.keypoint_count));
    object_handler_destroy(handler);
    ASSERT_TRUE(same_details(library, decode_levels_details(call.levels, call.options)))
        << "seed " << seed;
    for (const details_image& image : library) {
      points += image.keypoints.size();
    }
  }
  EXPECT_GT(points, case_count() / 2);
  EXPECT_GT(faults, case_count() / 50);
}

// Instance masks: every record's mask, region and values, as the reference
// computes it over the whole grid from the candidate's box and coefficients
// (found through the record's source index), and bad requests refused by
// both accessors with the caller's buffers untouched.
TEST(Differential, MasksMatchReference) {
  std::size_t masks = 0;
  std::size_t pixels = 0;
  std::size_t faults = 0;
  for (std::uint64_t c = 0; c < case_count(); ++c) {
    const std::uint64_t seed = first_seed() + c;
    awkward_random random(seed);
    masks_case call;
    random_masks_call(random, call);
    object_handler handler{};
    ASSERT_EQ(quelt::test::failure_text(quelt_decode(&call.layout, &call.options, &handler)), "")
        << "seed " << seed;
    const quelt_layout& layout = call.layout;
    for (std::uint64_t b = 0; b < static_cast<std::uint64_t>(layout.batch); ++b) {
      std::uint64_t count = 0;
      ASSERT_EQ(quelt::test::failure_text(detections_batch_detections_count(handler, b, &count)),
                "");
      std::vector<std::int64_t> sources(count + 1);
      ASSERT_EQ(quelt::test::failure_text(quelt_batch_sources_store(handler, b, sources.data())),
                "");
      quelt_mask_request request = call.request;
      std::uint64_t bytes = 7;
      const std::string size_text =
          quelt::test::failure_text(quelt_batch_masks_size(handler, b, &request, &bytes));
      std::vector<unsigned char> values(bytes + 16, 0xa5);
      std::vector<quelt_mask_region> regions(count + 1, quelt_mask_region{-9, -9, -9, -9, -9});
      request.values = values.data();
      request.values_size = bytes;
      request.regions = regions.data();
      const bool short_buffer = call.fault == "request.values_size" && bytes > 0;
      if (short_buffer) {
        request.values_size = bytes - 1;
      }
      const std::string text =
          quelt::test::failure_text(quelt_batch_masks_store(handler, b, &request));
      if (!call.fault.empty() && call.fault != "request.values_size") {
        ASSERT_TRUE(plain_failure(size_text, "quelt_batch_masks_size", call.fault)) << seed;
        ASSERT_EQ(bytes, 7u) << seed;
      } else {
        ASSERT_EQ(size_text, "") << "seed " << seed;
      }
      if (!call.fault.empty() && (call.fault != "request.values_size" || short_buffer)) {
        ASSERT_TRUE(plain_failure(text, "quelt_batch_masks_store", call.fault)) << seed;
        ASSERT_TRUE(
            std::all_of(values.begin(), values.end(), [](unsigned char v) { return v == 0xa5; }))
            << "values written, seed " << seed;
        ASSERT_EQ(regions[0].offset, -9) << "regions written, seed " << seed;
        ++faults;
        continue;
      }
      ASSERT_EQ(text, "") << "seed " << seed;
      const std::int64_t rows = 5 + layout.extras_count;
      const float* image =
          call.columns.data() + static_cast<std::int64_t>(b) * rows * layout.candidates;
      std::int64_t offset = 0;
      for (std::uint64_t i = 0; i < count; ++i) {
        const std::int64_t n = sources[i];
        float box[4];
        std::vector<float> coefficients;
        for (int k = 0; k < 4; ++k) {
          box[k] = image[k * layout.candidates + n];
        }
        for (std::int32_t k = 0; k < request.prototype_channels; ++k) {
          coefficients.push_back(
              image[(5 + request.coefficients_first + k) * layout.candidates + n]);
        }
        const quelt_image_geometry geometry =
            call.geometry.empty() ? quelt_image_geometry{} : call.geometry[b];
        const reference_mask expected =
            instance_mask(coefficients.data(), request.prototypes, b, request.prototype_channels,
                          request.prototype_height, request.prototype_width, box, request.kind,
                          call.options.network_width, call.options.network_height, geometry);
        const quelt_mask_region& region = regions[i];
        ASSERT_EQ(region.offset, offset) << "seed " << seed << " record " << i;
        ASSERT_EQ(region.width, expected.width) << "seed " << seed << " record " << i;
        ASSERT_EQ(region.height, expected.height) << "seed " << seed << " record " << i;
        if (expected.width == 0) {
          continue;
        }
        ASSERT_EQ(region.x, expected.x) << "seed " << seed << " record " << i;
        ASSERT_EQ(region.y, expected.y) << "seed " << seed << " record " << i;
        for (std::size_t j = 0; j < expected.values.size(); ++j) {
          float got = 0.0f;
          if (request.kind == QUELT_MASK_PROTOTYPE_PROBABILITIES) {
            std::memcpy(&got, values.data() + (offset + static_cast<std::int64_t>(j)) * 4, 4);
          } else {
            got = values[static_cast<std::size_t>(offset) + j];
          }
          ASSERT_TRUE(same_float(got, expected.values[j]))
              << "seed " << seed << " record " << i << " value " << j << ": " << got << " against "
              << expected.values[j];
        }
        offset += expected.width * expected.height;
        pixels += expected.values.size();
        ++masks;
      }
      ASSERT_EQ(values[bytes], 0xa5) << "written past the masks, seed " << seed;
    }
    object_handler_destroy(handler);
  }
  EXPECT_GT(masks, case_count());
  EXPECT_GT(pixels, 10 * case_count());
  EXPECT_GT(faults, case_count() / 50);
}

}  // namespace
