// The element types a view may hold, and the one conversion of an element to
// the float every decoding step works on. Besides the value, each element has
// a rank: an integer that orders the elements as their values do (the integer
// itself for quantized types; sign and magnitude for the 16-bit floats, with
// NaN ranked beyond the infinities). A threshold then becomes one integer cut
// on the ranks, and elements below it are skipped without conversion.
#ifndef QUELT_FRAMEWORK_ELEMENTS_HPP
#define QUELT_FRAMEWORK_ELEMENTS_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quelt/quelt.h"

namespace sorvanta::framework {

struct element_format {
  std::int32_t type;  // QUELT_ELEMENT_*
  std::int32_t zero_point;
  float scale;
};

inline bool is_quantized(std::int32_t type) {
  return type >= QUELT_ELEMENT_INT8 && type <= QUELT_ELEMENT_UINT16;
}

inline std::size_t element_bytes(std::int32_t type) {
  switch (type) {
    case QUELT_ELEMENT_INT8:
    case QUELT_ELEMENT_UINT8:
      return 1;
    case QUELT_ELEMENT_FLOAT16:
    case QUELT_ELEMENT_BFLOAT16:
    case QUELT_ELEMENT_INT16:
    case QUELT_ELEMENT_UINT16:
      return 2;
    default:
      return 4;
  }
}

// The range of a quantized type's integers.
inline std::int32_t lowest_integer(std::int32_t type) {
  return type == QUELT_ELEMENT_INT8 ? -128 : type == QUELT_ELEMENT_INT16 ? -32768 : 0;
}
inline std::int32_t highest_integer(std::int32_t type) {
  switch (type) {
    case QUELT_ELEMENT_INT8:
      return 127;
    case QUELT_ELEMENT_UINT8:
      return 255;
    case QUELT_ELEMENT_INT16:
      return 32767;
    default:
      return 65535;
  }
}

// IEEE binary16 to float, exactly: every half is a float.
inline float half_to_float(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  std::uint32_t exponent = (h >> 10) & 0x1fu;
  std::uint32_t mantissa = h & 0x3ffu;
  std::uint32_t bits = 0;
  if (exponent == 0x1fu) {
    bits = sign | 0x7f800000u | (mantissa << 13);  // infinities, NaN with its payload
  } else if (exponent != 0) {
    bits = sign | ((exponent + 112u) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;
  } else {
    // A subnormal half is a normal float: shift the leading 1 into place.
    exponent = 113;
    while ((mantissa & 0x400u) == 0) {
      mantissa <<= 1;
      --exponent;
    }
    bits = sign | (exponent << 23) | ((mantissa & 0x3ffu) << 13);
  }
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline float bfloat16_to_float(std::uint16_t h) {
  const std::uint32_t bits = static_cast<std::uint32_t>(h) << 16;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// One single-precision product; q - zero_point is a whole number below 2^17,
// which the float holds exactly.
inline float quantized_value(std::int32_t q, std::int32_t zero_point, float scale) {
  return static_cast<float>(q - zero_point) * scale;
}

// The rank of a 16-bit float: its magnitude bits, negated for a negative sign.
inline std::int32_t sign_magnitude_rank(std::uint16_t h) {
  const auto magnitude = static_cast<std::int32_t>(h & 0x7fffu);
  return (h & 0x8000u) != 0 ? -magnitude : magnitude;
}

// The rank of the element at `p`; float32 has none (0).
inline std::int32_t element_rank(std::int32_t type, const unsigned char* p) {
  switch (type) {
    case QUELT_ELEMENT_INT8:
      return static_cast<std::int8_t>(*p);
    case QUELT_ELEMENT_UINT8:
      return *p;
    default:
      break;
  }
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  switch (type) {
    case QUELT_ELEMENT_INT16:
      return static_cast<std::int16_t>(v);
    case QUELT_ELEMENT_UINT16:
      return v;
    case QUELT_ELEMENT_FLOAT16:
    case QUELT_ELEMENT_BFLOAT16:
      return sign_magnitude_rank(v);
    default:
      return 0;
  }
}

// The value of the element of rank `rank` (not for float32).
inline float rank_value(const element_format& format, std::int32_t rank) {
  if (is_quantized(format.type)) {
    return quantized_value(rank, format.zero_point, format.scale);
  }
  const auto bits = static_cast<std::uint16_t>(rank < 0 ? 0x8000 | -rank : rank);
  return format.type == QUELT_ELEMENT_FLOAT16 ? half_to_float(bits) : bfloat16_to_float(bits);
}

// The value of the element at `p`.
inline float element_value(const element_format& format, const unsigned char* p) {
  if (format.type == QUELT_ELEMENT_FLOAT32) {
    float value;
    std::memcpy(&value, p, sizeof value);
    return value;
  }
  if (format.type == QUELT_ELEMENT_FLOAT16 || format.type == QUELT_ELEMENT_BFLOAT16) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return format.type == QUELT_ELEMENT_FLOAT16 ? half_to_float(v) : bfloat16_to_float(v);
  }
  return quantized_value(element_rank(format.type, p), format.zero_point, format.scale);
}

// The ranks the cut is searched over: every integer of a quantized type; for
// the 16-bit floats the ordered ranks from -infinity to +infinity (NaN ranks
// beyond them on either side, and the exact test after the cut decides it).
inline std::int32_t lowest_rank(std::int32_t type) {
  return type == QUELT_ELEMENT_FLOAT16    ? -0x7c00
         : type == QUELT_ELEMENT_BFLOAT16 ? -0x7f80
                                          : lowest_integer(type);
}
inline std::int32_t highest_rank(std::int32_t type) {
  return type == QUELT_ELEMENT_FLOAT16    ? 0x7c00
         : type == QUELT_ELEMENT_BFLOAT16 ? 0x7f80
                                          : highest_integer(type);
}

// The first rank whose value passes "above `threshold`" (after the logistic
// with `logits`), or highest_rank + 1 when none does. The values never
// decrease with the rank and the logistic never decreases, so every rank from
// the cut up passes (NaN aside) and every rank below fails.
std::int32_t rank_cut(const element_format& format, bool logits, float threshold);

}  // namespace sorvanta::framework

#endif
