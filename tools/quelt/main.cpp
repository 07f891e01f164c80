// quelt: decode YOLO network outputs saved as .npy files and show the
// detections as a table, JSON or CSV, optionally drawn into an SVG picture.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "decode.hpp"
#include "output.hpp"
#include "quelt/version.h"

namespace quelt::cli {

namespace {

struct options {
  std::vector<float> score{0.25f};
  std::vector<float> overlap{0.45f};
  std::vector<std::int32_t> size;
  std::string format = "table";
  std::string names_file;
  std::string svg_file;
  std::string image_file;

  std::vector<std::string> files;  // sealed tensors or layers, by subcommand
  std::int32_t classes = -1;
  std::vector<float> anchors;
  std::vector<std::string> masks;  // one comma list per layer
  std::vector<float> xy_scales{1.0f};
  bool preactivated = false;

  std::string manifest;
  std::vector<std::string> picked;  // image names from the manifest
  bool use_sealed = false;

  std::vector<std::string> tensor_files;  // the decode command's predictions, or boxes, or
                                          // the level maps
  std::string scores_file;
  std::string masks_file;          // mask prototypes (batch, C, H, W)
  std::vector<std::string> quant;  // SCALE,ZERO_POINT for all integer files or one per file
  decode_request request;
  std::vector<std::string> allowed;  // class ids or names
  std::vector<float> image_size;
  bool letterbox = false;
  bool stretch = false;
};

std::vector<std::int32_t> parse_mask(const std::string& text) {
  std::vector<std::int32_t> mask;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    std::size_t used = 0;
    int value = 0;
    try {
      value = std::stoi(item, &used);
    } catch (const std::logic_error&) {
      used = 0;
    }
    if (item.empty() || used != item.size()) {
      throw input_error("--mask: '" + text + "' is not a comma-separated list of anchor indices");
    }
    mask.push_back(value);
    start = comma + 1;
  }
  return mask;
}

std::string stem(const std::string& file) {
  const std::size_t slash = file.find_last_of('/');
  std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  const std::size_t dot = name.rfind(".npy");
  return dot != std::string::npos && dot + 4 == name.size() ? name.substr(0, dot) : name;
}

std::vector<std::string> batch_names(const std::vector<std::string>& files,
                                     const std::vector<std::int64_t>& images_per_file) {
  std::vector<std::string> names;
  for (std::size_t f = 0; f < files.size(); ++f) {
    for (std::int64_t i = 0; i < images_per_file[f]; ++i) {
      names.push_back(images_per_file[f] == 1 ? stem(files[f])
                                              : stem(files[f]) + "[" + std::to_string(i) + "]");
    }
  }
  return names;
}

struct decoded {
  std::vector<std::string> names;
  std::vector<image_detections> images;
  std::vector<image_keypoints> keypoints;  // with --keypoints, per image
  std::vector<image_masks> masks;          // one list per image with --masks, else empty
  std::vector<image_rotated> rotated;      // --layout obb: per image
  std::int32_t net_width = 0;
  std::int32_t net_height = 0;
  std::vector<std::string> class_names;
};

void take_size(const options& opts, decoded& out) {
  if (opts.size.empty()) {
    if (out.net_width > 0) {
      return;
    }
    throw input_error("the network input size is needed: --size WIDTH [HEIGHT]");
  }
  out.net_width = opts.size[0];
  out.net_height = opts.size.size() > 1 ? opts.size[1] : opts.size[0];
}

decoded run_sealed(const options& opts, std::vector<std::string> files, std::int32_t classes,
                   decoded out) {
  take_size(opts, out);
  std::vector<sealed_input> parts;
  std::vector<std::int64_t> counts;
  for (const std::string& file : files) {
    parts.push_back(load_sealed(file, classes));
    counts.push_back(parts.back().batch);
    if (classes < 0) {
      classes = parts.back().classes;
    }
  }
  if (out.names.empty()) {
    out.names = batch_names(files, counts);
  }
  sealed_input input = stack_sealed(std::move(parts));
  out.images = decode_sealed(input, out.net_width, out.net_height, {opts.score, opts.overlap});
  return out;
}

decoded run_layers(const options& opts, const std::vector<std::vector<std::string>>& files_by_image,
                   const std::vector<layer_settings>& settings, const std::vector<float>& anchors,
                   std::int32_t classes, decoded out) {
  take_size(opts, out);
  std::vector<layer_input> layers;
  std::vector<std::int64_t> counts;
  for (std::size_t l = 0; l < settings.size(); ++l) {
    std::vector<layer_input> parts;
    for (const auto& files : files_by_image) {
      parts.push_back(load_layer(files.at(l), settings[l], classes));
      if (l == 0) {
        counts.push_back(static_cast<std::int64_t>(parts.back().shape[0]));
      }
    }
    layers.push_back(stack_layers(std::move(parts)));
  }
  if (out.names.empty()) {
    std::vector<std::string> first_files;
    for (const auto& files : files_by_image) {
      first_files.push_back(files.at(0));
    }
    out.names = batch_names(first_files, counts);
  }
  out.images = decode_layers(layers, anchors, classes, out.net_width, out.net_height,
                             {opts.score, opts.overlap});
  return out;
}

decoded run_layer_files(const options& opts) {
  if (opts.classes < 1) {
    throw input_error("layers need the class count: --classes N (at least 1)");
  }
  if (!opts.masks.empty() && opts.masks.size() != opts.files.size()) {
    throw input_error("--mask given " + std::to_string(opts.masks.size()) + " times for " +
                      std::to_string(opts.files.size()) + " layers; give it once per layer");
  }
  if (opts.masks.empty() && opts.files.size() > 1) {
    throw input_error("several layers need one --mask per layer, e.g. --mask 3,4,5 --mask 0,1,2");
  }
  if (opts.xy_scales.size() != 1 && opts.xy_scales.size() != opts.files.size()) {
    throw input_error("--xy-scale takes one value or one per layer");
  }
  std::vector<layer_settings> settings(opts.files.size());
  for (std::size_t l = 0; l < settings.size(); ++l) {
    if (!opts.masks.empty()) {
      settings[l].mask = parse_mask(opts.masks[l]);
    }
    settings[l].xy_scale = opts.xy_scales.size() == 1 ? opts.xy_scales[0] : opts.xy_scales[l];
    settings[l].preactivated = opts.preactivated;
  }
  return run_layers(opts, {opts.files}, settings, opts.anchors, opts.classes, decoded{});
}

// The manifest format of the real-network fixtures: net size, layer settings,
// and per image its layer files and sealed tensor, relative to the manifest.
decoded run_manifest(const options& opts) {
  std::ifstream in(opts.manifest);
  if (!in) {
    throw input_error(opts.manifest + ": cannot open: " + std::strerror(errno));
  }
  const std::size_t slash = opts.manifest.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : opts.manifest.substr(0, slash);
  try {
    const nlohmann::json manifest = nlohmann::json::parse(in);
    decoded out;
    out.net_width = manifest.at("net").at("width").get<std::int32_t>();
    out.net_height = manifest.at("net").at("height").get<std::int32_t>();
    if (manifest.contains("names")) {
      out.class_names = read_names(dir + "/" + manifest.at("names").get<std::string>());
    }
    std::vector<layer_settings> settings;
    std::vector<float> anchors;
    std::int32_t classes = -1;
    for (const auto& layer : manifest.at("layers")) {
      layer_settings entry;
      entry.mask = layer.at("mask").get<std::vector<std::int32_t>>();
      entry.xy_scale = layer.at("xy_scale").get<float>();
      entry.preactivated = layer.at("preactivated").get<int>() != 0;
      settings.push_back(entry);
      const auto layer_anchors = layer.at("anchors").get<std::vector<float>>();
      const auto layer_classes = layer.at("classes").get<std::int32_t>();
      if ((!anchors.empty() && layer_anchors != anchors) ||
          (classes >= 0 && layer_classes != classes)) {
        throw input_error(opts.manifest + ": layers with different anchors or class counts");
      }
      anchors = layer_anchors;
      classes = layer_classes;
    }
    std::map<std::string, nlohmann::json> by_name;
    std::vector<std::string> all_names;
    for (const auto& image : manifest.at("images")) {
      const auto name = image.at("name").get<std::string>();
      by_name[name] = image;
      all_names.push_back(name);
    }
    std::vector<std::string> picked = opts.picked.empty() ? all_names : opts.picked;
    for (const std::string& name : picked) {
      if (by_name.count(name) == 0) {
        std::string known;
        for (const std::string& n : all_names) {
          known += (known.empty() ? "" : ", ") + n;
        }
        throw input_error(opts.manifest + ": no image named '" + name + "' (it has: " + known +
                          ")");
      }
    }
    if (picked.empty()) {
      throw input_error(opts.manifest + ": lists no images");
    }
    out.names = picked;
    if (opts.use_sealed) {
      std::vector<std::string> files;
      for (const std::string& name : picked) {
        files.push_back(dir + "/" + by_name[name].at("sealed").get<std::string>());
      }
      return run_sealed(opts, files, classes, out);
    }
    std::vector<std::vector<std::string>> files_by_image;
    for (const std::string& name : picked) {
      std::vector<std::string> files;
      for (const auto& file : by_name[name].at("layers")) {
        files.push_back(dir + "/" + file.get<std::string>());
      }
      if (files.size() != settings.size()) {
        throw input_error(opts.manifest + ": image '" + name + "' has " +
                          std::to_string(files.size()) + " layer files for " +
                          std::to_string(settings.size()) + " layers");
      }
      files_by_image.push_back(files);
    }
    return run_layers(opts, files_by_image, settings, anchors, classes, out);
  } catch (const nlohmann::json::exception& error) {
    throw input_error(opts.manifest + ": not a usable manifest: " + error.what());
  }
}

// The class ids --classes names, by number or by a name of the names file.
std::vector<std::int32_t> allowed_classes(const std::vector<std::string>& given,
                                          const std::vector<std::string>& names) {
  std::vector<std::int32_t> ids;
  for (const std::string& item : given) {
    std::size_t used = 0;
    long value = -1;
    try {
      value = std::stol(item, &used);
    } catch (const std::logic_error&) {
      used = 0;
    }
    if (!item.empty() && used == item.size() && value >= 0 && value <= 0x7fffffff) {
      ids.push_back(static_cast<std::int32_t>(value));
      continue;
    }
    const auto found = std::find(names.begin(), names.end(), item);
    if (found == names.end()) {
      throw input_error("--classes: '" + item + "' is " +
                        (names.empty() ? "not a class id (give --names to use class names)"
                                       : "neither a class id nor a name in the --names file"));
    }
    ids.push_back(static_cast<std::int32_t>(found - names.begin()));
  }
  return ids;
}

// How the original images were fitted to the network input, when asked.
std::optional<quelt_image_geometry> image_geometry(const options& opts, std::int32_t net_width,
                                                   std::int32_t net_height,
                                                   const std::optional<picture>& background) {
  if (!opts.letterbox && !opts.stretch) {
    if (!opts.image_size.empty()) {
      throw input_error(
          "--image-size needs --letterbox or --stretch: how the images were fitted to the "
          "network input");
    }
    return std::nullopt;
  }
  float width = 0;
  float height = 0;
  if (!opts.image_size.empty()) {
    width = opts.image_size[0];
    height = opts.image_size[1];
  } else if (background) {
    width = static_cast<float>(background->width);
    height = static_cast<float>(background->height);
  } else {
    throw input_error(std::string(opts.letterbox ? "--letterbox" : "--stretch") +
                      " needs the original image size: --image-size WIDTH HEIGHT, or --image");
  }
  // Written so that NaN fails too.
  if (!(width > 0 && height > 0)) {
    throw input_error("--image-size must be positive");
  }
  return opts.letterbox ? quelt_geometry_letterbox(net_width, net_height, width, height)
                        : quelt_geometry_stretch(net_width, net_height, width, height);
}

decoded run_tensors(options opts, const std::vector<std::string>& class_names,
                    const std::optional<picture>& background, report_context& context) {
  decoded out;
  take_size(opts, out);
  const bool separate = opts.request.layout.rfind("separate", 0) == 0;
  const bool levels = opts.request.layout == "levels";
  if (!levels && opts.tensor_files.size() != 1) {
    throw input_error("--layout " + opts.request.layout + " reads one tensor file, got " +
                      std::to_string(opts.tensor_files.size()));
  }
  if (levels && !opts.scores_file.empty()) {
    throw input_error("--scores goes with --layout separate or separate-by-class");
  }
  std::vector<tensor_input> maps;
  if (levels) {
    const std::size_t per_level = opts.request.keypoints > 0 ? 3 : 2;
    for (std::size_t f = 0; f < opts.tensor_files.size(); ++f) {
      maps.push_back(load_tensor(opts.tensor_files[f], 4,
                                 f % per_level == 0   ? "(batch, 4 x bins, H, W) box distributions"
                                 : f % per_level == 1 ? "(batch, classes, H, W) class scores"
                                                      : "(batch, 3 x keypoints, H, W) keypoints"));
    }
  } else {
    maps.push_back(load_tensor(opts.tensor_files[0], 3,
                               separate ? "(batch, candidates, 4)" : "a batch of predictions"));
  }
  const tensor_input& predictions = maps[0];
  std::optional<tensor_input> scores;
  if (!opts.scores_file.empty()) {
    scores = load_tensor(opts.scores_file, 3,
                         "(batch, candidates, classes) or (batch, classes, candidates)");
  }
  std::optional<tensor_input> prototypes;
  if (!opts.masks_file.empty()) {
    prototypes = load_tensor(opts.masks_file, 4, "(batch, C, H, W) mask prototypes");
  }
  std::vector<tensor_input*> inputs;
  for (tensor_input& map : maps) {
    inputs.push_back(&map);
  }
  if (scores) {
    inputs.push_back(&*scores);
  }
  if (prototypes) {
    inputs.push_back(&*prototypes);
  }
  set_quantization(inputs, opts.quant);
  out.names =
      batch_names({opts.tensor_files[0]}, {static_cast<std::int64_t>(predictions.shape[0])});
  if (!opts.allowed.empty()) {
    opts.request.classes = allowed_classes(opts.allowed, class_names);
    opts.request.filter_classes = true;
  }
  const auto geometry = image_geometry(opts, out.net_width, out.net_height, background);
  if (geometry) {
    opts.request.geometry = &*geometry;
    context.image_width = geometry->original_width;
    context.image_height = geometry->original_height;
  }
  if (levels) {
    out.images = decode_level_tensors(maps, out.net_width, out.net_height,
                                      {opts.score, opts.overlap}, opts.request, &out.keypoints);
    return out;
  }
  if (levels && prototypes) {
    throw input_error("--masks goes with --layout columns, rows or rows-objectness");
  }
  out.images =
      decode_tensors(predictions, scores ? &*scores : nullptr, out.net_width, out.net_height,
                     {opts.score, opts.overlap}, opts.request, &out.keypoints,
                     prototypes ? &*prototypes : nullptr, &out.masks, &out.rotated);
  return out;
}

std::string svg_name(const std::string& base, const std::string& image, bool several) {
  if (!several) {
    return base;
  }
  const std::size_t dot = base.rfind('.');
  const std::size_t slash = base.find_last_of('/');
  std::string safe;
  for (const char c : image) {
    safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
  }
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return base + "-" + safe;
  }
  return base.substr(0, dot) + "-" + safe + base.substr(dot);
}

void write_file(const std::string& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) {
    throw input_error(file + ": cannot create: " + std::strerror(errno));
  }
  out << text;
  out.flush();
  if (!out) {
    throw input_error(file + ": write error");
  }
}

int run(const options& opts, const std::string& command) {
  report_context context;
  std::optional<picture> background;
  if (command == "decode" && !opts.image_file.empty()) {
    // Its size may be the original image size the boxes are mapped to.
    background = load_picture(opts.image_file);
  }
  decoded result;
  if (command == "sealed") {
    result = run_sealed(opts, opts.files, opts.classes, decoded{});
  } else if (command == "layers") {
    result = run_layer_files(opts);
  } else if (command == "decode") {
    const std::vector<std::string> names =
        opts.names_file.empty() ? std::vector<std::string>{} : read_names(opts.names_file);
    result = run_tensors(opts, names, background, context);
  } else {
    result = run_manifest(opts);
  }
  context.net_width = result.net_width;
  context.net_height = result.net_height;
  context.names = opts.names_file.empty() ? result.class_names : read_names(opts.names_file);

  std::vector<image_result> images;
  for (std::size_t i = 0; i < result.images.size(); ++i) {
    images.push_back(image_result{
        i < result.names.size() ? result.names[i] : "image " + std::to_string(i),
        std::move(result.images[i]), i < result.keypoints.size() ? opts.request.keypoints : 0,
        i < result.keypoints.size() ? std::move(result.keypoints[i]) : image_keypoints{},
        i < result.masks.size() ? std::move(result.masks[i]) : image_masks{},
        i < result.rotated.size() ? std::move(result.rotated[i]) : image_rotated{}});
  }

  if (!opts.image_file.empty()) {
    if (images.size() != 1) {
      throw input_error("--image draws over one image, but the input holds " +
                        std::to_string(images.size()) + "; pick one");
    }
    if (!background) {
      background = load_picture(opts.image_file);
    }
  }
  if (!opts.svg_file.empty()) {
    for (const image_result& image : images) {
      write_file(svg_name(opts.svg_file, image.name, images.size() > 1),
                 render_svg(image, context, background));
    }
  }

  if (opts.format == "json") {
    write_json(std::cout, images, context);
  } else if (opts.format == "csv") {
    write_csv(std::cout, images, context);
  } else {
    write_table(std::cout, images, context);
  }
  std::cout.flush();
  if (!std::cout) {
    throw input_error("cannot write to standard output");
  }
  return 0;
}

}  // namespace

}  // namespace quelt::cli

int main(int argc, char** argv) {
  using quelt::cli::options;
  options opts;
  CLI::App app{"Decode YOLO network outputs saved as float32 .npy files with quelt.", "quelt"};
  app.set_version_flag("--version", QUELT_VERSION_STRING);
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(
      "Box corners are fractions of the network input, or original-image pixels when\n"
      "'decode' is given --letterbox or --stretch. Thresholds take one value for every\n"
      "image or a comma-separated list with one per image.\n"
      "Run 'quelt COMMAND --help' for the options of a command.");

  app.add_option("--score", opts.score, "detection threshold(s), 0..1 (default 0.25)")
      ->delimiter(',');
  app.add_option("--overlap", opts.overlap, "overlap (IoU) threshold(s), 0..1 (default 0.45)")
      ->delimiter(',');
  app.add_option("--size", opts.size, "network input WIDTH [HEIGHT] in pixels")->expected(1, 2);
  app.add_option("--format", opts.format, "output: table, json or csv (default table)")
      ->check(CLI::IsMember({"table", "json", "csv"}));
  app.add_option("--names", opts.names_file, "class names, one a line, in class-id order");
  app.add_option("--svg", opts.svg_file,
                 "write the boxes as an SVG picture (several images: FILE-NAME.svg each)");
  app.add_option("--image", opts.image_file,
                 "PNG, JPEG or GIF the network saw, drawn under the boxes (else a blank canvas)");

  CLI::App* sealed = app.add_subcommand(
      "sealed", "decode sealed tensors: float32, shape (batch, rows, classes + 5)");
  sealed->add_option("tensors", opts.files, "one or more .npy files, stacked into one batch")
      ->required();
  sealed->add_option("--classes", opts.classes, "class count the rows must fit");

  CLI::App* layers = app.add_subcommand(
      "layers", "decode raw Darknet YOLO layers: float32, shape (batch, height, width, channels)");
  layers->add_option("layers", opts.files, "one .npy file per output layer, in layer order")
      ->required();
  layers->add_option("--classes", opts.classes, "number of classes")->required();
  layers->add_option("--anchors", opts.anchors, "anchor (width, height) pairs, comma-separated")
      ->delimiter(',')
      ->required();
  layers->add_option("--mask", opts.masks,
                     "anchor pairs a layer uses, e.g. 3,4,5; once per layer, in layer order");
  layers->add_option("--xy-scale", opts.xy_scales, "centre offset scale, one or one per layer")
      ->delimiter(',');
  layers->add_flag("--preactivated", opts.preactivated,
                   "the network already applied the logistic function");

  CLI::App* tensors = app.add_subcommand(
      "decode",
      "decode box predictions: anchor-free columns, rows, separate box and score tensors, "
      "end-to-end rows");
  tensors
      ->add_option("tensor", opts.tensor_files,
                   ".npy (float32, float16, or int8, uint8, int16, uint16 with --quant): the "
                   "predictions, or the boxes for the separate layouts, or for --layout levels "
                   "the files BOX CLS of every level")
      ->required();
  std::string layout_help = "how the tensor holds the candidates:";
  std::vector<std::string> layout_names;
  for (const auto& [name, shape] : quelt::cli::tensor_layouts()) {
    layout_help += "\n  " + name + ": " + shape;
    layout_names.push_back(name);
  }
  tensors->add_option("--layout", opts.request.layout, layout_help)
      ->required()
      ->check(CLI::IsMember(layout_names));
  tensors->add_option("--scores", opts.scores_file, "the class scores of the separate layouts");
  tensors->add_option("--masks", opts.masks_file,
                      "instance mask prototypes (batch, C, H, W): the last C values of each "
                      "candidate are its mask coefficients; the SVG draws each mask");
  tensors
      ->add_option("--quant", opts.quant,
                   "SCALE,ZERO_POINT of integer files, a value being (q - ZERO_POINT) x "
                   "SCALE: once for every integer file, or once per integer file in the "
                   "order given (--scores last)")
      ->allow_extra_args(false);
  tensors
      ->add_option("--strides", opts.request.strides,
                   "levels: pixels per cell of each level (default: network width / W)")
      ->delimiter(',')
      ->check(CLI::Range(1, 0x7fffffff));
  tensors
      ->add_option("--bins", opts.request.bins,
                   "levels: box channels per side (default: the box channels / 4; 1: distances)")
      ->check(CLI::Range(1, 0x7fffffff));
  tensors
      ->add_option("--image-size", opts.image_size,
                   "original image WIDTH HEIGHT: boxes come out in its pixels (default: the "
                   "size in the header of --image)")
      ->expected(2);
  CLI::Option* letterbox =
      tensors->add_flag("--letterbox", opts.letterbox,
                        "the images were scaled to fit and padded equally on both sides");
  tensors->add_flag("--stretch", opts.stretch, "the images were resized to the network input")
      ->excludes(letterbox);
  tensors
      ->add_option("--max-det", opts.request.max_detections,
                   "at most N detections per image, the highest scores (default 0: all)")
      ->check(CLI::Range(0, 0x7fffffff));
  tensors->add_flag("--agnostic", opts.request.agnostic,
                    "suppress overlapping boxes across classes");
  tensors->add_flag("--multi-label", opts.request.multi_label,
                    "a detection for every class that passes, not only the best");
  tensors
      ->add_option("--classes", opts.allowed,
                   "keep only these classes: ids, or names of the --names file")
      ->delimiter(',');
  tensors
      ->add_option("--keypoints", opts.request.keypoints,
                   "pose: K keypoints (x, y, visibility) after the classes (rows, columns), or "
                   "a third map per level (raw terms); drawn with --svg, 17 as COCO's skeleton")
      ->check(CLI::Range(1, 0x7fffffff / 3));
  tensors->add_flag("--logits", opts.request.logits,
                    "scores are raw network values: apply the logistic function");
  tensors->add_flag("--degrees", opts.request.degrees,
                    "--layout obb: the angles are in degrees (default radians)");
  tensors->add_flag("--counterclockwise", opts.request.counterclockwise,
                    "--layout obb: a positive angle turns counter-clockwise on the image "
                    "(default clockwise, x toward y)");
  tensors->add_flag("--probabilistic", opts.request.probabilistic,
                    "--layout obb: suppress by the Gaussian (probabilistic) overlap instead of "
                    "the exact one");
  tensors->add_flag("--corners", opts.request.corners,
                    "boxes are x_min, y_min, x_max, y_max (default centre x, centre y, width, "
                    "height; end-to-end rows always hold corners)");

  CLI::App* manifest = app.add_subcommand(
      "manifest", "decode the images a JSON manifest lists (net size, layers, files)");
  manifest->add_option("manifest", opts.manifest, "the manifest .json file")->required();
  manifest->add_option("--name", opts.picked, "image(s) to decode (default: all, as one batch)");
  manifest->add_flag("--sealed", opts.use_sealed, "decode the sealed tensors instead of layers");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "quelt: " << e.what() << " (run 'quelt --help')\n";
    return 2;
  }
  const std::string command = sealed->parsed()    ? "sealed"
                              : layers->parsed()  ? "layers"
                              : tensors->parsed() ? "decode"
                                                  : "manifest";
  try {
    return quelt::cli::run(opts, command);
  } catch (const std::exception& error) {
    std::cerr << "quelt: " << error.what() << "\n";
    return 1;
  }
}
