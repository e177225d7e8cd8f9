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

// Converts data through a stream in chunks, then flushes with END until nothing comes.
void Run(const WAVEFORMATEX& from, const WAVEFORMATEX& to, uint8_t control, const Bytes& data) {
  HACMSTREAM stream = nullptr;
  if (acmStreamOpen(&stream, nullptr, &from, &to, nullptr, 0, 0, 0) != MMSYSERR_NOERROR) return;
  // Callers give at least two source blocks (or frames) at a time.
  const uint32_t unit =
      std::max<uint32_t>(from.nBlockAlign, from.nChannels * ((from.wBitsPerSample + 7) / 8u));
  const uint32_t chunk = std::max(1 + (control >> 2) * 97u, 2 * unit);
  uint32_t size = 0;
  acmStreamSize(stream, static_cast<uint32_t>(data.size()), &size, ACM_STREAMSIZEF_SOURCE);
  acmStreamSize(stream, static_cast<uint32_t>(data.size()), &size, ACM_STREAMSIZEF_DESTINATION);
  acmStreamSize(stream, 0xFFFFFFFF, &size, ACM_STREAMSIZEF_SOURCE);
  if (acmStreamSize(stream, chunk, &size, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR) size = 1;
  Bytes source(chunk), destination(std::clamp<uint32_t>(size, 1, kMaxDestination));
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
    done = last && pending == 0 && header.cbDstLengthUsed == 0;
    // A partial frame never converts; without END its bytes would wait for ever.
    if (last && header.cbSrcLengthUsed == 0 && header.cbDstLengthUsed == 0) done = true;
  }
  Check(done);  // END must end
  header.cbSrcLength = chunk;
  Check(acmStreamUnprepareHeader(stream, &header, 0) == MMSYSERR_NOERROR);
  Check(acmStreamClose(stream, 0) == MMSYSERR_NOERROR);
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

void WriteSeed(const std::filesystem::path& folder, const std::string& name,
               const WAVEFORMATEX& source, const Bytes& extra, const WAVEFORMATEX& templ,
               uint8_t flags, const Bytes& data, uint8_t control = 1) {
  std::ofstream out(folder / name, std::ios::binary);
  out.put(static_cast<char>(control));
  out.write(reinterpret_cast<const char*>(&source), sizeof source);
  out.write(reinterpret_cast<const char*>(extra.data()),
            static_cast<std::streamsize>(extra.size()));
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
  Bytes tone(4096);
  for (size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<uint8_t>(i * 37 ^ (i >> 3));
  const WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  const WAVEFORMATEX pcm_template{WAVE_FORMAT_PCM, 0, 0, 0, 0, 0, 0};
  const Bytes ima_extra = {0xF9, 0x07};
  const WAVEFORMATEX ima{0x11, 2, 44100, 44251, 2048, 4, 2};
  Bytes ms_extra = {0xF4, 0x07, 7, 0};
  for (int16_t c : {256, 0, 512, -256, 0, 0, 192, 64, 240, 0, 460, -208, 392, -232})
    ms_extra.insert(ms_extra.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  const WAVEFORMATEX ms{WAVE_FORMAT_ADPCM, 2, 44100, 44359, 2048, 4, 32};
  for (uint16_t tag : {0x11, 2, 6, 7, 1, 3}) {
    WAVEFORMATEX templ = pcm_template;
    templ.wFormatTag = tag;
    WriteSeed(seeds, "encode-" + std::to_string(tag), pcm, {}, templ, 1, tone);
  }
  WriteSeed(seeds, "ima-decode", ima, ima_extra, pcm_template, 1, tone);
  WriteSeed(seeds, "ms-decode", ms, ms_extra, pcm_template, 1, tone, 0);
  WriteSeed(seeds, "mulaw-8k-mono-from-48k", {WAVE_FORMAT_PCM, 2, 48000, 0, 0, 16, 0}, {},
            {WAVE_FORMAT_MULAW, 1, 8000, 0, 0, 0, 0}, 0x07, tone, 4);
  WriteSeed(seeds, "float-nan", {WAVE_FORMAT_IEEE_FLOAT, 1, 48000, 0, 4, 32, 0}, {},
            {WAVE_FORMAT_IMA_ADPCM, 0, 0, 0, 0, 0, 0}, 1, Bytes(64, 0xFF));
  // Malformed records: each must be refused, not trusted.
  auto ima_bad = [&](const std::string& name, WAVEFORMATEX f, const Bytes& extra) {
    WriteSeed(seeds, name, f, extra, pcm_template, 1, tone);
  };
  ima_bad("ima-align-0", {0x11, 2, 44100, 0, 0, 4, 2}, ima_extra);
  ima_bad("ima-samples-mismatch", ima, {0xF8, 0x07});
  ima_bad("ima-cbsize-1", {0x11, 2, 44100, 0, 2048, 4, 1}, {0xF9});
  ima_bad("ima-channels-0", {0x11, 0, 44100, 0, 2048, 4, 2}, ima_extra);
  ima_bad("ima-rate-0", {0x11, 2, 0, 0, 2048, 4, 2}, ima_extra);
  ima_bad("ima-bits-8", {0x11, 2, 44100, 0, 2048, 8, 2}, ima_extra);
  for (uint16_t count : {6, 257, 8}) {
    Bytes extra = ms_extra;
    std::memcpy(extra.data() + 2, &count, 2);
    ima_bad("ms-coefficients-" + std::to_string(count), ms, extra);
  }
  Bytes bad_predictors = tone;
  bad_predictors[0] = 200;
  WriteSeed(seeds, "ms-bad-predictor", ms, ms_extra, pcm_template, 1, bad_predictors);
  Bytes extensible(22, 0);
  WriteSeed(seeds, "extensible-cbsize-21", {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 0, 4, 16, 21},
            Bytes(21, 0), {WAVE_FORMAT_ALAW, 0, 0, 0, 0, 0, 0}, 1, tone);
  WriteSeed(seeds, "pcm-bits-12", {WAVE_FORMAT_PCM, 2, 48000, 0, 4, 12, 0}, {},
            {WAVE_FORMAT_ALAW, 0, 0, 0, 0, 0, 0}, 1, tone);
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
    // The other way: the bytes as if they were in the suggested format.
    Bytes back(largest, 0);
    auto* pcm = reinterpret_cast<WAVEFORMATEX*>(back.data());
    if (acmFormatSuggest(nullptr, result, pcm, largest, 0) == MMSYSERR_NOERROR) {
      back.resize(acm::RecordSize(*pcm));
      Run(*result, *reinterpret_cast<WAVEFORMATEX*>(back.data()), in.control, in.data);
    }
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
