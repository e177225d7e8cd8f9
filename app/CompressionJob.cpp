#include "app/CompressionJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "codec/UKZACMFormat.h"
#include "factory/UKZWaveStreamFactory.h"
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

bool SameFile(const std::string& ASource, const std::string& ADestination) {
  std::error_code error;
  return fs::equivalent(ASource, ADestination, error);
}

}  // namespace

void CompressFile(const std::string& ASource, const std::string& ADestination, int32_t ACodec) {
  if (SameFile(ASource, ADestination))
    throw Exception("Cannot compress " + ASource + " into " + ADestination +
                    ": it is the source file itself. Choose another output directory.");
  const auto tag = static_cast<uint16_t>(ACodec & 0xFFFF);
  auto factory = TKZWaveStreamFactory::Create();
  std::unique_ptr<TKZStream> reader = factory->CreateReadStream(ASource);
  const auto* format =
      reader ? dynamic_cast<const TKZWaveStreamFormat*>(reader->GetFormat()) : nullptr;
  if (!format) throw Exception("Cannot read " + ASource + " as a wave file.");
  factory->Reset();
  factory->GetFormat().SetFormatTag(tag);

  TTemporaryFile temporary(ADestination);
  if (!temporary.Created()) throw Exception("Cannot create " + ADestination + ".");
  std::unique_ptr<TKZStream> writer = factory->CreateWriteStream(temporary.Name(), *format);
  if (!writer) {
    if (!HKZACMFormat::FindPath(format->WaveFormat(), factory->GetFormat()))
      throw Exception("No conversion from " + FormatName(format->WaveFormat()) + " to " +
                      CodecName(tag) + " for " + ASource + ".");
    throw Exception("Cannot create " + ADestination + ".");
  }
  const std::string stopped = "Compression of " + ASource + " stopped early.";
  if (!TKZStream::Copy(*reader, *writer)) throw Exception(stopped);
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

int32_t ChooseCodec() {
  auto chooser = TKZACMFormatChoose::Create();
  chooser->FTitle = "Choose a compression format:";
  chooser->FOwner = Application ? Application->Handle() : nullptr;
  const std::unique_ptr<TKZWaveFormat> format = chooser->Execute();
  if (!format) Abort();
  return format->GetFormatTag();
}
