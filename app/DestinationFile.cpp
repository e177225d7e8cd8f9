#include "app/DestinationFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <system_error>
#include <utility>

#include "platform/rtl/Exception.h"

namespace {

std::string Words(int AError) {
  return std::system_category().message(AError);
}

std::string NewTemporaryName() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  char name[64];
  std::snprintf(name, sizeof name, "%s%016llx.part", TemporaryPrefix,
                static_cast<unsigned long long>(random()));
  return name;
}

bool IsTemporaryName(const char* AName) {
  const size_t prefix = std::strlen(TemporaryPrefix), length = std::strlen(AName);
  return length == prefix + 16 + 5 && std::strncmp(AName, TemporaryPrefix, prefix) == 0 &&
         std::strcmp(AName + length - 5, ".part") == 0;
}

}  // namespace

void RemoveStaleTemporaries(int AFolder, const std::string& AName) {
  static std::mutex lock;
  // By name and file: a folder removed and made again may get the same file number.
  static std::set<std::string> seen;
  struct stat folder;
  if (::fstat(AFolder, &folder) != 0) return;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!seen.insert(AName + "\n" + std::to_string(folder.st_dev) + ":" +
                     std::to_string(folder.st_ino))
             .second)
      return;
  }
  const int copy = ::openat(AFolder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return;
  DIR* entries = ::fdopendir(copy);
  if (!entries) {
    ::close(copy);
    return;
  }
  const time_t now = std::time(nullptr);
  while (const dirent* entry = ::readdir(entries)) {
    struct stat st;
    if (IsTemporaryName(entry->d_name) &&
        ::fstatat(AFolder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::geteuid() && now - st.st_mtime > 60)
      ::unlinkat(AFolder, entry->d_name, 0);
  }
  ::closedir(entries);
}

TDestinationFile::TDestinationFile(const std::string& ADestination, bool ASync, bool AUnnamed)
    : FDestination(ADestination), FSync(ASync) {
  const std::filesystem::path path(ADestination);
  FName = path.filename().string();
  FFolderName = path.has_parent_path() ? path.parent_path().string() : ".";
  FFolder = ::open(FFolderName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A folder the user may write but not list still takes files; it is only not synced.
  if (FFolder < 0 && errno == EACCES)
    FFolder = ::open(FFolderName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (FFolder < 0)
    throw Exception("Cannot write " + FDestination + ": " + FFolderName + ": " + Words(errno) +
                    ".");
  try {
    Open(AUnnamed);
  } catch (...) {
    ::close(FFolder);
    throw;
  }
}

void TDestinationFile::Open(bool AUnnamed) {
  struct stat existing;
  const bool replaces = ::fstatat(FFolder, FName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (replaces && S_ISDIR(existing.st_mode)) Fail(EISDIR);
  // The rename would replace it all the same; the user is asked to unprotect it instead.
  if (replaces && S_ISREG(existing.st_mode) &&
      ::faccessat(FFolder, FName.c_str(), W_OK, AT_EACCESS) != 0) {
    if (errno == EACCES) throw Exception(FDestination + " is read-only.");
    Fail(errno);
  }

  RemoveStaleTemporaries(FFolder, FFolderName);
  if (AUnnamed) FFile = ::openat(FFolder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  // File systems without unnamed files refuse them in one of these ways.
  if (FFile < 0 && (!AUnnamed || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    for (int attempt = 0; attempt < 100 && FFile < 0; ++attempt) {
      FTemporary = NewTemporaryName();
      FFile = ::openat(FFolder, FTemporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (FFile < 0 && errno != EEXIST) break;
    }
    if (FFile < 0) FTemporary.clear();
  }
  if (FFile < 0) Fail(errno);
  if (replaces && S_ISREG(existing.st_mode)) {
    // Owner first: changing it clears the set-id bits that the mode then puts back.
    if (::fchown(FFile, existing.st_uid, existing.st_gid) != 0)
      (void)::fchown(FFile, static_cast<uid_t>(-1), existing.st_gid);
    (void)::fchmod(FFile, existing.st_mode & 07777);
  }
}

TDestinationFile::~TDestinationFile() {
  if (!FTemporary.empty()) ::unlinkat(FFolder, FTemporary.c_str(), 0);
  if (FFile >= 0) ::close(FFile);
  if (FFolder >= 0) ::close(FFolder);
}

void TDestinationFile::Fail(int AError) const {
  throw Exception("Cannot write " + FDestination + ": " + Words(AError) + ".");
}

void TDestinationFile::Commit() {
  if (FSync && ::fsync(FFile) != 0) Fail(errno);
  if (FTemporary.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(FFile);
    for (int attempt = 0; attempt < 100 && FTemporary.empty(); ++attempt) {
      const std::string name = NewTemporaryName();
      int linked = ::linkat(AT_FDCWD, self.c_str(), FFolder, name.c_str(), AT_SYMLINK_FOLLOW);
      // Without /proc, the descriptor itself (which needs a privilege).
      if (linked != 0 && errno == ENOENT)
        linked = ::linkat(FFile, "", FFolder, name.c_str(), AT_EMPTY_PATH);
      if (linked == 0)
        FTemporary = name;
      else if (errno != EEXIST)
        Fail(errno);
    }
    if (FTemporary.empty()) Fail(EEXIST);
  } else {
    // A named file is only renamed while its name is still this file: whatever was put in
    // its place (a link to another file) stays where it was, and nothing replaces the
    // destination.
    struct stat named, own;
    if (::fstatat(FFolder, FTemporary.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) Fail(errno);
    if (::fstat(FFile, &own) != 0) Fail(errno);
    if (named.st_dev != own.st_dev || named.st_ino != own.st_ino) {
      const std::string name = std::exchange(FTemporary, "");  // not ours to remove
      throw Exception("Cannot write " + FDestination + ": its temporary file " + name +
                      " was replaced while it was written.");
    }
  }
  if (::renameat(FFolder, FTemporary.c_str(), FFolder, FName.c_str()) != 0) Fail(errno);
  FTemporary.clear();
  // A folder opened without read permission cannot be synced; its new entry still is there.
  if (FSync && ::fsync(FFolder) != 0 && errno != EBADF) Fail(errno);
}
