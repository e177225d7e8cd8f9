#pragma once

#include <cstdint>
#include <memory>

#include "core/UKZFormat.h"
#include "platform/acm/Acm.h"
#include "platform/rtl/List.h"
#include "platform/rtl/Stream.h"
#include "wave/UKZACM.h"

// A wave format: a WAVEFORMATEX record in a buffer of its own, and a mask of the fields that
// hold a value. Callers set the four basic fields one by one; a PCM record then derives block
// alignment, byte rate and cbSize itself. Any other format is complete only when its record
// came whole from outside (a file, the codec manager) or from a complete record.
//
// Every failure raises Exception with an empty message.
class TKZWaveFormat : public TKZFormat {
 public:
  static constexpr uint32_t fvFormatTag = 0x01;
  static constexpr uint32_t fvChannels = 0x02;
  static constexpr uint32_t fvSamplesPerSec = 0x04;
  static constexpr uint32_t fvBitsPerSample = 0x08;
  static constexpr uint32_t fvAvgBytesPerSec = 0x10;
  static constexpr uint32_t fvBlockAlign = 0x20;
  static constexpr uint32_t fvExtra = 0x40;
  static constexpr uint32_t fvBasic = 0x0F;
  static constexpr uint32_t fvDerived = 0x70;
  static constexpr uint32_t fvAll = 0x7F;

  // The header every record has.
  static constexpr int32_t HeaderSize = 18;
  // The largest record a file may hold; anything larger is not a format.
  static constexpr int32_t MaxRecordSize = 65536;

  // An empty record of HeaderSize bytes.
  TKZWaveFormat();
  // An empty record of ACapacity bytes, at least HeaderSize.
  explicit TKZWaveFormat(int32_t ACapacity);

  void Assign(const TPersistent* ASource) override;
  std::unique_ptr<TKZPersistent> NewInstance() const override;

  // How every part of the system makes an empty wave format.
  template <class T = TKZWaveFormat>
  static std::unique_ptr<T> CreateDefault() {
    return std::make_unique<T>(HeaderSize);
  }
  // A record large enough for any format of any installed codec.
  template <class T = TKZWaveFormat>
  static std::unique_ptr<T> CreateMax() {
    return std::make_unique<T>(HKZACM::MaxFormatSize());
  }

  int32_t GetCapacity() const { return FCapacity; }
  uint32_t GetValid() const { return FValid; }
  // Grows the buffer to ASize bytes, keeping its contents; never shrinks it.
  void EnsureCapacity(int32_t ASize);
  void EnsureMaxCapacity();
  // 18 for PCM whatever cbSize says, else 18 + cbSize.
  static int32_t FormatSize(const WAVEFORMATEX& ARecord);
  // The record, its PCM fields derived; what the codec manager reads and fills.
  WAVEFORMATEX* GetWaveFormatEx();
  // Declares that the whole record was just stored from outside: every field counts as set,
  // none is derived. A PCM record gets cbSize 0.
  void MarkLoaded();

  bool HasFormatTag() const { return (FValid & fvFormatTag) != 0; }
  bool IsSpecified() const { return FValid != 0; }
  // These raise when the field holds no value.
  uint16_t GetFormatTag() const;
  uint16_t GetChannels() const;
  uint32_t GetSamplesPerSec() const;
  uint16_t GetBitsPerSample() const;
  // These raise when the record is not complete.
  uint32_t GetAvgBytesPerSec() const;
  uint16_t GetBlockAlign() const;
  uint16_t GetExtraSize() const;
  // Each stores its field and clears the derived ones.
  void SetFormatTag(uint16_t AValue);
  void SetChannels(uint16_t AValue);
  void SetSamplesPerSec(uint32_t AValue);
  void SetBitsPerSample(uint16_t AValue);

  // Derives a PCM record's fields when it can, then answers whether all fields hold a value.
  bool IsComplete() const;
  void CheckComplete() const;
  // The bytes the data rate fills in AMilliseconds, truncated; at most the largest 32-bit
  // signed value.
  int32_t GetBytesForTime(int32_t AMilliseconds) const;
  // The same mask and the same values in every field it names, extra bytes included.
  bool IsEqual(const TKZWaveFormat& AOther) const;

  // Writes the record (FormatSize bytes) in one write; false when not all were taken.
  bool WriteTo(TStream& AStream) const;
  // A record of ASize bytes from AStream; none when fewer came or they are no format record
  // (fewer than 16 bytes, more than MaxRecordSize, or a codec record shorter than its header
  // and extra bytes).
  static std::unique_ptr<TKZWaveFormat> ReadFrom(TStream& AStream, int32_t ASize);

 private:
  WAVEFORMATEX& Record() const { return *reinterpret_cast<WAVEFORMATEX*>(FData.get()); }
  void SetBasic(uint32_t ABit);
  // Whether the record's FormatSize bytes lie inside the buffer.
  bool RecordFits() const { return FormatSize(Record()) <= FCapacity; }

  int32_t FCapacity = 0;
  std::unique_ptr<uint8_t[]> FData;
  // Derivation completes a PCM record on the way, also through const access.
  mutable uint32_t FValid = 0;
};

// The number of sample frames in a wave file's data; 0 when none is known.
class TKZWaveFact : public TKZPersistent {
 public:
  TKZWaveFact() = default;

  void Assign(const TPersistent* ASource) override;
  std::unique_ptr<TKZPersistent> NewInstance() const override;

  int32_t GetSampleCount() const { return FSampleCount; }
  void SetSampleCount(int32_t AValue) { FSampleCount = AValue; }
  bool HasSampleCount() const { return FSampleCount != 0; }
  void CheckSampleCount() const;

  // The count as 4 little-endian bytes; raises for no count.
  bool WriteTo(TStream& AStream) const;
  // The first 4 bytes of a chunk of ASize bytes; none for a shorter chunk or a short read.
  static std::unique_ptr<TKZWaveFact> ReadFrom(int32_t ASize, TStream& AStream);

 private:
  int32_t FSampleCount = 0;
};

// An owning list of complete wave formats: a conversion path, first step first.
class TKZWaveFormatList : public TList<std::unique_ptr<TKZWaveFormat>> {
 public:
  // Appends a copy of AFormat and answers its index; the caller keeps its object.
  int32_t Add(const TKZWaveFormat& AFormat);
  TKZWaveFormat* Items(int32_t AIndex) const;
  // None when the list is empty.
  TKZWaveFormat* Last() const;
};
