// Data over the Arrow C stream interface: a stream of record batches, read straight from the
// producer's buffers into columns of codes. Everything the C interface lets a consumer check is
// checked before it is read: pointers, lengths and offsets, string offsets, string views against
// the sizes of their buffers, dictionary indices, and the agreement of each array with its
// schema. A failure is a DataError naming the column and what is wrong.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/columns.hpp"

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

namespace zeph::data {

// Reads the columns of the request from the stream, which it takes over: the stream, and every
// schema and batch it hands out, is released on return, on success and on failure.
// `stream.release` must not be null. Throws DataError; std::bad_alloc when memory runs out.
void read_stream(ArrowArrayStream& stream, const Request& request, Input& out);

}  // namespace zeph::data
