#include "app/CompressionJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>

#include "codec/UKZACMFormat.h"
#include "core/UKZMemory.h"
#include "factory/UKZWaveStreamFactory.h"
#include "platform/acm/AcmDriver.h"
#include "platform/rtl/Exception.h"
#include "platform/ui/Forms.h"
#include "wave/UKZWaveStream.h"

namespace {

namespace fs = std::filesystem;

// A new, empty file beside the destination, under a name of its own. It is removed when it
// goes, unless Commit renamed it over the destination.
class TTemporaryFile {
 public:
  explicit TTemporaryFile(const std::string& ADestination) : FDestination(ADestination) {
    const fs::path destination(ADestination);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && FName.empty(); ++attempt) {
      const fs::path name =
          destination.parent_path() / ("." + destination.filename().string() + "." +
                                       std::to_string(random() % 1000000) + ".part");
      const int file = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (file >= 0) {
        ::close(file);
        FName = name.string();
      } else if (errno != EEXIST) {
        break;
      }
    }
  }
  ~TTemporaryFile() {
    if (!FName.empty()) ::unlink(FName.c_str());
  }
  TTemporaryFile(const TTemporaryFile&) = delete;
  TTemporaryFile& operator=(const TTemporaryFile&) = delete;

  bool Created() const { return !FName.empty(); }
  const std::string& Name() const { return FName; }

  // Puts the file in the destination's place; an existing destination lends it its
  // permissions. False when the rename failed (the file stays temporary).
  bool Commit() {
    struct stat existing;
    if (::stat(FDestination.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
      ::chmod(FName.c_str(), existing.st_mode & 07777);
    if (::rename(FName.c_str(), FDestination.c_str()) != 0) return false;
    FName.clear();
    return true;
  }

 private:
  std::string FDestination;
  std::string FName;
};

// The manager's name of a format tag, such as "IMA ADPCM".
std::string CodecName(uint16_t ATag) {
  ACMFORMATTAGDETAILSA details{};
  details.cbStruct = sizeof details;
  details.dwFormatTag = ATag;
  if (acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG) == 0)
    return std::string(details.szFormatTag,
                       strnlen(details.szFormatTag, sizeof details.szFormatTag));
  return "format tag " + std::to_string(ATag);
}

// A format in words, such as "PCM 44,100 Hz, 16 Bit, Stereo".
std::string FormatName(TKZWaveFormat& AFormat) {
  const uint16_t tag = AFormat.GetFormatTag();
  ACMFORMATDETAILSA details{};
  details.cbStruct = sizeof details;
  details.pwfx = AFormat.GetWaveFormatEx();
  details.cbwfx = static_cast<uint32_t>(AFormat.GetCapacity());
  std::string text = CodecName(tag);
  if (acmFormatDetailsA(nullptr, &details, ACM_FORMATDETAILSF_FORMAT) == 0)
    text += " " + std::string(details.szFormat, strnlen(details.szFormat, sizeof details.szFormat));
  return text;
}

// The destination format asked for, such as "mu-Law, 8,000 Hz, mono".
std::string TargetName(uint16_t ATag, const TCompressOptions& AOptions) {
  std::string text = CodecName(ATag);
  if (AOptions.SampleRate != 0) {
    std::string rate = std::to_string(AOptions.SampleRate);
    for (int i = static_cast<int>(rate.size()) - 3; i > 0; i -= 3)
      rate.insert(i, ",");
    text += ", " + rate + " Hz";
  }
  if (AOptions.Channels == 1) text += ", mono";
  if (AOptions.Channels == 2) text += ", stereo";
  if (AOptions.Channels > 2) text += ", " + std::to_string(AOptions.Channels) + " channels";
  if (AOptions.Bitrate != 0) text += ", " + std::to_string(AOptions.Bitrate) + " kbit/s";
  return text;
}

// The first format the codec manager offers that AAccept accepts; none when it offers none.
std::unique_ptr<TKZWaveFormat> OfferedFormat(
    const std::function<bool(const WAVEFORMATEX&)>& AAccept) {
  ACMFORMATCHOOSEA all{};
  all.cbStruct = sizeof all;
  for (const acm::FormatChoice& choice : acm::ListFormatChoices(all)) {
    if (!AAccept(choice.format.Get())) continue;
    auto format = TKZWaveFormat::CreateDefault();
    format->EnsureCapacity(static_cast<int32_t>(choice.format.Size()));
    std::memcpy(format->GetWaveFormatEx(), choice.format.Bytes(), choice.format.Size());
    format->MarkLoaded();
    return format;
  }
  return nullptr;
}

// The format the codec offers at AFormat's tag, rate and channels with AKbps kbit/s.
std::unique_ptr<TKZWaveFormat> AtBitrate(const TKZWaveFormat& AFormat, uint32_t AKbps) {
  return OfferedFormat([&](const WAVEFORMATEX& AOffered) {
    return AOffered.wFormatTag == AFormat.GetFormatTag() &&
           AOffered.nSamplesPerSec == AFormat.GetSamplesPerSec() &&
           AOffered.nChannels == AFormat.GetChannels() &&
           uint64_t{AOffered.nAvgBytesPerSec} * 8 == uint64_t{AKbps} * 1000;
  });
}

// The stream copy, block by block, with the job's progress and stop. False when a read or a
// write failed.
bool CopyBlocks(TKZStream& AReader, TKZStream& AWriter, const std::string& ASource,
                const TCompressOptions& AOptions) {
  TKZMemChunk buffer(AllocArea(HKZStream::CopyBufferSize));
  for (;;) {
    if (AOptions.Stop && AOptions.Stop->load(std::memory_order_relaxed))
      throw ECompressionStopped("Compression of " + ASource + " interrupted.");
    const int32_t n = AReader.Read(buffer.FArea);
    if (n <= 0) return n == 0;
    if (AWriter.Write(Area(buffer.FArea.Start, n)) != n) return false;
    if (AOptions.Progress) AOptions.Progress(n);
  }
}

bool SameFile(const std::string& ASource, const std::string& ADestination) {
  std::error_code error;
  return fs::equivalent(ASource, ADestination, error);
}

}  // namespace

void CompressFile(const std::string& ASource, const std::string& ADestination, int32_t ACodec,
                  const TCompressOptions& AOptions) {
  if (SameFile(ASource, ADestination))
    throw Exception("Cannot compress " + ASource + " into " + ADestination +
                    ": it is the source file itself. Choose another output directory.");
  const auto tag = static_cast<uint16_t>(ACodec & 0xFFFF);
  auto factory = TKZWaveStreamFactory::Create();
  factory->SetThreaded(AOptions.Threaded);
  std::unique_ptr<TKZStream> reader = factory->CreateReadStream(ASource);
  const auto* format =
      reader ? dynamic_cast<const TKZWaveStreamFormat*>(reader->GetFormat()) : nullptr;
  if (!format) throw Exception("Cannot read " + ASource + " as a wave file.");
  factory->Reset();
  factory->SetThreaded(AOptions.Threaded);
  factory->GetFormat().SetFormatTag(tag);
  if (AOptions.SampleRate != 0) factory->GetFormat().SetSamplesPerSec(AOptions.SampleRate);
  if (AOptions.Channels != 0) factory->GetFormat().SetChannels(AOptions.Channels);
  if (AOptions.Bitrate != 0) {
    // The path the codec would take anyway, ending in its format of that bit rate.
    const std::unique_ptr<TKZWaveFormatList> path =
        HKZACMFormat::FindPath(format->WaveFormat(), factory->GetFormat());
    const std::unique_ptr<TKZWaveFormat> fixed =
        path && path->Last() ? AtBitrate(*path->Last(), AOptions.Bitrate) : nullptr;
    if (!fixed)
      throw Exception("No conversion from " + FormatName(format->WaveFormat()) + " to " +
                      TargetName(tag, AOptions) + " for " + ASource + ".");
    factory->GetFormat().Assign(fixed.get());
  }

  TTemporaryFile temporary(ADestination);
  if (!temporary.Created()) throw Exception("Cannot create " + ADestination + ".");
  std::unique_ptr<TKZStream> writer = factory->CreateWriteStream(temporary.Name(), *format);
  if (!writer) {
    if (!HKZACMFormat::FindPath(format->WaveFormat(), factory->GetFormat()))
      throw Exception("No conversion from " + FormatName(format->WaveFormat()) + " to " +
                      TargetName(tag, AOptions) + " for " + ASource + ".");
    throw Exception("Cannot create " + ADestination + ".");
  }
  const std::string stopped = "Compression of " + ASource + " stopped early.";
  // A stopped job leaves by raising: its chains are destroyed, its temporary file removed.
  bool copied = false;
  try {
    copied = CopyBlocks(*reader, *writer, ASource, AOptions);
  } catch (const Exception& failure) {
    // The class library's guards raise without words; the person is told which file.
    if (!failure.Message().empty()) throw;
  }
  if (!copied) throw Exception(stopped);
  reader.reset();
  try {
    writer->Close();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    throw Exception(stopped);
  }
  writer.reset();
  factory.reset();
  if (!temporary.Commit()) throw Exception("Cannot create " + ADestination + ".");
}

int32_t ChooseCodec(int32_t APreselect) {
  auto chooser = TKZACMFormatChoose::Create();
  chooser->FTitle = "Choose a compression format:";
  if (APreselect != 0) {
    const auto preselect = OfferedFormat(
        [&](const WAVEFORMATEX& AOffered) { return AOffered.wFormatTag == (APreselect & 0xFFFF); });
    if (preselect) chooser->FFormat->Assign(preselect.get());
  }
  chooser->FOwner = Application ? Application->Handle() : nullptr;
  const std::unique_ptr<TKZWaveFormat> format = chooser->Execute();
  if (!format) Abort();
  return format->GetFormatTag();
}
