// Handles, the detections batch behind them, and the checks that guard every
// accessor.
#ifndef QUELT_API_OBJECT_HANDLER_HPP
#define QUELT_API_OBJECT_HANDLER_HPP

#include <cstdint>
#include <memory>

#include "../framework/detections.hpp"
#include "quelt/quelt.h"

namespace quelt {

// What a handle of type detections_batch points to.
using sorvanta::framework::detections_list;
// What a handle of type quelt_details_batch points to.
using sorvanta::framework::detailed_detections;

}  // namespace quelt

QUELT_API const char* object_type_str(object_type type) noexcept;
QUELT_API void check_object_handler_type(object_handler handler, object_type expected);
QUELT_API void validate_batch_idx(std::uint64_t batch_size, std::uint64_t batch_idx);

namespace quelt::api {

// Puts the caller's handle into the "no batch" state a failed decoding call
// leaves behind. Rejects a null handle pointer instead of writing through it.
void reset_output_handle(object_handler* out_handler);

// Runs the driver and hands its result to the caller's handle; the batch is
// released again if anything fails before the handle owns it.
template <class Driver>
void publish_batch(object_handler& out_handler, Driver&& driver) {
  auto batch = std::make_unique<detections_list>();
  *batch = driver();
  out_handler.object = batch.release();
}

// The same for a driver that builds a details batch.
template <class Driver>
void publish_details(object_handler& out_handler, Driver&& driver) {
  auto batch = std::make_unique<detailed_detections>();
  *batch = driver();
  out_handler.object = batch.release();
  out_handler.type = quelt_details_batch;
}

// The records behind a handle of either batch kind; refuses any other kind
// and a handle without a batch.
detections_list& records_of(object_handler handler);

// The details batch behind a handle, or NULL for a detections_batch; refuses
// what records_of refuses.
detailed_detections* details_of(object_handler handler);

}  // namespace quelt::api

#endif
