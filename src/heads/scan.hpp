// The passes over score values that find what may pass a threshold: the
// whole cost of a call where few values pass, so they skip most values
// without a branch per value.
#ifndef QUELT_HEADS_SCAN_HPP
#define QUELT_HEADS_SCAN_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "../framework/elements.hpp"
#include "../framework/logistic.hpp"
#include "../framework/screen.hpp"

namespace quelt::heads {

namespace fw = sorvanta::framework;

// Screens raw values: with logits, the cut lets through every value whose
// logistic may pass (and NaN), and the exact test follows.
struct screen {
  bool logits;
  float threshold;
  float cut;
  bool operator()(float value) const { return logits ? !(value < cut) : value > threshold; }
  // True when no value can pass: no logistic exceeds the threshold.
  bool closed() const { return logits && cut != cut; }
};

inline screen make_screen(bool logits, float threshold) {
  return screen{logits, threshold, logits ? fw::raw_logistic_cut(threshold) : 0.0f};
}

// Calls visit(i) for every i < count with passes(first[i * stride]), in
// increasing order. Positive strides of moderate size go through the shared
// screen, whose prefetch of a row's rest only pays for rows of that size.
template <class Passes, class Visit>
void for_each_passing(const float* first, std::uint64_t count, std::int64_t stride, Passes&& passes,
                      Visit&& visit) {
  if (stride > 0 && stride <= 4096) {
    fw::screen_rows(first, count, static_cast<std::size_t>(stride), passes, visit);
    return;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    if (passes(first[static_cast<std::int64_t>(i) * stride])) {
      visit(i);
    }
  }
}

// for_each_passing over contiguous values, sixteen at a time: in the column
// layout this pass is the whole cost of a call, and most groups hold no value
// that passes. `logits` screens with "not below the cut", which lets NaN
// through to the exact test.
template <bool logits, class Visit>
void for_each_passing_contiguous(const float* first, std::uint64_t count, float limit,
                                 Visit&& visit) {
  std::uint64_t i = 0;
#if defined(__SSE2__)
  const __m128 edge = _mm_set1_ps(limit);
  const auto test = [&](std::uint64_t at) {
    const __m128 v = _mm_loadu_ps(first + at);
    return logits ? _mm_cmpnlt_ps(v, edge) : _mm_cmpgt_ps(v, edge);
  };
  for (; i + 16 <= count; i += 16) {
    const __m128 m0 = test(i);
    const __m128 m1 = test(i + 4);
    const __m128 m2 = test(i + 8);
    const __m128 m3 = test(i + 12);
    if (_mm_movemask_ps(_mm_or_ps(_mm_or_ps(m0, m1), _mm_or_ps(m2, m3))) == 0) {
      continue;
    }
    auto open = static_cast<unsigned>(_mm_movemask_ps(m0)) |
                (static_cast<unsigned>(_mm_movemask_ps(m1)) << 4) |
                (static_cast<unsigned>(_mm_movemask_ps(m2)) << 8) |
                (static_cast<unsigned>(_mm_movemask_ps(m3)) << 12);
    while (open != 0) {
      visit(i + static_cast<std::uint64_t>(__builtin_ctz(open)));
      open &= open - 1;
    }
  }
#endif
  for (; i < count; ++i) {
    if (logits ? !(first[i] < limit) : first[i] > limit) {
      visit(i);
    }
  }
}

// best[i], best_class[i] = scores[i], k where scores[i] > best[i], for class
// k and then, when `next` is given, class k_next: the best-class pass without
// a branch, for classes where many scores pass and the screen would
// mispredict. Two classes share one load and store of the running best.
// Returns how many scores of the last class exceed `threshold`.
inline std::uint64_t raise_best(const float* scores, const float* next, std::uint64_t count,
                                std::int32_t k, std::int32_t k_next, float threshold, float* best,
                                std::int32_t* best_class) {
  std::uint64_t i = 0;
  std::uint64_t passed = 0;
  const float* last = next != nullptr ? next : scores;
#if defined(__SSE2__)
  const __m128i klass = _mm_set1_epi32(k);
  const __m128i next_klass = _mm_set1_epi32(k_next);
  const __m128 limit = _mm_set1_ps(threshold);
  __m128i counted = _mm_setzero_si128();
  // maxps(v, b) is "v > b ? v : b", NaN included: exactly the update rule.
  const auto raise = [](__m128 v, __m128& b, __m128i& c, __m128i klass_of_v) {
    const __m128i higher = _mm_castps_si128(_mm_cmpgt_ps(v, b));
    b = _mm_max_ps(v, b);
    c = _mm_or_si128(_mm_and_si128(higher, klass_of_v), _mm_andnot_si128(higher, c));
  };
  for (; i + 4 <= count; i += 4) {
    __m128 b = _mm_loadu_ps(best + i);
    auto* c_at = reinterpret_cast<__m128i*>(best_class + i);
    __m128i c = _mm_loadu_si128(c_at);
    raise(_mm_loadu_ps(scores + i), b, c, klass);
    if (next != nullptr) {
      raise(_mm_loadu_ps(next + i), b, c, next_klass);
    }
    // A true lane is -1: subtracting counts it.
    counted = _mm_sub_epi32(counted, _mm_castps_si128(_mm_cmpgt_ps(_mm_loadu_ps(last + i), limit)));
    _mm_storeu_ps(best + i, b);
    _mm_storeu_si128(c_at, c);
  }
  std::uint32_t lanes[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), counted);
  passed = std::uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
#endif
  for (; i < count; ++i) {
    if (scores[i] > best[i]) {
      best[i] = scores[i];
      best_class[i] = k;
    }
    if (next != nullptr && next[i] > best[i]) {
      best[i] = next[i];
      best_class[i] = k_next;
    }
    passed += last[i] > threshold ? 1 : 0;
  }
  return passed;
}

// visit(i) for every i < count whose first[i * step] passes the screen, in
// increasing order, by the fastest pass for the step.
template <class Visit>
void for_each_screened(const float* first, std::uint64_t count, std::int64_t step,
                       const screen& passes, Visit&& visit) {
  if (step != 1) {
    for_each_passing(first, count, step, passes, visit);
  } else if (passes.logits) {
    for_each_passing_contiguous<true>(first, count, passes.cut, visit);
  } else {
    for_each_passing_contiguous<false>(first, count, passes.threshold, visit);
  }
}

// visit(i) for every i < count whose element first[i x step] (of T, one of
// the quantized types) has a rank of at least `cut`, in increasing order.
template <class T, class Visit>
void for_each_rank_from(const unsigned char* first, std::uint64_t count, std::int64_t step,
                        std::int32_t cut, Visit&& visit) {
  const auto bytes = static_cast<std::int64_t>(sizeof(T));
  for (std::uint64_t i = 0; i < count; ++i) {
    T v;
    std::memcpy(&v, first + static_cast<std::int64_t>(i) * step * bytes, sizeof v);
    if (static_cast<std::int32_t>(v) >= cut) {
      visit(i);
    }
  }
}

// visit(i) for every i < count whose contiguous element first[i] has a rank
// of at least `cut`, 64 bytes a round where SSE2 is there: for integer
// elements the screen is the whole cost of a call at the usual thresholds.
// T: int8, uint8, int16, uint16, or with `sign_magnitude` the 16-bit floats
// (ranked by sign and magnitude).
template <class T, bool sign_magnitude, class Visit>
void for_each_contiguous_rank_from(const unsigned char* first, std::uint64_t count,
                                   std::int32_t cut, Visit&& visit) {
  std::uint64_t i = 0;
  const auto rank_at = [&](std::uint64_t at) {
    T v;
    std::memcpy(&v, first + at * sizeof(T), sizeof v);
    if constexpr (sign_magnitude) {
      return fw::sign_magnitude_rank(static_cast<std::uint16_t>(v));
    } else {
      return static_cast<std::int32_t>(v);
    }
  };
#if defined(__SSE2__)
  // Ranks are compared as signed lanes: unsigned types are shifted by half
  // their range first. `cut` - 1 must then fit a lane, which leaves out only
  // the cuts that pass everything or nothing.
  constexpr bool bytes = sizeof(T) == 1;
  constexpr std::int32_t shift =
      std::is_unsigned_v<T> && !sign_magnitude ? (bytes ? 128 : 32768) : 0;
  constexpr std::int32_t lane_low = bytes ? -128 : -32768;
  const std::int32_t edge = cut - 1 - shift;
  if (edge >= lane_low && edge < -lane_low - 1) {
    const auto load = [&](std::uint64_t at) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + at * sizeof(T)));
      if constexpr (sign_magnitude) {
        // magnitude, negated where the sign bit is set
        const __m128i sign = _mm_srai_epi16(v, 15);
        const __m128i magnitude = _mm_and_si128(v, _mm_set1_epi16(0x7fff));
        v = _mm_sub_epi16(_mm_xor_si128(magnitude, sign), sign);
      } else if constexpr (shift != 0) {
        v = _mm_xor_si128(v, bytes ? _mm_set1_epi8(static_cast<char>(0x80))
                                   : _mm_set1_epi16(static_cast<short>(0x8000)));
      }
      return v;
    };
    // Four vectors (64 bytes) a round, one branch for all four when none
    // passes, as for float32: the loop's instructions, not the memory, were
    // the bound at one vector a round.
    if constexpr (bytes) {
      const __m128i limit = _mm_set1_epi8(static_cast<char>(edge));
      for (; i + 64 <= count; i += 64) {
        const __m128i m0 = _mm_cmpgt_epi8(load(i), limit);
        const __m128i m1 = _mm_cmpgt_epi8(load(i + 16), limit);
        const __m128i m2 = _mm_cmpgt_epi8(load(i + 32), limit);
        const __m128i m3 = _mm_cmpgt_epi8(load(i + 48), limit);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3))) == 0) {
          continue;
        }
        auto open =
            static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m0))) |
            (static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m1))) << 16) |
            (static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m2))) << 32) |
            (static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m3))) << 48);
        while (open != 0) {
          visit(i + static_cast<std::uint64_t>(__builtin_ctzll(open)));
          open &= open - 1;
        }
      }
      for (; i + 16 <= count; i += 16) {
        auto open = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(load(i), limit)));
        while (open != 0) {
          visit(i + static_cast<std::uint64_t>(__builtin_ctz(open)));
          open &= open - 1;
        }
      }
    } else {
      const __m128i limit = _mm_set1_epi16(static_cast<short>(edge));
      for (; i + 32 <= count; i += 32) {
        const __m128i m0 =
            _mm_packs_epi16(_mm_cmpgt_epi16(load(i), limit), _mm_cmpgt_epi16(load(i + 8), limit));
        const __m128i m1 = _mm_packs_epi16(_mm_cmpgt_epi16(load(i + 16), limit),
                                           _mm_cmpgt_epi16(load(i + 24), limit));
        const auto open0 = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(m0, m1)));
        if (open0 == 0) {
          continue;
        }
        auto open =
            static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m0))) |
            (static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m1))) << 16);
        while (open != 0) {
          visit(i + static_cast<std::uint64_t>(__builtin_ctzll(open)));
          open &= open - 1;
        }
      }
      for (; i + 16 <= count; i += 16) {
        const __m128i low = _mm_cmpgt_epi16(load(i), limit);
        const __m128i high = _mm_cmpgt_epi16(load(i + 8), limit);
        auto open = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
        while (open != 0) {
          visit(i + static_cast<std::uint64_t>(__builtin_ctz(open)));
          open &= open - 1;
        }
      }
    }
  }
#endif
  for (; i < count; ++i) {
    if (rank_at(i) >= cut) {
      visit(i);
    }
  }
}

// The cut a screen over elements of `format` compares ranks with (float32
// is screened as floats).
inline std::int32_t rank_cut_for(const fw::element_format& format, bool logits, float threshold) {
  return format.type == QUELT_ELEMENT_FLOAT32 ? 0 : fw::rank_cut(format, logits, threshold);
}

// for_each_screened over elements of any type: float32 through the float
// screen, the others by rank against `cut` (rank_cut_for). Every value that
// may pass is visited; the exact test is the caller's.
template <class Visit>
void for_each_element_passing(const fw::element_format& format, const unsigned char* first,
                              std::uint64_t count, std::int64_t step, std::int32_t cut,
                              const screen& passes, Visit&& visit) {
  if (step == 1) {
    switch (format.type) {
      case QUELT_ELEMENT_INT8:
        for_each_contiguous_rank_from<std::int8_t, false>(first, count, cut, visit);
        return;
      case QUELT_ELEMENT_UINT8:
        for_each_contiguous_rank_from<std::uint8_t, false>(first, count, cut, visit);
        return;
      case QUELT_ELEMENT_INT16:
        for_each_contiguous_rank_from<std::int16_t, false>(first, count, cut, visit);
        return;
      case QUELT_ELEMENT_UINT16:
        for_each_contiguous_rank_from<std::uint16_t, false>(first, count, cut, visit);
        return;
      case QUELT_ELEMENT_FLOAT16:
      case QUELT_ELEMENT_BFLOAT16:
        for_each_contiguous_rank_from<std::uint16_t, true>(first, count, cut, visit);
        return;
      default:
        break;
    }
  }
  switch (format.type) {
    case QUELT_ELEMENT_FLOAT32:
      for_each_screened(reinterpret_cast<const float*>(first), count, step, passes, visit);
      return;
    case QUELT_ELEMENT_INT8:
      for_each_rank_from<std::int8_t>(first, count, step, cut, visit);
      return;
    case QUELT_ELEMENT_UINT8:
      for_each_rank_from<std::uint8_t>(first, count, step, cut, visit);
      return;
    case QUELT_ELEMENT_INT16:
      for_each_rank_from<std::int16_t>(first, count, step, cut, visit);
      return;
    case QUELT_ELEMENT_UINT16:
      for_each_rank_from<std::uint16_t>(first, count, step, cut, visit);
      return;
    default:
      break;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    if (fw::element_rank(format.type, first + static_cast<std::int64_t>(i) * step * 2) >= cut) {
      visit(i);
    }
  }
}

// Whether one element may pass the screen (see for_each_element_passing).
inline bool element_may_pass(const fw::element_format& format, const unsigned char* p,
                             std::int32_t cut, const screen& passes) {
  return format.type == QUELT_ELEMENT_FLOAT32 ? passes(fw::element_value(format, p))
                                              : fw::element_rank(format.type, p) >= cut;
}

}  // namespace quelt::heads

#endif
