// The exponential on its own: the library's correctly rounded rounded_exp,
// its four-lane form, its array form at the widest lanes the processor runs,
// and the C library's expf, over the same 4,096 inputs
// spread over the range decoding sees (logits and box terms, -20 to 20).
// bench/report prints the time per call. Registered when the binary starts.
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "framework/exponential.hpp"

namespace {

constexpr std::size_t inputs = 4096;

const std::vector<float>& sample() {
  static const std::vector<float> values = [] {
    std::mt19937_64 engine(42);
    std::uniform_real_distribution<float> spread(-20.0f, 20.0f);
    std::vector<float> v(inputs);
    for (float& x : v) {
      x = spread(engine);
    }
    return v;
  }();
  return values;
}

template <class Exp>
void run(benchmark::State& state, Exp&& exp) {
  const std::vector<float>& in = sample();
  std::vector<float> out(inputs);
  for (auto _ : state) {
    exp(in.data(), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["calls"] = static_cast<double>(inputs);
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("exp/rounded_exp", [](benchmark::State& state) {
    run(state, [](const float* in, float* out) {
      for (std::size_t i = 0; i < inputs; ++i) {
        out[i] = sorvanta::framework::rounded_exp(in[i]);
      }
    });
  });
  benchmark::RegisterBenchmark("exp/rounded_exp_4", [](benchmark::State& state) {
    run(state, [](const float* in, float* out) {
      for (std::size_t i = 0; i < inputs; i += 4) {
        sorvanta::framework::rounded_exp_4(in + i, out + i);
      }
    });
  });
  // The widest form this processor runs (AVX-512, AVX2 or the four lanes),
  // as the softmax over box bins calls it.
  benchmark::RegisterBenchmark("exp/rounded_exp_n", [](benchmark::State& state) {
    const auto lanes = sorvanta::framework::widest_exp_lanes();
    run(state, [lanes](const float* in, float* out) {
      sorvanta::framework::rounded_exp_n(in, out, inputs, lanes);
    });
  });
  benchmark::RegisterBenchmark("exp/expf", [](benchmark::State& state) {
    run(state, [](const float* in, float* out) {
      for (std::size_t i = 0; i < inputs; ++i) {
        out[i] = std::exp(in[i]);
      }
    });
  });
  return true;
}();

}  // namespace
