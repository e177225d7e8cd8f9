#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

// Other programs that read and write the files we do (ffmpeg, ffprobe, sox). A test that needs
// one calls REQUIRE_PEER: without the peer it is skipped on a developer's machine and fails
// where CI is set.
bool HavePeer(const std::string& AProgram);

#define REQUIRE_PEER(program)                                                        \
  do {                                                                               \
    if (!HavePeer(program)) {                                                        \
      if (std::getenv("CI")) FAIL() << "peer " << (program) << " is missing";        \
      GTEST_SKIP() << "peer " << (program) << " is missing";                         \
    }                                                                                \
  } while (0)

struct TCommandResult {
  int ExitCode;
  std::string Output;  // standard output and standard error together
};

// Runs a shell command line and waits for it.
TCommandResult RunCommand(const std::string& ACommandLine);

// Quotes a path or argument for the shell.
std::string ShellQuote(const std::string& AText);

// A fresh folder under the system's temporary folder, removed with everything in it.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  std::string File(const std::string& AName) const { return (FPath / AName).string(); }

 private:
  std::filesystem::path FPath;
};
