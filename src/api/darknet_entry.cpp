// The exported entry of the Darknet-layer path, with the checks that keep
// descriptors which contradict themselves away from the decoder.
#include <cstdint>
#include <limits>

#include "../darknet/darknet_driver.hpp"
#include "../framework/exception.hpp"
#include "../framework/string_builder.hpp"
#include "object_handler.hpp"
#include "status_frame.hpp"

using sorvanta::framework::_bs;
using sorvanta::framework::reject;

namespace quelt::api {

namespace {

// a x b x ..., or false when the product does not fit in 64 bits.
bool checked_product(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return false;
  }
  product = a * b;
  return true;
}

// Rejects what the descriptors themselves show to be inconsistent: every such
// call would otherwise read outside the caller's buffers or decode garbage.
// The lengths of mask, anchors and the threshold arrays are not passed, so
// they remain the caller's duty.
void validate_darknet_call(const yolo_output* outputs, std::uint64_t outputs_count,
                           const float* conf_thresholds, const float* nms_thresholds) {
  if (outputs == nullptr || outputs_count == 0) {
    reject("process_yolo_detections: no layers (outputs is null or outputs_count is 0)");
  }
  const yolo_output& first = outputs[0];
  if (first.classes < 1) {
    reject(_bs("yolo_output[0].classes = ", first.classes, ": at least 1 class is required"));
  }
  const std::uint64_t images = first.output.batch;

  for (std::uint64_t l = 0; l < outputs_count; ++l) {
    const yolo_output& layer = outputs[l];
    const output_tensor& tensor = layer.output;
    const std::string name = _bs("yolo_output[", l, "]");

    if (layer.classes != first.classes) {
      reject(_bs(name, ".classes = ", layer.classes, " differs from yolo_output[0].classes = ",
                 first.classes, ": all layers must share one class count"));
    }
    if (tensor.batch != images) {
      reject(_bs(name, ".output.batch = ", tensor.batch,
                 " differs from yolo_output[0].output.batch = ", images,
                 ": all layers must share one image count"));
    }
    if (layer.mask_size > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      reject(_bs(name, ".mask_size = ", layer.mask_size, " is beyond the int32 range"));
    }
    const std::uint64_t record_length = static_cast<std::uint64_t>(layer.classes) + 5;
    std::uint64_t expected_channels = 0;
    if (!checked_product(layer.mask_size, record_length, expected_channels) ||
        tensor.channels != expected_channels) {
      reject(_bs(name, ".output.channels = ", tensor.channels,
                 " does not match mask_size x (classes + 5) = ", layer.mask_size, " x ",
                 record_length));
    }
    std::uint64_t records = 0;
    std::uint64_t values = 0;
    if (!checked_product(images, tensor.height, records) ||
        !checked_product(records, tensor.width, records) ||
        !checked_product(records, tensor.channels, values)) {
      reject(_bs(name, ": batch x height x width x channels = ", images, " x ", tensor.height,
                 " x ", tensor.width, " x ", tensor.channels, " does not fit in 64 bits"));
    }
    records *= layer.mask_size;  // cannot overflow: mask_size <= channels
    if (records == 0) {
      continue;  // nothing of this layer is read
    }
    if (tensor.data == nullptr) {
      reject(_bs(name, ".output.data is null, but the layer has ", records, " records to read"));
    }
    if (layer.mask == nullptr) {
      reject(_bs(name, ".mask is null, but the layer has ", records, " records to read"));
    }
    if (layer.anchors == nullptr) {
      reject(_bs(name, ".anchors is null, but the layer has ", records, " records to read"));
    }
    for (std::uint64_t k = 0; k < layer.mask_size; ++k) {
      if (layer.mask[k] < 0) {
        reject(_bs(name, ".mask[", k, "] = ", layer.mask[k],
                   ": a mask entry must name an anchor pair (0 or more)"));
      }
    }
  }

  if (images != 0 && conf_thresholds == nullptr) {
    reject(_bs("conf_thresholds is null, but the batch has ", images, " images"));
  }
  if (images != 0 && nms_thresholds == nullptr) {
    reject(_bs("nms_thresholds is null, but the batch has ", images, " images"));
  }
}

// The same rules for quelt_decode_darknet, with its one-line texts naming
// the field; null thresholds and masks are refused the same way.
void check_darknet_details_call(const yolo_output* outputs, std::uint64_t outputs_count,
                                const float* conf_thresholds, const float* nms_thresholds) {
  if (outputs == nullptr || outputs_count == 0) {
    reject(_bs(outputs == nullptr ? "outputs: NULL" : "outputs_count: 0",
               "; an array of 1 or more yolo_output"));
  }
  const yolo_output& first = outputs[0];
  if (first.classes < 1) {
    reject(_bs("outputs[0].classes: ", first.classes, " is below 1; 1 class or more"));
  }
  const std::uint64_t images = first.output.batch;
  for (std::uint64_t l = 0; l < outputs_count; ++l) {
    const yolo_output& layer = outputs[l];
    const output_tensor& tensor = layer.output;
    const std::string name = _bs("outputs[", l, "]");
    if (layer.classes != first.classes) {
      reject(_bs(name, ".classes: ", layer.classes, " differs from outputs[0].classes (",
                 first.classes, "); one class count for all layers"));
    }
    if (tensor.batch != images) {
      reject(_bs(name, ".output.batch: ", tensor.batch, " differs from outputs[0].output.batch (",
                 images, "); one image count for all layers"));
    }
    if (layer.mask_size > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      reject(_bs(name, ".mask_size: ", layer.mask_size, " is beyond int32; up to 2147483647"));
    }
    const std::uint64_t record_length = static_cast<std::uint64_t>(layer.classes) + 5;
    std::uint64_t expected_channels = 0;
    if (!checked_product(layer.mask_size, record_length, expected_channels) ||
        tensor.channels != expected_channels) {
      reject(_bs(name, ".output.channels: ", tensor.channels,
                 " is not mask_size x (classes + 5) = ", layer.mask_size, " x ", record_length,
                 "; that many channels a cell"));
    }
    std::uint64_t records = 0;
    std::uint64_t values = 0;
    if (!checked_product(images, tensor.height, records) ||
        !checked_product(records, tensor.width, records) ||
        !checked_product(records, tensor.channels, values) ||
        values > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      reject(_bs(name, ".output: ", images, " x ", tensor.height, " x ", tensor.width, " x ",
                 tensor.channels, " values do not fit in 64 bits; a tensor that can exist"));
    }
    records *= layer.mask_size;
    if (records == 0) {
      continue;
    }
    if (tensor.data == nullptr) {
      reject(_bs(name, ".output.data: NULL, but the layer has ", records,
                 " records to read; the layer's values"));
    }
    if (layer.mask == nullptr) {
      reject(_bs(name, ".mask: NULL, but the layer has ", records,
                 " records to read; mask_size anchor indices"));
    }
    if (layer.anchors == nullptr) {
      reject(_bs(name, ".anchors: NULL, but the layer has ", records,
                 " records to read; the anchor pairs"));
    }
    for (std::uint64_t k = 0; k < layer.mask_size; ++k) {
      if (layer.mask[k] < 0) {
        reject(_bs(name, ".mask[", k, "]: ", layer.mask[k],
                   " is negative; the index of an anchor pair, 0 or more"));
      }
    }
  }
  if (images != 0 && conf_thresholds == nullptr) {
    reject(_bs("conf_thresholds: NULL, but the batch has ", images,
               " images; one threshold per image"));
  }
  if (images != 0 && nms_thresholds == nullptr) {
    reject(_bs("nms_thresholds: NULL, but the batch has ", images,
               " images; one threshold per image"));
  }
}

}  // namespace
}  // namespace quelt::api

extern "C" QUELT_API return_status process_yolo_detections(const yolo_output* outputs,
                                                           uint64_t outputs_count, net_params net,
                                                           const float* conf_thresholds,
                                                           const float* nms_thresholds,
                                                           object_handler* out_handler) {
  return quelt::api::run_in_status_frame([&] {
    quelt::api::reset_output_handle(out_handler);
    quelt::api::validate_darknet_call(outputs, outputs_count, conf_thresholds, nms_thresholds);
    // The driver reads these arrays only; its C++ signature predates const.
    quelt::api::publish_batch(*out_handler, [&] {
      return quelt::process_yolo_detections(const_cast<yolo_output*>(outputs), outputs_count, net,
                                            const_cast<float*>(conf_thresholds),
                                            const_cast<float*>(nms_thresholds));
    });
  });
}

extern "C" QUELT_API return_status quelt_decode_darknet(const yolo_output* outputs,
                                                        uint64_t outputs_count, net_params net,
                                                        const float* conf_thresholds,
                                                        const float* nms_thresholds,
                                                        object_handler* out_handler) {
  return quelt::api::run_in_plain_status_frame("quelt_decode_darknet", [&] {
    if (out_handler == nullptr) {
      reject("out_handler: NULL; the address of an object_handler to fill");
    }
    quelt::api::reset_output_handle(out_handler);
    quelt::api::check_darknet_details_call(outputs, outputs_count, conf_thresholds, nms_thresholds);
    quelt::api::publish_details(*out_handler, [&] {
      sorvanta::framework::detailed_detections batch;
      batch.records = quelt::detail::decode_darknet_layers(
          outputs, outputs_count, net, conf_thresholds, nms_thresholds, &batch.sources);
      batch.network_width = net.width;
      batch.network_height = net.height;
      // No boxes in network pixels: these batches keep their sources only.
      batch.network_boxes.resize(batch.records.size());
      return batch;
    });
  });
}
