// Python Image objects over core images, for the classes that hand pictures to Python and for
// the picture arguments that take them back.
#pragma once

#include "py.hpp"

#include <vector>

#include "talmiro_media/image.hpp"

namespace talmiro_py {

// A new Python Image holding `image` (one more holder of its bytes); null with an exception set.
PyObject* new_image(talmiro_media::SharedImage image);
// A new Python Image owning `image`, moved into a new shared reference.
PyObject* new_image(talmiro_media::Image&& image);
// A new Python list of Image objects, in the order of `images`.
PyObject* new_image_list(std::vector<talmiro_media::Image>&& images);

// The core image behind `obj` when it is an Image (the type cannot be subclassed), else null.
// Borrowed from `obj`: valid while `obj` is alive. Sets no exception.
const talmiro_media::SharedImage* image_or_null(PyObject* obj) noexcept;

}  // namespace talmiro_py
