// Inflates one zlib stream into a payload buffer whose capacity is fixed up
// front at 8 times the compressed size (at most 4 GiB - 1), fed in slices so
// that the compressed bytes never need to be in memory all at once. Results
// are zlib codes, reported the way zlib's uncompress reports them.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

class PayloadInflater {
 public:
  explicit PayloadInflater(size_t compressedSize);
  ~PayloadInflater();
  PayloadInflater(const PayloadInflater&) = delete;
  PayloadInflater& operator=(const PayloadInflater&) = delete;

  // Reserves the capacity and sets up zlib: Z_OK or Z_MEM_ERROR.
  int Start();
  // The next compressed bytes. Z_OK while all is well (bytes after the end
  // of the stream are ignored); Z_BUF_ERROR when the payload outgrows the
  // capacity; Z_DATA_ERROR for a corrupt stream.
  int Feed(const uint8_t* bytes, size_t count);
  // Z_OK when the stream ended; Z_DATA_ERROR when it was cut short.
  int Finish() const { return ended_ ? Z_OK : Z_DATA_ERROR; }
  bool Ended() const { return ended_; }

  uint32_t Produced() const { return static_cast<uint32_t>(stream_.total_out); }
  // Hands the payload over, trimmed to its size; release it with free().
  uint8_t* Release();

 private:
  uint64_t capacity_;
  uint8_t* buffer_ = nullptr;
  z_stream stream_{};
  bool started_ = false;
  bool ended_ = false;
};
