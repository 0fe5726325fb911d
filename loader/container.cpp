#include "loader/container.h"

#include <lzma.h>

#include <cstring>
#include <memory>
#include <new>

namespace vel {

bool SplitPropertyByte(uint8_t byte, LzmaProperties& props) {
  if (byte >= kPropertyByteLimit) return false;
  props.lc = byte % 9;
  props.lp = (byte / 9) % 5;
  props.pb = byte / 45;
  return true;
}

EntryHeader ParseEntryHeader(const uint8_t* bytes) {
  EntryHeader e;
  e.id = ReadLe64(bytes + kEntryIdOffset);
  e.size = ReadLe64(bytes + kEntrySizeOffset);
  e.creation_time = ReadLe64(bytes + kEntryCreationTimeOffset);
  e.last_write_time = ReadLe64(bytes + kEntryWriteTimeOffset);
  e.attributes = ReadLe32(bytes + kEntryAttributesOffset);
  return e;
}

namespace {

// Fills `size` bytes from the source unless it ends; returns 0, a platform error or
// kResultEndedEarly.
uint32_t ReadExactly(ByteSource& source, uint8_t* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    size_t got = 0;
    if (uint32_t err = source.Read(buffer + done, size - done, got)) return err;
    if (got == 0) return kResultEndedEarly;
    done += got;
  }
  return 0;
}

enum class DecodeStatus { Full, Short, Corrupt, NoMemory, ReadFailed };

// Raw LZMA1 decoder fed from the source through a 64 KB buffer.
class StreamDecoder {
public:
  StreamDecoder(ByteSource& source, uint8_t* in_buffer) : source_(source), in_(in_buffer) {}
  ~StreamDecoder() { lzma_end(&strm_); }
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  uint32_t Init(const LzmaProperties& props) {
    lzma_options_lzma opt{};
    // The decoder also rounds tiny dictionaries up to its own minimum.
    opt.dict_size = props.dict_size == 0 ? 1 : props.dict_size;
    opt.lc = props.lc;
    opt.lp = props.lp;
    opt.pb = props.pb;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    switch (lzma_raw_decoder(&strm_, filters)) {
    case LZMA_OK:
      return 0;
    case LZMA_MEM_ERROR:
      return kResultOutOfMemory;
    default:
      return kResultBadProperties; // lc + lp above what the decoder supports
    }
  }

  // Decodes exactly `size` bytes into `out` unless the stream or the input ends first.
  DecodeStatus Decode(uint8_t* out, size_t size) {
    strm_.next_out = out;
    strm_.avail_out = size;
    while (strm_.avail_out > 0) {
      if (ended_) return DecodeStatus::Short;
      if (strm_.avail_in == 0 && !input_done_) {
        size_t got = 0;
        read_error_ = source_.Read(in_, kChunkSize, got);
        if (read_error_ != 0) return DecodeStatus::ReadFailed;
        if (got == 0) input_done_ = true;
        strm_.next_in = in_;
        strm_.avail_in = got;
      }
      lzma_ret ret = lzma_code(&strm_, input_done_ ? LZMA_FINISH : LZMA_RUN);
      switch (ret) {
      case LZMA_OK:
        break;
      case LZMA_STREAM_END:
        ended_ = true;
        break;
      case LZMA_MEM_ERROR:
        return DecodeStatus::NoMemory;
      case LZMA_BUF_ERROR:
        // No progress is possible: the input ended inside the stream.
        ended_ = true;
        return DecodeStatus::Short;
      default:
        return DecodeStatus::Corrupt;
      }
    }
    return DecodeStatus::Full;
  }

  uint32_t ReadError() const { return read_error_; }

private:
  ByteSource& source_;
  uint8_t* in_;
  lzma_stream strm_ = LZMA_STREAM_INIT;
  bool input_done_ = false;
  bool ended_ = false;
  uint32_t read_error_ = 0;
};

// Maps a failed data decode; a short header has its own rule (always kResultCorrupt).
uint32_t DataFailure(DecodeStatus status, const StreamDecoder& dec) {
  switch (status) {
  case DecodeStatus::Short:
    return kResultEndedEarly;
  case DecodeStatus::NoMemory:
    return kResultOutOfMemory;
  case DecodeStatus::ReadFailed:
    return dec.ReadError();
  default:
    return kResultCorrupt;
  }
}

uint32_t ExtractWithBuffers(ByteSource& source, uint64_t wanted_id, EntrySink& sink, uint8_t* in_buf,
                            uint8_t* out_buf) {
  uint8_t head[kContainerHeaderSize];
  if (uint32_t err = ReadExactly(source, head, sizeof head)) return err;
  if (std::memcmp(head + kContainerMagicOffset, kContainerMagic, 4) != 0 ||
      ReadLe32(head + kContainerVersionOffset) != kContainerVersion)
    return kResultBadData;

  uint8_t check[kCheckBlockSize];
  if (uint32_t err = ReadExactly(source, check, sizeof check)) return err;
  if ((ReadLe32(check) ^ ReadLe32(check + 4)) != kCheckBlockXor)
    return (ReadLe32(head + kContainerFlagsOffset) & kFlagCheckFailureIs6001) ? kResultCheckFailed
                                                                              : kResultBadData;

  uint8_t prop_bytes[kPropertiesSize];
  if (uint32_t err = ReadExactly(source, prop_bytes, sizeof prop_bytes)) return err;
  LzmaProperties props;
  if (!SplitPropertyByte(prop_bytes[0], props)) return kResultBadProperties;
  props.dict_size = ReadLe32(prop_bytes + 1);

  StreamDecoder dec(source, in_buf);
  if (uint32_t err = dec.Init(props)) return err;

  for (;;) {
    uint8_t entry_bytes[kEntryHeaderSize];
    DecodeStatus st = dec.Decode(entry_bytes, sizeof entry_bytes);
    if (st == DecodeStatus::ReadFailed) return dec.ReadError();
    if (st == DecodeStatus::NoMemory) return kResultOutOfMemory;
    if (st != DecodeStatus::Full) return kResultCorrupt;
    if (std::memcmp(entry_bytes, kEntryMagic, 4) != 0) return kResultBadData;
    if (ReadLe32(entry_bytes + 4) != 0) return kResultBadEntryWord;
    const EntryHeader entry = ParseEntryHeader(entry_bytes);

    if (entry.id != wanted_id) {
      for (uint64_t left = entry.size; left > 0;) {
        const size_t n = left < kChunkSize ? size_t(left) : kChunkSize;
        st = dec.Decode(out_buf, n);
        if (st != DecodeStatus::Full) return DataFailure(st, dec);
        left -= n;
      }
      continue;
    }

    if (uint32_t err = sink.Create(entry)) return err;
    for (uint64_t left = entry.size; left > 0;) {
      const size_t n = left < kChunkSize ? size_t(left) : kChunkSize;
      st = dec.Decode(out_buf, n);
      uint32_t err = st == DecodeStatus::Full ? 0 : DataFailure(st, dec);
      for (size_t written = 0; err == 0 && written < n;) {
        size_t stored = 0;
        err = sink.Write(out_buf + written, n - written, stored);
        if (err == 0 && stored == 0) err = kResultNothingWritten;
        written += stored;
      }
      if (err != 0) {
        sink.Abandon();
        return err;
      }
      left -= n;
    }
    sink.Finish(entry);
    return 0;
  }
}

} // namespace

uint32_t ExtractEntry(ByteSource& source, uint64_t wanted_id, EntrySink& sink) {
  std::unique_ptr<uint8_t[]> in_buf(new (std::nothrow) uint8_t[kChunkSize]);
  std::unique_ptr<uint8_t[]> out_buf(new (std::nothrow) uint8_t[kChunkSize]);
  if (!in_buf || !out_buf) return kResultOutOfMemory;
  return ExtractWithBuffers(source, wanted_id, sink, in_buf.get(), out_buf.get());
}

} // namespace vel
