#include "wave/UKZWaveFormat.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/UKZObject.h"

namespace {

// Reads until ACount bytes came or the stream has no more; a short read is not the end.
int32_t ReadFully(TStream& AStream, uint8_t* ABuffer, int32_t ACount) {
  int32_t done = 0;
  while (done < ACount) {
    const int32_t n = AStream.Read(ABuffer + done, ACount - done);
    if (n <= 0 || n > ACount - done) break;
    done += n;
  }
  return done;
}

// The shortest fmt chunk: the header without cbSize.
constexpr int32_t kShortestRecord = 16;

}  // namespace

TKZWaveFormat::TKZWaveFormat() : TKZWaveFormat(HeaderSize) {}

TKZWaveFormat::TKZWaveFormat(int32_t ACapacity)
    : FCapacity(std::max(ACapacity, HeaderSize)),
      FData(std::make_unique<uint8_t[]>(static_cast<size_t>(FCapacity))) {}

std::unique_ptr<TKZPersistent> TKZWaveFormat::NewInstance() const {
  return std::make_unique<TKZWaveFormat>();
}

void TKZWaveFormat::Assign(const TPersistent* ASource) {
  if (!ASource) {
    FValid = 0;
    return;
  }
  if (auto source = dynamic_cast<const TKZWaveFormat*>(ASource)) {
    if (source == this) return;
    EnsureCapacity(source->FCapacity);
    std::memcpy(FData.get(), source->FData.get(), static_cast<size_t>(source->FCapacity));
    FValid = source->FValid;
    return;
  }
  TKZFormat::Assign(ASource);
}

void TKZWaveFormat::EnsureCapacity(int32_t ASize) {
  if (ASize <= FCapacity) return;
  auto data = std::make_unique<uint8_t[]>(static_cast<size_t>(ASize));
  std::memcpy(data.get(), FData.get(), static_cast<size_t>(FCapacity));
  FData = std::move(data);
  FCapacity = ASize;
}

void TKZWaveFormat::EnsureMaxCapacity() {
  EnsureCapacity(HKZACM::MaxFormatSize());
}

int32_t TKZWaveFormat::FormatSize(const WAVEFORMATEX& ARecord) {
  return ARecord.wFormatTag == WAVE_FORMAT_PCM ? HeaderSize : HeaderSize + ARecord.cbSize;
}

WAVEFORMATEX* TKZWaveFormat::GetWaveFormatEx() {
  IsComplete();
  return &Record();
}

void TKZWaveFormat::MarkLoaded() {
  if (Record().wFormatTag == WAVE_FORMAT_PCM) Record().cbSize = 0;
  FValid = fvAll;
}

uint16_t TKZWaveFormat::GetFormatTag() const {
  if (!(FValid & fvFormatTag)) Fail();
  return Record().wFormatTag;
}

uint16_t TKZWaveFormat::GetChannels() const {
  if (!(FValid & fvChannels)) Fail();
  return Record().nChannels;
}

uint32_t TKZWaveFormat::GetSamplesPerSec() const {
  if (!(FValid & fvSamplesPerSec)) Fail();
  return Record().nSamplesPerSec;
}

uint16_t TKZWaveFormat::GetBitsPerSample() const {
  if (!(FValid & fvBitsPerSample)) Fail();
  return Record().wBitsPerSample;
}

uint32_t TKZWaveFormat::GetAvgBytesPerSec() const {
  CheckComplete();
  return Record().nAvgBytesPerSec;
}

uint16_t TKZWaveFormat::GetBlockAlign() const {
  CheckComplete();
  return Record().nBlockAlign;
}

uint16_t TKZWaveFormat::GetExtraSize() const {
  CheckComplete();
  if (!(FValid & fvExtra)) Fail();
  return Record().cbSize;
}

void TKZWaveFormat::SetBasic(uint32_t ABit) {
  FValid = (FValid | ABit) & ~fvDerived;
}

void TKZWaveFormat::SetFormatTag(uint16_t AValue) {
  Record().wFormatTag = AValue;
  SetBasic(fvFormatTag);
}

void TKZWaveFormat::SetChannels(uint16_t AValue) {
  Record().nChannels = AValue;
  SetBasic(fvChannels);
}

void TKZWaveFormat::SetSamplesPerSec(uint32_t AValue) {
  Record().nSamplesPerSec = AValue;
  SetBasic(fvSamplesPerSec);
}

void TKZWaveFormat::SetBitsPerSample(uint16_t AValue) {
  Record().wBitsPerSample = AValue;
  SetBasic(fvBitsPerSample);
}

bool TKZWaveFormat::IsComplete() const {
  WAVEFORMATEX& record = Record();
  if ((FValid & fvFormatTag) && record.wFormatTag == WAVE_FORMAT_PCM && FValid != fvAll &&
      (FValid & fvBasic) == fvBasic) {
    record.nBlockAlign = static_cast<uint16_t>(record.nChannels * (record.wBitsPerSample / 8));
    record.nAvgBytesPerSec = uint32_t{record.nBlockAlign} * record.nSamplesPerSec;
    record.cbSize = 0;
    FValid |= fvDerived;
  }
  return FValid == fvAll;
}

void TKZWaveFormat::CheckComplete() const {
  if (!IsComplete()) Fail();
}

int32_t TKZWaveFormat::GetBytesForTime(int32_t AMilliseconds) const {
  // In 64 bits: seconds of high-rate audio overflow 32.
  const int64_t bytes = int64_t{AMilliseconds} * GetAvgBytesPerSec() / 1000;
  return static_cast<int32_t>(std::clamp<int64_t>(bytes, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

bool TKZWaveFormat::IsEqual(const TKZWaveFormat& AOther) const {
  if (FValid != AOther.FValid) return false;
  const WAVEFORMATEX& mine = Record();
  const WAVEFORMATEX& theirs = AOther.Record();
  if ((FValid & fvFormatTag) && mine.wFormatTag != theirs.wFormatTag) return false;
  if ((FValid & fvChannels) && mine.nChannels != theirs.nChannels) return false;
  if ((FValid & fvSamplesPerSec) && mine.nSamplesPerSec != theirs.nSamplesPerSec) return false;
  if ((FValid & fvBitsPerSample) && mine.wBitsPerSample != theirs.wBitsPerSample) return false;
  if ((FValid & fvAvgBytesPerSec) && GetAvgBytesPerSec() != AOther.GetAvgBytesPerSec())
    return false;
  if ((FValid & fvBlockAlign) && GetBlockAlign() != AOther.GetBlockAlign()) return false;
  if (FValid & fvExtra) {
    const uint16_t extra = GetExtraSize();
    if (extra != AOther.GetExtraSize()) return false;
    // Extra bytes that lie beyond either buffer cannot be compared; such records are not equal.
    if (HeaderSize + extra > std::min(FCapacity, AOther.FCapacity)) return false;
    if (std::memcmp(FData.get() + HeaderSize, AOther.FData.get() + HeaderSize, extra) != 0)
      return false;
  }
  return true;
}

bool TKZWaveFormat::WriteTo(TStream& AStream) const {
  CheckComplete();
  if (!RecordFits()) return false;
  const int32_t size = FormatSize(Record());
  return AStream.Write(FData.get(), size) == size;
}

std::unique_ptr<TKZWaveFormat> TKZWaveFormat::ReadFrom(TStream& AStream, int32_t ASize) {
  if (ASize < kShortestRecord || ASize > MaxRecordSize) return nullptr;
  auto format = CreateDefault();
  format->EnsureCapacity(ASize);
  if (ReadFully(AStream, format->FData.get(), ASize) != ASize) return nullptr;
  // A codec record must hold its header and every extra byte it announces.
  WAVEFORMATEX& record = format->Record();
  // Linear records (PCM, and float as many writers make it) may end before cbSize.
  const bool linear =
      record.wFormatTag == WAVE_FORMAT_PCM || record.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
  if (linear && ASize < HeaderSize) record.cbSize = 0;
  if (!linear && (ASize < HeaderSize || HeaderSize + record.cbSize > ASize)) return nullptr;
  if (record.wFormatTag == WAVE_FORMAT_IEEE_FLOAT && ASize >= HeaderSize &&
      HeaderSize + record.cbSize > ASize)
    return nullptr;
  format->MarkLoaded();
  return format;
}

void TKZWaveFact::Assign(const TPersistent* ASource) {
  if (!ASource) {
    FSampleCount = 0;
    return;
  }
  if (auto source = dynamic_cast<const TKZWaveFact*>(ASource)) {
    FSampleCount = source->FSampleCount;
    return;
  }
  TKZPersistent::Assign(ASource);
}

std::unique_ptr<TKZPersistent> TKZWaveFact::NewInstance() const {
  return std::make_unique<TKZWaveFact>();
}

void TKZWaveFact::CheckSampleCount() const {
  if (!HasSampleCount()) Fail();
}

bool TKZWaveFact::WriteTo(TStream& AStream) const {
  CheckSampleCount();
  const auto count = static_cast<uint32_t>(FSampleCount);
  const uint8_t bytes[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                            static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
  return AStream.Write(bytes, 4) == 4;
}

std::unique_ptr<TKZWaveFact> TKZWaveFact::ReadFrom(int32_t ASize, TStream& AStream) {
  if (ASize < 4) return nullptr;
  uint8_t bytes[4];
  if (ReadFully(AStream, bytes, 4) != 4) return nullptr;
  auto fact = std::make_unique<TKZWaveFact>();
  fact->FSampleCount = static_cast<int32_t>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                            uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
  return fact;
}

int32_t TKZWaveFormatList::Add(const TKZWaveFormat& AFormat) {
  auto copy = TKZWaveFormat::CreateDefault();
  copy->Assign(&AFormat);
  return TList::Add(std::move(copy));
}

TKZWaveFormat* TKZWaveFormatList::Items(int32_t AIndex) const {
  return TList::Items(AIndex).get();
}

TKZWaveFormat* TKZWaveFormatList::Last() const {
  return Count() == 0 ? nullptr : Items(Count() - 1);
}
