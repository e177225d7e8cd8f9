#pragma once

// The file a job writes in place of its destination. It has no name while it is written (an
// unnamed file in the destination's folder), so that nothing is left behind by a process that
// is killed or a machine that loses power; only a complete file is given a name and renamed
// over the destination. Where the file system has no unnamed files, it is a named file under
// a fixed prefix, and a later job removes such leftovers of its own.

#include <string>

// The names of named temporary files: the prefix, 16 hex digits and ".part". They fit the
// 255-byte name limit whatever the destination is called.
constexpr const char* TemporaryPrefix = ".corvane-";

class TDestinationFile {
 public:
  // Opens the destination's folder (which must exist: it is never created here) and a new,
  // empty file in it. A destination that exists and that the user may not write is refused.
  // AUnnamed false asks for the named file at once. Raises Exception with words.
  TDestinationFile(const std::string& ADestination, bool ASync, bool AUnnamed = true);
  // Closes the file; one not committed is gone.
  ~TDestinationFile();
  TDestinationFile(const TDestinationFile&) = delete;
  TDestinationFile& operator=(const TDestinationFile&) = delete;

  // Where the file is written, for reading and writing.
  int Descriptor() const { return FFile; }
  // The file's name in the folder while it has one (a named file), else empty.
  const std::string& TemporaryName() const { return FTemporary; }

  // Puts the file in the destination's place: its bytes to disk (with sync), a name, the
  // rename over the destination, and the folder to disk (with sync). A replaced file lends the
  // new one its mode, owner and group, as far as the user may set them. Raises with words.
  void Commit();

 private:
  void Open(bool AUnnamed);
  [[noreturn]] void Fail(int AError) const;

  std::string FDestination;
  std::string FName;  // in the folder
  std::string FFolderName;
  bool FSync;
  int FFolder = -1;
  int FFile = -1;
  std::string FTemporary;
};

// Removes the named temporary files in the folder that a killed job of this user left: the
// prefix, a regular file, owned by this user, unchanged for a minute. Each folder (AName) is
// looked at once per process.
void RemoveStaleTemporaries(int AFolder, const std::string& AName);
