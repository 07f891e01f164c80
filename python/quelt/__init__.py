"""Decode YOLO network outputs held in numpy arrays with the quelt library.

Two entries, one per output layout:

``decode_sealed(tensor, net_size, ...)``
    A sealed tensor of shape (batch, rows, classes + 5) or (rows, classes + 5):
    centre x, centre y, width, height in network-input pixels, objectness and
    one score per class. The library rewrites the tensor's class scores in
    place (see its docstring); pass ``copy=True`` to keep your array as it was.

``decode_layers(layers, classes, net_size, ...)``
    Raw Darknet YOLO layers, each a :class:`Layer` with values of shape
    (batch, height, width, channels). Only read, never written.

Both return one numpy structured array per image, of :data:`DETECTION_DTYPE`
(the library's 28-byte record: x_min, y_min, x_max, y_max as fractions of the
network input, class_id, objectness, probability). A failing call raises
:class:`Error` with the library's text. Arrays are passed to the library
without copying, so they must be float32 in native byte order and C-contiguous;
anything else raises ``TypeError`` or ``ValueError`` before the call.

The shared library is found through the ``QUELT_LIBRARY`` environment
variable, a ``libquelt.so*`` in this package's folder, or the system loader.
"""

import ctypes
import math
import numbers
from dataclasses import dataclass
from typing import List, Sequence, Tuple, Union

import numpy as np

from . import _ctypes
from ._ctypes import DETECTION_DTYPE

__version__ = "0.1.0"
__all__ = ["DETECTION_DTYPE", "Error", "Layer", "decode_layers", "decode_sealed", "library_path"]

Thresholds = Union[float, Sequence[float]]


class Error(RuntimeError):
    """A call into the library failed; ``message`` is the library's text."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


_loaded = None


def _lib():
    global _loaded
    if _loaded is None:
        _loaded = _ctypes.load()
    return _loaded[0]


def library_path() -> str:
    """The path or name the library was loaded from (loading it if needed)."""
    _lib()
    return _loaded[1]


def _check(status) -> None:
    if status.status_code == 1:
        return
    try:
        text = ctypes.string_at(status.message).decode("utf-8", "replace") if status.message else ""
    finally:
        _lib().done_return_status(status)
    raise Error(text or "quelt call failed without a message")


def _float_pointer(array: np.ndarray):
    return array.ctypes.data_as(ctypes.POINTER(ctypes.c_float))


def _check_float_array(array, name: str, writable: bool = False) -> np.ndarray:
    if not isinstance(array, np.ndarray):
        raise TypeError(f"{name} must be a numpy array, got {type(array).__name__}")
    if array.dtype != np.float32 or not array.dtype.isnative:
        raise TypeError(
            f"{name} must be float32 in native byte order, got {array.dtype.str}; "
            f"convert with {name}.astype(numpy.float32)"
        )
    if not array.flags.c_contiguous:
        raise ValueError(
            f"{name} must be C-contiguous; pass numpy.ascontiguousarray({name})"
        )
    if not array.flags.aligned:
        raise ValueError(f"{name} is not aligned for float32; pass a copy")
    if writable and not array.flags.writeable:
        raise ValueError(
            f"{name} is read-only, but the library rewrites it in place; pass copy=True"
        )
    return array


def _thresholds(value: Thresholds, images: int, name: str) -> np.ndarray:
    if isinstance(value, numbers.Real):
        values = [float(value)] * images
    else:
        values = [float(v) for v in value]
        if len(values) != images:
            raise ValueError(
                f"{name} needs one value per image ({images}) or a single value, got {len(values)}"
            )
    for v in values:
        if math.isnan(v) or not 0.0 <= v <= 1.0:
            raise ValueError(f"{name} values must lie between 0 and 1, got {v}")
    # At least one element, so the pointer is never NULL even for no images.
    return np.array(values or [0.0], dtype=np.float32)


def _net_size(net_size) -> Tuple[int, int]:
    if isinstance(net_size, numbers.Integral):
        net_size = (net_size, net_size)
    try:
        width, height = (int(v) for v in net_size)
    except (TypeError, ValueError):
        raise TypeError("net_size must be an int or a (width, height) pair") from None
    if not (0 < width < 2**31 and 0 < height < 2**31):
        raise ValueError(f"net_size must be positive, got {width} x {height}")
    return width, height


def _decode(call) -> List[np.ndarray]:
    """Runs a decoding entry, call(lib, pointer to a handle), and reads back its
    batch; the batch is released whatever happens."""
    lib = _lib()
    handler = _ctypes.ObjectHandler()
    try:
        _check(call(lib, ctypes.byref(handler)))
        return _read_batch(handler)
    finally:
        lib.object_handler_destroy(handler)


def _read_batch(handler) -> List[np.ndarray]:
    lib = _lib()
    size = ctypes.c_uint64()
    _check(lib.detections_batch_size(handler, ctypes.byref(size)))
    images = []
    for i in range(size.value):
        count = ctypes.c_uint64()
        _check(lib.detections_batch_detections_count(handler, i, ctypes.byref(count)))
        records = np.zeros(count.value, dtype=DETECTION_DTYPE)
        if count.value:
            _check(lib.detections_batch_detections_store(handler, i, records.ctypes.data))
        images.append(records)
    return images


def decode_sealed(
    tensor: np.ndarray,
    net_size: Union[int, Tuple[int, int]],
    score: Thresholds = 0.25,
    overlap: Thresholds = 0.45,
    *,
    classes: int = None,
    copy: bool = False,
) -> List[np.ndarray]:
    """Decodes a sealed tensor; returns one detections array per image.

    ``tensor``: float32, C-contiguous, shape (batch, rows, classes + 5) or
    (rows, classes + 5), boxes in network-input pixels. ``net_size``: the
    network input as ``(width, height)`` or one int for a square. ``score`` and
    ``overlap``: the detection and overlap thresholds, one for all images or
    one per image, each between 0 and 1. ``classes``: when given, the rows must
    fit it.

    The library works in ``tensor`` itself: afterwards the class scores of
    every row whose objectness passed hold objectness x score, or 0 where that
    did not pass or suppression removed the class. With ``copy=True`` a copy
    is decoded and ``tensor`` stays as it was.
    """
    tensor = _check_float_array(tensor, "tensor", writable=not copy)
    if tensor.ndim == 2:
        shaped = tensor.reshape((1,) + tensor.shape)
    elif tensor.ndim == 3:
        shaped = tensor
    else:
        raise ValueError(f"tensor must have shape (batch, rows, classes + 5), got {tensor.shape}")
    batch, rows, row_size = shaped.shape
    if classes is not None and row_size != classes + 5:
        raise ValueError(f"rows of {row_size} values do not fit {classes} classes (need {classes + 5})")
    if row_size < 6:
        raise ValueError(f"rows of {row_size} values leave no class score (need classes + 5 >= 6)")
    if copy:
        shaped = shaped.copy()
    width, height = _net_size(net_size)
    conf = _thresholds(score, batch, "score")
    nms = _thresholds(overlap, batch, "overlap")

    return _decode(
        lambda lib, handle: lib.process_yolo_sealed_output_detections(
            _float_pointer(shaped), rows, batch, row_size - 5, _float_pointer(conf),
            _float_pointer(nms), width, height, handle,
        )
    )


@dataclass
class Layer:
    """One Darknet YOLO output layer.

    ``values``: float32, C-contiguous, shape (batch, height, width, channels)
    or (height, width, channels), channels = len(mask) x (classes + 5).
    ``mask``: the anchor pairs this layer's anchor slots use. ``anchors``: all
    (width, height) pairs in network-input pixels, flat. ``xy_scale``: the
    centre-offset scale, 1 for none. ``preactivated``: the network already
    applied the logistic function.
    """

    values: np.ndarray
    mask: Sequence[int]
    anchors: Sequence[float]
    xy_scale: float = 1.0
    preactivated: bool = False


def decode_layers(
    layers: Sequence[Layer],
    classes: int,
    net_size: Union[int, Tuple[int, int]],
    score: Thresholds = 0.25,
    overlap: Thresholds = 0.45,
) -> List[np.ndarray]:
    """Decodes raw Darknet YOLO layers; returns one detections array per image.

    All layers share ``classes`` and the image count. The arrays are only
    read. ``net_size``, ``score`` and ``overlap`` as for :func:`decode_sealed`.
    """
    if not layers:
        raise ValueError("decode_layers needs at least one layer")
    if isinstance(classes, bool) or not isinstance(classes, numbers.Integral) or not 1 <= classes < 2**31 - 5:
        raise ValueError(f"classes must be a positive int, got {classes!r}")
    width, height = _net_size(net_size)
    keep = []  # arrays the descriptors point into, alive until the call returns
    outputs = (_ctypes.YoloOutput * len(layers))()
    batch = None
    for index, layer in enumerate(layers):
        name = f"layers[{index}].values"
        values = _check_float_array(layer.values, name)
        if values.ndim == 3:
            values = values.reshape((1,) + values.shape)
        if values.ndim != 4:
            raise ValueError(f"{name} must have shape (batch, height, width, channels), got {values.shape}")
        mask = np.array(layer.mask, dtype=np.int64).ravel()
        anchors = np.ascontiguousarray(layer.anchors, dtype=np.float32).ravel()
        if anchors.size == 0 or anchors.size % 2:
            raise ValueError(f"layers[{index}].anchors must hold (width, height) pairs, got {anchors.size} values")
        if mask.size == 0 or mask.min() < 0 or mask.max() >= anchors.size // 2:
            raise ValueError(
                f"layers[{index}].mask must name anchor pairs 0..{anchors.size // 2 - 1}, got {list(mask)}"
            )
        mask = mask.astype(np.int32)
        if values.shape[3] != mask.size * (classes + 5):
            raise ValueError(
                f"{name} has {values.shape[3]} channels, but {mask.size} anchors x "
                f"({classes} classes + 5) need {mask.size * (classes + 5)}"
            )
        if batch is None:
            batch = values.shape[0]
        elif values.shape[0] != batch:
            raise ValueError(f"{name} holds {values.shape[0]} images, layers[0] holds {batch}")
        xy_scale = float(layer.xy_scale)
        if not math.isfinite(xy_scale):
            raise ValueError(f"layers[{index}].xy_scale must be finite, got {xy_scale}")
        keep += [values, mask, anchors]
        out = outputs[index]
        out.output = _ctypes.OutputTensor(_float_pointer(values), values.shape[0], values.shape[2], values.shape[1], values.shape[3])
        out.classes = classes
        out.mask = mask.ctypes.data_as(ctypes.POINTER(ctypes.c_int32))
        out.mask_size = mask.size
        out.xy_scale = xy_scale
        out.preactivated = 1 if layer.preactivated else 0
        out.anchors = _float_pointer(anchors)
    conf = _thresholds(score, batch, "score")
    nms = _thresholds(overlap, batch, "overlap")

    return _decode(
        lambda lib, handle: lib.process_yolo_detections(
            outputs, len(layers), _ctypes.NetParams(width, height), _float_pointer(conf),
            _float_pointer(nms), handle,
        )
    )
