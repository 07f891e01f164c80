// What the fuzz targets share: turning input bytes into counts, thresholds
// and float data, buffers of exactly the size a call may touch, and checks
// that stop the run with a message when a property fails.
#ifndef QUELT_FUZZ_FUZZ_SUPPORT_HPP
#define QUELT_FUZZ_FUZZ_SUPPORT_HPP

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "quelt/quelt.h"

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

namespace quelt::fuzz {

// Reads the input front to back; past the end every count reads as zero and
// every float as the next value of a fixed varying sequence, so any prefix of
// an input is an input too. (Floats that were all zero made every class of
// every row tie, so that calls spent their time ranking equal rows.) The seed
// generator writes this format.
class byte_reader {
 public:
  byte_reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool exhausted() const { return pos_ >= size_; }
  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
  std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
  std::uint32_t u32() { return u16() | (static_cast<std::uint32_t>(u16()) << 16); }
  std::uint64_t u64() { return u32() | (static_cast<std::uint64_t>(u32()) << 32); }
  float raw_float() {
    const std::uint32_t bits = u32();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  // Compact floats cost one byte: the values decoders trip over, or a step
  // of 1/16 in [-7.5, 7.44]; raw floats are four bytes of any bit pattern.
  float value(bool compact) {
    if (exhausted()) {
      // Steps of 1/32 in [-4, 3.97], in a scrambled order.
      const std::uint32_t k = ++past_end_ * 2654435761u;
      return static_cast<float>(static_cast<std::int32_t>(k >> 24) - 128) / 32.0f;
    }
    if (!compact) {
      return raw_float();
    }
    static constexpr float awkward[16] = {0.0f,
                                          -0.0f,
                                          1.0f,
                                          -1.0f,
                                          0.5f,
                                          std::numeric_limits<float>::quiet_NaN(),
                                          std::numeric_limits<float>::infinity(),
                                          -std::numeric_limits<float>::infinity(),
                                          std::numeric_limits<float>::denorm_min(),
                                          std::numeric_limits<float>::max(),
                                          0.25f,
                                          0.75f,
                                          2.0f,
                                          1e-7f,
                                          -0.5f,
                                          1e30f};
    const std::uint8_t b = u8();
    return b < 16 ? awkward[b] : static_cast<float>(b - 136) / 16.0f;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::uint32_t past_end_ = 0;
};

// A heap array of exactly `count` elements (a zero-length one too), so the
// address sanitizer reports any access beyond what the call was given.
template <class T>
struct exact_buffer {
  explicit exact_buffer(std::size_t count) : count(count), data(new T[count]) {}
  T* get() { return data.get(); }
  std::vector<T> copy() const { return std::vector<T>(data.get(), data.get() + count); }
  bool same_bytes(const std::vector<T>& before) const {
    return count == before.size() &&
           (count == 0 || std::memcmp(data.get(), before.data(), count * sizeof(T)) == 0);
  }

  std::size_t count;
  std::unique_ptr<T[]> data;
};

inline const char* fatal_text() {
  return "Total fatal error. Cannot construct message of return_status for API.";
}

// Checks the status has one of its three shapes, releases it and tells
// whether it was a success.
inline bool settle(return_status status) {
  if (status.status_code == 1) {
    FUZZ_CHECK(status.message == nullptr && status.message_is_static == 0);
    return true;
  }
  FUZZ_CHECK(status.status_code == 0);
  FUZZ_CHECK(status.message != nullptr);
  if (status.message_is_static == 1) {
    FUZZ_CHECK(std::strcmp(status.message, fatal_text()) == 0);
  } else {
    FUZZ_CHECK(status.message_is_static == 0);
    FUZZ_CHECK(status.message[0] != '\0');
  }
  done_return_status(status);
  return false;
}

// Two floats agree when their bits do, or when both are NaN.
inline bool same_float(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool same_record(const object_detection& a, const object_detection& b) {
  return same_float(a.x_min, b.x_min) && same_float(a.y_min, b.y_min) &&
         same_float(a.x_max, b.x_max) && same_float(a.y_max, b.y_max) && a.class_id == b.class_id &&
         same_float(a.objectness, b.objectness) && same_float(a.probability, b.probability);
}

// A strict order consistent with same_record: the record's bytes with every
// NaN written as one NaN. A NaN's payload depends on the processor and on
// which operand the compiler put first, so it must not decide an order that
// a pairwise same_record comparison then relies on.
inline bool record_less(const object_detection& a, const object_detection& b) {
  const auto key = [](object_detection r) {
    for (float* f : {&r.x_min, &r.y_min, &r.x_max, &r.y_max, &r.objectness, &r.probability}) {
      if (std::isnan(*f)) {
        *f = std::numeric_limits<float>::quiet_NaN();
      }
    }
    return r;
  };
  const object_detection x = key(a);
  const object_detection y = key(b);
  return std::memcmp(&x, &y, sizeof x) < 0;
}

// Every image's records, read through the accessors into exact buffers.
inline std::vector<std::vector<object_detection>> read_batch(object_handler handle) {
  std::uint64_t size = 0;
  FUZZ_CHECK(settle(detections_batch_size(handle, &size)));
  std::vector<std::vector<object_detection>> result;
  for (std::uint64_t i = 0; i < size; ++i) {
    std::uint64_t count = 0;
    FUZZ_CHECK(settle(detections_batch_detections_count(handle, i, &count)));
    exact_buffer<object_detection> room(count);
    FUZZ_CHECK(settle(detections_batch_detections_store(handle, i, room.get())));
    result.push_back(room.copy());
  }
  return result;
}

}  // namespace quelt::fuzz

#endif
