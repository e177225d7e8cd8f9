#pragma once

// The batch command's machine-readable report (--report FILE): one JSON object a line for
// each file as it finishes (JSON Lines). Each line goes to the file in one write to a file
// opened for appending, so a line is never seen half written, even after Ctrl-C or when the
// process is killed, and several workers may add to the same local file.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/BatchCommand.h"

// How a file of a batch ended. A status added later needs a name in StatusName only.
enum class TFileStatus { Done, Skipped, Failed, Warning };

// "done", "skipped", "failed", "warning".
const char* StatusName(TFileStatus AStatus);

// A JSON string literal of bytes: valid UTF-8 as it is, control characters escaped, and each
// byte of a file name that is not UTF-8 as an escaped lone surrogate U+DC80 to U+DCFF (the
// convention of Python's surrogateescape, which gives the bytes back).
std::string JsonString(const std::string& ABytes);

// What a report line says of one finished file.
struct TFileRecord {
  std::string Source;
  std::string Destination;
  TFileStatus Status = TFileStatus::Done;
  std::string Reason;  // empty: null
  int64_t BytesIn = 0, BytesOut = 0;
  // The JSON objects of the source's and the destination's formats; empty: null.
  std::string SourceFormat, DestinationFormat;
  std::optional<double> AudioSeconds;  // of the source
  double WallSeconds = 0;
};

// One line: the record as a JSON object and a newline.
std::string RecordLine(const TFileRecord& ARecord);

class TBatchRecords {
 public:
  // Opens AFile for appending ("-": standard output). Raises EUsage when it cannot be.
  static std::unique_ptr<TBatchRecords> Open(const std::string& AFile);
  // Writes to AHandle, which it closes when AOwned.
  TBatchRecords(int AHandle, bool AOwned, std::string AName);
  ~TBatchRecords();
  TBatchRecords(const TBatchRecords&) = delete;
  TBatchRecords& operator=(const TBatchRecords&) = delete;

  // Adds the line of a finished file: its sizes, formats and audio duration read from the
  // files as they are now. Workers call it at once.
  void Add(const TBatchItem& AItem, TFileStatus AStatus, const std::string& AReason,
           double AWallSeconds);

  // Empty while every line was written; the reason of the first that was not otherwise.
  std::string Failure();

 private:
  // The JSON object of a wave file's format and its duration in seconds; empty for a file
  // that is not one.
  std::pair<std::string, std::optional<double>> Describe(const std::string& AFile) const;

  const int FHandle;
  const bool FOwned;
  const std::string FName;
  std::map<uint16_t, std::string> FCodecNames;
  std::mutex FLock;  // guards FFailure and keeps lines in order
  std::string FFailure;
};
