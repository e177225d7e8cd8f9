#include "factory/UKZWaveStreamFactory.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "codec/UKZACMFormat.h"
#include "codec/UKZACMStream.h"
#include "platform/rtl/Exception.h"
#include "thread/UKZThreadStream.h"

namespace {

// The most audio bytes a destination gets from a source of known length: its duration at the
// destination's byte rate, with room for rounding to blocks and for codecs whose rate is an
// average. -1 for a source whose length is not known (a count of 0, or one cut at 32 bits).
int64_t DataBound(const TKZWaveStreamFormat& ASource, const TKZWaveFormat& ADestination) {
  const int64_t frames = ASource.Fact().GetSampleCount();
  const int64_t rate = ASource.WaveFormat().GetSamplesPerSec();
  const int64_t bytesPerSec = ADestination.GetAvgBytesPerSec();
  if (frames <= 0 || frames >= INT32_MAX || rate <= 0 || bytesPerSec <= 0) return -1;
  const int64_t bytes = frames * bytesPerSec / rate;
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
  while (FStreams.Count() > 0) {
    FStreams.Last().reset();
    FStreams.Delete(FStreams.Count() - 1);
  }
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
  const auto file = TKZWaveStreamFormat::CreateFromFormatAndFact(destination, fact.get());
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
