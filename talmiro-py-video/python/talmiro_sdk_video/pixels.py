"""Pixel conversions in NumPy: the test pattern's I420 pictures in the encoder's other input
formats, and decoded I420 pictures as RGB (the link's snapshot).
"""

from __future__ import annotations

import numpy as np

from . import _codec


def source_picture(image: _codec.Image, pixel_format: str):
    """The encoder's input for one pattern picture in `pixel_format` (numpy, no copy for i420)."""
    if pixel_format == "i420":
        return image
    y = np.asarray(image.y)
    u = np.asarray(image.u)
    v = np.asarray(image.v)
    if pixel_format == "nv12":
        uv = np.empty((u.shape[0], u.shape[1] * 2), dtype=np.uint8)
        uv[:, 0::2] = u
        uv[:, 1::2] = v
        return np.concatenate([y.reshape(-1), uv.reshape(-1)])
    rgb = yuv_to_rgb(y, u, v)
    order = {"rgb24": [0, 1, 2], "bgr24": [2, 1, 0], "rgba": [0, 1, 2], "bgra": [2, 1, 0]}
    out = rgb[:, :, order[pixel_format]]
    if pixel_format in ("rgba", "bgra"):
        alpha = np.full(out.shape[:2] + (1,), 255, dtype=np.uint8)
        out = np.concatenate([out, alpha], axis=2)
    return np.ascontiguousarray(out)


def yuv_to_rgb(y: np.ndarray, u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Limited-range BT.601 4:2:0 to 8-bit RGB, shape (h, w, 3)."""
    h, w = y.shape
    uu = np.repeat(np.repeat(u, 2, axis=0), 2, axis=1)[:h, :w].astype(np.float32) - 128.0
    vv = np.repeat(np.repeat(v, 2, axis=0), 2, axis=1)[:h, :w].astype(np.float32) - 128.0
    yy = (y.astype(np.float32) - 16.0) * (255.0 / 219.0)
    r = yy + 1.596 * vv
    g = yy - 0.392 * uu - 0.813 * vv
    b = yy + 2.017 * uu
    return np.clip(np.stack([r, g, b], axis=2) + 0.5, 0, 255).astype(np.uint8)
