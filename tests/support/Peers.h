#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// Other programs that read and write the files we do (ffmpeg, ffprobe, sox). A test that needs
// one calls REQUIRE_PEER: without the peer it is skipped on a developer's machine and fails
// where CI is set.
#define REQUIRE_PEER(program)                                                 \
  do {                                                                        \
    if (RunCommand("command -v " + ShellQuote(program)).ExitCode != 0) {      \
      if (std::getenv("CI")) FAIL() << "peer " << (program) << " is missing"; \
      GTEST_SKIP() << "peer " << (program) << " is missing";                  \
    }                                                                         \
  } while (0)

struct TCommandResult {
  int ExitCode;
  std::string Output;  // standard output and standard error together
};

// Runs a shell command line and waits for it.
TCommandResult RunCommand(const std::string& ACommandLine);

// Runs a program's command line through the shell, sends ASignal to the program once its
// output (standard error included) holds AAfter, and waits for it. The output ends with the
// shell's "exit N" line.
TCommandResult RunAndSignal(const std::string& ACommandLine, const std::string& AAfter,
                            int ASignal);

// Runs a peer's command line and answers what it printed; a failure fails the test.
std::string RunPeer(const std::string& ACommandLine);

// A whole file's bytes (none when it cannot be read); bytes written as a whole file.
std::vector<uint8_t> ReadFileBytes(const std::string& AFileName);
void WriteFileBytes(const std::string& AFileName, const std::vector<uint8_t>& ABytes);

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
