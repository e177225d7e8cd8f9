#pragma once

// The headless command corvane-batch: its command line, the files a batch takes and where each
// one goes, the compression job run over them on worker threads, and what the command says
// while it runs. Neither Qt nor a display: the program's main only ties it to the process.

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/acm/AcmDriver.h"
#include "platform/rtl/Exception.h"

// A codec as the command names it.
struct TBatchCodec {
  std::string Name;  // such as "ima-adpcm"
  acm::TagCaps Caps;
};

// Every codec of the codec manager's driver table, each format tag once (from the driver the
// manager asks first), in table order: a new driver is listed by itself.
std::vector<TBatchCodec> BatchCodecs();

// The formats a codec offers, in words, such as "8,000 to 48,000 Hz; 1 to 2 channels; 4 bit".
std::string DescribeFormats(const acm::TagCaps& ACaps);

// A command line the command cannot follow; the text says why.
class EUsage : public Exception {
 public:
  using Exception::Exception;
};

enum class TBatchAction { Compress, ListCodecs, Help, Version };

struct TBatchSettings {
  TBatchAction Action = TBatchAction::Compress;
  std::string Output;
  uint16_t Codec = 0;
  std::string CodecName;
  uint32_t SampleRate = 0;  // 0: follows from the source
  uint16_t Channels = 0;    // 0: follows from the source
  uint32_t Bitrate = 0;     // kbit/s; 0: the codec's choice
  uint16_t Bits = 0;        // 0: follows from the source (pcm and float only)
  bool NoMetadata = false;  // leave out the source's LIST/INFO and bext chunks
  bool Recursive = false;
  bool SkipExisting = false;
  bool Threaded = false;
  bool HighQuality = false;  // --quality high
  uint32_t BlockSize = 0;    // --block-size; 0: the codec's default
  bool Quiet = false;
  bool NoSync = false;  // leave putting files on disk to the system
  int32_t Jobs = 0;     // 0: one per core
  std::vector<std::string> Inputs;
  // Many machines: inputs listed in a file ("-": standard input), a line each or
  // NUL-separated; destinations mirrored below a base folder; this worker's shard (1 to
  // ShardCount; 0 of 0 takes every input); a JSON Lines report; the plan without writing.
  std::string FilesFrom;
  bool Null = false;
  std::string Base;
  uint32_t Shard = 0, ShardCount = 0;
  std::string ReportFile;
  bool DryRun = false;
};

// Reads the arguments that follow the program name. A codec is a name of BatchCodecs or a
// format tag (decimal or 0x hex) of one of them; a fixed rate or channel count must be one the
// codec carries. Raises EUsage. Files and folders are looked at by PlanBatch.
TBatchSettings ParseBatchArguments(const std::vector<std::string>& AArguments);

// One file of a batch.
struct TBatchItem {
  std::string Source;
  std::string Destination;
  // Why the file is refused before anything is done for it; empty when it is to be compressed.
  std::string Refusal;
};

// The files of a batch in the order given, those of a folder sorted by path. A plain file goes
// to the output folder under its own name; with -r, a folder's .wav files (any letter case) at
// any depth go to the same place below the output folder (an output folder inside it is not
// searched); a folder that cannot be read is refused by itself and the walk goes on. The same
// file given twice is taken once; another file that maps to an earlier one's destination is
// refused. With a shard set, only the shard's items. Raises EUsage when the output folder is
// missing or a folder is given without -r.
std::vector<TBatchItem> PlanBatch(const TBatchSettings& ASettings);

// Where the command writes: the usage, version and codec list to Out, everything else to Err.
// On a terminal, progress is one line redrawn; elsewhere a line per file.
struct TBatchConsole {
  std::ostream& Out;
  std::ostream& Err;
  bool Terminal = false;
  bool Colour = false;
};

struct TBatchSummary {
  int32_t Done = 0;
  int32_t Skipped = 0;
  int32_t Failed = 0;
  int32_t NotDone = 0;   // abandoned or never started when the batch was stopped
  int32_t Warnings = 0;  // files compressed with a warning, such as a truncated source
  int64_t InputBytes = 0;
  int64_t OutputBytes = 0;
  bool Stopped = false;
};

class TBatchRecords;

// Compresses the items with ASettings.Jobs worker threads (one chain per file, each on one
// thread). A failed file is reported and the batch goes on; once AStop is set, running files
// are abandoned and no other starts. Each finished file goes to ARecords too, when given.
TBatchSummary RunBatch(const std::vector<TBatchItem>& AItems, const TBatchSettings& ASettings,
                       const TBatchConsole& AConsole, const std::atomic<bool>& AStop,
                       TBatchRecords* ARecords = nullptr);

constexpr int ExitSuccess = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitInterrupted = 130;

// The whole command; answers its exit code.
int RunBatchCommand(const std::vector<std::string>& AArguments, const TBatchConsole& AConsole,
                    const std::atomic<bool>& AStop);

std::string BatchUsage();
