#include "data/arrow.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "utils/memory.hpp"

namespace zeph::data {

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
    // Checked before reading: offsets ascend, and the data buffer is there unless every string
    // is empty.
    const auto size = static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
    if (size == 0) return {};
    return {data + offsets[i], size};
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
    // Checked before reading: the view lies within a data buffer that exists.
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

template <class Coder>
void store_values(const Coder& coder, Key key, Values& out) {
  using V = std::decay_t<decltype(coder.values().front())>;
  if constexpr (std::is_same_v<V, std::string>) {
    out.kind = key == Key::Bytes ? Values::Kind::Bytes : Values::Kind::String;
    out.strings = coder.values();
  } else if constexpr (std::is_same_v<V, double>) {
    out.kind = Values::Kind::Float;
    out.floats = coder.values();
  } else if constexpr (std::is_same_v<V, std::uint64_t>) {
    out.kind = Values::Kind::UInt;
    out.uints = coder.values();
  } else {
    out.kind = key == Key::Bool ? Values::Kind::Bool : Values::Kind::Int;
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
    column.codes = Codes();
  }
  std::vector<std::uint8_t> seen(static_cast<std::size_t>(span), 0);
  bool inside = true;
  with_codes(column, [&](auto* codes, std::size_t) {
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
    column.small_codes = SmallCodes();
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
  if (!same) recode(column, order);
  return true;
}

// A plain column: mark every value, number them, then code every row.
template <class Coder, class MakeReader>
void code_plain(const std::vector<Chunk>& chunks, const Type& t, const std::string& name,
                MakeReader make, Column& column, Values& values) {
  Coder coder;
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

// ---- Validation ----------------------------------------------------------------------------

// The buffers an array of type t has: validity and values for fixed widths, validity, offsets
// and data for strings; for views at least validity, views and the sizes of the data buffers.
std::int64_t buffers_of(const Type& t) {
  if (t.key == Key::Unsupported) return -1;
  return t.key == Key::String || t.key == Key::Bytes ? 3 : 2;
}

// Checks the structure of `a` (a column's array, or a dictionary of one) before anything of it
// is read: its pointers, lengths, offsets and buffer count for type t, and, from
// [first, first + rows), that the validity bitmap and data buffers that will be read are there.
// `what` names it in messages ("column 'X': the Arrow array").
void check_array(const ArrowArray* a, const Type& t, std::int64_t n_buffers_needed,
                 const std::string& what) {
  if (a == nullptr) throw DataError(what + " is missing (a null pointer)");
  if (a->release == nullptr) throw DataError(what + " was already released");
  if (a->length < 0) throw DataError(what + " has a negative length");
  if (a->offset < 0) throw DataError(what + " has a negative offset");
  if (a->null_count < -1) throw DataError(what + " has a negative null count");
  if (a->n_buffers < 0 || a->n_children < 0) {
    throw DataError(what + " has a negative number of buffers or children");
  }
  if (a->length > std::numeric_limits<std::int64_t>::max() - a->offset) {
    throw DataError(what + " has an offset and length beyond the largest index");
  }
  if (t.view ? a->n_buffers < 3 : a->n_buffers != n_buffers_needed) {
    throw DataError(what + " has " + std::to_string(a->n_buffers) +
                    " buffers, which its type does not have");
  }
  if (a->n_buffers > 0 && a->buffers == nullptr) throw DataError(what + " has no buffers");
  if (a->n_children != 0) throw DataError(what + " has children, which its type does not have");
  if (a->null_count > 0 && a->n_buffers > 0 && a->buffers[0] == nullptr) {
    throw DataError(what + " counts nulls but has no validity bitmap");
  }
}

// The value buffer that reading `rows` elements of a checked array needs.
void check_values_buffer(const ArrowArray* a, std::int64_t rows, const std::string& what) {
  if (rows > 0 && a->buffers[1] == nullptr) throw DataError(what + " lacks a data buffer");
}

// Where a problem of an element lies: "row 3" of the data, or "entry 3" of a dictionary.
struct Place {
  const char* word;
  std::size_t base;  // number of the element at physical index `first`
  std::int64_t first;
  std::string at(std::int64_t i) const {
    return std::string(word) + " " + std::to_string(base + static_cast<std::size_t>(i - first));
  }
};

// Strings by offsets: the offsets of element i and i + 1 start at 0 or above and do not
// decrease, and a missing data buffer holds only empty strings.
template <class O>
void check_text(const ArrowArray* a, std::int64_t i, const Place& place, const std::string& what) {
  const O* offsets = static_cast<const O*>(a->buffers[1]);
  if (offsets[i] < 0) throw DataError(what + ": string offsets start below 0 at " + place.at(i));
  if (offsets[i + 1] < offsets[i]) {
    throw DataError(what + ": string offsets decrease at " + place.at(i));
  }
  if (offsets[i + 1] != offsets[i] && a->buffers[2] == nullptr) {
    throw DataError(what + ": the Arrow array lacks a data buffer");
  }
}

// Views: a view longer than 12 bytes lies within one of the data buffers, whose sizes the last
// buffer holds.
void check_view(const ArrowArray* a, std::int64_t i, const Place& place, const std::string& what) {
  const std::int64_t n_data = a->n_buffers - 3;
  const std::uint8_t* v = static_cast<const std::uint8_t*>(a->buffers[1]) + 16 * i;
  std::int32_t length = 0;
  std::memcpy(&length, v, 4);
  if (length < 0) throw DataError(what + ": a string view has a negative length at " + place.at(i));
  if (length <= 12) return;
  std::int32_t buffer = 0;
  std::int32_t offset = 0;
  std::memcpy(&buffer, v + 8, 4);
  std::memcpy(&offset, v + 12, 4);
  if (buffer < 0 || buffer >= n_data) {
    throw DataError(what + ": a string view points to a data buffer that does not exist at " +
                    place.at(i));
  }
  if (offset < 0) throw DataError(what + ": a string view has a negative offset at " + place.at(i));
  const auto* sizes = static_cast<const std::int64_t*>(a->buffers[a->n_buffers - 1]);
  if (sizes == nullptr)
    throw DataError(what + ": the Arrow array lacks the sizes of its data buffers");
  const std::int64_t size = sizes[buffer];
  if (a->buffers[2 + buffer] == nullptr || size < 0 ||
      static_cast<std::int64_t>(offset) + length > size) {
    throw DataError(what + ": a string view points past the end of its data buffer at " +
                    place.at(i));
  }
}

// Checks every element of [first, first + rows) that has a structure of its own.
void check_elements(const ArrowArray* a, const Type& t, std::int64_t first, std::int64_t rows,
                    const Place& place, const std::string& what) {
  if (rows == 0) return;
  if (t.view) {
    for (std::int64_t i = first; i < first + rows; ++i) check_view(a, i, place, what);
  } else if (t.key == Key::String || t.key == Key::Bytes) {
    for (std::int64_t i = first; i < first + rows; ++i) {
      if (t.large) {
        check_text<std::int64_t>(a, i, place, what);
      } else {
        check_text<std::int32_t>(a, i, place, what);
      }
    }
  }
}

// The dictionary entries that the rows of one chunk use, each numbered once in order of first
// use. A dictionary much longer than the chunk is marked in a hash table, so that memory follows
// the rows, not the length the producer claims.
class UsedEntries {
 public:
  UsedEntries(std::int64_t length, std::int64_t rows) : dense_(length <= 2 * rows + 4096) {
    if (dense_) slot_.assign(static_cast<std::size_t>(length), kNone);
  }
  // The slot of entry e, made if new; `row` is the row that uses it.
  std::uint32_t mark(std::int64_t e, std::size_t row) {
    std::uint32_t& s =
        dense_ ? slot_[static_cast<std::size_t>(e)] : sparse_.try_emplace(e, kNone).first->second;
    if (s == kNone) {
      s = static_cast<std::uint32_t>(entries_.size());
      entries_.push_back(e);
      first_row_.push_back(row);
    }
    return s;
  }
  std::uint32_t slot(std::int64_t e) const {
    return dense_ ? slot_[static_cast<std::size_t>(e)] : sparse_.find(e)->second;
  }
  const std::vector<std::int64_t>& entries() const noexcept { return entries_; }
  std::size_t first_row(std::uint32_t s) const noexcept { return first_row_[s]; }

 private:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  bool dense_;
  std::vector<std::uint32_t> slot_;
  std::unordered_map<std::int64_t, std::uint32_t> sparse_;
  std::vector<std::int64_t> entries_;
  std::vector<std::size_t> first_row_;
};

// A dictionary column: the rows hold indices into each chunk's own dictionary; the values
// that rows use are checked and coded.
template <class Coder, class MakeReader>
void code_dictionary(const std::vector<Chunk>& chunks, const Type& index_type,
                     const Type& value_type, const std::string& name, MakeReader make,
                     Column& column, Values& values) {
  Coder coder;
  std::vector<UsedEntries> used;
  used.reserve(chunks.size());
  auto index_of = [&](auto visit) {
    with_integer_reader(index_type, [&](auto make_index) { visit(make_index); });
  };
  const std::string what = "column '" + name + "'";
  for (const Chunk& c : chunks) {
    const ArrowArray* dict = c.array->dictionary;
    used.emplace_back(dict->length, c.length);
    UsedEntries& entries = used.back();
    const bool dict_nulls = dict->null_count != 0 && dict->buffers[0] != nullptr;
    index_of([&](auto make_index) {
      auto index = make_index(c.array);
      for (std::int64_t i = 0; i < c.length; ++i) {
        auto at = index(c.first + i);
        bool negative = false;
        if constexpr (std::is_signed_v<decltype(at)>) negative = at < 0;
        const std::size_t row = c.base + static_cast<std::size_t>(i);
        if (negative ||
            static_cast<std::uint64_t>(at) >= static_cast<std::uint64_t>(dict->length)) {
          throw DataError(what + ": an Arrow dictionary index is out of range at row " +
                          std::to_string(row));
        }
        if (dict_nulls && !bit(dict->buffers[0], dict->offset + static_cast<std::int64_t>(at))) {
          missing_value(name, "null", row);
        }
        entries.mark(static_cast<std::int64_t>(at), row);
      }
    });
    const Place place{"entry", 0, dict->offset};
    const std::string dict_what = what + ": the Arrow dictionary";
    check_values_buffer(dict, static_cast<std::int64_t>(entries.entries().size()), dict_what);
    for (std::int64_t e : entries.entries()) {
      check_elements(dict, value_type, dict->offset + e, 1, place, dict_what);
    }
    auto get = make(dict);
    for (std::uint32_t s = 0; s < entries.entries().size(); ++s) {
      auto v = get(dict->offset + entries.entries()[s]);
      if constexpr (std::is_floating_point_v<decltype(v)>) {
        if (std::isnan(v)) missing_value(name, "NaN", entries.first_row(s));
      }
      coder.mark(v);
    }
  }
  coder.finish();
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    const Chunk& c = chunks[k];
    const ArrowArray* dict = c.array->dictionary;
    auto get = make(dict);
    const UsedEntries& entries = used[k];
    std::vector<Code> table(entries.entries().size());
    for (std::size_t s = 0; s < table.size(); ++s) {
      table[s] = coder.code(get(dict->offset + entries.entries()[s]));
    }
    Code* out = column.codes.data() + c.base;
    index_of([&](auto make_index) {
      auto index = make_index(c.array);
      for (std::int64_t i = 0; i < c.length; ++i) {
        out[i] = table[entries.slot(static_cast<std::int64_t>(index(c.first + i)))];
      }
    });
  }
  column.cardinality = static_cast<Code>(coder.values().size());
  store_values(coder, value_type.key, values);
}

[[noreturn]] void unsupported(const std::string& name, const char* format, const char* reader) {
  throw DataError("column '" + name + "' has the Arrow type of format '" +
                  std::string(format ? format : "") + "', which " + reader +
                  " does not read: use integers, booleans, strings, floats or dictionaries of "
                  "them");
}

// The first null row of a chunk (its validity bitmap), if any.
void check_nulls(const Chunk& c, const std::string& name) {
  const ArrowArray* a = c.array;
  if (a->null_count == 0 || a->n_buffers < 1 || a->buffers[0] == nullptr) return;
  for (std::int64_t i = 0; i < c.length; ++i) {
    if (!bit(a->buffers[0], c.first + i)) {
      missing_value(name, "null", c.base + static_cast<std::size_t>(i));
    }
  }
}

template <class Visit>
void with_coder(Key key, Visit visit) {
  switch (key) {
    case Key::Int:
    case Key::Bool:
      return visit(ValueCoder<std::int64_t>{});
    case Key::UInt:
      return visit(ValueCoder<std::uint64_t>{});
    case Key::Float:
      return visit(ValueCoder<double>{});
    case Key::String:
    case Key::Bytes:
      return visit(StringCoder{});
    case Key::Unsupported:
      break;
  }
}

// Checks every chunk of a column of schema `schema` and type t: the structure of its arrays,
// then its nulls, then the elements that will be read.
void check_chunks(const std::vector<Chunk>& chunks, const ArrowSchema* schema, const Type& t,
                  const Type& dictionary_type, const std::string& name) {
  const std::string what = "column '" + name + "': the Arrow array";
  const bool dictionary = schema->dictionary != nullptr;
  for (const Chunk& c : chunks) {
    // The array's own structure was checked with its batch; here what depends on its type.
    const ArrowArray* a = c.array;
    check_array(a, t, dictionary ? 2 : buffers_of(t), what);
    if (dictionary) {
      if (a->dictionary == nullptr) {
        throw DataError("column '" + name + "': an Arrow dictionary is missing");
      }
      check_array(a->dictionary, dictionary_type, buffers_of(dictionary_type),
                  "column '" + name + "': the Arrow dictionary");
    } else if (a->dictionary != nullptr) {
      throw DataError("column '" + name + "': the Arrow array has a dictionary, its schema none");
    }
  }
  for (const Chunk& c : chunks) check_nulls(c, name);
  for (const Chunk& c : chunks) {
    check_values_buffer(c.array, c.length, what);
    if (!dictionary) {
      check_elements(c.array, t, c.first, c.length, Place{"row", c.base, c.first},
                     "column '" + name + "'");
    }
  }
}

void read_column(const std::vector<Chunk>& chunks, const ArrowSchema* schema,
                 const std::string& name, std::size_t rows, const char* reader, Column& column,
                 Values& values) {
  const std::string_view format(schema->format ? schema->format : "");
  if (format == "n") {
    // The null type: every row is missing.
    if (rows > 0) missing_value(name, "null", 0);
    return;
  }
  const bool dictionary = schema->dictionary != nullptr;
  Type t = type_of(schema->format);
  Type value_type = dictionary ? type_of(schema->dictionary->format) : Type{};
  if (dictionary) {
    if (t.key != Key::Int && t.key != Key::UInt) unsupported(name, schema->format, reader);
    if (value_type.key == Key::Unsupported) unsupported(name, schema->dictionary->format, reader);
  } else if (t.key == Key::Unsupported) {
    unsupported(name, schema->format, reader);
  }
  check_chunks(chunks, schema, t, value_type, name);
  column.codes.resize(rows);  // every row is written below
  const Type& coded = dictionary ? value_type : t;
  if (chunks.empty()) {
    with_coder(coded.key, [&](auto coder) { store_values(coder, coded.key, values); });
    return;
  }
  with_coder(coded.key, [&](auto coder) {
    with_reader(coded, [&](auto make) {
      using R = std::decay_t<decltype(make(chunks.front().array)(0))>;
      using V = std::decay_t<decltype(coder.values().front())>;
      if constexpr (std::is_same_v<R, V> ||
                    (std::is_same_v<R, std::string_view> && std::is_same_v<V, std::string>)) {
        if (dictionary) {
          code_dictionary<std::decay_t<decltype(coder)>>(chunks, t, value_type, name, make, column,
                                                         values);
        } else {
          code_plain<std::decay_t<decltype(coder)>>(chunks, t, name, make, column, values);
        }
      }
    });
  });
}

void read_weights(const std::vector<Chunk>& chunks, const ArrowSchema* schema,
                  const std::string& name, std::size_t rows, std::vector<double>& weights) {
  Type t = type_of(schema->format);
  if (schema->dictionary != nullptr ||
      (t.key != Key::Int && t.key != Key::UInt && t.key != Key::Float)) {
    throw DataError("weights column '" + name + "' has the Arrow type of format '" +
                    std::string(schema->format ? schema->format : "") +
                    "': weights must be numbers");
  }
  check_chunks(chunks, schema, t, Type{}, name);
  weights.assign(rows, 0.0);
  with_reader(t, [&](auto make) {
    for (const Chunk& c : chunks) {
      auto get = make(c.array);
      if constexpr (std::is_arithmetic_v<decltype(get(0))>) {
        for (std::int64_t i = 0; i < c.length; ++i) {
          weights[c.base + static_cast<std::size_t>(i)] = static_cast<double>(get(c.first + i));
        }
      }
    }
  });
}

// Everything after the stream is owned: its schema, its batches, then the columns asked for.
void read_owned(Stream& stream, const Request& request, Input& out) {
  const std::vector<std::string>& names = request.names;
  const std::string* weights = request.weights;
  const char* reader = request.reader;
  if (stream.s.get_schema == nullptr || stream.s.get_next == nullptr) {
    throw DataError("the Arrow stream of data lacks its get_schema or get_next callback");
  }
  Schema schema;
  if (int rc = stream.s.get_schema(&stream.s, &schema.s); rc != 0) stream_failure(stream, rc);
  const ArrowSchema& top = schema.s;
  if (top.release == nullptr) throw DataError("the Arrow stream of data gave no schema");
  if (std::string_view(top.format ? top.format : "") != "+s") {
    throw DataError("the Arrow stream of data is not a table of columns (its format is '" +
                    std::string(top.format ? top.format : "") + "')");
  }
  if (top.n_children < 0 || (top.n_children > 0 && top.children == nullptr)) {
    throw DataError("the schema of the Arrow stream of data lacks its columns");
  }
  for (std::int64_t j = 0; j < top.n_children; ++j) {
    if (top.children[j] == nullptr) {
      throw DataError("the schema of the Arrow stream of data lacks column " + std::to_string(j));
    }
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
  missing_columns(missing, request);
  for (std::int64_t j : field) {
    const ArrowSchema* column = top.children[j];
    if (column->n_children < 0 || (column->n_children > 0 && column->children == nullptr)) {
      throw DataError("the schema of column '" + std::string(column->name) +
                      "' lacks its children");
    }
  }

  std::vector<std::unique_ptr<Batch>> batches;
  std::size_t rows = 0;
  for (;;) {
    auto batch = std::make_unique<Batch>();
    if (int rc = stream.s.get_next(&stream.s, &batch->s); rc != 0) stream_failure(stream, rc);
    const ArrowArray& b = batch->s;
    if (b.release == nullptr) break;
    if (b.n_children != top.n_children || b.length < 0 || b.offset < 0 ||
        b.length > std::numeric_limits<std::int64_t>::max() - b.offset ||
        (b.n_children > 0 && b.children == nullptr)) {
      throw DataError("the Arrow stream of data holds a batch that does not match its schema");
    }
    for (std::int64_t j : field) {
      if (b.children[j] == nullptr) {
        throw DataError("the Arrow stream of data holds a batch without column '" +
                        std::string(top.children[j]->name) + "'");
      }
    }
    rows += static_cast<std::size_t>(b.length);
    batches.push_back(std::move(batch));
  }

  auto chunks_of = [&](std::size_t i) {
    const std::int64_t j = field[i];
    std::vector<Chunk> chunks;
    std::size_t base = 0;
    for (const auto& b : batches) {
      const ArrowArray* a = b->s.children[j];
      check_array(a, Type{}, a->n_buffers, "column '" + wanted[i] + "': the Arrow array");
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
    while_building([&] { return "reading column '" + names[i] + "'"; },
                   [&] {
                     read_column(chunks_of(i), top.children[field[i]], names[i], rows, reader,
                                 out.columns[i], out.values[i]);
                   });
  }
  if (weights != nullptr) {
    read_weights(chunks_of(names.size()), top.children[field.back()], *weights, rows, out.weights);
  }
}

}  // namespace

void read_stream(ArrowArrayStream& stream, const Request& request, Input& out) {
  Stream owned;
  owned.s = stream;
  stream.release = nullptr;
  read_owned(owned, request, out);
}

}  // namespace zeph::data
