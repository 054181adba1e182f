#include "data/arrow.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using zeph::data::DataError;
using zeph::data::Input;

void release_schema(ArrowSchema* s) {
  s->release = nullptr;
}
void release_array(ArrowArray* a) {
  a->release = nullptr;
}

// A stream of one batch of two columns, as a producer hands it over: X holds strings (or what a
// case puts there), Y holds int64 values; every struct is a member, so a case may break any of it.
struct Table {
  // Buffers.
  std::int32_t offsets[3] = {0, 2, 3};
  char chars[4] = "abc";
  std::int64_t ints[2] = {5, 7};
  std::uint8_t views[32] = {};
  std::int64_t view_sizes[1] = {20};
  char view_data[20] = "0123456789abcdefghi";
  std::int8_t indices[2] = {1, 0};
  const void* x_buffers[4] = {nullptr, offsets, chars, nullptr};
  const void* y_buffers[2] = {nullptr, ints};
  const void* dict_buffers[3] = {nullptr, offsets, chars};

  ArrowSchema x_schema{"u", "X", nullptr, 0, 0, nullptr, nullptr, release_schema, nullptr};
  ArrowSchema y_schema{"l", "Y", nullptr, 0, 0, nullptr, nullptr, release_schema, nullptr};
  ArrowSchema dict_schema{"u", "", nullptr, 0, 0, nullptr, nullptr, release_schema, nullptr};
  ArrowSchema* fields[2] = {&x_schema, &y_schema};
  ArrowSchema top{"+s", "", nullptr, 0, 2, fields, nullptr, release_schema, nullptr};

  ArrowArray x{2, 0, 0, 3, 0, x_buffers, nullptr, nullptr, release_array, nullptr};
  ArrowArray y{2, 0, 0, 2, 0, y_buffers, nullptr, nullptr, release_array, nullptr};
  ArrowArray dict{2, 0, 0, 3, 0, dict_buffers, nullptr, nullptr, release_array, nullptr};
  ArrowArray* columns[2] = {&x, &y};
  ArrowArray batch{2, 0, 0, 1, 2, nullptr, columns, nullptr, release_array, nullptr};
  int handed = 0;

  // X as string views: "ab", then a view of 15 bytes at `offset` of data buffer `buffer`.
  void use_views(std::int32_t length, std::int32_t buffer, std::int32_t offset) {
    x_schema.format = "vu";
    std::int32_t first[2] = {2, 0};
    std::memcpy(views, first, 4);
    std::memcpy(views + 4, "ab", 2);
    std::memcpy(views + 16, &length, 4);
    std::memcpy(views + 24, &buffer, 4);
    std::memcpy(views + 28, &offset, 4);
    x_buffers[1] = views;
    x_buffers[2] = view_data;
    x_buffers[3] = view_sizes;
    x.n_buffers = 4;
  }
  // X as a dictionary of the strings "ab", "c" with int8 indices 1, 0.
  void use_dictionary() {
    x_schema.format = "c";
    x_schema.dictionary = &dict_schema;
    x_buffers[1] = indices;
    x.n_buffers = 2;
    x.dictionary = &dict;
  }

  static int get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    *out = static_cast<Table*>(s->private_data)->top;
    return 0;
  }
  static int get_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* t = static_cast<Table*>(s->private_data);
    if (t->handed++ == 0) {
      *out = t->batch;
    } else {
      out->release = nullptr;
    }
    return 0;
  }
  static void release(ArrowArrayStream* s) { s->release = nullptr; }

  ArrowArrayStream stream() { return {get_schema, get_next, nullptr, release, this}; }
};

// The message of reading X and Y, or "" when they are read.
std::string read(const std::function<void(Table&)>& change, Input* out = nullptr) {
  Table t;
  change(t);
  ArrowArrayStream s = t.stream();
  Input input;
  try {
    zeph::data::read_stream(s, {{"X", "Y"}}, input);
  } catch (const DataError& e) {
    EXPECT_EQ(s.release, nullptr);
    return e.message();
  }
  EXPECT_EQ(s.release, nullptr);
  if (out) *out = std::move(input);
  return "";
}

TEST(ArrowReader, ReadsValidLayouts) {
  Input in;
  EXPECT_EQ(read([](Table&) {}, &in), "");
  EXPECT_EQ(in.rows, 2u);
  EXPECT_EQ(in.values[0].strings, (std::vector<std::string>{"ab", "c"}));
  EXPECT_EQ(in.values[1].ints, (std::vector<std::int64_t>{5, 7}));
  // Views: one inline, one in a data buffer; and views all inline, without data buffers.
  EXPECT_EQ(read([](Table& t) { t.use_views(15, 0, 4); }, &in), "");
  EXPECT_EQ(in.values[0].strings, (std::vector<std::string>{"456789abcdefghi", "ab"}));
  EXPECT_EQ(read(
                [](Table& t) {
                  t.use_views(3, 0, 0);
                  t.x_buffers[2] = t.view_sizes;
                  t.x.n_buffers = 3;
                },
                &in),
            "");
  EXPECT_EQ(in.values[0].strings.size(), 2u);
  // Empty strings without a data buffer; a batch of no rows with no buffers at all.
  EXPECT_EQ(read([](Table& t) {
              t.offsets[1] = t.offsets[2] = 0;
              t.x_buffers[2] = nullptr;
            }),
            "");
  EXPECT_EQ(read(
                [](Table& t) {
                  t.batch.length = t.x.length = t.y.length = 0;
                  t.x_buffers[1] = t.x_buffers[2] = t.y_buffers[1] = nullptr;
                },
                &in),
            "");
  EXPECT_EQ(in.rows, 0u);
  EXPECT_EQ(read([](Table& t) { t.use_dictionary(); }, &in), "");
  EXPECT_EQ(in.values[0].strings, (std::vector<std::string>{"ab", "c"}));
  EXPECT_EQ(std::vector<zeph::data::Code>(in.columns[0].codes.begin(), in.columns[0].codes.end()),
            (std::vector<zeph::data::Code>{1, 0}));
}

struct Broken {
  const char* name;
  std::function<void(Table&)> change;
  const char* message;
};

TEST(ArrowReader, RefusesWhatItCannotReadSafely) {
  const Broken cases[] = {
      {"offsets decrease", [](Table& t) { t.offsets[2] = 1; },
       "column 'X': string offsets decrease at row 1"},
      {"offsets below 0", [](Table& t) { t.offsets[0] = -4; },
       "column 'X': string offsets start below 0 at row 0"},
      {"no data buffer", [](Table& t) { t.x_buffers[2] = nullptr; },
       "column 'X': the Arrow array lacks a data buffer"},
      {"view past its buffer", [](Table& t) { t.use_views(15, 0, 6); },
       "column 'X': a string view points past the end of its data buffer at row 1"},
      {"view into no buffer", [](Table& t) { t.use_views(15, 1, 0); },
       "column 'X': a string view points to a data buffer that does not exist at row 1"},
      {"view of negative length", [](Table& t) { t.use_views(-15, 0, 0); },
       "column 'X': a string view has a negative length at row 1"},
      {"view at a negative offset", [](Table& t) { t.use_views(15, 0, -1); },
       "column 'X': a string view has a negative offset at row 1"},
      {"negative batch offset", [](Table& t) { t.batch.offset = -1; },
       "the Arrow stream of data holds a batch that does not match its schema"},
      {"negative column offset", [](Table& t) { t.y.offset = -2; },
       "column 'Y': the Arrow array has a negative offset"},
      {"negative dictionary offset",
       [](Table& t) {
         t.use_dictionary();
         t.dict.offset = -1;
       },
       "column 'X': the Arrow dictionary has a negative offset"},
      {"dictionary of length -1",
       [](Table& t) {
         t.use_dictionary();
         t.dict.length = -1;
       },
       "column 'X': the Arrow dictionary has a negative length"},
      {"dictionary index out of range",
       [](Table& t) {
         t.use_dictionary();
         t.indices[0] = 2;
       },
       "column 'X': an Arrow dictionary index is out of range at row 0"},
      {"dictionary without its array",
       [](Table& t) {
         t.use_dictionary();
         t.x.dictionary = nullptr;
       },
       "column 'X': an Arrow dictionary is missing"},
      {"schema without a format", [](Table& t) { t.top.format = nullptr; },
       "the Arrow stream of data is not a table of columns (its format is '')"},
      {"null schema child", [](Table& t) { t.fields[1] = nullptr; },
       "the schema of the Arrow stream of data lacks column 1"},
      {"null schema children", [](Table& t) { t.top.children = nullptr; },
       "the schema of the Arrow stream of data lacks its columns"},
      {"null array child", [](Table& t) { t.columns[0] = nullptr; },
       "the Arrow stream of data holds a batch without column 'X'"},
      {"null array children", [](Table& t) { t.batch.children = nullptr; },
       "the Arrow stream of data holds a batch that does not match its schema"},
      {"too few buffers", [](Table& t) { t.x.n_buffers = 2; },
       "column 'X': the Arrow array has 2 buffers, which its type does not have"},
      {"no buffer list", [](Table& t) { t.y.buffers = nullptr; },
       "column 'Y': the Arrow array has no buffers"},
      {"nulls without a bitmap", [](Table& t) { t.y.null_count = 1; },
       "column 'Y': the Arrow array counts nulls but has no validity bitmap"},
      {"children of a leaf", [](Table& t) { t.y.n_children = 1; },
       "column 'Y': the Arrow array has children, which its type does not have"},
      {"column shorter than its batch", [](Table& t) { t.y.length = 1; },
       "the Arrow stream of data holds a column shorter than its batch"},
      {"released column", [](Table& t) { t.y.release = nullptr; },
       "column 'Y': the Arrow array was already released"},
  };
  for (const Broken& c : cases) EXPECT_EQ(read(c.change), c.message) << c.name;
}

TEST(ArrowReader, StreamsWithoutCallbacksAreRefused) {
  Table t;
  for (int which = 0; which < 2; ++which) {
    ArrowArrayStream s = t.stream();
    if (which == 0) {
      s.get_schema = nullptr;
    } else {
      s.get_next = nullptr;
    }
    Input input;
    try {
      zeph::data::read_stream(s, {{"X"}}, input);
      ADD_FAILURE() << "read without a callback";
    } catch (const DataError& e) {
      EXPECT_EQ(e.message(), "the Arrow stream of data lacks its get_schema or get_next callback");
    }
    EXPECT_EQ(s.release, nullptr);
  }
}

}  // namespace
