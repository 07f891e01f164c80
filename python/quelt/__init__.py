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

``decode(predictions, net_size, layout=..., ...)``
    Box predictions of today's exports (anchor-free columns, rows with or
    without objectness, separate box and score tensors, end-to-end rows), read
    through their own strides, so transposed and sliced views cost no copy.
    Options: per-image thresholds, class-agnostic or multi-label suppression,
    a class allow-list, a cap per image, and boxes mapped back to the
    original images (:func:`letterbox`, :func:`stretch` or a :class:`Geometry`).
    float16 and quantized int8 / uint8 / int16 / uint16 arrays are read as
    they are, with their scale and zero point (``quant``).

``decode_levels(boxes, scores, net_size, ...)``
    Raw per-level heads as NPU runtimes return them: per stride a box
    distribution map and a class map, NCHW or NHWC, any of those element
    types; the box distributions are reduced only where a class passes.

``decode`` and ``decode_levels`` also carry, when asked, each record's
candidate (``sources=True``), its extra values (``extras``) and pose
keypoints (``keypoints=17``: an (n, 17, 3) array of x, y and visibility per
image); each image then comes back as a :class:`Details`.

All return one numpy structured array per image, of :data:`DETECTION_DTYPE`
(the library's 28-byte record: x_min, y_min, x_max, y_max as fractions of the
network input, or original-image pixels when a geometry is given, class_id,
objectness, probability); ``decode`` with ``layout="obb"`` returns rotated
records of :data:`ROTATED_DTYPE` instead. A failing call raises :class:`Error` with the
library's text. Arrays are passed to the library without copying, so they must
be in native byte order, float32 for the first two entries (C-contiguous);
anything else raises ``TypeError`` or ``ValueError`` before the call.

The shared library is found through the ``QUELT_LIBRARY`` environment
variable, a ``libquelt.so*`` in this package's folder, or the system loader.
"""

import ctypes
import math
import numbers
import warnings
from dataclasses import dataclass
from typing import List, Sequence, Tuple, Union

import numpy as np

from . import _ctypes
from ._ctypes import DETECTION_DTYPE, ROTATED_DTYPE

__version__ = "0.3.0"
__all__ = [
    "DETECTION_DTYPE",
    "ROTATED_DTYPE",
    "LAYOUTS",
    "Error",
    "Geometry",
    "Details",
    "Layer",
    "decode",
    "decode_layers",
    "decode_levels",
    "decode_sealed",
    "letterbox",
    "library_path",
    "stretch",
]

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
        raise ValueError(
            f"{name} is misaligned: its data does not start on a 4-byte boundary; pass a copy"
        )
    if writable and not array.flags.writeable:
        raise ValueError(
            f"{name} is read-only, but the library rewrites it in place; pass copy=True"
        )
    return array


def _thresholds(value: Thresholds, images: int, name: str) -> np.ndarray:
    # Every number but NaN means something to the library (a negative score
    # lets everything pass, an IoU of 1 or more suppresses nothing), so NaN is
    # the only value refused, here as quelt_decode refuses it.
    if isinstance(value, numbers.Real):
        if math.isnan(value):
            raise ValueError(f"{name} is NaN (the threshold of every image); give a number")
        values = [float(value)] * images
    else:
        values = [float(v) for v in value]
        if len(values) != images:
            raise ValueError(
                f"{name} needs one value per image ({images}) or a single value, got {len(values)}"
            )
        for image, v in enumerate(values):
            if math.isnan(v):
                raise ValueError(f"{name}[{image}], the threshold of image {image}, is NaN; give a number")
    # At least one element, so the pointer is never NULL even for no images.
    return np.array(values or [0.0], dtype=np.float32)


def _iou(iou, overlap, function: str) -> Thresholds:
    """The IoU thresholds of a call that still takes the old name overlap."""
    if overlap is None:
        return 0.45 if iou is None else iou
    if iou is not None:
        raise TypeError(f"{function}() got both iou and overlap, its deprecated alias; pass iou only")
    warnings.warn(
        f"{function}(overlap=...) is deprecated; pass iou=... instead", DeprecationWarning, stacklevel=3
    )
    return overlap


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


def _entry(name: str):
    lib = _lib()
    if not hasattr(lib, name):
        raise Error(f"{library_path()} has no {name}: it is older than this package")
    return getattr(lib, name)


def _init(struct, name: str) -> None:
    """Fills ``struct`` as the library's init function ``name`` does, at this
    package's size of it (an older library fills the size it knows)."""
    lib = _lib()
    if hasattr(lib, name + "_sized"):
        getattr(lib, name + "_sized")(ctypes.byref(struct), ctypes.sizeof(struct))
    else:
        _entry(name)(ctypes.byref(struct))


def _decode(call, mapping=None, details=None, rotated=False) -> List[np.ndarray]:
    """Runs a decoding entry, call(lib, pointer to a handle), maps its batch
    when ``mapping`` holds the arguments of quelt_map_detections after the
    handle, and reads the batch back (with ``details``, the arguments of
    _read_details after the handle; with ``rotated``, its rotated records);
    it is released whatever happens."""
    lib = _lib()
    handler = _ctypes.ObjectHandler()
    try:
        _check(call(lib, ctypes.byref(handler)))
        if mapping is not None:
            _check(_entry("quelt_map_detections")(handler, *mapping))
        if rotated:
            return _read_rotated(handler)
        if details is not None:
            return _read_details(handler, *details)
        return _read_batch(handler)
    finally:
        lib.object_handler_destroy(handler)


def _keypoint_shape(keypoints) -> Tuple[int, int]:
    """(K, values) from ``keypoints``: K, or (K, 2) / (K, 3)."""
    if isinstance(keypoints, (tuple, list)):
        if len(keypoints) != 2 or keypoints[1] not in (2, 3):
            raise ValueError(f"keypoints is K or (K, 2 or 3 values each), got {keypoints!r}")
        count, values = keypoints
    else:
        count, values = keypoints, 3
    if isinstance(count, bool) or not isinstance(count, numbers.Integral) or count < 1:
        raise ValueError(f"keypoints: {count!r} is not a keypoint count (1 or more)")
    return int(count), int(values)


def _describe_extras(described, extras_count: int, keypoints, keypoint_logits: bool, grid: bool):
    """Fills the extras and keypoint fields of a Layout or Levels."""
    described.extras_count = extras_count
    if keypoints is not None:
        count, values = _keypoint_shape(keypoints)
        if count * values > extras_count:
            raise ValueError(
                f"{count} keypoints of {values} values need {count * values} extra values, "
                f"there are {extras_count}"
            )
        described.keypoint_count = count
        described.keypoint_values = values
        described.keypoint_coding = (
            _ctypes.SCORES_LOGITS if keypoint_logits else _ctypes.SCORES_PROBABILITIES
        )
        described.keypoint_form = _ctypes.KEYPOINTS_GRID if grid else _ctypes.KEYPOINTS_PIXELS


@dataclass
class Details:
    """One image's records with what :func:`decode` was asked to carry.

    ``detections``: the records, as without details. ``sources``: int64 (n,),
    each record's candidate (the column, row or cell, levels in order).
    ``extras``: float32 (n, E), each record's extra values as stored.
    ``keypoints``: float32 (n, K, 3), x, y (mapped as the edges are) and the
    visibility (1 for keypoints without one). ``masks``: (n, H, W), bool for
    binary masks or float32 probabilities (0 outside each record's box).
    Fields not asked for are None.
    """

    detections: np.ndarray
    sources: np.ndarray = None
    extras: np.ndarray = None
    keypoints: np.ndarray = None
    masks: np.ndarray = None


def _read_masks(handler, image: int, n: int, masks) -> np.ndarray:
    """Image ``image``'s masks as (n, H, W): ``masks`` is (request, grid
    sizes per image); each record's region is pasted into its plane."""
    request, sizes = masks
    height, width = sizes[image]
    binary = request.kind != _ctypes.MASK_PROTOTYPE_PROBABILITIES
    planes = np.zeros((n, height, width), dtype=bool if binary else np.float32)
    size = ctypes.c_uint64()
    _check(_entry("quelt_batch_masks_size")(handler, image, ctypes.byref(request), ctypes.byref(size)))
    values = np.zeros(size.value if binary else size.value // 4, dtype=np.uint8 if binary else np.float32)
    regions = (_ctypes.MaskRegion * max(n, 1))()
    request.values = values.ctypes.data
    request.values_size = size.value
    request.regions = ctypes.addressof(regions)
    _check(_entry("quelt_batch_masks_store")(handler, image, ctypes.byref(request)))
    for i in range(n):
        r = regions[i]
        if r.width and r.height:
            part = values[r.offset : r.offset + r.width * r.height].reshape(r.height, r.width)
            planes[i, r.y : r.y + r.height, r.x : r.x + r.width] = part[
                : max(height - r.y, 0), : max(width - r.x, 0)
            ]
    return planes


def _read_details(handler, sources: bool, extras: int, keypoints: int, masks=None) -> List[Details]:
    """The batch with the details asked for: ``extras`` and ``keypoints`` are
    the counts per record to read (0 for none); ``masks`` as _read_masks
    takes it, or None."""
    images = []
    for i, records in enumerate(_read_batch(handler)):
        n = len(records)
        found = Details(records)
        if masks is not None:
            found.masks = _read_masks(handler, i, n, masks)
        if sources:
            found.sources = np.zeros(n, dtype=np.int64)
            if n:
                _check(_entry("quelt_batch_sources_store")(handler, i, found.sources.ctypes.data))
        if extras:
            found.extras = np.zeros((n, extras), dtype=np.float32)
            if n:
                _check(_entry("quelt_batch_extras_store")(handler, i, found.extras.ctypes.data))
        if keypoints:
            found.keypoints = np.zeros((n, keypoints, 3), dtype=np.float32)
            if n:
                _check(_entry("quelt_batch_keypoints_store")(handler, i, found.keypoints.ctypes.data))
        images.append(found)
    return images


def _read_rotated(handler) -> List[np.ndarray]:
    return _read_batch(handler, ROTATED_DTYPE, _entry("quelt_batch_rotated_store"))


def _read_batch(handler, dtype=None, store=None) -> List[np.ndarray]:
    """Each image's records of `dtype` (detection records by default), stored by `store`."""
    lib = _lib()
    dtype = DETECTION_DTYPE if dtype is None else dtype
    store = lib.detections_batch_detections_store if store is None else store
    size = ctypes.c_uint64()
    _check(lib.detections_batch_size(handler, ctypes.byref(size)))
    images = []
    for i in range(size.value):
        count = ctypes.c_uint64()
        _check(lib.detections_batch_detections_count(handler, i, ctypes.byref(count)))
        records = np.zeros(count.value, dtype=dtype)
        if count.value:
            _check(store(handler, i, records.ctypes.data))
        images.append(records)
    return images


def decode_sealed(
    tensor: np.ndarray,
    net_size: Union[int, Tuple[int, int]],
    score: Thresholds = 0.25,
    iou: Thresholds = None,
    *,
    classes: int = None,
    copy: bool = False,
    overlap: Thresholds = None,
    geometry: "Geometries" = None,
    max_det: int = 0,
) -> List[np.ndarray]:
    """Decodes a sealed tensor; returns one detections array per image.

    ``tensor``: float32, C-contiguous, shape (batch, rows, classes + 5) or
    (rows, classes + 5), boxes in network-input pixels. ``net_size``: the
    network input as ``(width, height)`` or one int for a square. ``score``:
    a row's objectness, and then objectness x class score, must be above it.
    ``iou``: suppression removes a box overlapping a kept one by more
    (default 0.45). Both one value for all images or one per image, any
    number but NaN: a score below 0 lets everything pass, an iou of 1 or more
    suppresses nothing, and one below 0 keeps only the best box of each class
    (even disjoint boxes overlap by 0, which is more). ``overlap`` is the
    deprecated name of ``iou``. ``classes``: when given, the rows must
    fit it.

    The library works in ``tensor`` itself: afterwards the class scores of
    every row whose objectness passed hold objectness x score, or 0 where that
    did not pass or suppression removed the class. With ``copy=True`` a copy
    is decoded and ``tensor`` stays as it was.

    ``geometry`` (a :class:`Geometry` for every image, or one per image) maps
    the boxes to original-image pixels; ``max_det`` keeps at most that many
    records per image, the most probable (0: all). Both as :func:`decode`.
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
    nms = _thresholds(_iou(iou, overlap, "decode_sealed"), batch, "iou")

    return _decode(
        lambda lib, handle: lib.process_yolo_sealed_output_detections(
            _float_pointer(shaped), rows, batch, row_size - 5, _float_pointer(conf),
            _float_pointer(nms), width, height, handle,
        ),
        _mapping(width, height, geometry, max_det, batch),
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
    iou: Thresholds = None,
    *,
    geometry: "Geometries" = None,
    max_det: int = 0,
    overlap: Thresholds = None,
) -> List[np.ndarray]:
    """Decodes raw Darknet YOLO layers; returns one detections array per image.

    All layers share ``classes`` and the image count. The arrays are only
    read. ``net_size``, ``score``, ``iou`` (default 0.45; ``overlap`` is its
    deprecated name), ``geometry`` and ``max_det`` as for
    :func:`decode_sealed`, except that, as in Darknet, a box goes when its
    overlap with a kept one is at least ``iou``: an iou above 1 suppresses
    nothing, and one of 0 or below every later box of the class.
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
    nms = _thresholds(_iou(iou, overlap, "decode_layers"), batch, "iou")

    return _decode(
        lambda lib, handle: lib.process_yolo_detections(
            outputs, len(layers), _ctypes.NetParams(width, height), _float_pointer(conf),
            _float_pointer(nms), handle,
        ),
        _mapping(width, height, geometry, max_det, batch),
    )


@dataclass(frozen=True)
class Geometry:
    """How one image was fitted to the network input: network-input pixel x
    came from original pixel (x - pad_x) / scale_x, likewise for y. With it,
    boxes come back in pixels of the original_width x original_height image,
    clipped to it. :func:`letterbox` and :func:`stretch` make the usual ones.
    """

    original_width: float
    original_height: float
    scale_x: float
    scale_y: float
    pad_x: float = 0.0
    pad_y: float = 0.0


Geometries = Union[None, Geometry, Sequence[Geometry]]


def _image_size(image_size) -> Tuple[float, float]:
    try:
        width, height = (float(v) for v in image_size)
    except (TypeError, ValueError):
        raise TypeError("image_size must be a (width, height) pair") from None
    return width, height


def _geometry(helper: str, net_size, image_size) -> Geometry:
    width, height = _net_size(net_size)
    made = _entry(helper)(width, height, *_image_size(image_size))
    return Geometry(*(getattr(made, name) for name, _ in _ctypes.ImageGeometry._fields_))


def letterbox(net_size, image_size) -> Geometry:
    """An image of ``image_size`` (width, height) scaled to fit ``net_size``,
    keeping its aspect, and padded equally on both sides (the padding rounded
    as the common preprocessing rounds it)."""
    return _geometry("quelt_geometry_letterbox", net_size, image_size)


def stretch(net_size, image_size) -> Geometry:
    """An image of ``image_size`` (width, height) resized to ``net_size``."""
    return _geometry("quelt_geometry_stretch", net_size, image_size)


def _geometry_array(geometry: Geometries, images: int):
    if geometry is None:
        return None
    if isinstance(geometry, Geometry):
        geometry = [geometry] * images
    geometry = list(geometry)
    for g in geometry:
        if not isinstance(g, Geometry):
            raise TypeError(f"geometry must be quelt.Geometry values, got {type(g).__name__}")
    if len(geometry) != images:
        raise ValueError(f"geometry needs one Geometry per image ({images}) or a single one, got {len(geometry)}")
    # At least one element, so the pointer is never NULL even for no images.
    array = (_ctypes.ImageGeometry * max(images, 1))()
    for i, g in enumerate(geometry):
        array[i] = _ctypes.ImageGeometry(
            g.original_width, g.original_height, g.scale_x, g.scale_y, g.pad_x, g.pad_y
        )
    return array


def _max_det(value) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not 0 <= value < 2**31:
        raise ValueError(f"max_det must be an int from 0 (no cap), got {value!r}")
    return int(value)


def _mapping(width: int, height: int, geometry: Geometries, max_det, images: int):
    """The arguments of quelt_map_detections after the handle, or None when
    there is nothing to map."""
    geometries = _geometry_array(geometry, images)
    cap = _max_det(max_det)
    if geometries is None and cap == 0:
        return None
    pointer = geometries if geometries is not None else ctypes.POINTER(_ctypes.ImageGeometry)()
    return (width, height, pointer, cap)


# The named layouts of decode, and the shape each one reads.
LAYOUTS = {
    "rows": "(batch, candidates, 4 + classes)",
    "rows-objectness": "(batch, candidates, 5 + classes)",
    "columns": "(batch, 4 + classes, candidates)",
    "separate": "boxes (batch, candidates, 4) with scores (batch, candidates, classes)",
    "separate-by-class": "boxes (batch, candidates, 4) with scores (batch, classes, candidates)",
    "end-to-end": "(batch, candidates, 6): x_min, y_min, x_max, y_max, score, class",
    "obb": "(batch, 4 + classes + 1, candidates): rotated boxes, the angle last",
}

_BOX_FORMATS = {
    "cxcywh": _ctypes.BOX_CENTRE_SIZE,
    "xyxy": _ctypes.BOX_CORNERS,
    "rotated": _ctypes.BOX_ROTATED,
}
_OVERLAPS = {"exact": _ctypes.OVERLAP_EXACT, "probabilistic": _ctypes.OVERLAP_PROBABILISTIC}


# The element types the library reads, by numpy dtype; the integer types
# are quantized and need a scale and zero point.
_ELEMENTS = {
    np.dtype(np.float32): _ctypes.ELEMENT_FLOAT32,
    np.dtype(np.float16): _ctypes.ELEMENT_FLOAT16,
    np.dtype(np.int8): _ctypes.ELEMENT_INT8,
    np.dtype(np.uint8): _ctypes.ELEMENT_UINT8,
    np.dtype(np.int16): _ctypes.ELEMENT_INT16,
    np.dtype(np.uint16): _ctypes.ELEMENT_UINT16,
}

Quantization = Union[Tuple[float, int], dict]


def _float_view(array, name: str, ndim: int, what: str, quant=None) -> np.ndarray:
    """Checks an array that is read through its own strides: float32,
    float16, or int8, uint8, int16 or uint16 with ``quant`` = (scale,
    zero_point); one image without the batch axis gets it added."""
    if not isinstance(array, np.ndarray):
        raise TypeError(f"{name} must be a numpy array, got {type(array).__name__}")
    if array.dtype not in _ELEMENTS or not array.dtype.isnative:
        raise TypeError(
            f"{name} must be float32, float16, int8, uint8, int16 or uint16 in native byte "
            f"order, got {array.dtype.str}; convert with {name}.astype(numpy.float32)"
        )
    if array.dtype.kind in "iu" and quant is None:
        raise ValueError(
            f"{name} is {array.dtype.name}: give its quant=(scale, zero_point), the value "
            f"being (q - zero_point) * scale"
        )
    if array.ndim == ndim - 1:
        array = array[np.newaxis]
    if array.ndim != ndim:
        raise ValueError(f"{name} must have shape {what}, got {array.shape}")
    size = array.dtype.itemsize
    if any(stride % size for stride in array.strides):
        raise ValueError(
            f"{name} has strides {array.strides} bytes, not whole "
            + ("floats" if size == 4 else f"elements of {size} bytes")
            + f"; pass numpy.ascontiguousarray({name})"
        )
    if not array.flags.aligned:
        raise ValueError(
            f"{name} is misaligned: its data does not start on a {size}-byte boundary; "
            f"pass {name}.copy()"
        )
    return array


def _element(array: np.ndarray, quant) -> "_ctypes.Element":
    """The library's element description of a checked array."""
    element = _ctypes.Element()
    element.type = _ELEMENTS[array.dtype]
    if array.dtype.kind in "iu":
        try:
            scale, zero_point = quant
        except (TypeError, ValueError):
            raise ValueError(f"quant must be (scale, zero_point), got {quant!r}") from None
        if isinstance(zero_point, (bool, np.bool_)) or not isinstance(zero_point, numbers.Integral):
            raise ValueError(f"a zero point must be an integer, got {zero_point!r}")
        info = np.iinfo(array.dtype)
        if not info.min <= zero_point <= info.max:
            raise ValueError(
                f"zero point {zero_point} is outside {array.dtype.name} ({info.min} to {info.max})"
            )
        element.scale = float(scale)
        element.zero_point = int(zero_point)
    return element


def _quant_for(quant, name: str):
    """The (scale, zero_point) of the array called ``name``: ``quant`` is
    one pair for every integer array, or a dict by array name."""
    if isinstance(quant, dict):
        unknown = set(quant) - {
            "predictions", "boxes", "scores", "objectness", "score_sum", "extras", "masks"
        }
        if unknown:
            raise ValueError(f"quant names no array {sorted(unknown)}")
        return quant.get(name)
    return quant


def _class_ids(classes) -> List[int]:
    """The allow-list as ints; an entry that is not a whole number by type is
    refused rather than truncated, so 1.5 never quietly becomes class 1."""
    if isinstance(classes, (str, bytes)):
        raise ValueError(f"classes must be a sequence of class ids, got {classes!r}")
    try:
        entries = list(classes)
    except TypeError:
        raise ValueError(f"classes must be a sequence of class ids, got {classes!r}") from None
    ids = []
    for index, entry in enumerate(entries):
        if isinstance(entry, (bool, np.bool_)) or not isinstance(entry, numbers.Integral):
            raise ValueError(
                f"classes[{index}] must be an integer class id, got {entry!r} ({type(entry).__name__})"
            )
        if not -(2**31) <= entry < 2**31:
            raise ValueError(f"classes[{index}] = {entry} does not fit a 32-bit class id")
        ids.append(int(entry))
    return ids


def _decode_options(width, height, images, score, iou, agnostic, multi_label, max_det, classes,
                    geometry):
    """The quelt_decode_options of a call, and the arrays it points into, which
    the caller keeps alive until the call returns."""
    options = _ctypes.DecodeOptions()
    _init(options, "quelt_decode_options_init")
    options.network_width, options.network_height = width, height
    options.agnostic = 1 if agnostic else 0
    options.multi_label = 1 if multi_label else 0
    options.max_detections = _max_det(max_det)
    conf = _thresholds(score, images, "score")
    nms = _thresholds(iou, images, "iou")
    options.score_thresholds = _float_pointer(conf)
    options.iou_thresholds = _float_pointer(nms)
    allowed = None
    if classes is not None:
        ids = _class_ids(classes)
        # At least one element, so an empty allow-list is not NULL (all classes).
        allowed = np.array(ids or [0], dtype=np.int32)
        options.classes_allowed = allowed.ctypes.data_as(ctypes.POINTER(ctypes.c_int32))
        options.classes_allowed_count = len(ids)
    geometries = _geometry_array(geometry, images)
    if geometries is not None:
        options.geometry = geometries
    return options, (conf, nms, allowed, geometries)


def _view(array: np.ndarray) -> "_ctypes.View":
    """A (batch, candidates[, components]) array as the library's view."""
    strides = [s // array.dtype.itemsize for s in array.strides] + [0]
    return _ctypes.View(array.ctypes.data, strides[0], strides[1], strides[2])


def decode(
    predictions: np.ndarray = None,
    net_size: Union[int, Tuple[int, int]] = None,
    *,
    layout: str = None,
    scores: np.ndarray = None,
    boxes: np.ndarray = None,
    objectness: np.ndarray = None,
    score: Thresholds = 0.25,
    iou: Thresholds = 0.45,
    agnostic: bool = False,
    multi_label: bool = False,
    classes: Sequence[int] = None,
    max_det: int = 0,
    box_format: str = None,
    logits: bool = False,
    geometry: Geometries = None,
    quant: Quantization = None,
    sources: bool = False,
    extras=None,
    keypoints=None,
    keypoint_logits: bool = False,
    masks: np.ndarray = None,
    mask_form: str = None,
    angle_unit: str = "radians",
    clockwise: bool = True,
    rotated_overlap: str = "exact",
) -> List[np.ndarray]:
    """Decodes box predictions; returns one detections array per image.

    Name the layout of ``predictions`` (see :data:`LAYOUTS`): "rows",
    "rows-objectness", "columns" (the anchor-free export, e.g. (1, 84, 8400)),
    "separate" and "separate-by-class" (``predictions`` holds the boxes,
    ``scores`` the class scores) or "end-to-end" (rows already suppressed).
    Or leave ``layout`` out and give ``boxes`` (batch, candidates, 4),
    ``scores`` (batch, candidates, classes) and optionally ``objectness``
    (batch, candidates) yourself. One image may drop the batch axis.

    Arrays are read in place through their strides, whatever their order:
    transposed and sliced views are fine, but they must be float32 and their
    strides whole floats. The library only reads them.

    ``net_size``: the network input, ``(width, height)`` or one int. Boxes are
    in its pixels, coded as ``box_format`` says: "cxcywh" (centre, size; the
    default) or "xyxy" (corners; the default for end-to-end rows). ``logits``:
    the scores (and objectness) are raw, the library applies the logistic.

    ``score``: a candidate passes when its score (objectness x class score
    where there is an objectness) is above it. ``iou``: suppression removes a
    box overlapping a kept one of its class by more. Both one value or one per
    image, any number but NaN: a score below 0 lets everything pass, an iou
    of 1 or more suppresses nothing, and one below 0 keeps only the best box
    of each class (even disjoint boxes overlap by 0, which is more).
    ``agnostic``: suppress across classes. ``multi_label``: a record for
    every class that passes, not only the best. ``classes``: the class ids to
    keep (default all), ints or numpy integers; anything else (1.5, True,
    "3", a float array) is refused. ``max_det``: at most that many records
    per image, the highest scores (0: all).

    ``geometry``: a :class:`Geometry` for every image, or one per image; boxes
    then come back in original-image pixels, clipped to the image. Without it
    they are fractions of the network input. Layouts without objectness give
    records of objectness 1.

    Arrays may also be float16, or quantized int8, uint8, int16 or uint16
    tensors as NPU runtimes return them, read as they are (no converted
    copy): ``quant`` gives their ``(scale, zero_point)``, the value of q being
    ``(q - zero_point) * scale`` in single precision; one pair for every
    integer array, or a dict by name ("predictions", "boxes", "scores",
    "objectness"). The records are those of the same call over the arrays
    converted to float32.

    "obb": oriented boxes, the columns of the OBB export (e.g. (1, 20, 21504)
    for 15 classes): centre, size, class scores, then the angle, in
    ``angle_unit`` ("radians" or "degrees"), turning clockwise on the image
    (x toward y) unless ``clockwise`` is False. ``rotated_overlap``: "exact" (the
    intersection over union of the rectangles) or "probabilistic" (the
    Gaussian approximation of the usual OBB post-processing). The arrays are
    then rotated records (:data:`ROTATED_DTYPE`: cx, cy, width, height,
    angle, class_id, probability) in network-input pixels, or original-image
    pixels with ``geometry`` (not clipped), the longer side as the width and
    the angle in [0, pi) radians, clockwise on the image.

    Details: with ``sources``, ``extras`` or ``keypoints`` each image gives a
    :class:`Details` instead of an array. ``sources=True``: each record's
    candidate index. ``extras``: an int E (the last E values of each candidate
    of ``predictions`` are extras, not classes), an array (batch, candidates,
    E) of its own, or True for the values ``keypoints`` reads; each kept
    record's extras come back as stored. ``keypoints``: K, or (K, 2) / (K,
    3): keypoint k is extras k x values + (x, y[, visibility]), x and y in
    network-input pixels; without ``extras`` the last K x values of each
    candidate. They come back as (n, K, 3), mapped like the edges, the
    visibility after the logistic with ``keypoint_logits`` (1 for keypoints
    of 2 values). A pose export (1, 56, 8400): ``decode(output, 640,
    layout="columns", keypoints=17, geometry=...)``.

    Instance masks: ``masks`` is the prototype array (batch, C, H, W) (or
    (C, H, W) for one image, any element type ``quant`` reads, by the name
    "masks"); the last C extras of each candidate are its mask coefficients
    (without ``extras``, the last C values of each candidate of
    ``predictions``). Each image's :class:`Details` then holds ``masks``,
    (n, H, W), in the ``mask_form``: "original" (bool, the original image's
    pixels; the default with ``geometry``), "input" (bool, the network
    input's pixels; the default without) or "prototype" (float32
    probabilities on the prototype grid). A mask holds the pixels whose
    centres lie in its record's box. A segmentation export (1, 116, 8400)
    with prototypes (1, 32, 160, 160): ``decode(output, 640,
    layout="columns", masks=prototypes, geometry=...)``.
    """
    if net_size is None:
        raise TypeError("decode needs net_size, the network input (width, height) or one int")
    prototypes = None
    if masks is not None:
        prototypes = _float_view(masks, "masks", 4, "(batch, C, H, W)", _quant_for(quant, "masks"))
        if extras is None and keypoints is None:
            extras = prototypes.shape[1]
        if mask_form is None:
            mask_form = "input" if geometry is None else "original"
        if mask_form not in _MASK_FORMS:
            raise ValueError(f"mask_form must be one of {', '.join(_MASK_FORMS)}, got {mask_form!r}")
        if mask_form == "original" and geometry is None:
            raise ValueError('mask_form="original" needs geometry, the original images')
    elif mask_form is not None:
        raise ValueError("mask_form goes with masks, the prototype array")
    extras_values = None
    if isinstance(extras, np.ndarray):
        extras_values = extras
        extras_count = extras.shape[-1] if extras.ndim else 0
    elif extras is None or isinstance(extras, bool):
        extras_count = 0
        if keypoints is not None:
            count, values = _keypoint_shape(keypoints)
            extras_count = count * values
        elif extras:
            raise ValueError("extras=True reads the values keypoints describe; give keypoints, or E")
    elif isinstance(extras, numbers.Integral) and extras >= 1:
        extras_count = int(extras)
    else:
        raise ValueError(f"extras is an int (1 or more), an array or True, got {extras!r}")
    tail = extras_count if extras_values is None else 0  # extras taken from predictions
    width, height = _net_size(net_size)
    kind = _ctypes.CANDIDATES_RAW
    angle_view = None
    if layout is None:
        if predictions is not None:
            raise ValueError(f"name the layout of predictions: one of {', '.join(LAYOUTS)}")
        if boxes is None or scores is None:
            raise ValueError("without a layout, give boxes and scores (and optionally objectness)")
        box_quant = _quant_for(quant, "boxes")
        score_quant = _quant_for(quant, "scores")
        object_quant = _quant_for(quant, "objectness")
        box_view = _float_view(boxes, "boxes", 3, "(batch, candidates, 4)", box_quant)
        score_view = _float_view(scores, "scores", 3, "(batch, candidates, classes)", score_quant)
        object_view = None
        if objectness is not None:
            object_view = _float_view(
                objectness, "objectness", 2, "(batch, candidates)", object_quant
            )
    else:
        if layout not in LAYOUTS:
            raise ValueError(f"unknown layout {layout!r}; use one of {', '.join(LAYOUTS)}")
        if boxes is not None or objectness is not None:
            raise ValueError("boxes and objectness go without a layout; with one, pass predictions")
        if predictions is None:
            raise ValueError(f"layout {layout!r} needs predictions of shape {LAYOUTS[layout]}")
        separate = layout.startswith("separate")
        if (scores is not None) != separate:
            raise ValueError(
                f"layout {layout!r} reads {LAYOUTS[layout]}"
                + ("" if separate else "; scores go with the separate layouts")
            )
        shape = "(batch, candidates, 4)" if separate else LAYOUTS[layout].split(":")[0]
        box_quant = score_quant = object_quant = _quant_for(quant, "predictions")
        tensor = _float_view(predictions, "predictions", 3, shape, box_quant)
        object_view = None
        if layout in ("columns", "obb"):
            tensor = tensor.transpose(0, 2, 1)
        if tail and (separate or layout == "end-to-end"):
            raise ValueError(f"layout {layout!r} holds no extras; give extras as an array")
        if tail:
            if tensor.shape[2] < tail + 5:
                raise ValueError(
                    f"{tail} extras leave no class in predictions of shape {predictions.shape}"
                )
            extras_values = tensor[:, :, tensor.shape[2] - tail :]
            tensor = tensor[:, :, : tensor.shape[2] - tail]
        if separate:
            box_view = tensor
            score_quant = _quant_for(quant, "scores")
            if layout == "separate":
                score_view = _float_view(
                    scores, "scores", 3, "(batch, candidates, classes)", score_quant
                )
            else:
                score_view = _float_view(
                    scores, "scores", 3, "(batch, classes, candidates)", score_quant
                )
                score_view = score_view.transpose(0, 2, 1)
        elif layout == "obb":
            if tensor.shape[2] < 6:
                raise ValueError(f"layout 'obb' reads {shape}, got shape {predictions.shape}")
            box_view, score_view = tensor[:, :, :4], tensor[:, :, 4:-1]
            angle_view = tensor[:, :, -1]
        elif layout == "end-to-end":
            if tensor.shape[2] != 6:
                raise ValueError(f"end-to-end rows hold 6 values, got shape {predictions.shape}")
            kind = _ctypes.CANDIDATES_END_TO_END
            box_view, score_view = tensor[:, :, :4], tensor[:, :, 4:]
        else:
            first = 5 if layout == "rows-objectness" else 4
            if tensor.shape[2] < first:
                raise ValueError(f"layout {layout!r} reads {shape}, got shape {predictions.shape}")
            box_view, score_view = tensor[:, :, :4], tensor[:, :, first:]
            if first == 5:
                object_view = tensor[:, :, 4]
    if box_view.shape[2] != 4:
        raise ValueError(f"boxes hold 4 values each, got shape {box_view.shape}")
    batch, count = box_view.shape[:2]
    for name, view in (("scores", score_view), ("objectness", object_view)):
        if view is not None and view.shape[:2] != (batch, count):
            raise ValueError(
                f"{name} describe {view.shape[0]} images of {view.shape[1]} candidates, "
                f"the boxes {batch} of {count}"
            )
    if angle_view is None and (angle_unit, clockwise, rotated_overlap) != (
        "radians",
        True,
        "exact",
    ):
        raise ValueError("angle_unit, clockwise and rotated_overlap go with the 'obb' layout")
    if angle_view is not None:
        if box_format not in (None, "cxcywh"):
            raise ValueError(f"rotated boxes are centre and size, not {box_format!r}")
        if angle_unit not in ("radians", "degrees"):
            raise ValueError(f"angle_unit must be 'radians' or 'degrees', got {angle_unit!r}")
        if rotated_overlap not in _OVERLAPS:
            raise ValueError(
                f"rotated_overlap must be 'exact' or 'probabilistic', got {rotated_overlap!r}"
            )
        box_format = "rotated"
    if box_format is None:
        box_format = "xyxy" if kind == _ctypes.CANDIDATES_END_TO_END else "cxcywh"
    if box_format not in _BOX_FORMATS:
        raise ValueError(f"box_format must be 'cxcywh' or 'xyxy', got {box_format!r}")

    described = _ctypes.Layout()
    described.struct_size = ctypes.sizeof(_ctypes.Layout)
    described.box_coding = _BOX_FORMATS[box_format]
    described.score_coding = _ctypes.SCORES_LOGITS if logits else _ctypes.SCORES_PROBABILITIES
    described.candidate_kind = kind
    described.batch = batch
    described.candidates = count
    # End-to-end rows name their class themselves: 0 leaves it unchecked.
    described.classes = 0 if kind == _ctypes.CANDIDATES_END_TO_END else score_view.shape[2]
    described.boxes = _view(box_view)
    described.scores = _view(score_view)
    described.boxes_element = _element(box_view, box_quant)
    described.scores_element = _element(score_view, score_quant)
    if object_view is not None:
        described.objectness = _view(object_view)
        described.objectness_element = _element(object_view, object_quant)
    if layout is None and tail:
        raise ValueError("without a layout, give extras as an array")
    if extras_values is not None:
        extras_quant = box_quant if tail else _quant_for(quant, "extras")
        if not tail:
            extras_values = _float_view(
                extras_values, "extras", 3, "(batch, candidates, extras)", extras_quant
            )
        if extras_values.shape[:2] != (batch, count):
            raise ValueError(
                f"extras describe {extras_values.shape[0]} images of {extras_values.shape[1]} "
                f"candidates, the boxes {batch} of {count}"
            )
        described.extras = _view(extras_values)
        described.extras_element = _element(extras_values, extras_quant)
    _describe_extras(described, extras_count, keypoints, keypoint_logits, False)
    details = None
    if sources or extras is not None and extras is not False or keypoints is not None:
        wanted = extras is not None and extras is not False
        details = (
            bool(sources),
            extras_count if wanted else 0,
            _keypoint_shape(keypoints)[0] if keypoints is not None else 0,
        )
    if prototypes is not None:
        details = details + (_mask_request(prototypes, quant, extras_count, mask_form, batch,
                                           width, height, geometry),)
    if angle_view is not None:
        described.angles = _view(angle_view)
        described.angles_element = _element(angle_view, box_quant)
        described.angle_flags = (_ctypes.ANGLE_DEGREES if angle_unit == "degrees" else 0) | (
            0 if clockwise else _ctypes.ANGLE_COUNTERCLOCKWISE
        )
        described.rotated_overlap = _OVERLAPS[rotated_overlap]

    options, kept = _decode_options(
        width, height, batch, score, iou, agnostic, multi_label, max_det, classes, geometry
    )
    options.details = 1 if details is not None else 0
    # box_view, score_view, object_view, extras_values and kept, which the
    # structs point into, stay alive as locals until the call returns.
    return _decode(
        lambda lib, handle: _entry("quelt_decode")(ctypes.byref(described), ctypes.byref(options), handle),
        details=details,
        rotated=angle_view is not None,
    )


_MASK_FORMS = {
    "prototype": _ctypes.MASK_PROTOTYPE_PROBABILITIES,
    "input": _ctypes.MASK_INPUT_BINARY,
    "original": _ctypes.MASK_ORIGINAL_BINARY,
}


def _mask_request(prototypes, quant, extras_count, form, batch, width, height, geometry):
    """The request of quelt_batch_masks_* over ``prototypes`` and each
    image's grid size (rows, columns) in ``form``."""
    channels, rows, columns = prototypes.shape[1:]
    if prototypes.shape[0] != batch:
        raise ValueError(f"masks hold {prototypes.shape[0]} images, the predictions {batch}")
    if channels > extras_count:
        raise ValueError(
            f"masks have {channels} prototypes, but each candidate has {extras_count} extras; "
            "the last extras are the mask coefficients, one per prototype"
        )
    request = _ctypes.MaskRequest()
    request.struct_size = ctypes.sizeof(_ctypes.MaskRequest)
    request.kind = _MASK_FORMS[form]
    request.prototypes = _grid_view(prototypes, _quant_for(quant, "masks"))
    request.prototype_channels = channels
    request.prototype_height = rows
    request.prototype_width = columns
    request.coefficients_first = extras_count - channels
    request.coefficients_count = channels
    if form == "prototype":
        sizes = [(rows, columns)] * batch
    elif form == "input":
        sizes = [(height, width)] * batch
    else:
        geometries = [geometry] * batch if isinstance(geometry, Geometry) else list(geometry)
        # The image's pixels: those whose centre lies inside its size.
        pixels = lambda extent: max(math.ceil(extent - 0.5), 0)
        sizes = [(pixels(g.original_height), pixels(g.original_width)) for g in geometries]
    # The prototypes stay referenced by the request's owner below.
    request._prototypes = prototypes
    return request, sizes


def _grid_view(array: np.ndarray, quant) -> "_ctypes.GridView":
    """A checked (batch, channels, height, width) array as the library's map."""
    image, channel, row, column = (s // array.dtype.itemsize for s in array.strides)
    return _ctypes.GridView(array.ctypes.data, image, row, column, channel, _element(array, quant))


def decode_levels(
    boxes: Sequence[np.ndarray],
    scores: Sequence[np.ndarray],
    net_size: Union[int, Tuple[int, int]],
    *,
    strides: Sequence[int] = None,
    score_sum: Sequence[np.ndarray] = None,
    channels_last: bool = False,
    bins: int = None,
    score: Thresholds = 0.25,
    iou: Thresholds = 0.45,
    agnostic: bool = False,
    multi_label: bool = False,
    classes: Sequence[int] = None,
    max_det: int = 0,
    logits: bool = True,
    geometry: Geometries = None,
    quant: Quantization = None,
    sources: bool = False,
    extras: Sequence[np.ndarray] = None,
    keypoints=None,
    keypoint_logits: bool = True,
    keypoint_grid: bool = True,
) -> List[np.ndarray]:
    """Decodes raw per-level heads; returns one detections array per image.

    ``boxes`` and ``scores`` hold one array per level (e.g. strides 8, 16,
    32): box distributions (batch, 4 x bins, H, W), channel = side x bins +
    bin with the sides left, top, right, bottom, and class scores (batch,
    classes, H, W), logits unless ``logits=False``. With ``channels_last``
    they are (batch, H, W, channels) instead. Either way they are read in
    place through their strides, so an NHWC buffer seen as NCHW (or the
    reverse) costs no copy. ``score_sum``: optional per-level (batch, 1, H, W)
    probabilities that only screen cells (a cell is looked at when its sum is
    above ``score``).

    ``strides``: pixels per cell of each level; by default net width / W.
    ``bins``: box channels per side, by default the box channels / 4 (1: the
    four values are the distances themselves). Each box is the anchor point
    ((x + 0.5) x stride, (y + 0.5) x stride) -/+ the expectation of each
    side's softmax over its bins, times the stride. Only cells with a class
    above ``score`` are reduced.

    Arrays may be float32, float16 or quantized integers with ``quant``: one
    (scale, zero_point) for every integer array, or a dict with "boxes",
    "scores" and "score_sum", each one pair or one pair per level. The other
    options are those of :func:`decode`.

    ``extras``: one map per level (batch, E, H, W) (channels last with
    ``channels_last``), e.g. a pose head's keypoint maps; ``keypoints``, K or
    (K, values), reads them as keypoints: by default the raw terms of a pose
    head (``keypoint_grid``: x = (raw_x x 2 + gx) x stride, likewise y) with
    the visibility as a logit (``keypoint_logits``). ``sources`` and the
    return value as for :func:`decode`; a source counts the cells level
    after level, row by row.
    """
    if net_size is None:
        raise TypeError("decode_levels needs net_size, the network input (width, height) or one int")
    width, height = _net_size(net_size)
    if isinstance(boxes, np.ndarray) or isinstance(scores, np.ndarray):
        raise TypeError("boxes and scores are sequences of arrays, one per level")
    boxes, scores = list(boxes), list(scores)
    if len(boxes) != len(scores):
        raise ValueError(f"{len(boxes)} box maps but {len(scores)} score maps; one of each per level")
    sums = list(score_sum) if score_sum is not None else [None] * len(boxes)
    if len(sums) != len(boxes):
        raise ValueError(f"{len(sums)} score-sum maps for {len(boxes)} levels")
    if strides is not None and len(strides) != len(boxes):
        raise ValueError(f"{len(strides)} strides for {len(boxes)} levels")

    def level_quant(name: str, l: int):
        q = _quant_for(quant, name)
        if isinstance(quant, dict) and isinstance(q, (list, tuple)) and q and isinstance(q[0], (list, tuple)):
            return q[l]
        return q

    shape = "(batch, H, W, channels)" if channels_last else "(batch, channels, H, W)"
    level_list = (_ctypes.Level * max(len(boxes), 1))()
    kept = []  # the checked arrays, alive until the call returns
    batch = None
    class_count = None
    bin_count = bins
    for l, (b_map, s_map, sum_map) in enumerate(zip(boxes, scores, sums)):
        maps = []
        for name, array in (("boxes", b_map), ("scores", s_map), ("score_sum", sum_map)):
            if array is None:
                maps.append(None)
                continue
            checked = _float_view(array, f"{name}[{l}]", 4, shape, level_quant(name, l))
            if channels_last:
                checked = checked.transpose(0, 3, 1, 2)
            maps.append(checked)
        b_view, s_view, sum_view = maps
        if b_view.shape[2:] != s_view.shape[2:] or b_view.shape[0] != s_view.shape[0]:
            raise ValueError(
                f"level {l}: boxes {b_view.shape} and scores {s_view.shape} disagree on the batch or grid"
            )
        if batch is None:
            batch, class_count = s_view.shape[0], s_view.shape[1]
            if bin_count is None:
                if b_view.shape[1] % 4:
                    raise ValueError(f"boxes[{l}] has {b_view.shape[1]} channels, not 4 x bins")
                bin_count = b_view.shape[1] // 4
        if s_view.shape[0] != batch or s_view.shape[1] != class_count:
            raise ValueError(f"scores[{l}] {s_view.shape} disagrees with level 0 on the batch or classes")
        if b_view.shape[1] != 4 * bin_count:
            raise ValueError(f"boxes[{l}] has {b_view.shape[1]} channels, not 4 x {bin_count} bins")
        grid_h, grid_w = s_view.shape[2], s_view.shape[3]
        if strides is not None:
            stride = strides[l]
        elif width % grid_w == 0:
            stride = width // grid_w
        else:
            raise ValueError(f"level {l}: {grid_w} columns do not divide the network width {width}; give strides")
        level = level_list[l]
        level.height, level.width, level.stride = grid_h, grid_w, int(stride)
        level.boxes = _grid_view(b_view, level_quant("boxes", l))
        level.scores = _grid_view(s_view, level_quant("scores", l))
        if sum_view is not None:
            if sum_view.shape != (batch, 1, grid_h, grid_w):
                raise ValueError(f"score_sum[{l}] must be one channel on the grid, got {sum_view.shape}")
            level.score_sum = _grid_view(sum_view, level_quant("score_sum", l))
        kept.extend(m for m in maps if m is not None)

    described = _ctypes.Levels()
    _init(described, "quelt_levels_init")
    described.score_coding = _ctypes.SCORES_LOGITS if logits else _ctypes.SCORES_PROBABILITIES
    described.batch = batch or 0
    described.classes = class_count or 1
    described.bins = bin_count or 1
    described.level_count = len(boxes)
    described.levels = level_list
    images = batch or 0
    extras_count = 0
    if extras is not None:
        extras = list(extras)
        if len(extras) != len(boxes):
            raise ValueError(f"{len(extras)} extras maps for {len(boxes)} levels")
        extra_list = (_ctypes.GridView * max(len(extras), 1))()
        for l, array in enumerate(extras):
            checked = _float_view(array, f"extras[{l}]", 4, shape, level_quant("extras", l))
            if channels_last:
                checked = checked.transpose(0, 3, 1, 2)
            grid = (level_list[l].height, level_list[l].width)
            if checked.shape[0] != images or checked.shape[2:] != grid:
                raise ValueError(f"extras[{l}] {checked.shape} disagrees with level {l} on the batch or grid")
            if l and checked.shape[1] != extras_count:
                raise ValueError(f"extras[{l}] has {checked.shape[1]} channels, level 0 {extras_count}")
            extras_count = checked.shape[1]
            extra_list[l] = _grid_view(checked, level_quant("extras", l))
            kept.append(checked)
        described.extras = extra_list
    elif keypoints is not None:
        raise ValueError("keypoints are read from the extras maps: give extras")
    _describe_extras(described, extras_count, keypoints, keypoint_logits, keypoint_grid)
    details = None
    if sources or extras is not None or keypoints is not None:
        details = (
            bool(sources),
            extras_count if extras is not None else 0,
            _keypoint_shape(keypoints)[0] if keypoints is not None else 0,
        )

    options, kept_options = _decode_options(
        width, height, images, score, iou, agnostic, multi_label, max_det, classes, geometry
    )
    options.details = 1 if details is not None else 0
    # kept, level_list and kept_options stay alive as locals.
    return _decode(
        lambda lib, handle: _entry("quelt_decode_levels")(
            ctypes.byref(described), ctypes.byref(options), handle
        ),
        details=details,
    )
