#include "factory/UKZWaveStreamFactory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "codec/UKZACMFormat.h"
#include "codec/UKZACMStream.h"
#include "platform/acm/AcmSamples.h"
#include "platform/rtl/Exception.h"
#include "thread/UKZThreadStream.h"

namespace {

// A PCM or float destination of more than two channels or more than 16 bits as the published
// rules want it in a file: an extensible record with the source's speaker positions (the usual
// ones for the channel count when the source names none, or has another count) and the
// source's valid bits where the container is the same. Any other destination as it is.
std::unique_ptr<TKZWaveFormat> FileFormat(const TKZWaveFormat& ADestination,
                                          const TKZWaveFormat& ASource) {
  auto file = TKZWaveFormat::CreateDefault();
  file->Assign(&ADestination);
  const uint16_t tag = ADestination.GetFormatTag();
  const uint16_t channels = ADestination.GetChannels(), bits = ADestination.GetBitsPerSample();
  const bool wide = bits > 16;
  if ((tag != WAVE_FORMAT_PCM && tag != WAVE_FORMAT_IEEE_FLOAT) || (channels <= 2 && !wide))
    return file;
  WAVEFORMATEXTENSIBLE record{};
  std::memcpy(&record.Format, file->GetWaveFormatEx(), sizeof(WAVEFORMATEX));
  record.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  record.Format.cbSize = sizeof record - sizeof(WAVEFORMATEX);
  record.Samples.wValidBitsPerSample = bits;
  record.dwChannelMask = acm::DefaultChannelMask(channels);
  record.SubFormat =
      tag == WAVE_FORMAT_PCM ? KSDATAFORMAT_SUBTYPE_PCM : KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  auto source = TKZWaveFormat::CreateDefault();
  source->Assign(&ASource);
  const WAVEFORMATEX& from = *source->GetWaveFormatEx();
  const bool sameContainer = (from.wBitsPerSample + 7) / 8 * 8 == bits;
  if (from.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
      from.cbSize >= sizeof record - sizeof(WAVEFORMATEX)) {
    WAVEFORMATEXTENSIBLE extensible;
    std::memcpy(&extensible, &from, sizeof extensible);
    if (from.nChannels == channels && extensible.dwChannelMask != 0)
      record.dwChannelMask = extensible.dwChannelMask;
    const uint16_t valid = extensible.Samples.wValidBitsPerSample;
    if (tag == WAVE_FORMAT_PCM && sameContainer && valid != 0 && valid < bits)
      record.Samples.wValidBitsPerSample = valid;
  } else if (from.wFormatTag == WAVE_FORMAT_PCM && sameContainer && from.wBitsPerSample < bits &&
             tag == WAVE_FORMAT_PCM) {
    record.Samples.wValidBitsPerSample = from.wBitsPerSample;  // 12 or 20 bits
  }
  file->EnsureCapacity(sizeof record);
  std::memcpy(file->GetWaveFormatEx(), &record, sizeof record);
  file->MarkLoaded();
  return file;
}

// The source's tags as the destination carries them: LIST/INFO as it is; bext with its time
// reference (a count of samples since midnight) at the destination's rate and a line of
// coding history naming the conversion.
std::vector<TKZWaveChunk> CarriedMetadata(const std::vector<TKZWaveChunk>& AChunks,
                                          const TKZWaveFormat& ASource,
                                          const TKZWaveFormat& ADestination) {
  constexpr size_t kTimeReference = 338, kCodingHistory = 602;
  std::vector<TKZWaveChunk> carried = AChunks;
  for (TKZWaveChunk& chunk : carried) {
    if (chunk.Id != TKZMMIO::StringToFOURCC("bext") || chunk.Data.size() < kCodingHistory) continue;
    uint64_t reference = 0;
    for (int i = 7; i >= 0; --i)
      reference = reference << 8 | chunk.Data[kTimeReference + i];
    const uint32_t from = ASource.GetSamplesPerSec(), to = ADestination.GetSamplesPerSec();
    if (from != 0 && from != to && reference < (uint64_t{1} << 40))
      reference = (reference * to + from / 2) / from;
    for (int i = 0; i < 8; ++i)
      chunk.Data[kTimeReference + i] = static_cast<uint8_t>(reference >> (8 * i));
    // The history is text, possibly padded with zeros: the line follows the text.
    auto end = chunk.Data.end();
    while (end != chunk.Data.begin() + kCodingHistory && end[-1] == 0)
      --end;
    chunk.Data.erase(end, chunk.Data.end());
    if (chunk.Data.size() > kCodingHistory && chunk.Data.back() != '\n')
      chunk.Data.insert(chunk.Data.end(), {'\r', '\n'});
    const uint16_t tag = ADestination.GetFormatTag();
    const bool linear =
        tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_EXTENSIBLE;
    const uint16_t channels = ADestination.GetChannels();
    const std::string line =
        "A=" +
        (linear ? std::string("PCM")
                : "0x" +
                      [tag] {
                        char hex[8];
                        std::snprintf(hex, sizeof hex, "%04X", tag);
                        return std::string(hex);
                      }()) +
        ",F=" + std::to_string(to) +
        (ADestination.GetBitsPerSample() ? ",W=" + std::to_string(ADestination.GetBitsPerSample())
                                         : "") +
        ",M=" +
        (channels == 1   ? "mono"
         : channels == 2 ? "stereo"
                         : std::to_string(channels)) +
        ",T=Corvane\r\n";
    chunk.Data.insert(chunk.Data.end(), line.begin(), line.end());
  }
  return carried;
}

// The most audio bytes a destination gets from a source of known length: its duration at the
// destination's byte rate, with room for rounding to blocks and for codecs whose rate is an
// average. The duration comes from the sample count, or from the data size of a linear source
// (whose byte rate is exact); -1 when neither is known.
int64_t DataBound(const TKZWaveStreamFormat& ASource, const TKZWaveFormat& ADestination) {
  const TKZWaveFormat& wave = ASource.WaveFormat();
  const int64_t frames = ASource.Fact().GetSampleCount();
  const int64_t rate = wave.GetSamplesPerSec();
  const int64_t bytesPerSec = ADestination.GetAvgBytesPerSec();
  const uint16_t tag = wave.GetFormatTag();
  const bool linear =
      tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_EXTENSIBLE;
  if (rate <= 0 || bytesPerSec <= 0) return -1;
  // Some writers leave wrong byte rates in linear records: it follows from the samples.
  const int64_t sourceBytesPerSec =
      int64_t{wave.GetChannels()} * ((wave.GetBitsPerSample() + 7) / 8) * rate;
  int64_t bytes;
  if (linear && ASource.GetDataSize() >= 0 && sourceBytesPerSec > 0)
    bytes = static_cast<int64_t>(static_cast<double>(ASource.GetDataSize()) * bytesPerSec /
                                 sourceBytesPerSec);
  else if (frames > 0 && frames < INT32_MAX)
    bytes = frames * bytesPerSec / rate;
  else
    return -1;
  return bytes + bytes / 8 + 64 * int64_t{ADestination.GetBlockAlign()} + 65536;
}

// The source's sample count in frames of the destination's rate, rounded to nearest: a path
// that resamples changes how many frames the same audio has.
std::unique_ptr<TKZWaveFact> ScaledFact(const TKZWaveFact& AFact, const TKZWaveFormat& ASource,
                                        const TKZWaveFormat& ADestination) {
  auto fact = std::make_unique<TKZWaveFact>();
  fact->Assign(&AFact);
  const uint64_t from = ASource.GetSamplesPerSec(), to = ADestination.GetSamplesPerSec();
  if (!fact->HasSampleCount() || from == to || from == 0) return fact;
  // The count is stored as 32 unsigned bits.
  const uint64_t count = static_cast<uint32_t>(fact->GetSampleCount());
  const uint64_t scaled = std::min<uint64_t>((count * to + from / 2) / from, UINT32_MAX);
  fact->SetSampleCount(static_cast<int32_t>(static_cast<uint32_t>(scaled)));
  return fact;
}

}  // namespace

// ---- TKZStreamFactory

TKZStreamFactory::TKZStreamFactory(const std::string& AFileName)
    : FFormat(TKZWaveFormat::CreateDefault()), FFileName(AFileName) {}

TKZStreamFactory::TKZStreamFactory(TKZStream& AStream)
    : FFormat(TKZWaveFormat::CreateDefault()), FStream(&AStream) {}

TKZStreamFactory::TKZStreamFactory(int ADescriptor, TKZFileReport* AReport)
    : FFormat(TKZWaveFormat::CreateDefault()), FDescriptor(ADescriptor), FReport(AReport) {}

TKZStreamFactory::~TKZStreamFactory() {
  Unwind();
}

void TKZStreamFactory::Push(std::unique_ptr<TKZStream> AStream) {
  if (!AStream) throw Exception();
  FStreams.Add(std::move(AStream));
  FCurrent = FStreams.Last().get();
  FFormat->Assign(FCurrent->GetFormat());
}

void TKZStreamFactory::Unwind() {
  FCurrent = nullptr;
  FStreams.Clear();
}

std::unique_ptr<TKZStream> TKZStreamFactory::GetResult() {
  std::unique_ptr<TKZStream> result;
  if (Count() == 1) {
    result = std::move(FStreams.Last());
    FStreams.Delete(0);
  } else if (Count() > 1) {
    result = std::make_unique<TKZCombinedStream>(std::move(FStreams));
  }
  FCurrent = nullptr;
  return result;
}

std::unique_ptr<TKZStream> TKZStreamFactory::OpenWaveReader() {
  if (FStream && HKZStream::HasFormat(*FStream)) return std::make_unique<TKZProxyStream>(*FStream);
  if (FStream) return TKZMMIOWaveStream::OpenReadStream(*FStream);
  if (FDescriptor >= 0) return TKZMMIOWaveStream::OpenReadDescriptor(FDescriptor, FReport);
  return TKZMMIOWaveStream::OpenReadFile(FFileName);
}

std::unique_ptr<TKZStream> TKZStreamFactory::OpenWaveWriter(const TKZWaveStreamFormat& AFormat,
                                                            int64_t ADataBound) {
  if (FStream && HKZStream::HasFormat(*FStream)) return std::make_unique<TKZProxyStream>(*FStream);
  if (FStream) return TKZMMIOWaveStream::OpenWriteStream(*FStream, AFormat);
  if (FDescriptor >= 0)
    return TKZMMIOWaveStream::OpenWriteDescriptor(FDescriptor, AFormat, FReport, ADataBound);
  return TKZMMIOWaveStream::OpenWriteFile(FFileName, AFormat, ADataBound);
}

void TKZStreamFactory::AddThreadStream(int32_t AMilliseconds) {
  if (Count() == 0) return;
  const int32_t size = FFormat->GetBytesForTime(AMilliseconds);
  auto stream = CreateThreadStream(*FCurrent, size);
  if (stream) Push(std::move(stream));
}

std::unique_ptr<TKZStream> TKZReadStreamFactory::CreateThreadStream(TKZStream& AStream,
                                                                    int32_t ABufferSize) {
  return TKZThreadStream::CreateReader(AStream, ABufferSize);
}

std::unique_ptr<TKZStream> TKZWriteStreamFactory::CreateThreadStream(TKZStream& AStream,
                                                                     int32_t ABufferSize) {
  return TKZThreadStream::CreateWriter(AStream, ABufferSize);
}

// ---- TKZWaveStreamFactory

TKZWaveStreamFactory::TKZWaveStreamFactory() : FFormat(TKZWaveFormat::CreateDefault()) {
  Reset();
}

TKZWaveStreamFactory::~TKZWaveStreamFactory() = default;

void TKZWaveStreamFactory::Reset() {
  FFormat->Assign(nullptr);
  FRealTime = false;
  FThreaded = false;
  FThreadBufferTime = DefaultThreadBufferTime;
}

std::unique_ptr<TKZStream> TKZWaveStreamFactory::CreateReadStream(const std::string& AFileName) {
  return BuildReadChain(*TKZReadStreamFactory::CreateFileName(AFileName));
}

std::unique_ptr<TKZStream> TKZWaveStreamFactory::CreateReadStream(TKZStream& AStream) {
  return BuildReadChain(*TKZReadStreamFactory::CreateStream(AStream));
}

std::unique_ptr<TKZStream> TKZWaveStreamFactory::CreateWriteStream(const std::string& AFileName,
                                                                   const TKZFormat& AFormat) {
  return BuildWriteChain(*TKZWriteStreamFactory::CreateFileName(AFileName), AFormat);
}

std::unique_ptr<TKZStream> TKZWaveStreamFactory::CreateWriteStream(TKZStream& AStream,
                                                                   const TKZFormat& AFormat) {
  return BuildWriteChain(*TKZWriteStreamFactory::CreateStream(AStream), AFormat);
}

std::unique_ptr<TKZStream> TKZWaveStreamFactory::CreateReadStream(int ADescriptor,
                                                                  TKZFileReport* AReport) {
  return BuildReadChain(*TKZReadStreamFactory::CreateDescriptor(ADescriptor, AReport));
}

std::unique_ptr<TKZStream> TKZWaveStreamFactory::CreateWriteStream(int ADescriptor,
                                                                   const TKZFormat& AFormat,
                                                                   TKZFileReport* AReport) {
  return BuildWriteChain(*TKZWriteStreamFactory::CreateDescriptor(ADescriptor, AReport), AFormat);
}

void TKZWaveStreamFactory::AddThreadStream(TKZStreamFactory& AFactory) const {
  if (FThreaded) AFactory.AddThreadStream(FThreadBufferTime);
}

std::unique_ptr<TKZStream> TKZWaveStreamFactory::BuildReadChain(TKZStreamFactory& AFactory) {
  auto bottom = AFactory.OpenWaveReader();
  if (!bottom) return nullptr;
  AFactory.Push(std::move(bottom));
  if (FFormat->IsSpecified()) {
    auto path = HKZACMFormat::FindPath(AFactory.GetFormat(), *FFormat);
    if (!path) AFactory.Unwind();
    for (int32_t i = 0; path && i < path->Count(); ++i) {
      auto stream = TKZACMConversionStream::CreateReader(*AFactory.GetCurrent(), *path->Items(i),
                                                         NonRealTime());
      if (!stream) {
        AFactory.Unwind();
        break;
      }
      AFactory.Push(std::move(stream));
    }
  }
  AddThreadStream(AFactory);
  return AFactory.GetResult();
}

std::unique_ptr<TKZStream> TKZWaveStreamFactory::BuildWriteChain(TKZStreamFactory& AStack,
                                                                 const TKZFormat& ASourceFormat) {
  TKZWaveStreamFormat source;
  source.Assign(&ASourceFormat);
  const TKZWaveFormat& sourceWave = source.WaveFormat();
  std::unique_ptr<TKZWaveFormatList> path;
  const TKZWaveFormat* destination = &sourceWave;
  if (FFormat->IsSpecified()) {
    path = HKZACMFormat::FindPath(sourceWave, *FFormat);
    if (!path)
      destination = nullptr;
    else if (path->Count() == 0)
      path.reset();
    else
      destination = path->Last();
  }
  if (!destination) return nullptr;

  const auto fact = ScaledFact(source.Fact(), sourceWave, *destination);
  // Only a chain that converts decides the file's record; a copy keeps the source's.
  const auto record = FFormat->IsSpecified() ? FileFormat(*destination, sourceWave) : nullptr;
  if (record) destination = record.get();
  const auto file = TKZWaveStreamFormat::CreateFromFormatAndFact(destination, fact.get());
  file->Metadata() = CarriedMetadata(source.Metadata(), sourceWave, *destination);
  auto bottom = AStack.OpenWaveWriter(*file, DataBound(source, *destination));
  if (!bottom) return nullptr;
  AStack.Push(std::move(bottom));
  for (int32_t k = path ? path->Count() - 1 : -1; k >= 0; --k) {
    const TKZWaveFormat& input = k > 0 ? *path->Items(k - 1) : sourceWave;
    auto stream = TKZACMConversionStream::CreateWriter(input, *AStack.GetCurrent(), NonRealTime());
    if (!stream) {
      AStack.Unwind();
      break;
    }
    AStack.Push(std::move(stream));
  }
  AddThreadStream(AStack);
  return AStack.GetResult();
}
