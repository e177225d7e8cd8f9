#include "app/CompressionJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>

#include "app/DestinationFile.h"
#include "app/Texts.h"

#include "codec/UKZACMFormat.h"
#include "core/UKZMemory.h"
#include "factory/UKZWaveStreamFactory.h"
#include "platform/acm/AcmCodec.h"
#include "platform/acm/AcmDriver.h"
#include "platform/rtl/Exception.h"
#include "platform/ui/Forms.h"
#include "wave/UKZWaveStream.h"

namespace {

namespace fs = std::filesystem;

std::string Words(int AError) {
  return std::system_category().message(AError);
}

// An open descriptor, closed when it goes.
class TDescriptor {
 public:
  explicit TDescriptor(int AFile) : FFile(AFile) {}
  ~TDescriptor() { ::close(FFile); }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return FFile; }

 private:
  int FFile;
};

// Why a source that is not a regular file is not read.
[[noreturn]] void NotAFile(const std::string& ASource, mode_t AMode) {
  std::string what = "it is not a regular file";
  if (S_ISDIR(AMode)) what = "it is a folder";
  if (S_ISFIFO(AMode)) what = "it is a FIFO, not a regular file";
  if (S_ISCHR(AMode) || S_ISBLK(AMode)) what = "it is a device, not a regular file";
  if (S_ISSOCK(AMode)) what = "it is a socket, not a regular file";
  throw Exception("Cannot read " + ASource + ": " + what + ".");
}

// The source, opened for reading only when it is a regular file: a FIFO would wait for a
// writer, a device never end.
int OpenSource(const std::string& ASource) {
  struct stat st;
  if (::stat(ASource.c_str(), &st) != 0)
    throw Exception("Cannot read " + ASource + ": " + Words(errno) + ".");
  if (!S_ISREG(st.st_mode)) NotAFile(ASource, st.st_mode);
  // Non-blocking, in case a FIFO took the file's place since.
  const int file = ::open(ASource.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) throw Exception("Cannot read " + ASource + ": " + Words(errno) + ".");
  if (::fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(file);
    NotAFile(ASource, st.st_mode);
  }
  ::fcntl(file, F_SETFL, ::fcntl(file, F_GETFL) & ~O_NONBLOCK);
  return file;
}

// What a person is told about a source that failed; empty when nothing is known.
std::string ReadFailure(const std::string& ASource, const TKZFileReport& AReport) {
  if (AReport.SystemError != 0)
    return "Cannot read " + ASource + ": " + Words(AReport.SystemError) + ".";
  switch (AReport.Refusal) {
    case MMIO_REFUSED_NOTREGULAR:
      return "Cannot read " + ASource + ": it is not a regular file.";
    case MMIO_REFUSED_TOOLARGE:
      return ASource + " is larger than any wave file Corvane reads.";
    case MMIO_REFUSED_NOTRIFF:
      return ASource + " is not a wave file (no RIFF header).";
    case MMIO_REFUSED_RF64:
      return ASource + " is not a wave file (an RF64 header without its ds64 chunk).";
    case MMIO_REFUSED_FORM:
      return ASource + " is not a wave file (a RIFF file of another kind).";
    case MMIO_REFUSED_NOFORMAT:
      return ASource + " is not a wave file (no fmt chunk).";
    case MMIO_REFUSED_BADFORMAT:
      return ASource + " is not a wave file (a fmt chunk that cannot be read).";
    case MMIO_REFUSED_NODATA:
      return ASource + " is not a wave file (no data chunk).";
    default:
      return "";
  }
}

std::string WriteFailure(const std::string& ADestination, const TKZFileReport& AReport) {
  if (AReport.SystemError != 0)
    return "Cannot write " + ADestination + ": " + Words(AReport.SystemError) + ".";
  if (AReport.Refusal == MMIO_REFUSED_TOOLARGE)
    return "Cannot write " + ADestination + ": it would pass 4 GiB, the largest RIFF wave file.";
  return "";
}

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
  if (AOptions.SampleRate != 0) text += ", " + Thousands(AOptions.SampleRate) + " Hz";
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

// The frames a source's data chunk holds for AFormat: whole blocks of linear audio, or the
// share of the fact count of compressed audio.
int64_t Frames(const TKZWaveStreamFormat& AFormat, int64_t ABytes, int64_t ADeclared) {
  const TKZWaveFormat& wave = AFormat.WaveFormat();
  const int64_t align = wave.GetBlockAlign();
  const uint16_t tag = wave.GetFormatTag();
  if ((tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT) && align > 0) return ABytes / align;
  if (!AFormat.Fact().HasSampleCount() || ADeclared <= 0)
    return ABytes / std::max<int64_t>(1, align);
  const auto count = static_cast<int64_t>(static_cast<uint32_t>(AFormat.Fact().GetSampleCount()));
  return count * ABytes / ADeclared;
}

// "x.wav: the data ends after 236 of 4,410 frames" for a source whose data chunk ends before
// its header says; empty for a whole one. Writers that could not seek back leave the largest
// sizes there: their data simply runs to the end of the file.
std::string TruncationWarning(const std::string& ASource, const TKZWaveStreamFormat& AFormat,
                              const TKZFileReport& AReport) {
  if (AReport.DeclaredDataSize <= AReport.DataSize || AReport.DeclaredDataSize == 0xFFFFFFFF)
    return "";
  return ASource + ": the data ends after " +
         Thousands(Frames(AFormat, AReport.DataSize, AReport.DeclaredDataSize)) + " of " +
         Thousands(Frames(AFormat, AReport.DeclaredDataSize, AReport.DeclaredDataSize)) + " frames";
}

// The audio bytes of the wave file just written into ADescriptor.
int64_t WrittenAudio(int ADescriptor) {
  TKZFileReport report;
  auto written = TKZMMIOWaveStream::OpenReadDescriptor(ADescriptor, &report);
  return written ? report.DataSize : 0;
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
  const TDescriptor source(OpenSource(ASource));
  // Whatever the chains' files meet ends up here: both outlive the chains.
  TKZFileReport read, written;
  // The chains are built on this thread: their encoders take these choices when they open.
  const acm::ScopedEncoderOptions encoder({AOptions.HighQuality, AOptions.BlockSize});
  auto factory = TKZWaveStreamFactory::Create();
  factory->SetThreaded(AOptions.Threaded);
  std::unique_ptr<TKZStream> reader;
  // A file that fails while its head is read raises without words; its report has them.
  try {
    reader = factory->CreateReadStream(source.Get(), &read);
  } catch (const Exception& failure) {
    if (!failure.Message().empty()) throw;
  }
  const auto* format =
      reader ? dynamic_cast<const TKZWaveStreamFormat*>(reader->GetFormat()) : nullptr;
  if (!format) {
    reader.reset();
    const std::string why = ReadFailure(ASource, read);
    throw Exception(why.empty() ? "Cannot read " + ASource + " as a wave file." : why);
  }
  TKZWaveStreamFormat sourceFormat;
  sourceFormat.Assign(format);
  if (AOptions.Stop && AOptions.Stop->load())
    throw ECompressionStopped("Compression of " + ASource + " interrupted.");
  factory->Reset();
  factory->SetThreaded(AOptions.Threaded);
  factory->GetFormat().SetFormatTag(tag);
  if (AOptions.SampleRate != 0) factory->GetFormat().SetSamplesPerSec(AOptions.SampleRate);
  if (AOptions.Channels != 0) factory->GetFormat().SetChannels(AOptions.Channels);
  if (AOptions.Bits != 0) factory->GetFormat().SetBitsPerSample(AOptions.Bits);
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

  TDestinationFile destination(ADestination, AOptions.Sync);
  std::unique_ptr<TKZStream> writer;
  try {
    TKZWaveStreamFormat carried;
    carried.Assign(format);
    if (!AOptions.Metadata) carried.Metadata().clear();
    writer = factory->CreateWriteStream(destination.Descriptor(), carried, &written);
  } catch (const Exception& failure) {
    if (!failure.Message().empty()) throw;
  }
  if (!writer) {
    if (!HKZACMFormat::FindPath(format->WaveFormat(), factory->GetFormat()))
      throw Exception("No conversion from " + FormatName(format->WaveFormat()) + " to " +
                      TargetName(tag, AOptions) + " for " + ASource + ".");
    const std::string why = WriteFailure(ADestination, written);
    throw Exception(why.empty() ? "Cannot create " + ADestination + "." : why);
  }
  // A failure is told by the file it happened to; a codec that failed leaves no reason.
  auto failed = [&](TKZCopyResult ASide) {
    writer.reset();
    reader.reset();
    std::string why = ASide == crReadFailed ? ReadFailure(ASource, read) : "";
    if (why.empty()) why = WriteFailure(ADestination, written);
    if (why.empty()) why = ReadFailure(ASource, read);
    throw Exception(why.empty() ? "Compression of " + ASource + " stopped early." : why);
  };
  // A stopped job leaves by raising: its chains are destroyed, its temporary file removed.
  TKZCopyResult copied = crWriteFailed;
  try {
    const std::atomic<bool>* stop = AOptions.Stop;
    copied = HKZStream::CopyWithProgress(
        *reader, *writer, [stop] { return stop && stop->load(std::memory_order_relaxed); },
        AOptions.Progress);
  } catch (const Exception& failure) {
    // The class library's guards raise without words; the person is told which file.
    if (!failure.Message().empty()) throw;
  }
  if (copied == crStopped) throw ECompressionStopped("Compression of " + ASource + " interrupted.");
  if (copied != crWhole) failed(copied);
  reader.reset();
  try {
    writer->Close();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    failed(crWriteFailed);
  }
  writer.reset();
  factory.reset();
  // Compressed audio that decodes to nothing makes an empty file, not a compressed one.
  const uint16_t sourceTag = sourceFormat.WaveFormat().GetFormatTag();
  if (sourceTag != WAVE_FORMAT_PCM && sourceTag != WAVE_FORMAT_IEEE_FLOAT && read.DataSize > 0 &&
      WrittenAudio(destination.Descriptor()) == 0)
    throw Exception("No audio could be decoded from " + ASource + ".");
  destination.Commit();
  const std::string warning = TruncationWarning(ASource, sourceFormat, read);
  if (!warning.empty() && AOptions.Warning) AOptions.Warning(warning);
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
