#include "reference/reference.hpp"

#include <cmath>
#include <cstddef>

#include "framework/exponential.hpp"

namespace quelt_reference {

namespace {

float sigma(float v) {
  const float e = sorvanta::framework::rounded_exp(-v);  // the single-precision exponential
  const float sum = e + 1.0f;
  return 1.0f / sum;
}

float row_overlap(const float* a, const float* b) {
  float ix_min = a[0];
  if (b[0] > a[0])
    ix_min = b[0];
  float ix_max = a[2];
  if (b[2] < a[2])
    ix_max = b[2];
  float iy_min = a[1];
  if (b[1] > a[1])
    iy_min = b[1];
  float iy_max = a[3];
  if (b[3] < a[3])
    iy_max = b[3];
  if (ix_min >= ix_max || iy_min >= iy_max) {
    return 0.0f;
  }
  const float inter = (iy_max - iy_min) * (ix_max - ix_min);
  const float area_a = (a[3] - a[1]) * (a[2] - a[0]);
  const float area_b = (b[3] - b[1]) * (b[2] - b[0]);
  return inter / ((area_b + area_a) - inter);
}

}  // namespace

void activate_yolo_output(output_tensor output, int anchors, int classes, float xy_scale,
                          bool preactivated) {
  const std::uint64_t count = output.batch * output.width * output.height *
                              static_cast<std::uint64_t>(static_cast<std::int64_t>(anchors));
  const std::size_t length = static_cast<std::size_t>(classes) + 5;
  const float offset = (xy_scale - 1.0f) * 0.5f;
  for (std::uint64_t n = 0; n < count; ++n) {
    float* v = output.data + n * length;
    if (preactivated) {
      v[0] = xy_scale * v[0] - offset;
      v[1] = xy_scale * v[1] - offset;
    } else {
      v[0] = sigma(v[0]) * xy_scale - offset;
      v[1] = sigma(v[1]) * xy_scale - offset;
      for (std::size_t p = 4; p < length; ++p) {
        v[p] = sigma(v[p]);
      }
    }
  }
}

std::vector<std::vector<float>> get_yolo_boxes(std::vector<yolo_output>& layers, int classes,
                                               int net_width, int net_height,
                                               float* conf_thresholds) {
  const std::uint64_t images = layers[0].output.batch;
  std::vector<std::vector<float>> lists(images);
  const std::size_t length = static_cast<std::size_t>(classes) + 5;
  for (yolo_output& layer : layers) {
    float* cursor = layer.output.data;
    for (std::uint64_t i = 0; i < images; ++i) {
      const float t = conf_thresholds[i];
      for (std::uint64_t gy = 0; gy < layer.output.height; ++gy) {
        for (std::uint64_t gx = 0; gx < layer.output.width; ++gx) {
          for (std::uint64_t k = 0; k < layer.mask_size; ++k) {
            float* v = cursor;
            cursor += length;
            if (!(v[4] > t)) {
              continue;
            }
            for (std::size_t p = 5; p < length; ++p) {
              const float q = v[4] * v[p];
              if (q > t) {
                v[p] = q;
              } else {
                v[p] = 0.0f;
              }
            }
            const int a = layer.mask[k];
            const float aw = layer.anchors[2 * a];
            const float ah = layer.anchors[2 * a + 1];
            const float x =
                (static_cast<float>(gx) + v[0]) / static_cast<float>(layer.output.width);
            const float y =
                (static_cast<float>(gy) + v[1]) / static_cast<float>(layer.output.height);
            const float nw = static_cast<float>(net_width);
            const float nh = static_cast<float>(net_height);
            float w;
            float h;
            if (layer.preactivated != 0) {
              w = (((v[2] * v[2]) * 4.0f) * aw) / nw;
              h = (((v[3] * v[3]) * 4.0f) * ah) / nh;
            } else {
              w = (sorvanta::framework::rounded_exp(v[2]) * aw) / nw;
              h = (sorvanta::framework::rounded_exp(v[3]) * ah) / nh;
            }
            const float hw = w * 0.5f;
            const float hh = h * 0.5f;
            std::vector<float>& list = lists[i];
            list.push_back(x - hw);
            list.push_back(y - hh);
            list.push_back(x + hw);
            list.push_back(y + hh);
            for (std::size_t p = 4; p < length; ++p) {
              list.push_back(v[p]);
            }
          }
        }
      }
    }
  }
  return lists;
}

void descending_sort_yolo_boxes(std::vector<float>& rows, int classes, int class_index) {
  const std::size_t stride = static_cast<std::size_t>(classes) + 5;
  const std::size_t n = rows.size() / stride;
  if (n < 2) {
    return;
  }
  const std::size_t key = 5 + static_cast<std::size_t>(class_index);
  for (std::size_t pass = 0; pass <= n - 2; ++pass) {
    for (std::size_t j = 0; j <= n - 2 - pass; ++j) {
      float* upper = &rows[j * stride];
      float* lower = &rows[(j + 1) * stride];
      if (lower[key] > upper[key]) {
        for (std::size_t f = 0; f < stride; ++f) {
          const float keep = upper[f];
          upper[f] = lower[f];
          lower[f] = keep;
        }
      }
    }
  }
}

void do_nms_sort(std::vector<std::vector<float>>& boxes, int classes, float* nms_thresholds) {
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const float t = nms_thresholds[i];
    std::vector<float>& rows = boxes[i];
    if (rows.empty() || classes <= 0) {
      continue;
    }
    const std::size_t stride = static_cast<std::size_t>(classes) + 5;
    const std::size_t n = rows.size() / stride;
    for (int k = 0; k < classes; ++k) {
      descending_sort_yolo_boxes(rows, classes, k);
      for (std::size_t a = 0; a < n; ++a) {
        float* row_a = &rows[a * stride];
        if (row_a[5 + k] == 0.0f) {
          continue;
        }
        for (std::size_t b = a + 1; b < n; ++b) {
          float* row_b = &rows[b * stride];
          if (row_b[5 + k] == 0.0f) {
            continue;
          }
          if (row_overlap(row_a, row_b) >= t) {
            row_b[5 + k] = 0.0f;
          }
        }
      }
    }
  }
}

detections process_yolo_detections(yolo_output* outputs, std::uint64_t outputs_count,
                                   net_params net, float* conf_thresholds, float* nms_thresholds) {
  const int classes = outputs[0].classes;
  std::vector<std::vector<float>> copies(outputs_count);
  std::vector<yolo_output> layers;
  for (std::uint64_t l = 0; l < outputs_count; ++l) {
    yolo_output layer = outputs[l];
    const output_tensor& t = layer.output;
    const std::uint64_t n = t.batch * t.height * t.width * t.channels;
    if (n != 0) {
      copies[l].assign(t.data, t.data + n);
      layer.output.data = copies[l].data();
    } else {
      layer.output.data = nullptr;
    }
    layers.push_back(layer);
  }
  for (yolo_output& layer : layers) {
    activate_yolo_output(layer.output, static_cast<int>(layer.mask_size), layer.classes,
                         layer.xy_scale, layer.preactivated != 0);
  }
  std::vector<std::vector<float>> boxes =
      get_yolo_boxes(layers, classes, net.width, net.height, conf_thresholds);
  do_nms_sort(boxes, classes, nms_thresholds);

  detections result;
  const std::size_t stride = static_cast<std::size_t>(classes) + 5;
  for (const std::vector<float>& rows : boxes) {
    std::vector<object_detection> records;
    for (std::size_t r = 0; r < rows.size() / stride; ++r) {
      const float* row = &rows[r * stride];
      float best_value = row[5];
      int best_class = 0;
      for (int j = 1; j < classes; ++j) {
        if (row[5 + j] > best_value) {
          best_value = row[5 + j];
          best_class = j;
        }
      }
      if (best_value == 0.0f) {
        continue;
      }
      records.push_back(
          object_detection{row[0], row[1], row[2], row[3], best_class, row[4], best_value});
    }
    records.shrink_to_fit();
    result.push_back(records);
  }
  return result;
}

}  // namespace quelt_reference
