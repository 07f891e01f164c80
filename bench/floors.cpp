#include "floors.hpp"

#include <cmath>
#include <cstring>

namespace quelt_bench {

namespace {

std::uint32_t bits_of(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

void add_pair(floor_scratch& s, float score, std::uint32_t candidate, std::int32_t class_index) {
  // Positive scores: their bits sort as the scores do.
  s.pairs.push_back(std::uint64_t{bits_of(score)} << 32 | s.candidate_of.size());
  s.candidate_of.push_back(candidate);
  s.class_of.push_back(class_index);
}

// Ranks the pairs by score (two 16-bit passes over the score bits) and
// writes one record per candidate, in descending order of its best pair.
std::size_t rank_and_write(floor_scratch& s, std::size_t candidates) {
  const std::size_t n = s.pairs.size();
  s.sorted.resize(n);
  std::uint32_t counts[65537];
  for (int pass = 0; pass < 2; ++pass) {
    const int shift = 32 + 16 * pass;
    std::vector<std::uint64_t>& from = pass == 0 ? s.pairs : s.sorted;
    std::vector<std::uint64_t>& to = pass == 0 ? s.sorted : s.pairs;
    std::memset(counts, 0, sizeof counts);
    for (std::uint64_t p : from) {
      ++counts[((p >> shift) & 0xffff) + 1];
    }
    for (int d = 0; d < 65536; ++d) {
      counts[d + 1] += counts[d];
    }
    for (std::uint64_t p : from) {
      to[counts[(p >> shift) & 0xffff]++] = p;
    }
  }
  s.written.assign(candidates, 0);
  for (std::size_t i = n; i-- > 0;) {
    const auto pair = static_cast<std::uint32_t>(s.pairs[i]);
    const std::uint32_t candidate = s.candidate_of[pair];
    if (s.written[candidate] == 0) {
      s.written[candidate] = 1;
      float score;
      const auto bits = static_cast<std::uint32_t>(s.pairs[i] >> 32);
      std::memcpy(&score, &bits, sizeof score);
      s.records.push_back(object_detection{0.0f, 0.0f, 0.0f, 0.0f, s.class_of[pair], 0.0f, score});
    }
  }
  return s.records.size();
}

void clear(floor_scratch& s) {
  s.pairs.clear();
  s.candidate_of.clear();
  s.class_of.clear();
  s.records.clear();
}

}  // namespace

std::size_t sealed_exact_floor(float* tensor, std::int64_t rows, std::int64_t batch,
                               std::int32_t classes, float conf, floor_scratch& scratch) {
  const std::size_t stride = static_cast<std::size_t>(classes) + 5;
  std::size_t total = 0;
  for (std::int64_t b = 0; b < batch; ++b) {
    clear(scratch);
    float* image = tensor + static_cast<std::size_t>(b * rows) * stride;
    for (std::int64_t r = 0; r < rows; ++r) {
      float* row = image + static_cast<std::size_t>(r) * stride;
      const float objectness = row[4];
      if (!(objectness > conf)) {
        continue;
      }
      for (std::int32_t k = 0; k < classes; ++k) {
        const float p = objectness * row[5 + k];
        const bool passes = p > conf;
        row[5 + k] = passes ? p : 0.0f;
        if (passes) {
          add_pair(scratch, p, static_cast<std::uint32_t>(r), k);
        }
      }
    }
    total += rank_and_write(scratch, static_cast<std::size_t>(rows));
  }
  return total;
}

std::size_t darknet_exact_floor(const std::vector<yolo_output>& layers, float conf,
                                floor_scratch& scratch) {
  const std::uint64_t images = layers.empty() ? 0 : layers[0].output.batch;
  const float raw_cut = std::log(conf / (1.0f - conf));
  std::size_t total = 0;
  for (std::uint64_t b = 0; b < images; ++b) {
    clear(scratch);
    std::uint32_t base = 0;
    for (const yolo_output& layer : layers) {
      const std::size_t stride = static_cast<std::size_t>(layer.classes) + 5;
      const std::uint64_t records = layer.output.width * layer.output.height * layer.mask_size;
      const float* values = layer.output.data + b * records * stride;
      for (std::uint64_t r = 0; r < records; ++r) {
        const float* record = values + r * stride;
        const float logit = record[4];
        if (!(logit > raw_cut)) {
          continue;
        }
        // The pairs that pass: logistic(o) x logistic(v) > conf, that is v
        // above the logit of conf / logistic(o).
        const float objectness = 1.0f / (1.0f + std::exp(-logit));
        const float share = conf / objectness;
        if (!(share < 1.0f)) {
          continue;
        }
        const float edge = std::log(share / (1.0f - share));
        for (std::int32_t k = 0; k < layer.classes; ++k) {
          const float v = record[5 + k];
          if (v > edge) {
            add_pair(scratch, objectness / (1.0f + std::exp(-v)),
                     base + static_cast<std::uint32_t>(r), k);
          }
        }
      }
      base += static_cast<std::uint32_t>(records);
    }
    total += rank_and_write(scratch, base);
  }
  return total;
}

std::size_t columns_exact_floor(const float* tensor, std::int64_t batch, std::int64_t candidates,
                                std::int32_t classes, float conf, floor_scratch& scratch) {
  const auto n = static_cast<std::size_t>(candidates);
  std::size_t total = 0;
  for (std::int64_t b = 0; b < batch; ++b) {
    clear(scratch);
    const float* scores = tensor + (static_cast<std::size_t>(b) * (4 + classes) + 4) * n;
    for (std::int32_t k = 0; k < classes; ++k) {
      const float* row = scores + static_cast<std::size_t>(k) * n;
      for (std::size_t c = 0; c < n; ++c) {
        if (row[c] > conf) {
          add_pair(scratch, row[c], static_cast<std::uint32_t>(c), k);
        }
      }
    }
    total += rank_and_write(scratch, n);
  }
  return total;
}

}  // namespace quelt_bench
