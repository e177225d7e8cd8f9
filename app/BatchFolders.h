#pragma once

// The folders of a batch: the walk of a folder given with -r, which goes on past sub-folders
// it cannot read, and the folders a batch makes below the output folder for a mirrored tree
// (never the output folder itself), removed again when they stay empty. And names as they may
// be shown on a terminal.

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "app/BatchCommand.h"

// The .wav files (any letter case) below AFolder at any depth, sorted by path, each to the same
// place below AOutput; the output folder is not searched. Each folder that cannot be read is a
// refused item of its own, after the files.
void AddFolderFiles(const std::filesystem::path& AFolder, const std::filesystem::path& AOutput,
                    std::vector<TBatchItem>& AItems);

class TMirroredFolders {
 public:
  // Makes the folders from AOutput down to AFolder that are missing, AOutput itself excepted:
  // a vanished output folder is a failure. Raises Exception with words for ADestination.
  void Create(const std::filesystem::path& AFolder, const std::filesystem::path& AOutput,
              const std::string& ADestination);
  // Removes the folders made here that are empty, the deepest first.
  void RemoveEmpty();

 private:
  std::mutex FLock;
  std::vector<std::filesystem::path> FCreated;
};

// The text with control characters written as ls -b writes them (\n, \t, \033 as \033), so
// that a file name cannot move the cursor or recolour a terminal; a backslash is doubled.
std::string Escaped(const std::string& AText);
