#include "app/BatchFolders.h"
#include "app/Texts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/rtl/Exception.h"

namespace fs = std::filesystem;

namespace {

void Walk(const fs::path& AFolder, const fs::path& ATop, const fs::path& AOutput,
          std::vector<TBatchItem>& AFound, std::vector<TBatchItem>& ARefused) {
  std::error_code error;
  std::vector<fs::path> folders;
  fs::directory_iterator entry(AFolder, error), end;
  for (; !error && entry != end; entry.increment(error)) {
    std::error_code ignored;
    // Links to folders are not followed, as a recursive walk does not follow them.
    if (entry->is_directory(ignored) && !entry->is_symlink(ignored)) {
      if (!fs::equivalent(entry->path(), AOutput, ignored)) folders.push_back(entry->path());
      continue;
    }
    if (!entry->is_regular_file(ignored) || !EndsWithWav(entry->path())) continue;
    AFound.push_back(
        {entry->path().string(), (AOutput / entry->path().lexically_relative(ATop)).string(), ""});
  }
  if (error)
    ARefused.push_back(
        {AFolder.string(), "",
         "Cannot read the folder " + AFolder.string() + ": " + error.message() + "."});
  for (const fs::path& folder : folders)
    Walk(folder, ATop, AOutput, AFound, ARefused);
}

}  // namespace

void AddFolderFiles(const fs::path& AFolder, const fs::path& AOutput,
                    std::vector<TBatchItem>& AItems) {
  std::vector<TBatchItem> found, refused;
  Walk(AFolder, AFolder, AOutput, found, refused);
  auto bySource = [](const TBatchItem& A, const TBatchItem& B) { return A.Source < B.Source; };
  std::sort(found.begin(), found.end(), bySource);
  std::sort(refused.begin(), refused.end(), bySource);
  AItems.insert(AItems.end(), found.begin(), found.end());
  AItems.insert(AItems.end(), refused.begin(), refused.end());
}

void TMirroredFolders::Create(const fs::path& AFolder, const fs::path& AOutput,
                              const std::string& ADestination) {
  const fs::path below = AFolder.lexically_relative(AOutput);
  if (below.empty() || below == ".") return;
  fs::path folder = AOutput;
  for (const fs::path& part : below) {
    folder /= part;
    if (::mkdir(folder.c_str(), 0777) == 0) {
      std::lock_guard<std::mutex> hold(FLock);
      FCreated.push_back(folder);
      continue;
    }
    const int error = errno;
    if (error == EEXIST) continue;
    // The folder that is missing is the one above.
    const fs::path named = error == ENOENT ? folder.parent_path() : folder;
    throw Exception("Cannot write " + ADestination + ": " + named.string() + ": " +
                    std::system_category().message(error) + ".");
  }
}

void TMirroredFolders::RemoveEmpty() {
  std::lock_guard<std::mutex> hold(FLock);
  // Made top down, so removed bottom up; a folder that holds anything stays.
  for (auto folder = FCreated.rbegin(); folder != FCreated.rend(); ++folder)
    ::rmdir(folder->c_str());
  FCreated.clear();
}

std::string Escaped(const std::string& AText) {
  std::string text;
  for (const char c : AText) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\n':
        text += "\\n";
        break;
      case '\t':
        text += "\\t";
        break;
      case '\r':
        text += "\\r";
        break;
      case '\\':
        text += "\\\\";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char octal[8];
          std::snprintf(octal, sizeof octal, "\\%03o", byte);
          text += octal;
        } else {
          text += c;
        }
    }
  }
  return text;
}
