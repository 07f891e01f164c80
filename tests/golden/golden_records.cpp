// Writes or checks the golden records: what the decoding entries answer for
// the real network outputs (two threshold pairs; quelt_decode reads them as
// rows and as columns, with and without geometry; quelt_map_detections maps
// and caps a Darknet batch) and for the first cases of the random-call
// generator (quelt_decode's also after quelt_map_detections). The files are
// written on x86-64 Linux; every other platform must reproduce them byte for
// byte.
//
//   golden_records --write DIR    writes DIR/fixtures.txt and DIR/generator.txt
//   golden_records --check DIR    compares with them; the fixture part is
//                                 skipped when the real outputs are absent
//
// The fixture records are written in full, the generator's as a count and a
// hash per image. Every float counts as the hex of its bits, except that every NaN is
// written as 7fc00000: the bits of a NaN an operation makes differ between
// processors (x86 gives ffc00000, ARM 7fc00000), and NaNs are equal here as
// they are in the differential tests.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "npy/npy.hpp"
#include "quelt/quelt.h"
#include "reference/random_calls.hpp"
#include "support/fixtures.hpp"

namespace {

constexpr std::uint64_t first_seed = 20261208;
constexpr std::uint64_t generator_cases = 2000;

std::uint32_t word(float value) {
  if (value != value) {
    return 0x7fc00000u;
  }
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

void put_word(std::ostream& out, std::uint32_t bits) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(bits));
  out << text;
}

// FNV-1a over 32-bit words, low byte first.
struct fnv {
  std::uint64_t hash = 14695981039346656037ull;
  void add(std::uint32_t bits) {
    for (int b = 0; b < 4; ++b) {
      hash ^= (bits >> (8 * b)) & 0xffu;
      hash *= 1099511628211ull;
    }
  }
};

void put_hash(std::ostream& out, std::uint64_t hash) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  out << text;
}

// Per image its count and either its records in full or, for the
// generator's thousands of cases, a hash of them (the failing seed then
// replays in the differential tests).
void put_batch(std::ostream& out, object_handler handler, bool in_full) {
  std::uint64_t images = 0;
  return_status size_status = detections_batch_size(handler, &images);
  done_return_status(size_status);
  for (std::uint64_t i = 0; i < images; ++i) {
    std::uint64_t count = 0;
    done_return_status(detections_batch_detections_count(handler, i, &count));
    std::vector<object_detection> records(count);
    done_return_status(detections_batch_detections_store(handler, i, records.data()));
    out << "  " << count << ":";
    fnv hash;
    for (const auto& r : records) {
      const std::uint32_t words[7] = {word(r.x_min),
                                      word(r.y_min),
                                      word(r.x_max),
                                      word(r.y_max),
                                      static_cast<std::uint32_t>(r.class_id),
                                      word(r.objectness),
                                      word(r.probability)};
      if (in_full) {
        out << ' ';
      }
      for (std::uint32_t w : words) {
        hash.add(w);
        if (in_full) {
          put_word(out, w);
        }
      }
    }
    if (!in_full) {
      out << ' ';
      put_hash(out, hash.hash);
    }
    out << "\n";
  }
}

// The status, then the batch on success; releases both. Returns whether the
// call succeeded.
bool put_status(std::ostream& out, return_status status, bool with_text) {
  if (status.status_code == 1) {
    done_return_status(status);
    return true;
  }
  // Failure texts may name platform types in Boost's lines; the fixtures
  // make valid calls only, so any failure there is written in full.
  std::string text = with_text && status.message != nullptr ? status.message : "";
  for (char& c : text) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  out << "  failure" << (text.empty() ? "" : " ") << text << "\n";
  done_return_status(status);
  return false;
}

void put_answer(std::ostream& out, return_status status, object_handler handler, bool in_full) {
  if (put_status(out, status, true)) {
    put_batch(out, handler, in_full);
  }
  object_handler_destroy(handler);
}

// The sealed path's rewritten tensor.
void put_digest(std::ostream& out, const std::vector<float>& values) {
  fnv hash;
  for (float v : values) {
    hash.add(word(v));
  }
  out << "  tensor ";
  put_hash(out, hash.hash);
  out << "\n";
}

std::string generator_text() {
  std::ostringstream out;
  for (std::uint64_t c = 0; c < generator_cases; ++c) {
    const std::uint64_t seed = first_seed + c;
    quelt_reference::awkward_random random(seed);
    quelt_reference::darknet_call call = quelt_reference::random_darknet_call(random);
    object_handler handler{};
    return_status status = process_yolo_detections(call.layers.data(), call.layers.size(), call.net,
                                                   call.conf.data(), call.nms.data(), &handler);
    out << "darknet " << seed << "\n";
    put_answer(out, status, handler, false);
  }
  for (std::uint64_t c = 0; c < generator_cases; ++c) {
    const std::uint64_t seed = first_seed + c;
    quelt_reference::awkward_random random(seed);
    quelt_reference::sealed_call call = quelt_reference::random_sealed_call(random);
    object_handler handler{};
    return_status status = process_yolo_sealed_output_detections(
        call.tensor.data(), call.boxes_count, call.batch_size, call.classes, call.conf.data(),
        call.nms.data(), call.width, call.height, &handler);
    out << "sealed " << seed << "\n";
    put_answer(out, status, handler, false);
    put_digest(out, call.tensor);
  }
  for (std::uint64_t c = 0; c < generator_cases; ++c) {
    const std::uint64_t seed = first_seed + c;
    quelt_reference::awkward_random random(seed);
    quelt_reference::heads_call call;
    quelt_reference::random_heads_call(random, call);
    object_handler handler{};
    out << "heads " << seed << "\n";
    // One call in ten is refused on purpose; only that it fails is written,
    // the texts being the differential tests' business.
    if (put_status(out, quelt_decode(&call.layout, &call.options, &handler), false)) {
      put_batch(out, handler, false);
      out << "map " << seed << "\n";
      if (put_status(
              out,
              quelt_map_detections(handler, call.map_width, call.map_height,
                                   call.map_geometry.empty() ? nullptr : call.map_geometry.data(),
                                   call.map_cap),
              false)) {
        put_batch(out, handler, false);
      }
    }
    object_handler_destroy(handler);
  }
  return out.str();
}

// The sealed rows as an anchor-free head exports them, (4 + classes,
// candidates) without an objectness: each class score is objectness x class
// score, one float product.
std::vector<float> as_columns(const std::vector<float>& rows, std::size_t candidates,
                              std::size_t classes) {
  const std::size_t width = classes + 5;
  std::vector<float> columns((4 + classes) * candidates);
  for (std::size_t n = 0; n < candidates; ++n) {
    const float* row = rows.data() + n * width;
    for (std::size_t c = 0; c < 4; ++c) {
      columns[c * candidates + n] = row[c];
    }
    for (std::size_t k = 0; k < classes; ++k) {
      columns[(4 + k) * candidates + n] = row[4] * row[5 + k];
    }
  }
  return columns;
}

std::string fixtures_text(const quelt::test::fixture_set& set) {
  std::ostringstream out;
  const float pairs[2][2] = {{0.25f, 0.45f}, {0.005f, 0.6f}};
  const quelt::test::fixture_layers layers(set);
  for (std::size_t i = 0; i < set.images.size(); ++i) {
    const auto& image = set.images[i];
    const std::vector<yolo_output> outputs = layers.outputs(i, 1);
    const auto sealed = quelt::npy::read_npy(image.sealed_file);
    const auto candidates = static_cast<std::int64_t>(sealed.shape.at(1));
    const auto classes = static_cast<std::int32_t>(sealed.shape.at(2)) - 5;
    const std::vector<float> columns =
        as_columns(sealed.values, sealed.shape.at(1), sealed.shape.at(2) - 5);
    // The network saw the photo stretched to its input.
    const quelt_image_geometry stretched =
        quelt_geometry_stretch(set.net_width, set.net_height, static_cast<float>(image.image_width),
                               static_cast<float>(image.image_height));
    quelt_layout rows_layout;
    quelt_layout_rows(&rows_layout, sealed.values.data(), 1, candidates, classes, 1);
    quelt_layout columns_layout;
    quelt_layout_columns(&columns_layout, columns.data(), 1, candidates, classes);
    for (const auto& pair : pairs) {
      float conf = pair[0];
      float nms = pair[1];
      object_handler handler{};
      return_status status =
          process_yolo_detections(outputs.data(), outputs.size(),
                                  net_params{set.net_width, set.net_height}, &conf, &nms, &handler);
      out << "darknet " << image.name << " " << conf << " " << nms << "\n";
      put_answer(out, status, handler, true);

      std::vector<float> tensor = sealed.values;
      status = process_yolo_sealed_output_detections(
          tensor.data(), static_cast<std::int64_t>(sealed.shape.at(1)), 1,
          static_cast<std::int32_t>(sealed.shape.at(2)) - 5, &conf, &nms, set.net_width,
          set.net_height, &handler);
      out << "sealed " << image.name << " " << conf << " " << nms << "\n";
      put_answer(out, status, handler, true);
      put_digest(out, tensor);

      quelt_decode_options options;
      quelt_decode_options_init(&options);
      options.network_width = set.net_width;
      options.network_height = set.net_height;
      options.score_thresholds = &conf;
      options.iou_thresholds = &nms;
      for (const auto& [name, layout] :
           {std::pair<const char*, const quelt_layout*>{"rows", &rows_layout},
            {"columns", &columns_layout}}) {
        for (const quelt_image_geometry* geometry :
             {static_cast<const quelt_image_geometry*>(nullptr), &stretched}) {
          options.geometry = geometry;
          status = quelt_decode(layout, &options, &handler);
          out << "heads " << name << (geometry != nullptr ? " geometry " : " ") << image.name << " "
              << conf << " " << nms << "\n";
          put_answer(out, status, handler, true);
        }
      }

      // The Darknet batch in original-image pixels, its five best records.
      status =
          process_yolo_detections(outputs.data(), outputs.size(),
                                  net_params{set.net_width, set.net_height}, &conf, &nms, &handler);
      out << "map darknet " << image.name << " " << conf << " " << nms << "\n";
      if (put_status(out, status, true)) {
        status = quelt_map_detections(handler, set.net_width, set.net_height, &stretched, 5);
        put_answer(out, status, handler, true);
      }
    }
  }
  return out.str();
}

std::string read_file(const std::string& path, bool& found) {
  std::ifstream in(path, std::ios::binary);
  found = static_cast<bool>(in);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

// Names the first line that differs.
bool compare(const std::string& name, const std::string& want, const std::string& got) {
  if (want == got) {
    std::cout << name << ": same bytes (" << got.size() << ")\n";
    return true;
  }
  std::istringstream a(want);
  std::istringstream b(got);
  std::string line_a;
  std::string line_b;
  std::string heading;
  for (int line = 1;; ++line) {
    const bool more_a = static_cast<bool>(std::getline(a, line_a));
    const bool more_b = static_cast<bool>(std::getline(b, line_b));
    if (!more_a && !more_b) {
      break;
    }
    if (!more_a || !more_b || line_a != line_b) {
      std::cout << name << ": differs at line " << line << " (case: " << heading << ")\n"
                << "  golden: " << (more_a ? line_a.substr(0, 300) : "<end>") << "\n"
                << "  here:   " << (more_b ? line_b.substr(0, 300) : "<end>") << "\n";
      return false;
    }
    if (line_a.rfind("  ", 0) != 0) {
      heading = line_a;
    }
  }
  std::cout << name << ": differs\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::string(argv[1]) != "--write" && std::string(argv[1]) != "--check")) {
    std::cerr << "usage: golden_records --write|--check DIR\n";
    return 2;
  }
  const bool write = std::string(argv[1]) == "--write";
  const std::string dir = argv[2];
  const auto fixtures = quelt::test::load_real_fixtures();
  if (write) {
    if (!fixtures) {
      std::cerr << "golden_records: the real outputs are needed to write the golden files ("
                << quelt::test::real_fixture_dir() << ")\n";
      return 1;
    }
    const bool ok = write_file(dir + "/generator.txt", generator_text()) &&
                    write_file(dir + "/fixtures.txt", fixtures_text(*fixtures));
    std::cout << (ok ? "golden files written to " : "could not write to ") << dir << "\n";
    return ok ? 0 : 1;
  }
  bool found = false;
  bool ok = compare("generator", read_file(dir + "/generator.txt", found), generator_text());
  if (!found) {
    std::cerr << "no golden file in " << dir << "\n";
    return 1;
  }
  if (fixtures) {
    ok = compare("fixtures", read_file(dir + "/fixtures.txt", found), fixtures_text(*fixtures)) &&
         ok;
  } else {
    std::cout << "fixtures: skipped, real network outputs not found in "
              << quelt::test::real_fixture_dir() << "\n";
  }
  return ok ? 0 : 1;
}
