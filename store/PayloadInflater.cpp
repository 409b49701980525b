#include "store/PayloadInflater.h"

#include <climits>
#include <cstdlib>

namespace {

// The payload may claim at most this many times the compressed size.
constexpr uint64_t kMaxExpansion = 8;

}  // namespace

PayloadInflater::PayloadInflater(size_t compressedSize) {
  // In 64 bits: 8 times a large size must not wrap to a small capacity.
  capacity_ = uint64_t{compressedSize} * kMaxExpansion;
  if (compressedSize > UINT32_MAX || capacity_ > UINT32_MAX) capacity_ = UINT32_MAX;
}

PayloadInflater::~PayloadInflater() {
  if (started_) inflateEnd(&stream_);
  std::free(buffer_);
}

int PayloadInflater::Start() {
  // Reserved, not touched: only the pages zlib writes cost memory.
  buffer_ = static_cast<uint8_t*>(std::malloc(capacity_ > 0 ? capacity_ : 1));
  if (buffer_ == nullptr) return Z_MEM_ERROR;
  if (inflateInit(&stream_) != Z_OK) return Z_MEM_ERROR;
  started_ = true;
  stream_.next_out = buffer_;
  stream_.avail_out = static_cast<uInt>(capacity_);
  return Z_OK;
}

int PayloadInflater::Feed(const uint8_t* bytes, size_t count) {
  if (!started_) return Z_STREAM_ERROR;
  while (count > 0 && !ended_) {
    uInt slice = count > UINT_MAX ? UINT_MAX : static_cast<uInt>(count);
    stream_.next_in = const_cast<Bytef*>(bytes);
    stream_.avail_in = slice;
    for (;;) {
      int rc = inflate(&stream_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        ended_ = true;
        break;
      }
      if (rc == Z_NEED_DICT) return Z_DATA_ERROR;
      if (rc == Z_OK || rc == Z_BUF_ERROR) {
        if (stream_.avail_in == 0) break;           // wants more input
        if (rc == Z_BUF_ERROR) return Z_BUF_ERROR;  // input left, no room: capacity exhausted
        continue;
      }
      return rc;
    }
    bytes += slice;
    count -= slice;
  }
  return Z_OK;
}

uint8_t* PayloadInflater::Release() {
  uint8_t* out = buffer_;
  buffer_ = nullptr;
  uint32_t produced = Produced();
  if (out != nullptr && produced > 0 && produced < capacity_) {
    if (auto* trimmed = static_cast<uint8_t*>(std::realloc(out, produced))) out = trimmed;
  }
  return out;
}
