// NumPy .npy files of 32-bit floats: the values of a graph's tensors as NumPy keeps them.
//
// A file is the magic string "\x93NUMPY", the format version (two bytes, major and minor), the
// header's length (2 bytes little-endian in version 1.0, 4 bytes in 2.0 and 3.0), the header,
// a Python dictionary literal padded with spaces and ending in '\n', and the data:
// "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }" describes 6 little-endian
// floats in C order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "velk_compiler/graph.hpp"
#include "velk_io/error.hpp"

namespace velk_io {

struct NpyArray {
  velk_compiler::Shape shape;  // may be empty for a 0-d array (one element)
  std::vector<float> values;   // C order
  bool operator==(const NpyArray&) const = default;
};

// Reads a .npy file's bytes: format versions 1.0, 2.0 and 3.0, dtype '<f4' (fp32
// little-endian), C order. The header's keys may come in any order, with either kind of
// quotes and any spaces; dimensions may be 0. Never reads out of range. Refuses, with an
// empty place (the caller names the file), the first of, in this order:
//   "not a .npy file: it does not begin with \x93NUMPY"
//   "the file ends inside its preamble"                       (no version or header length)
//   "format version 4.0 is not supported (only 1.0, 2.0 and 3.0)"
//   "the header of 1000 bytes runs past the end of the file"
//   "malformed header: <what>"   e.g. "expected ':' after a key", "missing key 'shape'",
//                                "key 'descr' given twice", "unknown key 'x'",
//                                "descr is not a string", "fortran_order is not True or False",
//                                "shape is not a tuple of integers"
//   "dtype '<f8' is not supported (only '<f4', 32-bit little-endian floats)"
//   "fortran_order True is not supported (only C order)"
//   "shape dimension 99999999999999999999 is too large"
//   "shape (4294967296, 4294967296) has too many elements"
//   "data of 20 bytes does not match shape (2, 3), which needs 24"
[[nodiscard]] Result<NpyArray> read_npy(std::string_view bytes);

// The .npy bytes of the array exactly as numpy.save writes them: format 1.0 (2.0 for a header
// too long for 1.0, as numpy does), the keys in sorted order, a 1-d shape written "(5,)" and
// a 0-d one "()", numpy's spare spaces for growing the first axis, then spaces up to a
// multiple of 64 bytes and '\n'. Refuses a values count that differs from the shape's
// element count: "6 values do not fill shape (2, 2), which holds 4".
[[nodiscard]] Result<std::string> npy_bytes(const NpyArray& array);

}  // namespace velk_io
