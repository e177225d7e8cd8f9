// Random format records and block bytes through suggest, open, size and convert of every
// registered driver. An input is: one control byte, a source record (18 bytes and its cbSize
// extra bytes, as far as the input goes), an 18-byte template and its suggestion flags, then
// the bytes to convert.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/acm/Acm.h"
#include "platform/acm/AcmDriver.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMaxDestination = 1 << 20;
constexpr int kMaxCalls = 100000;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Converts data through a stream in chunks, then flushes with END until nothing comes; answers
// what came out.
Bytes Run(const WAVEFORMATEX& from, const WAVEFORMATEX& to, uint8_t control, const Bytes& data) {
  HACMSTREAM stream = nullptr;
  if (acmStreamOpen(&stream, nullptr, &from, &to, nullptr, 0, 0, 0) != MMSYSERR_NOERROR) return {};
  // Callers give at least two source blocks (or frames) at a time.
  const uint32_t unit =
      std::max<uint32_t>(from.nBlockAlign, from.nChannels * ((from.wBitsPerSample + 7) / 8u));
  const uint32_t chunk = std::max(1 + (control >> 2) * 97u, 2 * unit);
  uint32_t size = 0;
  acmStreamSize(stream, static_cast<uint32_t>(data.size()), &size, ACM_STREAMSIZEF_SOURCE);
  acmStreamSize(stream, static_cast<uint32_t>(data.size()), &size, ACM_STREAMSIZEF_DESTINATION);
  acmStreamSize(stream, 0xFFFFFFFF, &size, ACM_STREAMSIZEF_SOURCE);
  if (acmStreamSize(stream, chunk, &size, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR) size = 1;
  Bytes source(chunk), destination(std::clamp<uint32_t>(size, 1, kMaxDestination)), output;
  ACMSTREAMHEADER header{};
  header.cbStruct = ACMSTREAMHEADER_MIN_CBSTRUCT;
  header.pbSrc = source.data();
  header.cbSrcLength = chunk;
  header.pbDst = destination.data();
  header.cbDstLength = static_cast<uint32_t>(destination.size());
  Check(acmStreamPrepareHeader(stream, &header, 0) == MMSYSERR_NOERROR);
  size_t position = 0, pending = 0;
  bool done = false;
  for (int calls = 0; calls < kMaxCalls && !done; ++calls) {
    const size_t take = std::min<size_t>(chunk - pending, data.size() - position);
    if (take) std::memcpy(source.data() + pending, data.data() + position, take);
    position += take;
    pending += take;
    const bool last = position == data.size();
    uint32_t flags = last ? ACM_STREAMCONVERTF_END : (control & 1) * ACM_STREAMCONVERTF_BLOCKALIGN;
    if (calls == 0 && (control & 2)) flags |= ACM_STREAMCONVERTF_START;
    header.cbSrcLength = static_cast<uint32_t>(pending);
    const MMRESULT result = acmStreamConvert(stream, &header, flags);
    Check(result != MMSYSERR_ERROR);  // a driver used more than it was given
    if (result != MMSYSERR_NOERROR) break;
    std::memmove(source.data(), source.data() + header.cbSrcLengthUsed,
                 pending - header.cbSrcLengthUsed);
    pending -= header.cbSrcLengthUsed;
    output.insert(output.end(), destination.begin(), destination.begin() + header.cbDstLengthUsed);
    done = last && pending == 0 && header.cbDstLengthUsed == 0;
    // A partial frame never converts; without END its bytes would wait for ever.
    if (last && header.cbSrcLengthUsed == 0 && header.cbDstLengthUsed == 0) done = true;
  }
  Check(done);  // END must end
  header.cbSrcLength = chunk;
  Check(acmStreamUnprepareHeader(stream, &header, 0) == MMSYSERR_NOERROR);
  Check(acmStreamClose(stream, 0) == MMSYSERR_NOERROR);
  return output;
}

struct Input {
  uint8_t control = 0;
  Bytes source;  // exactly the record's bytes, so that reading beyond them is caught
  WAVEFORMATEX templ{};
  uint32_t flags = 0;
  Bytes data;
};

Input Parse(const uint8_t* bytes, size_t size) {
  Input in;
  size_t at = 0;
  auto take = [&](void* to, size_t n) {
    const size_t got = std::min(n, size - at);
    std::memset(to, 0, n);
    if (got) std::memcpy(to, bytes + at, got);
    at += got;
  };
  take(&in.control, 1);
  WAVEFORMATEX header;
  take(&header, sizeof header);
  const size_t extra =
      header.wFormatTag == WAVE_FORMAT_PCM ? 0 : std::min<size_t>(header.cbSize, size - at);
  if (header.wFormatTag != WAVE_FORMAT_PCM) header.cbSize = static_cast<uint16_t>(extra);
  in.source.resize(sizeof header + extra);
  std::memcpy(in.source.data(), &header, sizeof header);
  take(in.source.data() + sizeof header, extra);
  take(&in.templ, sizeof in.templ);
  uint8_t flags;
  take(&flags, 1);
  in.flags = (flags & 0x0F) << 16;
  in.data.assign(bytes + at, bytes + size);
  return in;
}

Bytes AsRecord(const WAVEFORMATEX& format, const Bytes& extra = {}) {
  Bytes record(reinterpret_cast<const uint8_t*>(&format),
               reinterpret_cast<const uint8_t*>(&format) + sizeof format);
  record.insert(record.end(), extra.begin(), extra.end());
  return record;
}

// The whole record the manager suggests for a tag from a source.
Bytes Suggested(const WAVEFORMATEX& source, uint16_t tag) {
  Bytes record(1024, 0);
  auto* format = reinterpret_cast<WAVEFORMATEX*>(record.data());
  format->wFormatTag = tag;
  if (acmFormatSuggest(nullptr, &source, format, 1024, ACM_FORMATSUGGESTF_WFORMATTAG)) return {};
  record.resize(acm::RecordSize(*format));
  return record;
}

void WriteSeed(const std::filesystem::path& folder, const std::string& name, const Bytes& source,
               const WAVEFORMATEX& templ, uint8_t flags, const Bytes& data, uint8_t control = 1) {
  std::ofstream out(folder / name, std::ios::binary);
  out.put(static_cast<char>(control));
  out.write(reinterpret_cast<const char*>(source.data()),
            static_cast<std::streamsize>(source.size()));
  out.write(reinterpret_cast<const char*>(&templ), sizeof templ);
  out.put(static_cast<char>(flags));
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* folder = std::getenv("CORVANE_FUZZ_SEEDS");
  if (!folder) return 0;
  const std::filesystem::path seeds(folder);
  std::filesystem::create_directories(seeds);
  Bytes tone(44100 * 4 / 5);
  for (size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<uint8_t>(i * 37 ^ (i >> 5));
  const Bytes head(tone.begin(), tone.begin() + 4096);
  const WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  const WAVEFORMATEX to_pcm{WAVE_FORMAT_PCM, 0, 0, 0, 0, 0, 0};
  // Every tag encoded from PCM, and decoded from what its encoder made.
  std::vector<Bytes> coded(0x100), records(0x100);
  for (uint16_t tag : {0x11, 2, 6, 7, 1, 3, 0x31, 0x55}) {
    const WAVEFORMATEX templ{tag, 0, 0, 0, 0, 0, 0};
    WriteSeed(seeds, "encode-" + std::to_string(tag), AsRecord(pcm), templ, 1, head);
    records[tag] = Suggested(pcm, tag);
    const auto& codec = *reinterpret_cast<const WAVEFORMATEX*>(records[tag].data());
    coded[tag] = Run(pcm, codec, 0xFC, tone);
    coded[tag].resize(std::min<size_t>(coded[tag].size(), 8192));
    WriteSeed(seeds, "decode-" + std::to_string(tag), records[tag], to_pcm, 1, coded[tag], 0);
  }
  WriteSeed(seeds, "float-nan", AsRecord({WAVE_FORMAT_IEEE_FLOAT, 1, 48000, 0, 4, 32, 0}),
            {WAVE_FORMAT_IMA_ADPCM, 0, 0, 0, 0, 0, 0}, 1, Bytes(64, 0xFF));
  WriteSeed(seeds, "extensible-cbsize-21",
            AsRecord({WAVE_FORMAT_EXTENSIBLE, 2, 48000, 0, 4, 16, 21}, Bytes(21, 0)),
            {WAVE_FORMAT_ALAW, 0, 0, 0, 0, 0, 0}, 1, head);
  Bytes bad_predictor = coded[2];
  bad_predictor[0] = 200;
  WriteSeed(seeds, "ms-bad-predictor", records[2], to_pcm, 1, bad_predictor);
  const Bytes& frames = coded[0x55];  // garbage and pieces of frames
  Bytes damaged(frames.begin(), frames.begin() + std::min<size_t>(frames.size(), 1500));
  damaged.insert(damaged.end(), tone.begin(), tone.begin() + 700);
  damaged.insert(damaged.end(), frames.begin(), frames.begin() + 40);
  WriteSeed(seeds, "mp3-damaged", records[0x55], to_pcm, 0, damaged);
  // Malformed records, as sources and as targets: each must be refused, not trusted. A field
  // is changed at its byte offset (the rate is 4 bytes wide); a smaller cbSize cuts the record
  // short. One of each kind: a zero alignment, a zero rate, samples per block not matching the
  // alignment, a short record, more coefficient pairs than the record holds, a bad channel
  // count, blocks of 1,152 bytes as other writers fill MP3 records.
  const uint32_t changes[][3] = {{0x11, 12, 0},    {0x11, 4, 0},   {0x11, 18, 2040}, {0x11, 16, 1},
                                 {2, 20, 257},     {2, 20, 8},     {0x31, 18, 319},  {0x31, 2, 2},
                                 {0x55, 12, 1152}, {0x55, 16, 11}, {0x55, 2, 3}};
  for (const auto& [tag, at, value] : changes) {
    const std::string name =
        std::to_string(tag) + "-" + std::to_string(at) + "-" + std::to_string(value);
    Bytes bad = records[tag];
    std::memcpy(bad.data() + at, &value, at == 4 ? 4 : 2);
    bad.resize(acm::RecordSize(*reinterpret_cast<const WAVEFORMATEX*>(bad.data())));
    WriteSeed(seeds, "bad-" + name, bad, to_pcm, 1, coded[tag]);
    WriteSeed(seeds, "bad-target-" + name, AsRecord(pcm),
              *reinterpret_cast<const WAVEFORMATEX*>(bad.data()), 0x0F, head);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const Input in = Parse(bytes, size);
  const auto& source = *reinterpret_cast<const WAVEFORMATEX*>(in.source.data());
  uint32_t largest = 0;
  Check(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &largest) == MMSYSERR_NOERROR);
  Bytes suggested(largest, 0);
  std::memcpy(suggested.data(), &in.templ, sizeof in.templ);
  auto* result = reinterpret_cast<WAVEFORMATEX*>(suggested.data());
  if (acmFormatSuggest(nullptr, &source, result, largest, in.flags) == MMSYSERR_NOERROR) {
    suggested.resize(acm::RecordSize(*result));  // exactly the record, for the checks below
    result = reinterpret_cast<WAVEFORMATEX*>(suggested.data());
    Run(source, *result, in.control, in.data);
  }
  // The template taken as a whole record, however malformed; the source as the target.
  Bytes target(sizeof(WAVEFORMATEX) +
               (in.templ.wFormatTag == WAVE_FORMAT_PCM ? 0 : in.templ.cbSize));
  WAVEFORMATEX templ = in.templ;
  std::memcpy(target.data(), &templ, sizeof templ);
  Run(source, *reinterpret_cast<WAVEFORMATEX*>(target.data()), in.control, in.data);
  Run(*reinterpret_cast<WAVEFORMATEX*>(target.data()), source, in.control, in.data);
  return 0;
}
