// Tests of .npy files: the files numpy writes (fixtures/npy, made by make_fixtures.py) read
// back with their values bit for bit, npy_bytes writes numpy's bytes exactly, the header
// forms numpy's reader accepts, and every refusal of a malformed file.
#include "velk_io/npy.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "velk_io/files.hpp"

namespace velk_io {
namespace {

std::string fixture(const std::string& name) {
  const Result<std::string> bytes = read_file(std::string(VELK_SOURCE_DIR) + "/velk-io/tests/fixtures/npy/" + name);
  EXPECT_TRUE(bytes) << bytes.error();
  return bytes.value_or("");
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> result;
  for (const float value : values) result.push_back(std::bit_cast<std::uint32_t>(value));
  return result;
}

std::string le32(std::uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

// A version 1.0 file of the header text (unpadded) and the data bytes.
std::string npy_file(std::string_view header, std::string_view data) {
  std::string out("\x93NUMPY\x01\x00", 8);
  out += static_cast<char>(header.size() & 0xFF);
  out += static_cast<char>(header.size() >> 8);
  return out + std::string(header) + std::string(data);
}

const std::string six_floats(24, '\0');

std::string header_of(std::string_view shape) {
  return "{'descr': '<f4', 'fortran_order': False, 'shape': " + std::string(shape) + ", }";
}

std::string error_message(const Result<NpyArray>& result) {
  return result ? std::string("<no error>") : to_string(result.error());
}

TEST(ReadNpy, ReadsTheFilesNumpyWrites) {
  const std::vector<float> matrix = {0.5F, -1.25F, 3.0F, 0.1F, -0.0F, 1e30F};
  struct Case {
    const char* file;
    velk_compiler::Shape shape;
    std::vector<float> values;
  };
  const Case cases[] = {
      {"f4_2x3.npy", {2, 3}, matrix},    {"f4_2x3_v2.npy", {2, 3}, matrix},
      {"f4_2x3_v3.npy", {2, 3}, matrix}, {"f4_5.npy", {5}, {0.0F, 0.5F, 1.0F, 1.5F, 2.0F}},
      {"f4_scalar.npy", {}, {7.25F}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Result<NpyArray> array = read_npy(fixture(c.file));
    ASSERT_TRUE(array) << array.error();
    EXPECT_EQ(array->shape, c.shape);
    EXPECT_EQ(bits(array->values), bits(c.values));
  }
}

TEST(NpyBytes, WritesExactlyWhatNumpySaveWrites) {
  for (const char* file : {"f4_2x3.npy", "f4_5.npy", "f4_scalar.npy"}) {
    SCOPED_TRACE(file);
    const std::string bytes = fixture(file);
    const Result<NpyArray> array = read_npy(bytes);
    ASSERT_TRUE(array) << array.error();
    EXPECT_EQ(npy_bytes(*array), bytes);
  }
}

TEST(ReadNpy, RefusesNumpysFilesOfOtherKinds) {
  EXPECT_EQ(error_message(read_npy(fixture("f8_2x2.npy"))),
            "dtype '<f8' is not supported (only '<f4', 32-bit little-endian floats)");
  EXPECT_EQ(error_message(read_npy(fixture("f4_fortran.npy"))), "fortran_order True is not supported (only C order)");
}

// Python's literal syntax allows these, and numpy's reader with it.
TEST(ReadNpy, AcceptsTheHeaderFormsOfPython) {
  struct Case {
    const char* header;
    velk_compiler::Shape shape;
    std::size_t data_bytes;
  };
  const Case cases[] = {
      {R"({"shape": (2, 3), "fortran_order": False, "descr": "<f4"})", {2, 3}, 24},
      {"{ 'descr' : '<f4' ,\n'fortran_order':False,'shape':( 2 , 3 , ) , }  \n", {2, 3}, 24},
      {"{'descr': '<f4', 'fortran_order': False, 'shape': (0, 3), }", {0, 3}, 0},
      {"{'descr': '<f4', 'fortran_order': False, 'shape': (), }", {}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    const Result<NpyArray> array = read_npy(npy_file(c.header, std::string(c.data_bytes, '\0')));
    ASSERT_TRUE(array) << array.error();
    EXPECT_EQ(array->shape, c.shape);
    EXPECT_EQ(array->values.size() * 4, c.data_bytes);
  }
}

TEST(ReadNpy, RefusesMalformedFiles) {
  const std::string v1("\x93NUMPY\x01\x00", 8);
  const std::string v2("\x93NUMPY\x02\x00", 8);
  struct Case {
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"", "not a .npy file: it does not begin with \\x93NUMPY"},
      {"\x93NUM", "not a .npy file: it does not begin with \\x93NUMPY"},
      {"\x93NUMPX\x01\x00", "not a .npy file: it does not begin with \\x93NUMPY"},
      {"\x93NUMPY\x01", "the file ends inside its preamble"},
      {v1 + "\x05", "the file ends inside its preamble"},
      {v2 + std::string("\x05\x00\x00", 3), "the file ends inside its preamble"},
      {std::string("\x93NUMPY\x04\x00", 8) + le32(0), "format version 4.0 is not supported (only 1.0, 2.0 and 3.0)"},
      {std::string("\x93NUMPY\x01\x01", 8) + le32(0), "format version 1.1 is not supported (only 1.0, 2.0 and 3.0)"},
      {std::string("\x93NUMPY\x00\x00", 8) + le32(0), "format version 0.0 is not supported (only 1.0, 2.0 and 3.0)"},
      {v1 + std::string("\xE8\x03", 2) + std::string(50, ' '),
       "the header of 1000 bytes runs past the end of the file"},
      {v2 + le32(0xFFFFFFFF) + header_of("(2, 3)"), "the header of 4294967295 bytes runs past the end of the file"},
      {npy_file("", ""), "malformed header: expected '{'"},
      {npy_file("'descr': '<f4'", ""), "malformed header: expected '{'"},
      {npy_file("{descr: '<f4'}", ""), "malformed header: expected a quoted key"},
      {npy_file("{'descr", ""), "malformed header: expected a quoted key"},
      {npy_file("{'descr' '<f4'}", ""), "malformed header: expected ':' after a key"},
      {npy_file("{'descr': '<f4' 'shape': ()}", ""), "malformed header: expected ',' or '}' after a value"},
      {npy_file(header_of("(2, 3)") + " x", six_floats), "malformed header: text after the dictionary"},
      {npy_file("{}", ""), "malformed header: missing key 'descr'"},
      {npy_file("{'descr': '<f4', 'shape': (2, 3)}", six_floats), "malformed header: missing key 'fortran_order'"},
      {npy_file("{'descr': '<f4', 'fortran_order': False}", six_floats), "malformed header: missing key 'shape'"},
      {npy_file("{'descr': '<f4', 'descr': '<f4'}", ""), "malformed header: key 'descr' given twice"},
      {npy_file("{'descr': '<f4', 'order': 'C'}", ""), "malformed header: unknown key 'order'"},
      {npy_file("{'descr': 4}", ""), "malformed header: descr is not a string"},
      {npy_file("{'fortran_order': false}", ""), "malformed header: fortran_order is not True or False"},
      {npy_file(header_of("(6)"), six_floats), "malformed header: shape is not a tuple of integers"},
      {npy_file(header_of("(2, -3)"), six_floats), "malformed header: shape is not a tuple of integers"},
      {npy_file(header_of("(2,,)"), six_floats), "malformed header: shape is not a tuple of integers"},
      {npy_file(header_of("(,)"), six_floats), "malformed header: shape is not a tuple of integers"},
      {npy_file(header_of("[2, 3]"), six_floats), "malformed header: shape is not a tuple of integers"},
      {npy_file(header_of("(2, 3"), six_floats), "malformed header: shape is not a tuple of integers"},
      {npy_file("{'descr': '>f4', 'fortran_order': False, 'shape': (2, 3)}", six_floats),
       "dtype '>f4' is not supported (only '<f4', 32-bit little-endian floats)"},
      {npy_file(header_of("(99999999999999999999,)"), ""), "shape dimension 99999999999999999999 is too large"},
      {npy_file(header_of("(4294967296, 4294967296)"), ""), "shape (4294967296, 4294967296) has too many elements"},
      // The element count fits a machine word, its byte size does not.
      {npy_file(header_of("(4611686018427387904,)"), ""), "shape (4611686018427387904,) has too many elements"},
      {npy_file(header_of("(2, 3)"), std::string(20, '\0')),
       "data of 20 bytes does not match shape (2, 3), which needs 24"},
      {npy_file(header_of("(2, 3)"), std::string(28, '\0')),
       "data of 28 bytes does not match shape (2, 3), which needs 24"},
      {npy_file(header_of("()"), ""), "data of 0 bytes does not match shape (), which needs 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Result<NpyArray> array = read_npy(c.bytes);
    ASSERT_FALSE(array);
    EXPECT_EQ(array.error(), (IoError{"", c.message}));
  }
}

TEST(NpyBytes, ReadsBackAndAlignsTheData) {
  velk_compiler::Shape many_axes(30000, 1);
  struct Case {
    const char* label;
    NpyArray array;
    char version;
  };
  const Case cases[] = {
      {"2-D", {{2, 2}, {1.0F, -0.0F, 1e-40F, 3.5F}}, 1},
      {"an empty axis", {{3, 0}, {}}, 1},
      // Its header does not fit the 16-bit length of version 1.0, so numpy writes 2.0.
      {"thirty thousand axes", {many_axes, {2.5F}}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Result<std::string> bytes = npy_bytes(c.array);
    ASSERT_TRUE(bytes) << bytes.error();
    EXPECT_EQ((*bytes)[6], c.version);
    EXPECT_EQ((bytes->size() - c.array.values.size() * 4) % 64, 0u);
    const Result<NpyArray> read = read_npy(*bytes);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->shape, c.array.shape);
    EXPECT_EQ(bits(read->values), bits(c.array.values));
  }
}

TEST(NpyBytes, RefusesValuesThatDoNotFillTheShape) {
  EXPECT_EQ(npy_bytes({{2, 2}, std::vector<float>(6)}),
            std::unexpected(IoError{"", "6 values do not fill shape (2, 2), which holds 4"}));
  EXPECT_EQ(npy_bytes({{5}, {}}), std::unexpected(IoError{"", "0 values do not fill shape (5,), which holds 5"}));
}

}  // namespace
}  // namespace velk_io
