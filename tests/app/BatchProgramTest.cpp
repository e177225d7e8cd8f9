// The corvane-batch program as scripts run it: its streams and exit codes, Ctrl-C in the middle
// of a batch, and its memory on a file larger than what it may hold.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/CompressionJob.h"
#include "tests/support/MemoryStream.h"
#include "tests/support/Peers.h"
#include "wave/UKZWaveStream.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CORVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CORVANE_SANITIZED 1
#endif
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
const std::string Program = CORVANE_BATCH_PROGRAM;

Bytes Slurp(const fs::path& AFile) {
  std::ifstream in(AFile, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WritePcm(const fs::path& AFile, uint32_t AFrames, uint32_t ASeed) {
  auto format = TKZWaveFormat::CreateDefault();
  format->SetFormatTag(WAVE_FORMAT_PCM);
  format->SetChannels(2);
  format->SetSamplesPerSec(44100);
  format->SetBitsPerSample(16);
  TMemoryStream audio(PseudoRandomBytes(AFrames * 4, ASeed));
  auto wave = TKZMMIOWaveStream::OpenWriteFile(AFile.string(), *format);
  ASSERT_TRUE(wave && TKZStream::Copy(audio, *wave));
  wave->Close();
}

// The program with its standard error on a pipe.
struct TChild {
  pid_t Pid = -1;
  int Err = -1;
  std::string Text;

  explicit TChild(const std::vector<std::string>& AArguments) {
    std::vector<char*> argv{const_cast<char*>(Program.c_str())};
    for (const std::string& argument : AArguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int ends[2];
    if (pipe(ends) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    posix_spawn_file_actions_addclose(&actions, ends[1]);
    if (posix_spawn(&Pid, Program.c_str(), &actions, nullptr, argv.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    Err = ends[0];
  }
  ~TChild() {
    if (Err >= 0) close(Err);
  }

  // Reads standard error until AText shows; false when it ended first.
  bool ReadUntil(const std::string& AText) {
    char buffer[4096];
    while (Text.find(AText) == std::string::npos) {
      const ssize_t n = read(Err, buffer, sizeof buffer);
      if (n <= 0) return false;
      Text.append(buffer, n);
    }
    return true;
  }

  // Reads to the end and answers the exit status, or -1 for a death by a signal.
  int Wait() {
    ReadUntil("the end, which no line holds\n\n\n");
    int status = 0;
    waitpid(Pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

class BatchProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(In);
    fs::create_directories(Out);
  }
  TTempDir Dir;
  const fs::path In = Dir.Path() / "in", Out = Dir.Path() / "out";
};

TEST_F(BatchProgram, AnswersOnTheRightStreamWithHonestExitCodes) {
  WritePcm(In / "a.wav", 4000, 1);
  const std::string program = ShellQuote(Program);
  // Standard output alone: usage, version and codec list go there, and nothing else does.
  auto out = [&](const std::string& AArguments) {
    return RunCommand("{ " + program + " " + AArguments + " 2>/dev/null; }");
  };
  const TCommandResult help = out("--help");
  EXPECT_EQ(help.ExitCode, 0);
  EXPECT_EQ(help.Output.rfind("Usage: corvane-batch -o DIR -c CODEC", 0), 0u);
  EXPECT_EQ(out("--version").Output.rfind("corvane-batch ", 0), 0u);
  EXPECT_NE(out("--list-codecs").Output.find("0x0011  ima-adpcm"), std::string::npos);
  const std::string args = " -o " + ShellQuote(Out) + " " + ShellQuote(In / "a.wav");
  const TCommandResult quiet = out("-c alaw" + args);
  EXPECT_EQ(quiet.ExitCode, 0);
  EXPECT_EQ(quiet.Output, "");
  EXPECT_EQ(out("-c alaw" + args + " " + ShellQuote(In / "b.wav")).ExitCode, 1);

  const TCommandResult usage = RunCommand(program + " -c nothing" + args);
  EXPECT_EQ(usage.ExitCode, 2);
  EXPECT_NE(usage.Output.find("corvane-batch: Unknown codec \"nothing\""), std::string::npos);
  EXPECT_EQ(RunCommand(program).ExitCode, 2);
  EXPECT_EQ(RunCommand(program + " -c pcm -o " + ShellQuote(In / "none") + " x").ExitCode, 2);
}

TEST_F(BatchProgram, CtrlCLeavesNoPartialOrTemporaryFile) {
  for (uint32_t i = 0; i < 5; ++i)
    WritePcm(In / ("f" + std::to_string(i) + ".wav"), 441000, i);
  TChild batch({"-j", "1", "-o", Out, "-c", "mp3", In / "f0.wav", In / "f1.wav", In / "f2.wav",
                In / "f3.wav", In / "f4.wav"});
  ASSERT_GT(batch.Pid, 0);
  // Once the first file is done, the second is on its way.
  ASSERT_TRUE(batch.ReadUntil("compressed ")) << batch.Text;
  kill(batch.Pid, SIGINT);
  EXPECT_EQ(batch.Wait(), 130) << batch.Text;
  EXPECT_NE(batch.Text.find("\ninterrupted: "), std::string::npos) << batch.Text;

  // What is there is whole: the same bytes as the job writes alone; nothing else is there.
  const fs::path whole = Dir.Path() / "whole.wav";
  size_t left = 0;
  for (const auto& entry : fs::directory_iterator(Out)) {
    ++left;
    CompressFile(In / entry.path().filename(), whole, WAVE_FORMAT_MPEGLAYER3);
    EXPECT_EQ(Slurp(entry.path()), Slurp(whole)) << entry.path();
  }
  EXPECT_GE(left, 1u);
  EXPECT_LT(left, 5u);
}

TEST_F(BatchProgram, StaysUnderTenMegabytesWhateverTheFileSize) {
#ifdef CORVANE_SANITIZED
  GTEST_SKIP() << "sanitizers keep memory of their own";
#endif
  // GNU time measures the program alone: a child's peak counts what its parent held when it
  // was spawned, and this test holds the whole file once.
  REQUIRE_PEER("/usr/bin/time");
  WritePcm(In / "big.wav", 10'000'000, 3);  // 40 MB
  for (const char* codec : {"ms-adpcm", "mp3"}) {
    const TCommandResult run =
        RunCommand("/usr/bin/time -f 'peak %M KiB' " + ShellQuote(Program) + " -j 1 -q -c " +
                   codec + " -o " + ShellQuote(Out) + " " + ShellQuote(In / "big.wav"));
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    const size_t peak = run.Output.rfind("peak ");
    ASSERT_NE(peak, std::string::npos) << run.Output;
    EXPECT_LE(std::stol(run.Output.substr(peak + 5)), 10 * 1024) << codec << ": " << run.Output;
  }
}

}  // namespace
