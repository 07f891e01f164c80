// The exported entry of the sealed-output path. The driver itself rejects
// what it cannot decode safely, so direct C++ callers get the same checks.
#include <cstdint>

#include "../sealed/sealed_driver.hpp"
#include "object_handler.hpp"
#include "status_frame.hpp"

extern "C" QUELT_API return_status process_yolo_sealed_output_detections(
    float* sealed_output, int64_t boxes_count, int64_t batch_size, int32_t classes,
    const float* conf_thresholds, const float* nms_thresholds, int32_t width, int32_t height,
    object_handler* out_handler) {
  return quelt::api::run_in_status_frame([&] {
    quelt::api::reset_output_handle(out_handler);
    // The driver only reads the thresholds; its C++ signature predates const.
    quelt::api::publish_batch(*out_handler, [&] {
      return quelt::process_yolo_sealed_output_detections(
          sealed_output, boxes_count, batch_size, classes, const_cast<float*>(conf_thresholds),
          const_cast<float*>(nms_thresholds), width, height);
    });
  });
}
