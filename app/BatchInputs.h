#pragma once

// Where a batch's inputs come from beyond its command line, and which of them one worker of
// many takes: a list of files (a line each, or NUL-separated as find -print0 writes), their
// folder tree mirrored below a base folder, and shards of the inputs by a stable hash of each
// file's relative path, so that N workers over the same list cover it exactly once without
// talking to each other. Also the plan of a dry run.

#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "app/BatchCommand.h"

// The paths of a list: one a line, or NUL-separated with ANull. Empty entries are dropped; a
// line's bytes are taken as they are (spaces, leading dashes) but for a carriage return that
// ends it.
std::vector<std::string> ReadInputList(std::istream& AList, bool ANull);

// The command line's inputs followed by those of ASettings.FilesFrom ("-": AStandardInput).
// Raises EUsage when the list cannot be read or the base is not a folder.
std::vector<std::string> BatchInputs(const TBatchSettings& ASettings, std::istream& AStandardInput);

// The item for a plain file: with a base folder its destination mirrors its path below the
// base, otherwise it goes to the output folder under its own name. A file outside the base
// is refused.
TBatchItem PlainItem(const TBatchSettings& ASettings, const std::string& AInput);

// With a base folder, the items from AFirst on (a folder's files) get destinations mirrored
// below the base instead of below the folder given.
void RebaseItems(const TBatchSettings& ASettings, std::vector<TBatchItem>& AItems, size_t AFirst);

// 64-bit FNV-1a of the bytes: the same on every machine, compiler and run.
uint64_t StableHash(std::string_view ABytes);

// A file's path relative to the output folder as shards see it (with '/' between names); a
// refused item without a destination is known by its source.
std::string ShardPath(const TBatchItem& AItem, const std::string& AOutput);

// The shard (1 to ACount, at most 2^32 - 1) a relative path belongs to: the high 32 bits of its
// StableHash scaled to ACount.
uint32_t ShardOf(std::string_view ARelativePath, uint32_t ACount);

// The items of shard ASettings.Shard of ASettings.ShardCount, in their order; all of them when
// no shard is set. Refusals stay with the shard of the file refused, so that a clash between
// two files (the same relative path) is reported by one worker only.
std::vector<TBatchItem> TakeShard(std::vector<TBatchItem> AItems, const TBatchSettings& ASettings);

// An environment variable's value, or none.
using TEnvironment = std::function<const char*(const char*)>;

struct TShard {
  uint32_t Index = 0;  // 1 to Count; 0 with Count 0: no shard
  uint32_t Count = 0;
};

// The shard of --shard and --shard-count (either may be empty). "K/N" is given; "auto", or
// --shard-count alone, takes it from the environment: a Slurm job array's task
// SLURM_ARRAY_TASK_ID (counted from 1) of --shard-count or else SLURM_ARRAY_TASK_COUNT, or a
// Kubernetes indexed Job's JOB_COMPLETION_INDEX (counted from 0) of --shard-count. Raises
// EUsage.
TShard ParseShard(const std::string& AShard, const std::string& ACount,
                  const TEnvironment& AEnvironment);

// Prints the plan without writing anything: a line per item to Out ("compress SOURCE ->
// DESTINATION", "skip ... (exists)" under --skip-existing, "refuse SOURCE: reason"), and a
// count of each to Err unless quiet. Answers the exit code the batch would have for refusals.
int PrintBatchPlan(const std::vector<TBatchItem>& AItems, const TBatchSettings& ASettings,
                   const TBatchConsole& AConsole);
