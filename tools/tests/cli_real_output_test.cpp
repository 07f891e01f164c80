// The command-line tool decodes the real network outputs into exactly the
// records the C interface gives for them, through each decoding entry.
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "npy/npy.hpp"
#include "support/fixtures.hpp"
#include "support/status.hpp"

#ifndef QUELT_CLI
#error "QUELT_CLI must name the built tool"
#endif

namespace {

using quelt::test::failure_text;
using detections = std::vector<object_detection>;

constexpr float conf_threshold = 0.25f;
constexpr float nms_threshold = 0.45f;

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

// Runs the tool; returns its standard output, failing the test on a non-zero exit.
std::string run_cli(const std::string& arguments) {
  const std::string command = quoted(QUELT_CLI) + " " + arguments;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return "";
  }
  std::string output;
  std::array<char, 4096> buffer{};
  for (std::size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0;) {
    output.append(buffer.data(), n);
  }
  const int status = pclose(pipe.release());
  EXPECT_EQ(status, 0) << command;
  return output;
}

detections from_json(const nlohmann::json& image) {
  detections out;
  for (const auto& d : image.at("detections")) {
    out.push_back(object_detection{
        d.at("x_min").get<float>(), d.at("y_min").get<float>(), d.at("x_max").get<float>(),
        d.at("y_max").get<float>(), d.at("class_id").get<std::int32_t>(),
        d.at("objectness").get<float>(), d.at("probability").get<float>()});
  }
  return out;
}

detections read_image(object_handler handler) {
  std::uint64_t count = 0;
  EXPECT_EQ(failure_text(detections_batch_detections_count(handler, 0, &count)), "");
  detections records(count);
  EXPECT_EQ(failure_text(detections_batch_detections_store(handler, 0, records.data())), "");
  object_handler_destroy(handler);
  return records;
}

void expect_same(const detections& tool, const detections& library, const std::string& what) {
  ASSERT_EQ(tool.size(), library.size()) << what;
  for (std::size_t i = 0; i < tool.size(); ++i) {
    const auto& a = tool[i];
    const auto& b = library[i];
    EXPECT_TRUE(a.x_min == b.x_min && a.y_min == b.y_min && a.x_max == b.x_max &&
                a.y_max == b.y_max && a.class_id == b.class_id && a.objectness == b.objectness &&
                a.probability == b.probability)
        << what << ": record " << i;
  }
}

TEST(CliRealOutput, BothEntriesGiveTheLibrarysRecords) {
  const auto set = quelt::test::load_real_fixtures();
  if (!set) {
    GTEST_SKIP() << "real network fixtures not found in " << quelt::test::real_fixture_dir();
  }
  const std::string manifest = quoted(set->dir + "/manifest.json");
  const float conf[] = {conf_threshold};
  const float nms[] = {nms_threshold};
  for (const auto& image : set->images) {
    // Darknet layers, through the C interface as the C tests call it.
    std::vector<quelt::npy::npy_array> layers;
    std::vector<yolo_output> outputs;
    for (std::size_t l = 0; l < set->layers.size(); ++l) {
      layers.push_back(quelt::npy::read_npy(image.layer_files[l]));
    }
    for (std::size_t l = 0; l < set->layers.size(); ++l) {
      const auto& layer = set->layers[l];
      yolo_output out{};
      out.output = output_tensor{layers[l].values.data(), 1, layers[l].shape[2], layers[l].shape[1],
                                 layers[l].shape[3]};
      out.classes = layer.classes;
      out.mask = const_cast<std::int32_t*>(layer.mask.data());
      out.mask_size = layer.mask.size();
      out.xy_scale = layer.xy_scale;
      out.preactivated = layer.preactivated;
      out.anchors = const_cast<float*>(layer.anchors.data());
      outputs.push_back(out);
    }
    object_handler handler{};
    ASSERT_EQ(failure_text(process_yolo_detections(outputs.data(), outputs.size(),
                                                   net_params{set->net_width, set->net_height},
                                                   conf, nms, &handler)),
              "");
    const detections direct_layers = read_image(handler);

    auto sealed = quelt::npy::read_npy(image.sealed_file);
    ASSERT_EQ(failure_text(process_yolo_sealed_output_detections(
                  sealed.values.data(), static_cast<std::int64_t>(sealed.shape[1]), 1,
                  set->layers[0].classes, conf, nms, set->net_width, set->net_height, &handler)),
              "");
    const detections direct_sealed = read_image(handler);
    EXPECT_FALSE(direct_layers.empty() || direct_sealed.empty()) << image.name;

    const std::string select = manifest + " --name " + quoted(image.name) + " --format json";
    const auto by_layers = nlohmann::json::parse(run_cli("manifest " + select));
    const auto by_sealed = nlohmann::json::parse(run_cli("manifest --sealed " + select));
    ASSERT_EQ(by_layers.at("images").size(), 1u);
    EXPECT_EQ(by_layers.at("images")[0].at("name"), image.name);
    expect_same(from_json(by_layers.at("images")[0]), direct_layers, image.name + " layers");
    expect_same(from_json(by_sealed.at("images")[0]), direct_sealed, image.name + " sealed");
  }
}

TEST(CliRealOutput, PicturesOverTheRealImagesAreWellFormed) {
  const auto set = quelt::test::load_real_fixtures();
  if (!set) {
    GTEST_SKIP() << "real network fixtures not found in " << quelt::test::real_fixture_dir();
  }
  if (std::system("xmllint --version > /dev/null 2>&1") != 0) {
    GTEST_FAIL() << "xmllint is missing: run scripts/install-deps (libxml2-utils)";
  }
  for (const auto& image : set->images) {
    const std::string svg = ::testing::TempDir() + "quelt_cli_" + image.name + ".svg";
    run_cli("manifest " + quoted(set->dir + "/manifest.json") + " --name " + quoted(image.name) +
            " --names " + quoted(set->dir + "/coco.names") + " --image " +
            quoted(set->dir + "/images/" + image.name + ".jpg") + " --svg " + quoted(svg));
    EXPECT_EQ(std::system(("xmllint --noout " + quoted(svg)).c_str()), 0) << svg;
    std::remove(svg.c_str());
  }
}

// The decode command on the anchor-free form of the real outputs (boxes and
// scores as columns, objectness folded in), mapped to the photos' pixels.
TEST(CliRealOutput, DecodeGivesTheLibrarysRecordsInPhotoPixels) {
  const auto set = quelt::test::load_real_fixtures();
  if (!set) {
    GTEST_SKIP() << "real network fixtures not found in " << quelt::test::real_fixture_dir();
  }
  const std::int32_t classes = set->layers[0].classes;
  for (const auto& image : set->images) {
    const auto sealed = quelt::npy::read_npy(image.sealed_file);
    const std::size_t n = sealed.shape[1];
    const std::size_t row = static_cast<std::size_t>(classes) + 5;
    std::vector<float> columns((row - 1) * n);
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t c = 0; c < 4; ++c) {
        columns[c * n + r] = sealed.values[r * row + c];
      }
      for (std::size_t j = 5; j < row; ++j) {
        columns[(j - 1) * n + r] = sealed.values[r * row + 4] * sealed.values[r * row + j];
      }
    }
    const std::string file = ::testing::TempDir() + "quelt_cli_columns_" + image.name + ".npy";
    quelt::npy::write_npy(file, {1, row - 1, n}, columns);

    ASSERT_GT(image.image_width, 0) << image.image_file;
    const quelt_image_geometry geometry = quelt_geometry_stretch(
        set->net_width, set->net_height, static_cast<float>(image.image_width),
        static_cast<float>(image.image_height));
    quelt_layout layout;
    quelt_layout_columns(&layout, columns.data(), 1, static_cast<std::int64_t>(n), classes);
    quelt_decode_options options;
    quelt_decode_options_init(&options);
    options.network_width = set->net_width;
    options.network_height = set->net_height;
    options.score_thresholds = &conf_threshold;
    options.iou_thresholds = &nms_threshold;
    options.geometry = &geometry;
    object_handler handler{};
    ASSERT_EQ(failure_text(quelt_decode(&layout, &options, &handler)), "");
    const detections direct = read_image(handler);
    EXPECT_FALSE(direct.empty()) << image.name;

    const std::string svg = ::testing::TempDir() + "quelt_cli_decode_" + image.name + ".svg";
    const auto by_tool = nlohmann::json::parse(
        run_cli("decode " + quoted(file) + " --layout columns --size " +
                std::to_string(set->net_width) + " " + std::to_string(set->net_height) +
                " --stretch --image " + quoted(image.image_file) + " --svg " + quoted(svg) +
                " --names " + quoted(set->dir + "/coco.names") + " --format json"));
    EXPECT_EQ(by_tool.at("image_pixels").at("width"), image.image_width);
    expect_same(from_json(by_tool.at("images")[0]), direct, image.name + " columns");
    EXPECT_EQ(std::system(("xmllint --noout " + quoted(svg)).c_str()), 0) << svg;
    std::remove(svg.c_str());
    std::remove(file.c_str());
  }
}

}  // namespace
