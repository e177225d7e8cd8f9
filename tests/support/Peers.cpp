#include "tests/support/Peers.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <fstream>
#include <iterator>
#include <stdexcept>

TCommandResult RunCommand(const std::string& ACommandLine) {
  const std::string line = ACommandLine + " 2>&1";
  FILE* pipe = popen(line.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + ACommandLine);
  TCommandResult result{-1, ""};
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    result.Output.append(buffer.data(), n);
  const int status = pclose(pipe);
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TCommandResult RunAndSignal(const std::string& ACommandLine, const std::string& AAfter,
                            int ASignal) {
  // The shell says the program's process id first, and its exit status last.
  const std::string line = "exec 2>&1; " + ACommandLine + " & echo $!; wait $!; echo exit $?";
  FILE* pipe = popen(line.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + ACommandLine);
  TCommandResult result{-1, ""};
  char text[4096];
  const pid_t program = fgets(text, sizeof text, pipe) ? std::atoi(text) : 0;
  while (result.Output.find(AAfter) == std::string::npos && fgets(text, sizeof text, pipe))
    result.Output += text;
  if (program > 0) kill(program, ASignal);
  while (fgets(text, sizeof text, pipe))
    result.Output += text;
  pclose(pipe);
  const size_t exit = result.Output.rfind("exit ");
  if (exit != std::string::npos) result.ExitCode = std::atoi(result.Output.c_str() + exit + 5);
  return result;
}

std::string RunPeer(const std::string& ACommandLine) {
  const TCommandResult result = RunCommand(ACommandLine);
  EXPECT_EQ(result.ExitCode, 0) << ACommandLine << "\n" << result.Output;
  return result.Output;
}

std::vector<uint8_t> ReadFileBytes(const std::string& AFileName) {
  std::ifstream in(AFileName, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFileBytes(const std::string& AFileName, const std::vector<uint8_t>& ABytes) {
  std::ofstream(AFileName, std::ios::binary)
      .write(reinterpret_cast<const char*>(ABytes.data()),
             static_cast<std::streamsize>(ABytes.size()));
}

std::string ShellQuote(const std::string& AText) {
  std::string quoted = "'";
  for (char c : AText)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
  FPath = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(FPath, ignored);
}
