#include "app/BatchInputs.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

namespace {

namespace fs = std::filesystem;

std::optional<uint64_t> Whole(std::string_view AText) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), value);
  if (AText.empty() || error != std::errc() || end != AText.data() + AText.size())
    return std::nullopt;
  return value;
}

constexpr uint64_t kMostShards = 1'000'000;

uint32_t ShardCountArgument(const std::string& AText) {
  const std::optional<uint64_t> count = Whole(AText);
  if (!count || *count == 0 || *count > kMostShards)
    throw EUsage("--shard-count takes a number from 1 to 1,000,000, not \"" + AText + "\".");
  return static_cast<uint32_t>(*count);
}

// The path below ABase, or none when AFile is not below it. Compared as written first, then
// with the links of both resolved (a base given through a link, or the other way round).
std::optional<fs::path> BelowBase(const fs::path& AFile, const fs::path& ABase) {
  auto below = [](const fs::path& AIn, const fs::path& AOf) -> std::optional<fs::path> {
    const fs::path relative = AIn.lexically_relative(AOf);
    if (relative.empty() || relative == "." || *relative.begin() == "..") return std::nullopt;
    return relative;
  };
  std::error_code error;
  const fs::path file = fs::absolute(AFile, error).lexically_normal();
  fs::path base = fs::absolute(ABase, error).lexically_normal();
  if (!base.has_filename()) base = base.parent_path();  // "in/" is "in"
  if (std::optional<fs::path> relative = below(file, base)) return relative;
  const fs::path real = fs::weakly_canonical(file.parent_path(), error) / file.filename();
  const fs::path realBase = fs::weakly_canonical(base, error);
  if (error) return std::nullopt;
  return below(real, realBase);
}

}  // namespace

std::vector<std::string> ReadInputList(std::istream& AList, bool ANull) {
  std::vector<std::string> paths;
  std::string path;
  while (std::getline(AList, path, ANull ? '\0' : '\n')) {
    // A list saved on another system ends its lines with CR LF.
    if (!ANull && !path.empty() && path.back() == '\r') path.pop_back();
    if (!path.empty()) paths.push_back(path);
  }
  return paths;
}

std::vector<std::string> BatchInputs(const TBatchSettings& ASettings,
                                     std::istream& AStandardInput) {
  std::error_code error;
  if (!ASettings.Base.empty() && !fs::is_directory(ASettings.Base, error))
    throw EUsage("The base folder " + ASettings.Base + " is not a folder.");
  std::vector<std::string> inputs = ASettings.Inputs;
  if (ASettings.FilesFrom.empty()) return inputs;
  std::ifstream file;
  if (ASettings.FilesFrom != "-") {
    file.open(ASettings.FilesFrom, std::ios::binary);
    if (!file || fs::is_directory(ASettings.FilesFrom, error)) {
      const std::string reason =
          fs::exists(ASettings.FilesFrom, error) ? "it cannot be read" : "there is no such file";
      throw EUsage("Cannot read the list of files " + ASettings.FilesFrom + ": " + reason + ".");
    }
  }
  std::istream& list = ASettings.FilesFrom == "-" ? AStandardInput : file;
  const std::vector<std::string> listed = ReadInputList(list, ASettings.Null);
  if (list.bad())
    throw EUsage("Cannot read the list of files " + ASettings.FilesFrom + " to its end.");
  inputs.insert(inputs.end(), listed.begin(), listed.end());
  return inputs;
}

TBatchItem PlainItem(const TBatchSettings& ASettings, const std::string& AInput) {
  const fs::path output(ASettings.Output);
  if (ASettings.Base.empty()) return {AInput, (output / fs::path(AInput).filename()).string(), ""};
  const std::optional<fs::path> relative = BelowBase(AInput, ASettings.Base);
  if (!relative)
    return {
        AInput, "",
        "Not compressing " + AInput + ": it is not below the base folder " + ASettings.Base + "."};
  return {AInput, (output / *relative).string(), ""};
}

void RebaseItems(const TBatchSettings& ASettings, std::vector<TBatchItem>& AItems, size_t AFirst) {
  if (ASettings.Base.empty()) return;
  for (size_t i = AFirst; i < AItems.size(); ++i)
    if (!AItems[i].Destination.empty()) {
      const std::string reason = AItems[i].Refusal;
      AItems[i] = PlainItem(ASettings, AItems[i].Source);
      if (AItems[i].Refusal.empty()) AItems[i].Refusal = reason;
    }
}

uint64_t StableHash(std::string_view ABytes) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : ABytes) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001b3u;
  }
  return hash;
}

std::string ShardPath(const TBatchItem& AItem, const std::string& AOutput) {
  if (AItem.Destination.empty()) return fs::path(AItem.Source).generic_string();
  return fs::path(AItem.Destination).lexically_relative(AOutput).generic_string();
}

uint32_t ShardOf(std::string_view ARelativePath, uint32_t ACount) {
  // From the hash's high bits: its low k bits depend only on the low k bits of each byte, so
  // a remainder by a power of two would put names that differ in letter case together.
  const uint64_t high = StableHash(ARelativePath) >> 32;
  return static_cast<uint32_t>((high * ACount) >> 32) + 1;
}

std::vector<TBatchItem> TakeShard(std::vector<TBatchItem> AItems, const TBatchSettings& ASettings) {
  if (ASettings.ShardCount == 0) return AItems;
  std::vector<TBatchItem> taken;
  for (TBatchItem& item : AItems)
    if (ShardOf(ShardPath(item, ASettings.Output), ASettings.ShardCount) == ASettings.Shard)
      taken.push_back(std::move(item));
  return taken;
}

TShard ParseShard(const std::string& AShard, const std::string& ACount,
                  const TEnvironment& AEnvironment) {
  if (AShard.empty() && ACount.empty()) return {};
  if (!AShard.empty() && AShard != "auto") {
    if (!ACount.empty())
      throw EUsage("--shard-count goes with --shard auto, not with a shard given as K/N.");
    const size_t slash = AShard.find('/');
    const std::optional<uint64_t> index = slash == std::string::npos
                                              ? std::nullopt
                                              : Whole(std::string_view(AShard).substr(0, slash));
    const std::optional<uint64_t> count = slash == std::string::npos
                                              ? std::nullopt
                                              : Whole(std::string_view(AShard).substr(slash + 1));
    if (!index || !count || *index == 0 || *index > *count || *count > kMostShards)
      throw EUsage(
          "--shard takes K/N, shard K of N from 1/N to N/N (N up to 1,000,000), or "
          "auto, not \"" +
          AShard + "\".");
    return {static_cast<uint32_t>(*index), static_cast<uint32_t>(*count)};
  }

  // From the engine that started this worker.
  auto number = [&](const char* AName) -> std::optional<uint64_t> {
    const char* value = AEnvironment(AName);
    if (!value) return std::nullopt;
    const std::optional<uint64_t> parsed = Whole(value);
    if (!parsed)
      throw EUsage(std::string(AName) + " is \"" + value + "\", which is not a shard number.");
    return parsed;
  };
  std::optional<uint64_t> count;
  if (!ACount.empty()) count = ShardCountArgument(ACount);
  uint64_t index = 0;
  if (const std::optional<uint64_t> task = number("SLURM_ARRAY_TASK_ID")) {
    // The task's own number, so that one task run again alone is still the same shard.
    if (*task == 0)
      throw EUsage("The Slurm array task is 0: number the array's tasks from 1 (--array=1-N).");
    if (!count) count = number("SLURM_ARRAY_TASK_COUNT");
    if (!count)
      throw EUsage(
          "SLURM_ARRAY_TASK_COUNT is not set: give the number of shards with "
          "--shard-count N.");
    index = *task;
  } else if (const std::optional<uint64_t> completion = number("JOB_COMPLETION_INDEX")) {
    if (!count)
      throw EUsage(
          "JOB_COMPLETION_INDEX needs the number of shards: give the Job's "
          "completions with --shard-count N.");
    index = *completion + 1;
  } else {
    throw EUsage(
        "No shard in the environment: neither SLURM_ARRAY_TASK_ID (a Slurm job array) "
        "nor JOB_COMPLETION_INDEX (a Kubernetes indexed Job) is set.");
  }
  if (*count == 0 || *count > kMostShards || index > *count)
    throw EUsage("The environment gives shard " + std::to_string(index) + " of " +
                 std::to_string(*count) + ", which does not exist.");
  return {static_cast<uint32_t>(index), static_cast<uint32_t>(*count)};
}

int PrintBatchPlan(const std::vector<TBatchItem>& AItems, const TBatchSettings& ASettings,
                   const TBatchConsole& AConsole) {
  int32_t compress = 0, skip = 0, refuse = 0;
  for (const TBatchItem& item : AItems) {
    std::error_code error;
    if (!item.Refusal.empty()) {
      AConsole.Out << "refuse " << item.Source << ": " << item.Refusal << '\n';
      ++refuse;
    } else if (ASettings.SkipExisting && fs::exists(fs::symlink_status(item.Destination, error))) {
      AConsole.Out << "skip " << item.Source << " -> " << item.Destination << " (exists)\n";
      ++skip;
    } else {
      AConsole.Out << "compress " << item.Source << " -> " << item.Destination << '\n';
      ++compress;
    }
  }
  AConsole.Out << std::flush;
  if (!ASettings.Quiet)
    AConsole.Err << "dry run: " << compress << " to compress, " << skip << " to skip, " << refuse
                 << " refused; nothing written\n"
                 << std::flush;
  return refuse == 0 ? ExitSuccess : ExitFailed;
}
