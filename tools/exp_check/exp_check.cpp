// Checks sorvanta::framework::rounded_exp against MPFR for every one of the
// 2^32 float inputs, its lane forms (rounded_exp_4 and, where the processor
// has them, rounded_exp_4_avx2 and rounded_exp_n's AVX-512 form, eight lanes
// with the last ones masked off in turn) against it bit for bit, and counts
// where the C library's expf differs from it.
// Run by hand (tools/exp_check/run); it takes a few minutes on two cores.
// With --lanes (tools/exp_check/run --lanes) only the lane forms are
// compared with the scalar function, on every input, without MPFR: the quick
// check after changing a lane form alone. Built with
// -DQUELT_EXP_CHECK_LANES_ONLY it needs no MPFR and runs only --lanes (the
// aarch64 cross build, which has no MPFR of its own: HACKING.md).
//
// Each input is first compared with the long double exponential: when that
// value lies clearly away from every float midpoint, it fixes the correctly
// rounded float. Only inputs near a midpoint, and results that are
// subnormal, zero or at the edge of overflow, are decided by MPFR.
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#if !defined(QUELT_EXP_CHECK_LANES_ONLY)
#include <mpfr.h>
#endif

#include "framework/exponential.hpp"

namespace {

float float_of(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::uint32_t bits_of(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

bool same(float a, float b) {
  return (a != a && b != b) || bits_of(a) == bits_of(b);
}

// The correctly rounded float exp(x) by MPFR, subnormals included.
float mpfr_exp_float(float x) {
#if defined(QUELT_EXP_CHECK_LANES_ONLY)
  return x;  // not reached: main refuses to run without --lanes
#else
  mpfr_set_emin(-148);
  mpfr_set_emax(128);
  mpfr_t in, out;
  mpfr_init2(in, 24);
  mpfr_init2(out, 24);
  mpfr_set_flt(in, x, MPFR_RNDN);
  int inexact = mpfr_exp(out, in, MPFR_RNDN);
  inexact = mpfr_subnormalize(out, inexact, MPFR_RNDN);
  const float result = mpfr_get_flt(out, MPFR_RNDN);
  mpfr_clear(in);
  mpfr_clear(out);
  return result;
#endif
}

struct counts {
  std::uint64_t checked = 0;
  std::uint64_t by_mpfr = 0;
  std::uint64_t wrong = 0;
  std::uint64_t slow_path = 0;
  std::uint64_t lanes_differ = 0;
  std::uint64_t libc_differs = 0;
};

// The correct answer for x, by the cheapest sure means.
float correct_exp(float x, counts& tally) {
  if (x != x) {
    return x;
  }
  if (x > 89.0f) {
    return std::numeric_limits<float>::infinity();  // exp(89) > 2^128
  }
  if (x < -104.0f) {
    return 0.0f;  // exp(-104) < 2^-150
  }
  const long double value = std::exp(static_cast<long double>(x));
  const float nearest = static_cast<float>(value);
  if (nearest != 0.0f && std::isnormal(nearest) && nearest < std::numeric_limits<float>::max()) {
    const long double below = std::nextafter(nearest, 0.0f);
    const long double above = std::nextafter(nearest, std::numeric_limits<float>::infinity());
    const long double mid_below = (below + nearest) / 2;
    const long double mid_above = (above + nearest) / 2;
    // expl is good to a few units of 2^-64; stay far beyond that.
    const long double margin = value * 0x1p-56L;
    if (value - mid_below > margin && mid_above - value > margin) {
      return nearest;
    }
  }
  ++tally.by_mpfr;
  return mpfr_exp_float(x);
}

// Whether rounded_exp sends x, inside its fast range, to the slow path: the
// fast path's double lies near a float midpoint.
bool slow_path_taken(float x) {
  using namespace sorvanta::framework::exponential_detail;
  if (!(std::fabs(x) < fast_limit)) {
    return false;
  }
  std::uint64_t k = 0;
  return near_float_midpoint(fast_exp_bits(x, k));
}

// The AVX2 lanes of eight inputs, or the scalar results where the processor
// lacks AVX2.
void avx2_lanes(const float* in, float* out) {
  namespace fw = sorvanta::framework;
  fw::rounded_exp_n(in, out, 8,
                    fw::widest_exp_lanes() == fw::exp_lanes::portable ? fw::exp_lanes::portable
                                                                      : fw::exp_lanes::avx2);
}

// The widest form's lanes over the first `count` of eight values, in place
// (the rest keep what they held).
void widest_lanes(float* values, std::size_t count) {
  namespace fw = sorvanta::framework;
  fw::rounded_exp_n(values, values, count, fw::widest_exp_lanes());
}

}  // namespace

int main(int argc, char** argv) {
  const bool lanes_only = argc > 1 && std::strcmp(argv[1], "--lanes") == 0;
#if defined(QUELT_EXP_CHECK_LANES_ONLY)
  if (!lanes_only) {
    std::fprintf(stderr, "built without MPFR: only --lanes runs\n");
    return 2;
  }
#endif
  const unsigned workers = 2;
  std::vector<counts> tallies(workers);
  std::mutex print_lock;
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < workers; ++w) {
    threads.emplace_back([&, w] {
      counts& tally = tallies[w];
      // Blocks of eight consecutive inputs, so the lanes forms see them all;
      // the widest form reads 8 - (block / 8) % 8 of them, so that every
      // masked tail meets every input position.
      for (std::uint64_t block = w * 8; block <= 0xffffffffu; block += workers * 8) {
        float inputs[8];
        float lanes[8];
        float wide[8];
        float widest[8];
        for (std::uint64_t q = 0; q < 8; ++q) {
          inputs[q] = float_of(static_cast<std::uint32_t>(block + q));
        }
        sorvanta::framework::rounded_exp_4(inputs, lanes);
        sorvanta::framework::rounded_exp_4(inputs + 4, lanes + 4);
        avx2_lanes(inputs, wide);
        const std::size_t count = 8 - (block / 8) % 8;
        std::memcpy(widest, lanes, sizeof widest);
        std::memcpy(widest, inputs, count * sizeof(float));
        widest_lanes(widest, count);
        for (std::uint64_t q = 0; q < 8; ++q) {
          const std::uint64_t i = block + q;
          const float x = inputs[q];
          if (lanes_only) {
            const float got = sorvanta::framework::rounded_exp(x);
            ++tally.checked;
            if (bits_of(lanes[q]) != bits_of(got) || bits_of(wide[q]) != bits_of(got) ||
                bits_of(widest[q]) != bits_of(got)) {
              if (++tally.lanes_differ <= 20) {
                std::lock_guard<std::mutex> hold(print_lock);
                std::printf("lanes differ: x = %a (0x%08" PRIx32
                            "): lanes %a, avx2 %a, scalar %a\n",
                            x, static_cast<std::uint32_t>(i), lanes[q], wide[q], got);
              }
            }
            continue;
          }
          const float want = correct_exp(x, tally);
          const float got = sorvanta::framework::rounded_exp(x);
          ++tally.checked;
          if (!same(got, want)) {
            if (++tally.wrong <= 20) {
              std::lock_guard<std::mutex> hold(print_lock);
              std::printf("wrong: x = %a (0x%08" PRIx32 "): got %a, want %a\n", x,
                          static_cast<std::uint32_t>(i), got, want);
            }
          }
          if (bits_of(lanes[q]) != bits_of(got) || bits_of(wide[q]) != bits_of(got) ||
              bits_of(widest[q]) != bits_of(got)) {
            if (++tally.lanes_differ <= 20) {
              std::lock_guard<std::mutex> hold(print_lock);
              std::printf("lanes differ: x = %a (0x%08" PRIx32 "): lanes %a, scalar %a\n", x,
                          static_cast<std::uint32_t>(i), lanes[q], got);
            }
          }
          if (slow_path_taken(x)) {
            ++tally.slow_path;
          }
          if (!same(std::exp(x), want)) {
            ++tally.libc_differs;
          }
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  counts total;
  for (const auto& tally : tallies) {
    total.checked += tally.checked;
    total.by_mpfr += tally.by_mpfr;
    total.wrong += tally.wrong;
    total.slow_path += tally.slow_path;
    total.lanes_differ += tally.lanes_differ;
    total.libc_differs += tally.libc_differs;
  }
  std::printf("inputs checked: %" PRIu64 "\n", total.checked);
#if defined(QUELT_FRAMEWORK_EXP_AVX2)
  std::printf("AVX2 lanes %s\n",
              sorvanta::framework::avx2_available() ? "checked" : "not available");
#endif
#if defined(QUELT_FRAMEWORK_EXP_AVX512)
  std::printf("AVX-512 lanes %s\n",
              sorvanta::framework::avx512_available() ? "checked" : "not available");
#endif
  if (lanes_only) {
    std::printf("lane forms differ from rounded_exp: %" PRIu64 "\n", total.lanes_differ);
    return total.lanes_differ == 0 ? 0 : 1;
  }
  std::printf("decided by MPFR: %" PRIu64 "\n", total.by_mpfr);
  std::printf("rounded_exp wrong: %" PRIu64 "\n", total.wrong);
  std::printf("lane forms differ from rounded_exp: %" PRIu64 "\n", total.lanes_differ);
  std::printf("fast-range inputs sent to the slow path (near a float midpoint): %" PRIu64 "\n",
              total.slow_path);
  std::printf("system expf differs from the correctly rounded result: %" PRIu64 "\n",
              total.libc_differs);
  return total.wrong == 0 && total.lanes_differ == 0 ? 0 : 1;
}
