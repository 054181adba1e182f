// Data over the Arrow C stream interface: the object's __arrow_c_stream__() hands over a stream
// of record batches, read here straight from their buffers.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <type_traits>

#include "api/data_input.hpp"

extern "C" {

// The Arrow C data and C stream interfaces, as the Arrow project publishes them for copying.
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace zeph::api::py {

using estimate::Code;
using estimate::Column;
using estimate::DataError;

namespace {

// Owns one struct of the Arrow C interface and calls the producer's release callback once.
template <class T>
struct Released {
  T s{};
  Released() = default;
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;
  ~Released() {
    if (s.release) s.release(&s);
  }
};
using Stream = Released<ArrowArrayStream>;
using Schema = Released<ArrowSchema>;
using Batch = Released<ArrowArray>;

[[noreturn]] void stream_failure(Stream& stream, int code) {
  const char* message = stream.s.get_last_error ? stream.s.get_last_error(&stream.s) : nullptr;
  throw DataError("reading the Arrow stream of data failed: " +
                  (message ? std::string(message) : "error " + std::to_string(code)));
}

bool bit(const void* bits, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bits)[i >> 3] >> (i & 7)) & 1;
}

// One chunk of a column: the array and where its rows start in the data.
struct Chunk {
  const ArrowArray* array;
  std::int64_t first;   // physical index of the chunk's first row in `array`
  std::int64_t length;  // rows
  std::size_t base;     // row number of the first row in the whole data
};

void check_buffers(const ArrowArray* a, std::int64_t needed, const std::string& name) {
  if (a->n_buffers < needed || a->buffers == nullptr) {
    throw DataError("column '" + name + "': the Arrow array has too few buffers for its type");
  }
  for (std::int64_t i = 1; i < needed; ++i) {
    if (a->buffers[i] == nullptr && a->length > 0) {
      throw DataError("column '" + name + "': the Arrow array lacks a data buffer");
    }
  }
}

// The first null row of a chunk (its validity bitmap), if any.
void check_nulls(const Chunk& c, const std::string& name) {
  const ArrowArray* a = c.array;
  if (a->null_count == 0 || a->buffers == nullptr || a->n_buffers < 1 || a->buffers[0] == nullptr) {
    return;
  }
  for (std::int64_t i = 0; i < c.length; ++i) {
    if (!bit(a->buffers[0], c.first + i)) {
      missing_value(name, "null", c.base + static_cast<std::size_t>(i));
    }
  }
}

// Readers of one value at a physical index, by Arrow type.
template <class T, class K>
struct Fixed {
  const T* values;
  explicit Fixed(const ArrowArray* a) : values(static_cast<const T*>(a->buffers[1])) {}
  K operator()(std::int64_t i) const { return static_cast<K>(values[i]); }
};
struct Bits {
  const void* values;
  explicit Bits(const ArrowArray* a) : values(a->buffers[1]) {}
  std::int64_t operator()(std::int64_t i) const { return bit(values, i) ? 1 : 0; }
};
template <class O>
struct Text {
  const O* offsets;
  const char* data;
  explicit Text(const ArrowArray* a)
      : offsets(static_cast<const O*>(a->buffers[1])),
        data(static_cast<const char*>(a->buffers[2])) {}
  std::string_view operator()(std::int64_t i) const {
    return {data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
  }
};
// Views: 16 bytes per value, the length first; up to 12 bytes inline, else a prefix, the index
// of a data buffer and the offset in it.
struct View {
  const std::uint8_t* views;
  const void* const* data;
  std::int64_t n_data;
  explicit View(const ArrowArray* a)
      : views(static_cast<const std::uint8_t*>(a->buffers[1])),
        data(a->buffers + 2),
        n_data(a->n_buffers - 3) {}
  std::string_view operator()(std::int64_t i) const {
    const std::uint8_t* v = views + 16 * i;
    std::int32_t length = 0;
    std::memcpy(&length, v, 4);
    if (length <= 12)
      return {reinterpret_cast<const char*>(v + 4), static_cast<std::size_t>(length)};
    std::int32_t buffer = 0;
    std::int32_t offset = 0;
    std::memcpy(&buffer, v + 8, 4);
    std::memcpy(&offset, v + 12, 4);
    if (buffer < 0 || buffer >= n_data) throw DataError("an Arrow string view points nowhere");
    return {static_cast<const char*>(data[buffer]) + offset, static_cast<std::size_t>(length)};
  }
};

// What a column's values are read as.
enum class Key { Int, UInt, Float, Bool, String, Bytes, Unsupported };

struct Type {
  Key key = Key::Unsupported;
  char code = 0;  // the format's letter for fixed-width types
  bool view = false;
  bool large = false;
};

Type type_of(const char* format) {
  std::string_view f(format ? format : "");
  Type t;
  if (f.size() == 1) {
    t.code = f[0];
    switch (f[0]) {
      case 'c':
      case 's':
      case 'i':
      case 'l':
        t.key = Key::Int;
        break;
      case 'C':
      case 'S':
      case 'I':
        t.key = Key::Int;
        break;
      case 'L':
        t.key = Key::UInt;
        break;
      case 'f':
      case 'g':
        t.key = Key::Float;
        break;
      case 'b':
        t.key = Key::Bool;
        break;
      case 'u':
      case 'U':
        t.key = Key::String;
        t.large = f[0] == 'U';
        break;
      case 'z':
      case 'Z':
        t.key = Key::Bytes;
        t.large = f[0] == 'Z';
        break;
      default:
        break;
    }
  } else if (f == "vu" || f == "vz") {
    t.key = f == "vu" ? Key::String : Key::Bytes;
    t.view = true;
  }
  return t;
}

// Calls visit(getter) with the reader of integer arrays of type t (dictionary indices among them).
template <class Visit>
void with_integer_reader(const Type& t, Visit visit) {
  switch (t.code) {
    case 'c':
      return visit([](const ArrowArray* a) { return Fixed<std::int8_t, std::int64_t>(a); });
    case 'C':
      return visit([](const ArrowArray* a) { return Fixed<std::uint8_t, std::int64_t>(a); });
    case 's':
      return visit([](const ArrowArray* a) { return Fixed<std::int16_t, std::int64_t>(a); });
    case 'S':
      return visit([](const ArrowArray* a) { return Fixed<std::uint16_t, std::int64_t>(a); });
    case 'i':
      return visit([](const ArrowArray* a) { return Fixed<std::int32_t, std::int64_t>(a); });
    case 'I':
      return visit([](const ArrowArray* a) { return Fixed<std::uint32_t, std::int64_t>(a); });
    case 'L':
      return visit([](const ArrowArray* a) { return Fixed<std::uint64_t, std::uint64_t>(a); });
    default:
      return visit([](const ArrowArray* a) { return Fixed<std::int64_t, std::int64_t>(a); });
  }
}

// Calls visit(getter) with the reader of arrays of type t.
template <class Visit>
void with_reader(const Type& t, Visit visit) {
  switch (t.code) {
    case 'c':
    case 'C':
    case 's':
    case 'S':
    case 'i':
    case 'I':
    case 'l':
    case 'L':
      return with_integer_reader(t, visit);
    case 'f':
      return visit([](const ArrowArray* a) { return Fixed<float, double>(a); });
    case 'g':
      return visit([](const ArrowArray* a) { return Fixed<double, double>(a); });
    case 'b':
      return visit([](const ArrowArray* a) { return Bits(a); });
    default:
      break;
  }
  if (t.view) return visit([](const ArrowArray* a) { return View(a); });
  if (t.large) return visit([](const ArrowArray* a) { return Text<std::int64_t>(a); });
  return visit([](const ArrowArray* a) { return Text<std::int32_t>(a); });
}

std::int64_t buffers_of(const Type& t) {
  return t.view ? 3 : (t.key == Key::String || t.key == Key::Bytes) ? 3 : 2;
}

template <class Coder>
void store_values(const Coder& coder, Key key, ColumnValues& out) {
  using V = std::decay_t<decltype(coder.values().front())>;
  if constexpr (std::is_same_v<V, std::string>) {
    out.kind = key == Key::Bytes ? ColumnValues::Kind::Bytes : ColumnValues::Kind::String;
    out.strings = coder.values();
  } else if constexpr (std::is_same_v<V, double>) {
    out.kind = ColumnValues::Kind::Float;
    out.floats = coder.values();
  } else if constexpr (std::is_same_v<V, std::uint64_t>) {
    out.kind = ColumnValues::Kind::UInt;
    out.uints = coder.values();
  } else {
    out.kind = key == Key::Bool ? ColumnValues::Kind::Bool : ColumnValues::Kind::Int;
    out.ints = coder.values();
  }
}

// Codes integer rows by their offset from `base` when every value lies in [base, base + span):
// one pass over the rows, in one byte per row for a span of at most 256. Returns false, with
// the column as it was, when some value lies outside.
template <class K, class Coder, class MakeReader>
bool code_window(const std::vector<Chunk>& chunks, MakeReader make, K base, std::uint64_t span,
                 Coder& coder, Column& column) {
  const std::size_t rows = column.small ? column.small_codes.size() : column.codes.size();
  if (span <= 256) {
    column.small = true;
    column.small_codes.resize(rows);
    column.codes = estimate::Codes();
  }
  std::vector<std::uint8_t> seen(static_cast<std::size_t>(span), 0);
  bool inside = true;
  estimate::with_codes(column, [&](auto* codes, std::size_t) {
    using T = std::remove_reference_t<decltype(*codes)>;
    for (const Chunk& c : chunks) {
      auto get = make(c.array);
      T* out = codes + c.base;
      std::uint8_t* mark = seen.data();
      for (std::int64_t i = 0; i < c.length; ++i) {
        std::uint64_t offset =
            static_cast<std::uint64_t>(get(c.first + i)) - static_cast<std::uint64_t>(base);
        if (offset >= span) {
          inside = false;
          return;
        }
        mark[offset] = 1;
        out[i] = static_cast<T>(offset);
      }
    }
  });
  if (!inside) {
    column.small = false;
    column.small_codes = estimate::SmallCodes();
    column.codes.resize(rows);
    return false;
  }
  coder.set_range(base, static_cast<K>(base + static_cast<K>(span - 1)));
  for (std::size_t slot = 0; slot < seen.size(); ++slot) {
    if (seen[slot]) coder.mark(static_cast<K>(base + static_cast<K>(slot)));
  }
  coder.finish();
  // The offsets are the codes when the values seen are the first of the window.
  std::vector<Code> order(seen.size(), 0);
  bool same = true;
  for (std::size_t slot = 0; slot < seen.size(); ++slot) {
    if (!seen[slot]) continue;
    order[slot] = coder.code_at(slot);
    same = same && order[slot] == slot;
  }
  if (!same) estimate::recode(column, order);
  return true;
}

// A plain column: mark every value, number them, then code every row.
template <class Coder, class MakeReader>
void code_plain(const std::vector<Chunk>& chunks, const Type& t, const std::string& name,
                MakeReader make, Column& column, ColumnValues& values) {
  Coder coder;
  for (const Chunk& c : chunks) check_buffers(c.array, buffers_of(t), name);
  if constexpr (std::is_integral_v<std::decay_t<decltype(make(chunks[0].array)(0))>>) {
    using K = std::decay_t<decltype(make(chunks[0].array)(0))>;
    // Integers mostly take a few values: guess a window of 256 values from the first rows and
    // code every row in one pass; only when a value falls outside is the range of all values
    // taken first.
    K low = std::numeric_limits<K>::max();
    K high = std::numeric_limits<K>::min();
    auto widen = [&](const Chunk& c, std::int64_t n) {
      auto get = make(c.array);
      for (std::int64_t i = 0; i < n; ++i) {
        K v = get(c.first + i);
        low = std::min(low, v);
        high = std::max(high, v);
      }
    };
    widen(chunks.front(), std::min<std::int64_t>(chunks.front().length, 4096));
    if (static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low) < 256 &&
        low <= std::numeric_limits<K>::max() - 255 &&
        code_window<K>(chunks, make, low, 256, coder, column)) {
      column.cardinality = static_cast<Code>(coder.values().size());
      store_values(coder, t.key, values);
      return;
    }
    for (const Chunk& c : chunks) widen(c, c.length);
    const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    if (span < (std::uint64_t{1} << 22)) {
      coder = Coder();
      code_window<K>(chunks, make, low, span + 1, coder, column);
      column.cardinality = static_cast<Code>(coder.values().size());
      store_values(coder, t.key, values);
      return;
    }
  }
  for (const Chunk& c : chunks) {
    auto get = make(c.array);
    for (std::int64_t i = 0; i < c.length; ++i) {
      auto v = get(c.first + i);
      if constexpr (std::is_floating_point_v<decltype(v)>) {
        if (std::isnan(v)) missing_value(name, "NaN", c.base + static_cast<std::size_t>(i));
      }
      coder.mark(v);
    }
  }
  coder.finish();
  for (const Chunk& c : chunks) {
    auto get = make(c.array);
    Code* out = column.codes.data() + c.base;
    for (std::int64_t i = 0; i < c.length; ++i) out[i] = coder.code(get(c.first + i));
  }
  column.cardinality = static_cast<Code>(coder.values().size());
  store_values(coder, t.key, values);
}

// A dictionary column: the rows hold indices into each chunk's own dictionary; the values
// that rows use are what is coded.
template <class Coder, class MakeReader>
void code_dictionary(const std::vector<Chunk>& chunks, const Type& index_type,
                     const Type& value_type, const std::string& name, MakeReader make,
                     Column& column, ColumnValues& values) {
  Coder coder;
  std::vector<std::vector<char>> used(chunks.size());
  auto index_of = [&](auto visit) {
    with_integer_reader(index_type, [&](auto make_index) { visit(make_index); });
  };
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    const Chunk& c = chunks[k];
    check_buffers(c.array, 2, name);
    const ArrowArray* dict = c.array->dictionary;
    if (dict == nullptr) throw DataError("column '" + name + "': an Arrow dictionary is missing");
    check_buffers(dict, buffers_of(value_type), name);
    used[k].assign(static_cast<std::size_t>(dict->length), 0);
    const bool dict_nulls = dict->null_count != 0 && dict->buffers[0] != nullptr;
    index_of([&](auto make_index) {
      auto index = make_index(c.array);
      for (std::int64_t i = 0; i < c.length; ++i) {
        auto at = index(c.first + i);
        bool negative = false;
        if constexpr (std::is_signed_v<decltype(at)>) negative = at < 0;
        if (negative ||
            static_cast<std::uint64_t>(at) >= static_cast<std::uint64_t>(dict->length)) {
          throw DataError("column '" + name +
                          "': an Arrow dictionary index is out of range at row " +
                          std::to_string(c.base + static_cast<std::size_t>(i)));
        }
        if (dict_nulls && !bit(dict->buffers[0], dict->offset + static_cast<std::int64_t>(at))) {
          missing_value(name, "null", c.base + static_cast<std::size_t>(i));
        }
        used[k][static_cast<std::size_t>(at)] = 1;
      }
    });
    auto get = make(dict);
    for (std::int64_t e = 0; e < dict->length; ++e) {
      if (!used[k][static_cast<std::size_t>(e)]) continue;
      auto v = get(dict->offset + e);
      if constexpr (std::is_floating_point_v<decltype(v)>) {
        if (std::isnan(v)) {
          // The first row that uses it.
          index_of([&](auto make_index) {
            auto index = make_index(c.array);
            for (std::int64_t i = 0; i < c.length; ++i) {
              if (static_cast<std::int64_t>(index(c.first + i)) == e) {
                missing_value(name, "NaN", c.base + static_cast<std::size_t>(i));
              }
            }
          });
        }
      }
      coder.mark(v);
    }
  }
  coder.finish();
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    const Chunk& c = chunks[k];
    const ArrowArray* dict = c.array->dictionary;
    auto get = make(dict);
    std::vector<Code> table(static_cast<std::size_t>(dict->length), 0);
    for (std::int64_t e = 0; e < dict->length; ++e) {
      if (used[k][static_cast<std::size_t>(e)]) {
        table[static_cast<std::size_t>(e)] = coder.code(get(dict->offset + e));
      }
    }
    Code* out = column.codes.data() + c.base;
    index_of([&](auto make_index) {
      auto index = make_index(c.array);
      for (std::int64_t i = 0; i < c.length; ++i) {
        out[i] = table[static_cast<std::size_t>(index(c.first + i))];
      }
    });
  }
  column.cardinality = static_cast<Code>(coder.values().size());
  store_values(coder, value_type.key, values);
}

[[noreturn]] void unsupported(const std::string& name, const char* format) {
  throw DataError("column '" + name + "' has the Arrow type of format '" +
                  std::string(format ? format : "") +
                  "', which estimate does not read: use integers, booleans, strings, floats or "
                  "dictionaries of them");
}

template <class Visit>
void with_coder(Key key, Visit visit) {
  switch (key) {
    case Key::Int:
    case Key::Bool:
      return visit(estimate::ValueCoder<std::int64_t>{});
    case Key::UInt:
      return visit(estimate::ValueCoder<std::uint64_t>{});
    case Key::Float:
      return visit(estimate::ValueCoder<double>{});
    case Key::String:
    case Key::Bytes:
      return visit(estimate::StringCoder{});
    case Key::Unsupported:
      break;
  }
}

void read_column(const std::vector<Chunk>& chunks, const ArrowSchema* schema,
                 const std::string& name, std::size_t rows, Column& column, ColumnValues& values) {
  column.codes.resize(rows);  // every row is written below
  for (const Chunk& c : chunks) check_nulls(c, name);
  if (std::string_view(schema->format ? schema->format : "") == "n") {
    if (rows > 0) missing_value(name, "null", 0);
    return;
  }
  if (schema->dictionary != nullptr) {
    Type index_type = type_of(schema->format);
    Type value_type = type_of(schema->dictionary->format);
    if (index_type.key != Key::Int && index_type.key != Key::UInt) {
      unsupported(name, schema->format);
    }
    if (value_type.key == Key::Unsupported) unsupported(name, schema->dictionary->format);
    with_coder(value_type.key, [&](auto coder) {
      with_reader(value_type, [&](auto make) {
        using R = std::decay_t<decltype(make(chunks.front().array)(0))>;
        using V = std::decay_t<decltype(coder.values().front())>;
        if constexpr (std::is_same_v<R, V> ||
                      (std::is_same_v<R, std::string_view> && std::is_same_v<V, std::string>)) {
          code_dictionary<std::decay_t<decltype(coder)>>(chunks, index_type, value_type, name, make,
                                                         column, values);
        }
      });
    });
    return;
  }
  Type t = type_of(schema->format);
  if (t.key == Key::Unsupported) unsupported(name, schema->format);
  if (chunks.empty()) {
    with_coder(t.key, [&](auto coder) { store_values(coder, t.key, values); });
    return;
  }
  with_coder(t.key, [&](auto coder) {
    with_reader(t, [&](auto make) {
      using R = std::decay_t<decltype(make(chunks.front().array)(0))>;
      using V = std::decay_t<decltype(coder.values().front())>;
      if constexpr (std::is_same_v<R, V> ||
                    (std::is_same_v<R, std::string_view> && std::is_same_v<V, std::string>)) {
        code_plain<std::decay_t<decltype(coder)>>(chunks, t, name, make, column, values);
      }
    });
  });
}

void read_weights(const std::vector<Chunk>& chunks, const ArrowSchema* schema,
                  const std::string& name, std::size_t rows, std::vector<double>& weights) {
  weights.assign(rows, 0.0);
  for (const Chunk& c : chunks) check_nulls(c, name);
  Type t = type_of(schema->format);
  if (schema->dictionary != nullptr ||
      (t.key != Key::Int && t.key != Key::UInt && t.key != Key::Float)) {
    throw DataError("weights column '" + name + "' has the Arrow type of format '" +
                    std::string(schema->format ? schema->format : "") +
                    "': weights must be numbers");
  }
  with_reader(t, [&](auto make) {
    for (const Chunk& c : chunks) {
      check_buffers(c.array, 2, name);
      auto get = make(c.array);
      if constexpr (std::is_arithmetic_v<decltype(get(0))>) {
        for (std::int64_t i = 0; i < c.length; ++i) {
          weights[c.base + static_cast<std::size_t>(i)] = static_cast<double>(get(c.first + i));
        }
      }
    }
  });
}

// Everything from the stream on: runs without the interpreter lock.
void read_stream(Stream& stream, const std::vector<std::string>& names, const std::string* weights,
                 Input& out) {
  Schema schema;
  if (int rc = stream.s.get_schema(&stream.s, &schema.s); rc != 0) stream_failure(stream, rc);
  const ArrowSchema& top = schema.s;
  if (std::string_view(top.format ? top.format : "") != "+s") {
    throw DataError("the Arrow stream of data is not a table of columns (its format is '" +
                    std::string(top.format ? top.format : "") + "')");
  }
  std::vector<std::string> wanted = names;
  if (weights != nullptr) wanted.push_back(*weights);
  std::vector<std::int64_t> field(wanted.size(), -1);
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    for (std::int64_t j = 0; j < top.n_children && field[i] < 0; ++j) {
      const char* n = top.children[j]->name;
      if (n != nullptr && wanted[i] == n) field[i] = j;
    }
    if (field[i] < 0) missing.push_back(wanted[i]);
  }
  missing_columns(missing, weights);

  std::vector<std::unique_ptr<Batch>> batches;
  std::size_t rows = 0;
  for (;;) {
    auto batch = std::make_unique<Batch>();
    if (int rc = stream.s.get_next(&stream.s, &batch->s); rc != 0) stream_failure(stream, rc);
    if (batch->s.release == nullptr) break;
    if (batch->s.n_children != top.n_children || batch->s.length < 0) {
      throw DataError("the Arrow stream of data holds a batch that does not match its schema");
    }
    rows += static_cast<std::size_t>(batch->s.length);
    batches.push_back(std::move(batch));
  }

  auto chunks_of = [&](std::int64_t j) {
    std::vector<Chunk> chunks;
    std::size_t base = 0;
    for (const auto& b : batches) {
      const ArrowArray* a = b->s.children[j];
      if (a->length < b->s.offset + b->s.length) {
        throw DataError("the Arrow stream of data holds a column shorter than its batch");
      }
      if (b->s.length > 0) chunks.push_back({a, a->offset + b->s.offset, b->s.length, base});
      base += static_cast<std::size_t>(b->s.length);
    }
    return chunks;
  };

  out.rows = rows;
  out.columns.assign(names.size(), Column{});
  out.values.clear();
  out.values.resize(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    read_column(chunks_of(field[i]), top.children[field[i]], names[i], rows, out.columns[i],
                out.values[i]);
  }
  if (weights != nullptr) {
    read_weights(chunks_of(field.back()), top.children[field.back()], *weights, rows, out.weights);
  }
}

}  // namespace

bool read_arrow(PyObject* data, const std::vector<std::string>& names, const std::string* weights,
                Input& out) {
  Ref export_stream(PyObject_GetAttrString(data, "__arrow_c_stream__"));
  if (!export_stream) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return false;
  }
  Ref capsule(PyObject_CallNoArgs(export_stream.get()));
  if (!capsule) {
    // A pandas frame exports the stream only with pyarrow installed; as a mapping it reads all
    // the same.
    if (PyErr_ExceptionMatches(PyExc_ImportError) && PyMapping_Check(data)) {
      PyErr_Clear();
      return false;
    }
    throw PythonError{};
  }
  if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
    PyErr_SetString(PyExc_TypeError,
                    "argument 'data': __arrow_c_stream__() did not return an "
                    "'arrow_array_stream' capsule");
    throw PythonError{};
  }
  auto* exported =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (exported == nullptr) throw PythonError{};
  if (exported->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "argument 'data': the Arrow stream was already consumed");
    throw PythonError{};
  }
  // The stream moves out of the capsule: the capsule no longer releases it.
  Stream stream;
  stream.s = *exported;
  exported->release = nullptr;
  capsule = Ref();
  without_gil([&] {
    Stream owned;
    owned.s = stream.s;
    stream.s.release = nullptr;
    read_stream(owned, names, weights, out);
  });
  return true;
}

}  // namespace zeph::api::py
