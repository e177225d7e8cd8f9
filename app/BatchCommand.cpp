#include "app/BatchCommand.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>

#include "app/BatchFolders.h"
#include "app/BatchInputs.h"
#include "app/BatchReport.h"
#include "app/CompressionJob.h"
#include "app/Texts.h"
#include "app/WorkerPool.h"
#include "platform/acm/AcmCodec.h"

#ifndef CORVANE_VERSION
#define CORVANE_VERSION "unknown"
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A whole decimal or 0x hex number, or none.
std::optional<uint64_t> ParseNumber(const std::string& AText, bool AHex) {
  int base = 10;
  std::string_view digits(AText);
  if (AHex && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  uint64_t value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
    return std::nullopt;
  return value;
}

const TBatchCodec& FindCodec(const std::vector<TBatchCodec>& ACodecs, const std::string& AText) {
  const std::optional<uint64_t> tag = ParseNumber(AText, true);
  for (const TBatchCodec& codec : ACodecs)
    if (tag ? codec.Caps.tag == *tag : codec.Name == Lower(AText)) return codec;
  throw EUsage("Unknown codec \"" + AText +
               "\": give a name or a format tag that corvane-batch --list-codecs lists.");
}

uint64_t NumberArgument(const std::string& AOption, const std::string& AText, uint64_t AMax,
                        const std::string& AWhat) {
  const std::optional<uint64_t> value = ParseNumber(AText, false);
  if (!value || *value == 0 || *value > AMax)
    throw EUsage(AOption + " takes " + AWhat + " from 1 to " + Thousands(AMax) + ", not \"" +
                 AText + "\".");
  return *value;
}

// What a destination is known by when two are compared: its absolute path with the links
// of the folders that exist resolved.
std::string DestinationKey(const fs::path& ADestination) {
  std::error_code error;
  fs::path key = fs::weakly_canonical(fs::absolute(ADestination, error), error);
  if (error) key = fs::absolute(ADestination, error).lexically_normal();
  return key.string();
}

// What the command says while a batch runs. Workers call it at once; one lock keeps lines
// whole.
class TBatchReport {
 public:
  TBatchReport(const TBatchConsole& AConsole, bool AQuiet, int32_t AFiles, int64_t ABytes)
      : FConsole(AConsole), FQuiet(AQuiet), FFiles(AFiles), FBytes(ABytes) {}

  void Progress(int64_t ABytes) {
    const int64_t copied = FCopied.fetch_add(ABytes, std::memory_order_relaxed) + ABytes;
    if (FQuiet || !FConsole.Terminal) return;
    // Redrawn ten times a second at most, by whichever worker comes by first.
    std::unique_lock<std::mutex> hold(FLock, std::try_to_lock);
    if (!hold || Clock::now() - FDrawn < std::chrono::milliseconds(100)) return;
    Draw(copied);
  }

  void Done(const TBatchItem& AItem, int64_t AInput, int64_t AOutput) {
    std::lock_guard<std::mutex> hold(FLock);
    ++FFinished;
    if (!FConsole.Terminal)
      Say(Escaped("compressed " + AItem.Source + " -> " + AItem.Destination + " (" +
                  Thousands(AInput) + " -> " + Thousands(AOutput) + " bytes)"));
    else if (!FQuiet)
      Draw(FCopied.load());
  }

  void Skipped(const TBatchItem& AItem) {
    std::lock_guard<std::mutex> hold(FLock);
    ++FFinished;
    Say(Escaped("skipped " + AItem.Destination + ": it exists"));
  }

  void Failed(const TBatchItem& AItem, const std::string& AReason) {
    std::lock_guard<std::mutex> hold(FLock);
    ++FFinished;
    // The reason names the file (or its destination) as a rule; where it does not, the line
    // does.
    const bool named =
        AReason.find(AItem.Source) != std::string::npos ||
        (!AItem.Destination.empty() && AReason.find(AItem.Destination) != std::string::npos);
    const std::string text = named ? AReason : AItem.Source + ": " + AReason;
    Say(Paint("error:", "31") + " " + Escaped(text), true);
  }

  // A file compressed all the same, with something a person should know.
  void Warned(const std::string& AWarning) {
    std::lock_guard<std::mutex> hold(FLock);
    Say(Paint("warning:", "33") + " " + Escaped(AWarning), true);
  }

  void Finish(const TBatchSummary& ASummary, double ASeconds) {
    std::lock_guard<std::mutex> hold(FLock);
    Clear();
    if (FQuiet) return;
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", ASeconds);
    std::string line = ASummary.Stopped ? "interrupted: " : "";
    line += std::to_string(ASummary.Done) + " done, " + std::to_string(ASummary.Skipped) +
            " skipped, " + std::to_string(ASummary.Failed) + " failed";
    if (ASummary.Warnings > 0)
      line += ", " + std::to_string(ASummary.Warnings) +
              (ASummary.Warnings == 1 ? " warning" : " warnings");
    if (ASummary.Stopped) line += ", " + std::to_string(ASummary.NotDone) + " not compressed";
    line += "; " + Thousands(ASummary.InputBytes) + " bytes in, " +
            Thousands(ASummary.OutputBytes) + " bytes out; " + time;
    FConsole.Err << line << '\n' << std::flush;
  }

 private:
  std::string Paint(const std::string& AText, const char* AColour) const {
    return FConsole.Colour ? std::string("\033[") + AColour + "m" + AText + "\033[0m" : AText;
  }

  // A line of its own; the progress line is drawn again below it. Quiet, only errors.
  void Say(const std::string& ALine, bool AError = false) {
    if (FQuiet && !AError) return;
    Clear();
    FConsole.Err << ALine << '\n';
    if (FConsole.Terminal && !FQuiet)
      Draw(FCopied.load());
    else
      FConsole.Err << std::flush;
  }

  // Plain carriage return and spaces: what even a dumb terminal does.
  void Clear() {
    if (FWidth == 0) return;
    FConsole.Err << '\r' << std::string(FWidth, ' ') << '\r';
    FWidth = 0;
  }

  void Draw(int64_t ACopied) {
    constexpr int kBar = 24;
    const double part = FBytes > 0 ? std::min(1.0, static_cast<double>(ACopied) / FBytes) : 0;
    const int filled = static_cast<int>(part * kBar);
    char bytes[64];
    std::snprintf(bytes, sizeof bytes, "%.1f of %.1f MB", ACopied / 1e6, FBytes / 1e6);
    const std::string counts =
        "] " + std::to_string(FFinished) + " of " + std::to_string(FFiles) + " files, " + bytes;
    Clear();
    FConsole.Err << '\r' << '[' << Paint(std::string(filled, '#'), "32")
                 << std::string(kBar - filled, '.') << counts << std::flush;
    FWidth = 1 + kBar + counts.size();
    FDrawn = Clock::now();
  }

  const TBatchConsole& FConsole;
  const bool FQuiet;
  const int32_t FFiles;
  const int64_t FBytes;
  std::atomic<int64_t> FCopied{0};
  std::mutex FLock;
  int32_t FFinished = 0;
  size_t FWidth = 0;
  Clock::time_point FDrawn{};
};

int64_t FileSize(const std::string& AFile) {
  std::error_code error;
  const uintmax_t size = fs::file_size(AFile, error);
  return error ? 0 : static_cast<int64_t>(size);
}

// How one file of a batch ended.
struct TItemOutcome {
  TFileStatus Status = TFileStatus::Done;
  bool Abandoned = false;  // stopped on its way: neither compressed nor reported
  std::string Reason;      // why it failed, or the warning
  int64_t Input = 0, Output = 0;
  double Seconds = 0;
};

// Compresses one item of a batch, telling AProgress the source bytes as they go; a file that
// ends in any other way than stopped counts as wholly gone through.
TItemOutcome CompressItem(const TBatchItem& AItem, const TBatchSettings& ASettings,
                          const std::atomic<bool>& AStop, TMirroredFolders& AFolders,
                          const std::function<void(int64_t)>& AProgress) {
  const auto began = Clock::now();
  TItemOutcome outcome;
  auto ended = [&](TFileStatus AStatus, std::string AReason) {
    outcome.Status = AStatus;
    outcome.Reason = std::move(AReason);
    outcome.Seconds = std::chrono::duration<double>(Clock::now() - began).count();
    return outcome;
  };
  if (!AItem.Refusal.empty()) return ended(TFileStatus::Failed, AItem.Refusal);
  std::error_code error;
  if (ASettings.SkipExisting && fs::exists(fs::symlink_status(AItem.Destination, error))) {
    AProgress(FileSize(AItem.Source));
    return ended(TFileStatus::Skipped, "The destination exists.");
  }
  int64_t copied = 0;
  TCompressOptions options;
  options.SampleRate = ASettings.SampleRate;
  options.Channels = ASettings.Channels;
  options.Bitrate = ASettings.Bitrate;
  options.Bits = ASettings.Bits;
  options.Metadata = !ASettings.NoMetadata;
  options.Threaded = ASettings.Threaded;
  options.Sync = !ASettings.NoSync;
  options.HighQuality = ASettings.HighQuality;
  options.BlockSize = ASettings.BlockSize;
  options.Stop = &AStop;
  options.Progress = [&](int32_t ABytes) {
    copied += ABytes;
    AProgress(ABytes);
  };
  std::string warned;
  options.Warning = [&](const std::string& AWarning) { warned = AWarning; };
  std::string failure;
  try {
    AFolders.Create(fs::path(AItem.Destination).parent_path(), ASettings.Output, AItem.Destination);
    CompressFile(AItem.Source, AItem.Destination, ASettings.Codec, options);
  } catch (const ECompressionStopped&) {
    outcome.Abandoned = true;
    return outcome;
  } catch (const std::exception&) {
    failure = FailureWords();
  }
  outcome.Input = FileSize(AItem.Source);
  AProgress(std::max<int64_t>(0, outcome.Input - copied));
  if (!failure.empty()) return ended(TFileStatus::Failed, failure);
  outcome.Output = FileSize(AItem.Destination);
  return warned.empty() ? ended(TFileStatus::Done, "") : ended(TFileStatus::Warning, warned);
}

}  // namespace

std::vector<TBatchCodec> BatchCodecs() {
  std::vector<TBatchCodec> codecs;
  for (const std::shared_ptr<acm::Driver>& driver : acm::Drivers())
    for (const acm::TagCaps& caps : driver->Tags())
      if (std::none_of(codecs.begin(), codecs.end(),
                       [&](const TBatchCodec& A) { return A.Caps.tag == caps.tag; }))
        codecs.push_back({acm::CommandName(caps), caps});
  return codecs;
}

std::string DescribeFormats(const acm::TagCaps& ACaps) {
  std::string text;
  if (ACaps.rates.empty()) {
    text = Thousands(ACaps.min_rate) + " to " + Thousands(ACaps.max_rate) + " Hz";
  } else {
    for (uint32_t rate : ACaps.rates)
      text += (text.empty() ? "" : ", ") + Thousands(rate);
    text += " Hz";
  }
  if (ACaps.min_channels == ACaps.max_channels)
    text += ACaps.min_channels == 1 ? "; mono"
                                    : "; " + std::to_string(ACaps.min_channels) + " channels";
  else
    text += "; " + std::to_string(ACaps.min_channels) + " to " +
            std::to_string(ACaps.max_channels) + " channels";
  std::string bits;
  for (uint16_t b : ACaps.bits)
    if (b != 0) bits += (bits.empty() ? "" : ", ") + std::to_string(b);
  if (!bits.empty()) text += "; " + bits + " bit";
  return text;
}

std::string BatchUsage() {
  return "Usage: corvane-batch -o DIR -c CODEC [options] FILE|FOLDER...\n"
         "Compresses PCM wave files into a codec of Corvane's codec manager: one wave file per\n"
         "input, under the input's own name, in the output folder.\n"
         "\n"
         "  -o, --output DIR      output folder (must exist)\n"
         "  -c, --codec CODEC     a codec name from --list-codecs, or a format tag (decimal or\n"
         "                        0x hex)\n"
         "      --rate HZ         fix the destination's sample rate (the codec must carry it)\n"
         "      --channels N      fix the destination's channel count\n"
         "      --bitrate KBPS    fix the destination's bit rate (codecs that offer several: mp3)\n"
         "      --bits N          the destination's bits per sample (pcm: 8, 16, 24, 32;\n"
         "                        float: 32, 64)\n"
         "      --no-metadata     leave out the source's tags (LIST/INFO, bext)\n"
         "  -r, --recursive       take the .wav files of the folders given, at any depth\n"
         "  -n, --skip-existing   leave destinations that already exist alone (default: replace\n"
         "                        them)\n"
         "  -j, --jobs N          files compressed at once (default: the number of cores)\n"
         "      --threaded        read-ahead / write-behind threads in each chain\n"
         "      --quality MODE    fast (default) or high: a slower search for a closer sound\n"
         "                        (ima-adpcm, ms-adpcm)\n"
         "      --block-size BYTES  the block size of ima-adpcm and ms-adpcm (default: follows\n"
         "                        the rate, as --list-codecs shows)\n"
         "      --files-from FILE the inputs listed in FILE, one a line (-: standard input)\n"
         "  -0, --null            the list's paths end with NUL, as find -print0 writes them\n"
         "      --base DIR        mirror each input's folders below DIR under the output folder\n"
         "      --shard K/N       take only shard K of N of the inputs (by a stable hash of\n"
         "                        their relative paths); auto: from a Slurm array task or\n"
         "                        with --shard-count N from a Kubernetes indexed Job\n"
         "      --shard-count N   the number of shards when the environment gives only K\n"
         "      --report FILE     add a JSON line per finished file to FILE (-: standard output)\n"
         "      --dry-run         print what would be compressed, skipped and refused; write\n"
         "                        nothing\n"
         "      --list-codecs     print every codec: tag, name, and the formats it offers; exit\n"
         "  -q, --quiet           no progress, errors only\n"
         "      --no-sync         do not wait for each file to reach the disk (faster; a crash\n"
         "                        may then lose files reported done)\n"
         "  -h, --help            this text\n"
         "      --version         the program's version\n"
         "\n"
         "Exit status: 0 when every file was compressed or skipped, 1 when any failed, 2 for a\n"
         "command line it cannot follow, 128 + the signal when stopped by one (130 for Ctrl-C).\n"
         "Example: corvane-batch -o phone -c mulaw --rate 8000 --channels 1 -r prompts\n";
}

TBatchSettings ParseBatchArguments(const std::vector<std::string>& AArguments) {
  TBatchSettings settings;
  std::string codec, rate, channels, bitrate, bits, jobs, quality, block_size, shard, shardCount;
  bool list = false, help = false, version = false;
  // Each option: its letter (0: none), its name, and where it goes: a value or a flag.
  struct TOption {
    char Short;
    const char* Long;
    std::string* Value;
    bool* Flag;
  };
  const TOption table[] = {{'o', "output", &settings.Output, nullptr},
                           {'c', "codec", &codec, nullptr},
                           {0, "rate", &rate, nullptr},
                           {0, "channels", &channels, nullptr},
                           {0, "bitrate", &bitrate, nullptr},
                           {0, "bits", &bits, nullptr},
                           {'j', "jobs", &jobs, nullptr},
                           {0, "quality", &quality, nullptr},
                           {0, "block-size", &block_size, nullptr},
                           {0, "files-from", &settings.FilesFrom, nullptr},
                           {0, "base", &settings.Base, nullptr},
                           {0, "shard", &shard, nullptr},
                           {0, "shard-count", &shardCount, nullptr},
                           {0, "report", &settings.ReportFile, nullptr},
                           {'r', "recursive", nullptr, &settings.Recursive},
                           {'n', "skip-existing", nullptr, &settings.SkipExisting},
                           {0, "threaded", nullptr, &settings.Threaded},
                           {0, "list-codecs", nullptr, &list},
                           {'q', "quiet", nullptr, &settings.Quiet},
                           {0, "no-sync", nullptr, &settings.NoSync},
                           {0, "no-metadata", nullptr, &settings.NoMetadata},
                           {'h', "help", nullptr, &help},
                           {0, "version", nullptr, &version},
                           {'0', "null", nullptr, &settings.Null},
                           {0, "dry-run", nullptr, &settings.DryRun}};
  // '-': names are handed back in place, so options and names mix and argv keeps its order;
  // ':': a missing value is told apart from an unknown option, and nothing is printed.
  std::string letters = "-:";
  std::vector<option> names;
  for (const TOption& entry : table) {
    if (entry.Short)
      letters += entry.Value ? std::string{entry.Short, ':'} : std::string{entry.Short};
    names.push_back({entry.Long, entry.Value ? required_argument : no_argument, nullptr, 0});
  }
  names.push_back({});
  // Names handed back in place: the parser moves no argument, and it writes none.
  std::vector<char*> argv{const_cast<char*>("corvane-batch")};
  for (const std::string& argument : AArguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  // The parser keeps its place in process globals; 0 starts it afresh.
  static std::mutex parsing;
  std::lock_guard<std::mutex> hold(parsing);
  opterr = 0;
  optind = 0;
  for (;;) {
    const int at = std::max(optind, 1);  // the argument this call reads
    const int found = getopt_long(argc, argv.data(), letters.c_str(), names.data(), nullptr);
    if (found == -1) break;  // the end, or "--": the rest are names
    if (found == 1) {
      settings.Inputs.push_back(optarg);
      continue;
    }
    const std::string argument = argv[at];
    const TOption* entry = nullptr;
    if (argument.rfind("--", 0) == 0) {
      // Whole names only: the parser would take any unambiguous beginning of one too.
      const std::string name = argument.substr(2, argument.find('=') - 2);
      entry = std::find_if(std::begin(table), std::end(table),
                           [&](const TOption& A) { return name == A.Long; });
      if (entry == std::end(table)) throw EUsage("Unknown option " + argument + ".");
      if (found == ':') throw EUsage("The option --" + name + " needs a value.");
      if (found == '?') throw EUsage("The option --" + name + " takes no value.");
    } else {
      const std::string letter(1, static_cast<char>(optopt));
      if (found == ':') throw EUsage("The option -" + letter + " needs a value.");
      if (found == '?') throw EUsage("Unknown option -" + letter + ".");
      entry = std::find_if(std::begin(table), std::end(table),
                           [&](const TOption& A) { return found == A.Short; });
    }
    if (entry->Value)
      *entry->Value = optarg;
    else
      *entry->Flag = true;
  }
  for (int i = optind; i < argc; ++i)
    settings.Inputs.push_back(argv[i]);

  if (help) {
    settings.Action = TBatchAction::Help;
    return settings;
  }
  if (version) {
    settings.Action = TBatchAction::Version;
    return settings;
  }
  if (list) {
    settings.Action = TBatchAction::ListCodecs;
    return settings;
  }
  if (settings.Output.empty()) throw EUsage("No output folder: give one with -o DIR.");
  if (codec.empty())
    throw EUsage("No codec: give one with -c CODEC (corvane-batch --list-codecs lists them).");
  if (settings.Inputs.empty() && settings.FilesFrom.empty())
    throw EUsage("No files or folders to compress.");
  const TShard part = ParseShard(shard, shardCount, [](const char* AName) {
    return static_cast<const char*>(std::getenv(AName));
  });
  settings.Shard = part.Index;
  settings.ShardCount = part.Count;

  const std::vector<TBatchCodec> codecs = BatchCodecs();
  const TBatchCodec& chosen = FindCodec(codecs, codec);
  settings.Codec = chosen.Caps.tag;
  settings.CodecName = chosen.Name;
  if (!rate.empty()) {
    settings.SampleRate =
        static_cast<uint32_t>(NumberArgument("--rate", rate, 4'000'000'000, "a rate in Hz"));
    if (!acm::CarriesRate(chosen.Caps, settings.SampleRate))
      throw EUsage(chosen.Name + " does not carry " + Thousands(settings.SampleRate) +
                   " Hz; it carries " + DescribeFormats(chosen.Caps) + ".");
  }
  if (!channels.empty()) {
    settings.Channels =
        static_cast<uint16_t>(NumberArgument("--channels", channels, 65535, "a channel count"));
    if (settings.Channels < chosen.Caps.min_channels ||
        settings.Channels > chosen.Caps.max_channels)
      throw EUsage(chosen.Name + " does not carry " + std::to_string(settings.Channels) +
                   " channels; it carries " + DescribeFormats(chosen.Caps) + ".");
  }
  if (!bitrate.empty()) {
    settings.Bitrate =
        static_cast<uint32_t>(NumberArgument("--bitrate", bitrate, 10000, "a bit rate in kbit/s"));
    ACMFORMATCHOOSEA all{};
    all.cbStruct = sizeof all;
    const std::vector<acm::FormatChoice> offered = acm::ListFormatChoices(all);
    if (std::none_of(offered.begin(), offered.end(), [&](const acm::FormatChoice& A) {
          return A.format.Get().wFormatTag == chosen.Caps.tag &&
                 uint64_t{A.format.Get().nAvgBytesPerSec} * 8 == uint64_t{settings.Bitrate} * 1000;
        }))
      throw EUsage(chosen.Name + " offers no format of " + std::to_string(settings.Bitrate) +
                   " kbit/s.");
  }
  if (!bits.empty()) {
    settings.Bits = static_cast<uint16_t>(NumberArgument("--bits", bits, 65535, "a bit depth"));
    const auto& valid = chosen.Caps.bits;
    const bool linear =
        chosen.Caps.tag == WAVE_FORMAT_PCM || chosen.Caps.tag == WAVE_FORMAT_IEEE_FLOAT;
    if (!linear || std::find(valid.begin(), valid.end(), settings.Bits) == valid.end()) {
      std::string depths;
      for (size_t k = 0; linear && k < valid.size(); ++k)
        depths += (k == 0 ? "" : k + 1 == valid.size() ? " or " : ", ") + std::to_string(valid[k]);
      throw EUsage(linear ? chosen.Name + " does not carry " + bits + " bits; it carries " +
                                depths + " bits."
                          : "--bits applies to pcm and float only, not to " + chosen.Name + ".");
    }
  }
  if (!jobs.empty())
    settings.Jobs = static_cast<int32_t>(NumberArgument("--jobs", jobs, 1024, "a number"));
  if (!quality.empty() && quality != "fast" && quality != "high")
    throw EUsage("--quality takes fast or high, not \"" + quality + "\".");
  settings.HighQuality = quality == "high";
  if (!block_size.empty()) {
    const auto range = acm::ChoosableBlockSizes(chosen.Caps.tag);
    if (!range) throw EUsage(chosen.Name + " has no block size to choose.");
    const std::optional<uint64_t> bytes = ParseNumber(block_size, false);
    if (!bytes || *bytes < range->low || *bytes > range->high || *bytes % range->multiple)
      throw EUsage(chosen.Name + " blocks take " + Thousands(range->low) + " to " +
                   Thousands(range->high) + " bytes" +
                   (range->multiple > 1 ? " in steps of " + std::to_string(range->multiple) : "") +
                   ", not \"" + block_size + "\".");
    settings.BlockSize = static_cast<uint32_t>(*bytes);
  }
  return settings;
}

std::vector<TBatchItem> PlanBatch(const TBatchSettings& ASettings) {
  std::error_code error;
  const fs::path output(ASettings.Output);
  if (!fs::is_directory(output, error))
    throw EUsage(fs::exists(output, error)
                     ? "The output folder " + ASettings.Output + " is not a folder."
                     : "The output folder " + ASettings.Output + " does not exist.");
  std::vector<TBatchItem> items;
  for (const std::string& input : BatchInputs(ASettings, std::cin)) {
    const fs::file_status status = fs::status(input, error);
    if (fs::is_directory(status)) {
      if (!ASettings.Recursive)
        throw EUsage(input + " is a folder: give -r to compress the .wav files in it.");
      const size_t first = items.size();
      AddFolderFiles(input, output, items);
      RebaseItems(ASettings, items, first);
    } else if (fs::exists(status)) {
      items.push_back(PlainItem(ASettings, input));
    } else {
      items.push_back(PlainItem(ASettings, input));
      if (items.back().Refusal.empty())
        items.back().Refusal = "Cannot read " + input + ": there is no such file or folder.";
    }
  }
  // A worker of many looks into its own shard only: files that share a destination share their
  // relative path, and so their shard.
  items = TakeShard(std::move(items), ASettings);
  // Two files into one destination would race, and the last one would win unseen.
  // The same file given twice is simply compressed once.
  std::map<std::string, const TBatchItem*> taken;
  std::vector<bool> again(items.size(), false);
  for (size_t i = 0; i < items.size(); ++i) {
    TBatchItem& item = items[i];
    if (!item.Refusal.empty()) continue;
    const auto [place, added] = taken.emplace(DestinationKey(item.Destination), &item);
    if (added) continue;
    if (fs::equivalent(place->second->Source, item.Source, error))
      again[i] = true;
    else
      item.Refusal = "Not compressing " + item.Source + " into " + item.Destination + ": it is " +
                     "the destination of " + place->second->Source + " in this batch already.";
  }
  std::vector<TBatchItem> planned;
  for (size_t i = 0; i < items.size(); ++i)
    if (!again[i]) planned.push_back(std::move(items[i]));
  return planned;
}

TBatchSummary RunBatch(const std::vector<TBatchItem>& AItems, const TBatchSettings& ASettings,
                       const TBatchConsole& AConsole, const std::atomic<bool>& AStop,
                       TBatchRecords* ARecords) {
  int64_t total = 0;
  for (const TBatchItem& item : AItems)
    if (item.Refusal.empty()) total += FileSize(item.Source);
  TBatchReport report(AConsole, ASettings.Quiet, static_cast<int32_t>(AItems.size()), total);
  const auto started = Clock::now();

  std::mutex lock;  // guards summary
  TBatchSummary summary;
  // Where every outcome goes: the report file, the lines said and the summary.
  auto tell = [&](const TBatchItem& AItem, const TItemOutcome& AOutcome) {
    if (ARecords && !AOutcome.Abandoned)
      ARecords->Add(AItem, AOutcome.Status, AOutcome.Reason, AOutcome.Seconds);
    std::lock_guard<std::mutex> hold(lock);
    if (AOutcome.Abandoned) {
      ++summary.NotDone;
      return;
    }
    switch (AOutcome.Status) {
      case TFileStatus::Failed:
        report.Failed(AItem, AOutcome.Reason);
        ++summary.Failed;
        return;
      case TFileStatus::Skipped:
        report.Skipped(AItem);
        ++summary.Skipped;
        return;
      case TFileStatus::Warning:
        report.Warned(AOutcome.Reason);
        ++summary.Warnings;
        [[fallthrough]];
      case TFileStatus::Done:
        report.Done(AItem, AOutcome.Input, AOutcome.Output);
        ++summary.Done;
        summary.InputBytes += AOutcome.Input;
        summary.OutputBytes += AOutcome.Output;
    }
  };
  TMirroredFolders folders;
  size_t taken = 0;
  {
    TWorkerPool pool(AItems.size(), ASettings.Jobs, AStop, [&](size_t AIndex) {
      tell(AItems[AIndex], CompressItem(AItems[AIndex], ASettings, AStop, folders,
                                        [&report](int64_t ABytes) { report.Progress(ABytes); }));
    });
    pool.Wait();
    taken = pool.Taken();
  }
  folders.RemoveEmpty();

  summary.Stopped = AStop.load();
  summary.NotDone += static_cast<int32_t>(AItems.size() - taken);
  report.Finish(summary, std::chrono::duration<double>(Clock::now() - started).count());
  return summary;
}

int RunBatchCommand(const std::vector<std::string>& AArguments, const TBatchConsole& AConsole,
                    const std::atomic<bool>& AStop) {
  TBatchSettings settings;
  std::vector<TBatchItem> items;
  std::unique_ptr<TBatchRecords> records;
  try {
    settings = ParseBatchArguments(AArguments);
    if (settings.Action == TBatchAction::Compress) items = PlanBatch(settings);
    if (settings.Action == TBatchAction::Compress && !settings.DryRun &&
        !settings.ReportFile.empty())
      records = TBatchRecords::Open(settings.ReportFile);
  } catch (const EUsage& usage) {
    AConsole.Err << "corvane-batch: " << Escaped(usage.Message()) << "\n"
                 << "Try corvane-batch --help for the options.\n";
    return ExitUsage;
  }
  switch (settings.Action) {
    case TBatchAction::Help:
      AConsole.Out << BatchUsage();
      return ExitSuccess;
    case TBatchAction::Version:
      AConsole.Out << "corvane-batch " CORVANE_VERSION "\n";
      return ExitSuccess;
    case TBatchAction::ListCodecs: {
      char line[160];
      std::snprintf(line, sizeof line, "%-8s%-11s%-15s%s\n", "TAG", "NAME", "CODEC", "FORMATS");
      AConsole.Out << line;
      for (const TBatchCodec& codec : BatchCodecs()) {
        std::snprintf(line, sizeof line, "0x%04X  %-10s %-14s ", codec.Caps.tag, codec.Name.c_str(),
                      codec.Caps.name.c_str());
        AConsole.Out << line << DescribeFormats(codec.Caps);
        if (const auto range = acm::ChoosableBlockSizes(codec.Caps.tag))
          AConsole.Out << "; blocks of 256 bytes a channel up to 11,025 Hz, 512 up to 22,050 "
                          "Hz, 1,024 above (--block-size "
                       << Thousands(range->low) << " to " << Thousands(range->high) << ")";
        AConsole.Out << '\n';
      }
      return ExitSuccess;
    }
    case TBatchAction::Compress:
      break;
  }
  if (settings.DryRun) return PrintBatchPlan(items, settings, AConsole);
  const TBatchSummary summary = RunBatch(items, settings, AConsole, AStop, records.get());
  // A report with lines missing is a failure of the batch, whatever the files did.
  const std::string lost = records ? records->Failure() : "";
  if (!lost.empty()) AConsole.Err << "corvane-batch: " << lost << '\n' << std::flush;
  if (summary.Stopped) return ExitInterrupted;
  return summary.Failed == 0 && lost.empty() ? ExitSuccess : ExitFailed;
}
