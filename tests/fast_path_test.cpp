// The shortcuts that make decoding fast, each checked where it could go
// wrong: the objectness cut, the class shortcut, the single-sort ordering
// with its NaN fallback, and the stable order of equal objectness.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "framework/elements.hpp"
#include "framework/exponential.hpp"
#include "framework/logistic.hpp"
#include "framework/portable_math.hpp"
#include "framework/suppression.hpp"
#include "step_api/row_nms.hpp"
#include "darknet_test_layer.hpp"
#include "reference/random_calls.hpp"
#include "reference/reference.hpp"
#include "sealed_test_tensor.hpp"
#include "support/status.hpp"

namespace {

using sorvanta::framework::logistic;
using sorvanta::framework::raw_logistic_cut;

float from_bits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The objectness cut relies on the logistic never decreasing as its input
// grows. Checked over every float (every 64th in unoptimised builds, which
// would take minutes): first the negative ones from -0 down to -inf, then the
// positive ones up to +inf.
TEST(FastPath, LogisticNeverDecreases) {
// Every float in an optimised native build; every 64th under emulation,
// where all 2^32 would take the better part of an hour.
#if defined(NDEBUG) && !defined(QUELT_EMULATED)
  const std::uint32_t step = 1;
#else
  const std::uint32_t step = 64;
#endif
  float previous = logistic(-std::numeric_limits<float>::infinity());
  for (std::uint32_t bits = 0xFF800000u; bits > 0x80000000u; bits -= step) {
    const float value = logistic(from_bits(bits));
    ASSERT_GE(value, previous) << "at " << from_bits(bits);
    previous = value;
  }
  for (std::uint32_t bits = 0; bits <= 0x7F800000u; bits += step) {
    const float value = logistic(from_bits(bits));
    ASSERT_GE(value, previous) << "at " << from_bits(bits);
    previous = value;
  }
}

// The exponential's fast path against its slow path (which rounds a more
// precise sum through round-to-odd), and the four-lane form against the
// scalar one bit for bit, on a sample of every float range plus the edges of
// the fast range and the special values. tools/exp_check does all 2^32
// inputs against MPFR.
TEST(FastPath, ExponentialFastPathAndLanesMatchTheSlowPath) {
  using sorvanta::framework::rounded_exp;
  using sorvanta::framework::rounded_exp_4;
  using sorvanta::framework::exponential_detail::exact_exp;
  std::vector<float> inputs = {0.0f,
                               -0.0f,
                               1e-30f,
                               -1e-30f,
                               0x1p-24f,
                               -0x1p-25f,
                               -87.0f,
                               88.5f,
                               -87.33654f,
                               88.72283f,
                               88.72284f,
                               89.0f,
                               -103.97f,
                               -104.0f,
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::denorm_min()};
  for (std::uint64_t bits = 0; bits <= 0xffffffffu; bits += 65537) {
    inputs.push_back(from_bits(static_cast<std::uint32_t>(bits)));
  }
  while (inputs.size() % 4 != 0) {
    inputs.push_back(1.0f);
  }
  auto same = [](float a, float b) {
    std::uint32_t x;
    std::uint32_t y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
  };
  for (std::size_t i = 0; i < inputs.size(); i += 4) {
    float lanes[4];
    rounded_exp_4(&inputs[i], lanes);
    float wide[4];
    std::memcpy(wide, lanes, sizeof wide);
#if defined(QUELT_FRAMEWORK_EXP_AVX2)
    if (sorvanta::framework::avx2_available()) {
      sorvanta::framework::rounded_exp_4_avx2(&inputs[i], wide);
    }
#endif
    for (std::size_t q = 0; q < 4; ++q) {
      const float x = inputs[i + q];
      const float scalar = rounded_exp(x);
      ASSERT_TRUE(same(scalar, exact_exp(x)) || (x != x && scalar != scalar)) << x;
      ASSERT_TRUE(same(lanes[q], scalar)) << x;
      ASSERT_TRUE(same(wide[q], scalar)) << x;
    }
  }
  // The widest form in place, over runs of every length to 17: every masked
  // tail, and slow-path lanes whose input the stored result has overwritten.
  namespace fw = sorvanta::framework;
  for (std::size_t n = 1; n <= 17; ++n) {
    for (std::size_t i = 0; i + n <= inputs.size(); i += 97) {
      std::vector<float> run(inputs.begin() + static_cast<std::ptrdiff_t>(i),
                             inputs.begin() + static_cast<std::ptrdiff_t>(i + n));
      fw::rounded_exp_n(run.data(), run.data(), n, fw::widest_exp_lanes());
      for (std::size_t q = 0; q < n; ++q) {
        ASSERT_TRUE(same(run[q], rounded_exp(inputs[i + q]))) << inputs[i + q] << " of " << n;
      }
    }
  }
}

// No float below the cut has a logistic above the threshold; the first
// floats at and above it that do are not cut away.
// The platform-independent double functions stay within a few units in the
// last place of the long double C library across the ranges rotated boxes
// use (measured: 2 with glibc; MinGW's own long double functions are off by
// a few more), and keep the C library's quadrants and special values.
TEST(FastPath, PortableDoubleFunctionsStayCloseToTheCLibrary) {
  namespace pm = sorvanta::framework::portable;
  const auto ulps = [](double value, long double truth) {
    const double step = std::nextafter(std::fabs(static_cast<double>(truth)), 1e300) -
                        std::fabs(static_cast<double>(truth));
    return static_cast<double>(std::fabs(value - truth) / step);
  };
  quelt_reference::awkward_random random(20261209);
  for (int i = 0; i < 200000; ++i) {
    const double x = random.uniform(-2000.0f, 2000.0f) + random.uniform(0.0f, 1.0f) * 1e-3;
    double sine = 0;
    double cosine = 0;
    pm::sin_cos(x, sine, cosine);
    if (std::fabs(std::sin(x)) > 1e-3) {
      ASSERT_LT(ulps(sine, sinl(x)), 16.0) << x;
    }
    if (std::fabs(std::cos(x)) > 1e-3) {
      ASSERT_LT(ulps(cosine, cosl(x)), 16.0) << x;
    }
    const double y = random.uniform(-50.0f, 50.0f);
    ASSERT_LT(ulps(pm::atan2(y, x), atan2l(y, x)), 16.0) << y << ", " << x;
    const double e = x * 0.35;
    ASSERT_LT(ulps(pm::exp(e), expl(e)), 16.0) << e;
    const double l = std::fabs(x) + 1.5;
    ASSERT_LT(ulps(pm::log(l), logl(l)), 16.0) << l;
  }
  const double pi = 3.14159265358979323846;
  EXPECT_EQ(pm::atan2(0.0, -1.0), pi);
  EXPECT_EQ(pm::atan2(1.0, 0.0), pi / 2);
  EXPECT_EQ(pm::atan2(-1.0, -1.0), -3 * pi / 4);
  EXPECT_EQ(pm::exp(0.0), 1.0);
  EXPECT_EQ(pm::log(1.0), 0.0);
  EXPECT_TRUE(std::isnan(pm::log(-1.0)));
  EXPECT_EQ(pm::exp(-800.0), 0.0);
  double sine = 0;
  double cosine = 0;
  pm::sin_cos(std::numeric_limits<double>::infinity(), sine, cosine);
  EXPECT_TRUE(std::isnan(sine) && std::isnan(cosine));
}

TEST(FastPath, ObjectnessCutNeverRejectsAPassingValue) {
  const float thresholds[] = {1e-30f, 1e-6f,    0.001f,     0.005f,
                              0.25f,  0.5f,     0.75f,      0.9f,
                              0.999f, 0.99999f, 0.9999999f, std::nextafter(1.0f, 0.0f)};
  for (float t : thresholds) {
    const float cut = raw_logistic_cut(t);
    ASSERT_FALSE(std::isnan(cut)) << t;
    // Walk down from well above the cut to well below it.
    float v = cut + 0.01f * (std::fabs(cut) + 1.0f);
    for (int i = 0; i < 200000 && v > -100.0f; ++i, v = std::nextafter(v, -1000.0f)) {
      if (v < cut) {
        ASSERT_FALSE(logistic(v) > t) << "t " << t << " v " << v << " cut " << cut;
      }
    }
  }
  EXPECT_TRUE(std::isnan(raw_logistic_cut(1.0f)));
  EXPECT_TRUE(std::isnan(raw_logistic_cut(2.0f)));
  EXPECT_TRUE(std::isnan(raw_logistic_cut(std::numeric_limits<float>::quiet_NaN())));
  EXPECT_EQ(raw_logistic_cut(0.0f), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(raw_logistic_cut(-0.5f), -std::numeric_limits<float>::infinity());
}

// Decodes one layer through the C entry and through the reference.
void expect_same_as_reference(std::vector<float>& values, std::uint64_t records, int classes,
                              float t) {
  std::vector<float> anchors{10, 20};
  std::vector<std::int32_t> mask{0};
  yolo_output layer = quelt::test::make_layer(values, 1, records, 1, mask, classes, anchors);
  float conf[] = {t};
  float nms[] = {2.0f};  // nothing suppressed: every record shows
  object_handler handler{};
  ASSERT_EQ(quelt::test::failure_text(
                process_yolo_detections(&layer, 1, net_params{32, 32}, conf, nms, &handler)),
            "");
  std::uint64_t count = 0;
  ASSERT_EQ(quelt::test::failure_text(detections_batch_detections_count(handler, 0, &count)), "");
  std::vector<object_detection> library(count);
  ASSERT_EQ(
      quelt::test::failure_text(detections_batch_detections_store(handler, 0, library.data())), "");
  object_handler_destroy(handler);

  const auto reference =
      quelt_reference::process_yolo_detections(&layer, 1, net_params{32, 32}, conf, nms);
  ASSERT_TRUE(quelt_reference::same_records(library, reference[0]))
      << "t " << t << ": " << library.size() << " vs " << reference[0].size();
}

// `count` floats on each side of `centre`, one after the other.
std::vector<float> floats_around(float centre, int count) {
  float low = centre;
  for (int i = 0; i < count; ++i) {
    low = std::nextafter(low, -1000.0f);
  }
  std::vector<float> values;
  for (float v = low; values.size() < static_cast<std::size_t>(2 * count + 1);
       v = std::nextafter(v, 1000.0f)) {
    values.push_back(v);
  }
  return values;
}

// Records whose raw objectness and class logits sit on either side of the
// shortcuts' edges decode exactly as the literal reference does.
// The rank cut of every element type, against brute force: over every
// integer (every 16-bit float) of the type, a sweep of scales (subnormal,
// coarse, huge enough to saturate to infinity, so many integers share one
// value) and zero points, and thresholds that include values the type
// represents exactly, the cut is the first rank whose value passes, and
// every rank from it up passes (NaN aside).
TEST(FastPath, ElementCutsAreTheFirstPassingRank) {
  namespace fw = sorvanta::framework;
  const float scales[] = {1e-40f, 0.00390625f, 0.0173f, 0.1f,
                          1.0f,   1000.0f,     3e36f,   std::numeric_limits<float>::max()};
  std::size_t checked = 0;
  for (std::int32_t type = QUELT_ELEMENT_FLOAT16; type <= QUELT_ELEMENT_UINT16; ++type) {
    const bool quantized = fw::is_quantized(type);
    const std::int32_t low = fw::lowest_integer(type);
    const std::int32_t high = fw::highest_integer(type);
    std::vector<std::int32_t> zero_points = {low, high};
    if (low < 0) {
      zero_points.push_back(0);
    } else {
      zero_points.push_back(high / 2 + 1);
    }
    for (float scale : quantized ? std::vector<float>(std::begin(scales), std::end(scales))
                                 : std::vector<float>{1.0f}) {
      for (std::int32_t zero_point : quantized ? zero_points : std::vector<std::int32_t>{0}) {
        const quelt_element element{type, zero_point, scale, 0};
        // Every element of the type, by rank, converted by the reference.
        const std::int32_t first = quantized ? low : -0x7fff;
        const std::int32_t last = quantized ? high : 0x7fff;
        std::vector<float> values;
        for (std::int32_t r = first; r <= last; ++r) {
          const auto bits = static_cast<std::uint16_t>(quantized ? r : (r < 0 ? 0x8000 | -r : r));
          values.push_back(quelt_reference::element_value(element, &bits));
        }
        for (bool logits : {false, true}) {
          std::vector<float> activated = values;
          for (float& v : activated) {
            v = logits ? logistic(v) : v;
          }
          std::vector<float> thresholds = {-0.5f, 0.0f, 0.001f, 0.25f, 0.5f, 0.999f, 1.0f, 2.0f};
          for (std::size_t i : {std::size_t{3}, values.size() / 2, values.size() - 5}) {
            thresholds.push_back(activated[i]);  // thresholds equal to a value of the type
          }
          for (float t : thresholds) {
            if (std::isnan(t)) {
              continue;
            }
            const std::int32_t cut =
                fw::rank_cut(fw::element_format{type, zero_point, scale}, logits, t);
            std::int32_t expected = fw::highest_rank(type) + 1;
            for (std::int32_t r = first; r <= last; ++r) {
              const float a = activated[static_cast<std::size_t>(r - first)];
              const bool passes = a > t;
              if (passes && expected > fw::highest_rank(type)) {
                expected = r;
              }
              if (!std::isnan(a)) {
                ASSERT_EQ(passes, r >= cut) << "type " << type << " rank " << r << " t " << t;
              }
            }
            ASSERT_EQ(cut, expected) << "type " << type << " scale " << scale << " zero point "
                                     << zero_point << " threshold " << t << " logits " << logits;
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 500u);
}

TEST(FastPath, RecordsAtTheShortcutEdgesMatchTheReference) {
  for (float t : {0.005f, 0.25f, 0.5f, 0.9f}) {
    const float cut = raw_logistic_cut(t);
    const float logit = std::log(t / (1.0f - t));
    // Objectness around the cut and around the true logit, one record each.
    std::vector<float> objectness = floats_around(cut, 1000);
    const std::vector<float> near_logit = floats_around(logit, 1000);
    objectness.insert(objectness.end(), near_logit.begin(), near_logit.end());
    std::vector<float> values;
    for (float v : objectness) {
      values.insert(values.end(), {0.0f, 0.0f, -3.0f, -3.0f, v, 5.0f});
    }
    expect_same_as_reference(values, objectness.size(), 1, t);

    // Class logits around log(t / objectness), where products start to pass,
    // and around the shortcut's own edge a little below it.
    values.clear();
    std::uint64_t records = 0;
    for (float raw : {near_logit.back(), logit + 0.5f, 4.0f}) {
      const double edge = std::log(static_cast<double>(t) / logistic(raw));
      for (double centre : {edge, edge - 1e-3}) {
        for (float c : floats_around(static_cast<float>(centre), 500)) {
          values.insert(values.end(), {0.0f, 0.0f, -3.0f, -3.0f, raw, c});
          ++records;
        }
      }
    }
    expect_same_as_reference(values, records, 1, t);
  }
}

// NaN probabilities take the pass-by-pass path; ties in one class are broken
// by the classes below it. Both against the reference's bubble sorts.
TEST(FastPath, RowSuppressionWithNaNKeysAndTiesMatchesTheReference) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Rows: corners, objectness, three class probabilities.
  const std::vector<float> rows = {
      0, 0, 2, 2, 0.9f, 0.5f, 0.7f, 0.7f,  //
      0, 0, 2, 2, 0.9f, 0.6f, 0.7f, 0.7f,  // ties row 0 in classes 1 and 2
      1, 0, 3, 2, 0.9f, nan,  0.7f, 0.2f,  //
      5, 5, 6, 6, 0.9f, 0.6f, 0.0f, 0.7f,  //
      0, 0, 2, 2, 0.9f, 0.5f, 0.7f, -0.0f,
  };
  for (bool with_nan : {false, true}) {
    std::vector<std::vector<float>> library{rows};
    if (!with_nan) {
      library[0][5 + 2 * 8] = 0.4f;
    }
    auto reference = library;
    float thresholds[] = {0.3f};
    quelt::do_nms_sort(library, 3, thresholds);
    quelt_reference::do_nms_sort(reference, 3, thresholds);
    EXPECT_TRUE(quelt_reference::same_floats(library[0], reference[0])) << with_nan;

    for (int key = 0; key < 3; ++key) {
      std::vector<float> sorted = rows;
      std::vector<float> twin = rows;
      quelt::descending_sort_yolo_boxes(sorted, 3, key);
      quelt_reference::descending_sort_yolo_boxes(twin, 3, key);
      EXPECT_TRUE(quelt_reference::same_floats(sorted, twin)) << key;
    }
  }
}

// Candidates of equal objectness come out in row order, on every run.
TEST(FastPath, EqualObjectnessKeepsRowOrder) {
  // Far more rows than the radix sort's small-input cut-over, all apart.
  quelt::test::sealed_tensor tensor(1);
  std::vector<int> expected;
  for (int r = 0; r < 300; ++r) {
    tensor.add(static_cast<float>(r % 20) * 50.0f + 5.0f, static_cast<float>(r / 20) * 50.0f + 5.0f,
               10, 10, r % 3 == 0 ? 0.9f : 0.8f, {0.9f});
    if (r % 3 == 0) {
      expected.push_back(r);
    }
  }
  for (int r = 0; r < 300; ++r) {
    if (r % 3 != 0) {
      expected.push_back(r);
    }
  }
  for (int run = 0; run < 3; ++run) {
    quelt::test::sealed_tensor copy = tensor;
    const auto result = quelt::test::decode_one(copy, 0.25f, 0.45f, 1000, 1000);
    ASSERT_EQ(result.failure, "");
    std::vector<int> rows;
    for (const object_detection& record : result.images[0]) {
      rows.push_back(static_cast<int>(std::lround(record.x_min * 1000.0f / 50.0f)) +
                     20 * static_cast<int>(std::lround(record.y_min * 1000.0f / 50.0f)));
    }
    EXPECT_EQ(rows, expected);
  }
}

// The suppression core skips the overlaps of boxes it can prove apart (a
// grid over the kept boxes, boxes that cannot overlap left out). Its answer
// must be the all-pairs walk's on whatever the boxes hold: boxes touching
// along cell borders, boxes far larger than the rest, tiny, empty, reversed,
// huge and non-finite ones, near-duplicates, and thresholds at and around 0
// and 1.
TEST(FastPath, CulledSuppressionMatchesTheAllPairsWalk) {
  using sorvanta::framework::corner_box;
  using sorvanta::framework::suppression_rule;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state]() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  auto uniform = [&next](float low, float high) {
    return low + (high - low) * static_cast<float>(next() % 1000000) / 1000000.0f;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  sorvanta::framework::suppression_workspace workspace;
  for (int round = 0; round < 250; ++round) {
    const std::size_t count = 40 + next() % (round % 10 == 0 ? 3000 : 300);
    const float spread = std::vector<float>{1.0f, 100.0f, 1e4f, 1e30f}[next() % 4];
    std::vector<corner_box> boxes;
    for (std::size_t i = 0; i < count; ++i) {
      float x = 0.0f;
      float y = 0.0f;
      float w = 0.0f;
      float h = 0.0f;
      switch (next() % 10) {
        case 0:  // on a lattice, touching the neighbours' edges exactly
          x = static_cast<float>(next() % 16) * 8.0f;
          y = static_cast<float>(next() % 16) * 8.0f;
          w = 8.0f * static_cast<float>(1 + next() % 2);
          h = 8.0f;
          break;
        case 1:  // far larger than the others
          x = uniform(-spread, 0.0f);
          y = uniform(-spread, 0.0f);
          w = uniform(spread, 3.0f * spread);
          h = uniform(spread, 3.0f * spread);
          break;
        case 2: {  // empty, reversed, non-finite or huge
          const float odd[] = {0.0f, -4.0f, nan, inf, -inf, 1e30f, 3e38f, -3e38f, 1e-30f};
          x = odd[next() % 9];
          y = uniform(0.0f, spread);
          w = odd[next() % 9];
          h = odd[next() % 9];
          break;
        }
        case 3:  // a duplicate of an earlier box, or one with a bound an ulp away
          if (!boxes.empty()) {
            corner_box copy = boxes[next() % boxes.size()];
            if (next() % 2 == 0) {
              copy = sorvanta::framework::make_corner_box(
                  copy.x_min, copy.y_min, std::nextafter(copy.x_max, inf), copy.y_max);
            }
            boxes.push_back(copy);
            continue;
          }
          [[fallthrough]];
        default:
          x = uniform(0.0f, spread);
          y = uniform(0.0f, spread);
          w = uniform(0.0f, spread / 8.0f);
          h = uniform(0.0f, spread / 8.0f);
          break;
      }
      boxes.push_back(sorvanta::framework::make_corner_box(x, y, x + w, y + h));
    }
    // Now and then the first half crowds around three of the others, so the
    // walk keeps few boxes for long and hands the rest to the grid late,
    // with its kept boxes entered in the cells.
    if (round % 5 == 1) {
      for (std::size_t i = 0; i < count / 2; ++i) {
        const corner_box& base = boxes[count / 2 + i % 3];
        const float d = uniform(0.0f, spread / 64.0f);
        boxes[i] = sorvanta::framework::make_corner_box(base.x_min + d, base.y_min + d,
                                                        base.x_max + d, base.y_max + d);
      }
    }
    // No computed overlap exceeds 1, which lets the core skip thresholds
    // that only a larger one could meet.
    for (std::size_t i = 0; i < count; ++i) {
      const corner_box& other = boxes[(i * 7 + 1) % count];
      ASSERT_FALSE(sorvanta::framework::overlap(boxes[i], other) > 1.0f) << round << " " << i;
    }
    const float thresholds[] = {0.0f, -0.0f, -0.25f, 1e-7f, 0.3f, 0.5f, 1.0f, 1.5f, nan};
    for (suppression_rule rule : {suppression_rule::at_least, suppression_rule::above}) {
      const float threshold = thresholds[next() % 9];
      std::vector<std::uint32_t> expected;
      std::vector<std::uint32_t> kept;
      for (std::uint32_t i = 0; i < count; ++i) {
        bool lost = false;
        for (std::uint32_t k : kept) {
          lost = rule == suppression_rule::at_least
                     ? sorvanta::framework::overlap(boxes[i], boxes[k]) >= threshold
                     : sorvanta::framework::overlap(boxes[k], boxes[i]) > threshold;
          if (lost) {
            break;
          }
        }
        (lost ? expected : kept).push_back(i);
      }
      std::vector<std::uint32_t> suppressed;
      sorvanta::framework::suppress_greedy(boxes.data(), count, threshold, rule, workspace,
                                           suppressed);
      ASSERT_EQ(suppressed, expected) << "round " << round << " threshold " << threshold;
    }
  }
}

// Enough passing cells of an 8-bit box map for the kept exponentials of
// (code, top code) pairs (the differential's small grids take the float
// softmax): int8 and uint8 maps decode as their float32 copies do, byte for
// byte, nothing suppressed. The top half passes whole (blocks dense enough
// to be packed where AVX-512 is there), the bottom half one cell in 17
// (blocks that take the kept exponentials).
TEST(FastPath, KeptEightBitExponentialsMatchTheFloatCopy) {
  constexpr std::int64_t side = 64;
  constexpr std::int64_t plane = side * side;
  constexpr std::int32_t bins = 16;
  std::vector<unsigned char> codes(static_cast<std::size_t>(4 * bins * plane));
  std::uint32_t state = 12345;
  for (unsigned char& c : codes) {
    state = state * 1664525u + 1013904223u;
    // Mostly low codes with a peak now and then, as a distribution has.
    c = static_cast<unsigned char>((state >> 24) % 7 == 0 ? state >> 24 : (state >> 26) * 3);
  }
  std::vector<float> scores(static_cast<std::size_t>(plane), 0.1f);
  std::size_t passing = 0;
  for (std::int64_t i = 0; i < plane; ++i) {
    if (i < plane / 2 || i % 17 == 0) {
      scores[static_cast<std::size_t>(i)] = 0.9f;
      ++passing;
    }
  }
  const float score = 0.25f;
  const float iou = 1.0f;
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = 512;
  options.network_height = 512;
  options.score_thresholds = &score;
  options.iou_thresholds = &iou;
  const auto decode = [&](const float* boxes, quelt_element element) {
    quelt_level level{};
    level.height = side;
    level.width = side;
    level.stride = 8;
    level.boxes = quelt_grid_view{boxes, 4 * bins * plane, side, 1, plane, element};
    level.scores = quelt_grid_view{scores.data(), plane, side, 1, plane, quelt_element{}};
    quelt_levels heads;
    quelt_levels_init(&heads);
    heads.score_coding = QUELT_SCORES_PROBABILITIES;
    heads.batch = 1;
    heads.classes = 1;
    heads.bins = bins;
    heads.level_count = 1;
    heads.levels = &level;
    object_handler handle{};
    return quelt::test::read_back(quelt_decode_levels(&heads, &options, &handle), handle);
  };
  for (const std::int32_t type : {QUELT_ELEMENT_INT8, QUELT_ELEMENT_UINT8}) {
    const quelt_element element{type, type == QUELT_ELEMENT_INT8 ? 3 : 130, 0.0371f, 0};
    std::vector<float> values(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
      const std::int32_t q =
          type == QUELT_ELEMENT_INT8 ? static_cast<std::int8_t>(codes[i]) : codes[i];
      values[i] = static_cast<float>(q - element.zero_point) * element.scale;
    }
    const auto coded = decode(reinterpret_cast<const float*>(codes.data()), element);
    const auto copied = decode(values.data(), quelt_element{});
    ASSERT_EQ(coded.failure, "");
    ASSERT_EQ(copied.failure, "");
    ASSERT_EQ(coded.images.size(), 1u);
    ASSERT_EQ(coded.images[0].size(), passing) << type;
    ASSERT_EQ(copied.images[0].size(), coded.images[0].size());
    EXPECT_EQ(std::memcmp(coded.images[0].data(), copied.images[0].data(),
                          coded.images[0].size() * sizeof(object_detection)),
              0)
        << type;
  }
}

}  // namespace
