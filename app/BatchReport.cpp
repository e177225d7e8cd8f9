#include "app/BatchReport.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "wave/UKZWaveStream.h"

namespace {

namespace fs = std::filesystem;

std::string Number(double AValue, const char* AFormat) {
  char text[64];
  std::snprintf(text, sizeof text, AFormat, AValue);
  return text;
}

// The length of the UTF-8 sequence at AAt, or 0 when it is not a valid one (overlong forms,
// surrogates and code points above U+10FFFF are not).
size_t Utf8Length(const std::string& AText, size_t AAt) {
  const auto byte = [&](size_t A) { return static_cast<uint8_t>(AText[A]); };
  const uint8_t lead = byte(AAt);
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (AAt + length > AText.size() || byte(AAt + 1) < low || byte(AAt + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(AAt + i) < 0x80 || byte(AAt + i) > 0xBF) return 0;
  return length;
}

}  // namespace

const char* StatusName(TFileStatus AStatus) {
  switch (AStatus) {
    case TFileStatus::Done:
      return "done";
    case TFileStatus::Skipped:
      return "skipped";
    case TFileStatus::Failed:
      return "failed";
    case TFileStatus::Warning:
      return "warning";
  }
  return "failed";
}

std::string JsonString(const std::string& ABytes) {
  std::string json = "\"";
  char escape[8];
  for (size_t i = 0; i < ABytes.size();) {
    const uint8_t c = static_cast<uint8_t>(ABytes[i]);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c == '\n') {
      json += "\\n";
    } else if (c == '\t') {
      json += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      json += escape;
    } else if (c < 0x80) {
      json += static_cast<char>(c);
    } else if (const size_t length = Utf8Length(ABytes, i)) {
      json.append(ABytes, i, length);
      i += length;
      continue;
    } else {
      std::snprintf(escape, sizeof escape, "\\u%04x", 0xDC00 + c);
      json += escape;
    }
    ++i;
  }
  return json + "\"";
}

std::string RecordLine(const TFileRecord& ARecord) {
  auto orNull = [](const std::string& AJson) { return AJson.empty() ? "null" : AJson; };
  return "{\"source\":" + JsonString(ARecord.Source) +
         ",\"destination\":" + JsonString(ARecord.Destination) + ",\"status\":\"" +
         StatusName(ARecord.Status) +
         "\",\"reason\":" + (ARecord.Reason.empty() ? "null" : JsonString(ARecord.Reason)) +
         ",\"bytes_in\":" + std::to_string(ARecord.BytesIn) +
         ",\"bytes_out\":" + std::to_string(ARecord.BytesOut) +
         ",\"source_format\":" + orNull(ARecord.SourceFormat) +
         ",\"destination_format\":" + orNull(ARecord.DestinationFormat) + ",\"audio_seconds\":" +
         (ARecord.AudioSeconds ? Number(*ARecord.AudioSeconds, "%.6f") : "null") +
         ",\"wall_seconds\":" + Number(ARecord.WallSeconds, "%.3f") + "}\n";
}

std::unique_ptr<TBatchRecords> TBatchRecords::Open(const std::string& AFile) {
  if (AFile == "-") return std::make_unique<TBatchRecords>(STDOUT_FILENO, false, AFile);
  const int handle = ::open(AFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (handle < 0)
    throw EUsage("Cannot open the report " + AFile + ": " + std::strerror(errno) + ".");
  return std::make_unique<TBatchRecords>(handle, true, AFile);
}

TBatchRecords::TBatchRecords(int AHandle, bool AOwned, std::string AName)
    : FHandle(AHandle), FOwned(AOwned), FName(std::move(AName)) {
  for (const TBatchCodec& codec : BatchCodecs())
    FCodecNames[codec.Caps.tag] = codec.Name;
}

TBatchRecords::~TBatchRecords() {
  if (FOwned) ::close(FHandle);
}

std::pair<std::string, std::optional<double>> TBatchRecords::Describe(
    const std::string& AFile) const {
  // Only regular files: opening a pipe or a device could wait for ever.
  std::error_code error;
  if (AFile.empty() || !fs::is_regular_file(AFile, error)) return {};
  try {
    const std::unique_ptr<TKZMMIOWaveStream> wave = TKZMMIOWaveStream::OpenReadFile(AFile);
    const auto* format =
        wave ? dynamic_cast<const TKZWaveStreamFormat*>(wave->GetFormat()) : nullptr;
    if (!format) return {};
    const TKZWaveFormat& f = format->WaveFormat();
    const auto codec = FCodecNames.find(f.GetFormatTag());
    const std::string json =
        "{\"codec\":" + (codec == FCodecNames.end() ? "null" : JsonString(codec->second)) +
        ",\"tag\":" + std::to_string(f.GetFormatTag()) +
        ",\"rate\":" + std::to_string(f.GetSamplesPerSec()) +
        ",\"channels\":" + std::to_string(f.GetChannels()) +
        ",\"bits\":" + std::to_string(f.GetBitsPerSample()) + "}";
    std::optional<double> seconds;
    const int32_t frames = format->Fact().GetSampleCount();
    if (frames > 0 && f.GetSamplesPerSec() > 0)
      seconds = static_cast<double>(frames) / f.GetSamplesPerSec();
    return {json, seconds};
  } catch (...) {  // a file that cannot be described is reported without its format
    return {};
  }
}

void TBatchRecords::Add(const TBatchItem& AItem, TFileStatus AStatus, const std::string& AReason,
                        double AWallSeconds) {
  TFileRecord record;
  record.Source = AItem.Source;
  record.Destination = AItem.Destination;
  record.Status = AStatus;
  record.Reason = AReason;
  std::error_code error;
  const uintmax_t in = fs::file_size(AItem.Source, error);
  record.BytesIn = error ? 0 : static_cast<int64_t>(in);
  std::tie(record.SourceFormat, record.AudioSeconds) = Describe(AItem.Source);
  // A failed file has no destination of its own; whatever is under its name is not its.
  if (AStatus != TFileStatus::Failed) {
    const uintmax_t out = fs::file_size(AItem.Destination, error);
    record.BytesOut = error ? 0 : static_cast<int64_t>(out);
    record.DestinationFormat = Describe(AItem.Destination).first;
  }
  record.WallSeconds = AWallSeconds;
  const std::string line = RecordLine(record);

  std::lock_guard<std::mutex> hold(FLock);
  if (!FFailure.empty()) return;
  for (size_t written = 0; written < line.size();) {
    const ssize_t count = ::write(FHandle, line.data() + written, line.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      FFailure = "Cannot write the report " + FName + ": " +
                 (count < 0 ? std::strerror(errno) : "nothing was written") + ".";
      return;
    }
    written += static_cast<size_t>(count);
  }
}

std::string TBatchRecords::Failure() {
  std::lock_guard<std::mutex> hold(FLock);
  return FFailure;
}
