// How a batch ends and what it leaves: each stop signal in the middle of a file, standard
// output and error closed or full, folders it cannot read or that vanish, and what it says
// about names and files that are not what they seem.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/BatchCommand.h"
#include "tests/support/Nobody.h"
#include "tests/support/Peers.h"
#include "tests/support/WaveFiles.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
const std::string Program = CORVANE_BATCH_PROGRAM;

void WritePcm(const fs::path& AFile, uint16_t AChannels, uint32_t AFrames) {
  fs::create_directories(AFile.parent_path());
  WriteWaveFile(AFile, *MakeLinear(WAVE_FORMAT_PCM, AChannels, 44100, 16),
                PseudoRandomBytes(AFrames * AChannels * 2, AFrames));
}

// Every name in a folder, hidden ones too, relative to it and sorted.
std::vector<std::string> Names(const fs::path& AFolder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(AFolder))
    names.push_back(entry.path().lexically_relative(AFolder));
  std::sort(names.begin(), names.end());
  return names;
}

// The program's exit code, run with its standard output and error on AOutput.
int RunTo(const std::vector<std::string>& AArguments, int AOutput) {
  std::vector<char*> argv{const_cast<char*>(Program.c_str())};
  for (const std::string& argument : AArguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, AOutput, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, AOutput, STDERR_FILENO);
  pid_t child = -1;
  EXPECT_EQ(posix_spawn(&child, Program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class BatchEnding : public ::testing::Test {
 protected:
  TTempDir Dir;
  const fs::path In = Dir.Path() / "in", Out = Dir.Path() / "out";
  void SetUp() override { fs::create_directories(Out); }
};

TEST_F(BatchEnding, EveryStopSignalMidFileKeepsTheOldDestinationAndLeavesNothingElse) {
  WritePcm(In / "a.wav", 1, 4000);
  WritePcm(In / "b.wav", 2, 2'000'000);  // long enough to be under way when the signal comes
  // SIGKILL cannot be caught: the file being written has no name to leave behind.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
    SCOPED_TRACE(signal);
    fs::remove(Out / "a.wav");
    std::ofstream(Out / "b.wav") << "old";
    // Once a.wav is reported done, b.wav is being written.
    const TCommandResult run =
        RunAndSignal(ShellQuote(Program) + " -j 1 -c mp3 -o " + ShellQuote(Out) + " " +
                         ShellQuote(In / "a.wav") + " " + ShellQuote(In / "b.wav"),
                     "compressed ", signal);
    EXPECT_EQ(run.ExitCode, 128 + signal) << run.Output;
    if (signal != SIGKILL) {
      EXPECT_THAT(run.Output, HasSubstr("\ninterrupted: 1 done"));
    }
    EXPECT_EQ(Names(Out), (std::vector<std::string>{"a.wav", "b.wav"}));
    EXPECT_EQ(ReadFileBytes(Out / "b.wav"), (Bytes{'o', 'l', 'd'}));
  }
}

TEST_F(BatchEnding, ClosedOrFullOutputs) {
  // Standard output and error closed at the other end: the files are compressed all the same.
  WritePcm(In / "a.wav", 1, 4000);
  WritePcm(In / "b.wav", 1, 4000);
  int closed[2];
  ASSERT_EQ(pipe(closed), 0);
  close(closed[0]);
  EXPECT_EQ(RunTo({"-j", "1", "-c", "alaw", "-o", Out, In / "a.wav", In / "b.wav"}, closed[1]), 0);
  close(closed[1]);
  EXPECT_EQ(Names(Out), (std::vector<std::string>{"a.wav", "b.wav"}));

  // What is asked for on standard output fails when it cannot be written.
  const TCommandResult full =
      RunCommand("{ " + ShellQuote(Program) + " --list-codecs > /dev/full; }");
  EXPECT_EQ(full.ExitCode, 1);
  EXPECT_THAT(full.Output, HasSubstr("No space left on device"));
}

TEST_F(BatchEnding, FoldersItCannotReadOrThatVanish) {
  // As a user the permissions hold for: the walk goes past a folder it cannot read, and a
  // folder made for files that all failed is removed again.
  WritePcm(In / "a.wav", 1, 4000);
  WritePcm(In / "locked" / "b.wav", 1, 4000);
  WritePcm(In / "z" / "c.wav", 1, 4000);
  fs::create_directories(In / "bad");
  std::ofstream(In / "bad" / "x.wav") << "not a wave file";
  fs::permissions(Dir.Path(), fs::perms::all);
  fs::permissions(Out, fs::perms::all);
  fs::permissions(In / "locked", fs::perms::none);
  const TCommandResult run = RunCommand(NobodyPrefix() + ShellQuote(Program) + " -r -c alaw -o " +
                                        ShellQuote(Out) + " " + ShellQuote(In));
  fs::permissions(In / "locked", fs::perms::owner_all);
  EXPECT_EQ(run.ExitCode, 1) << run.Output;
  EXPECT_THAT(run.Output, HasSubstr("error: Cannot read the folder " + (In / "locked").string() +
                                    ": Permission denied.\n"));
  EXPECT_THAT(run.Output, HasSubstr("\n2 done, 0 skipped, 2 failed;"));
  EXPECT_EQ(Names(Out), (std::vector<std::string>{"a.wav", "z", "z/c.wav"}));

  // The output folder gone in the middle of a batch is not made again.
  const TBatchSettings settings =
      ParseBatchArguments({"-r", "-o", Out.string(), "-c", "alaw", In.string()});
  const std::vector<TBatchItem> items = PlanBatch(settings);
  fs::remove_all(Out);
  std::ostringstream out, err;
  const std::atomic<bool> stop{false};
  RunBatch(items, settings, {out, err, false, false}, stop);
  for (const fs::path& destination : {Out / "a.wav", Out / "z" / "c.wav"})
    EXPECT_THAT(err.str(), HasSubstr("error: Cannot write " + destination.string() + ": " +
                                     Out.string() + ": No such file or directory.\n"));
  EXPECT_FALSE(fs::exists(Out));
}

TEST_F(BatchEnding, NamesAreEscapedAndTheSameFileIsTakenOnce) {
  WritePcm(In / "a.wav", 1, 4000);
  const fs::path odd = In / "bad\033[2J\n.wav";
  std::ofstream(odd) << "not a wave file";
  const fs::path cut = In / "cut.wav";
  WritePcm(cut, 1, 4410);
  fs::resize_file(cut, fs::file_size(cut) - 8820 + 472);
  std::ostringstream out, err;
  const std::atomic<bool> stop{false};
  const fs::path report = In / "report.jsonl";
  const int code = RunBatchCommand({"-o", Out, "-c", "alaw", "--report", report, In / "a.wav",
                                    In / "a.wav", (In / "." / "a.wav").string(), odd, cut},
                                   {out, err, false, false}, stop);
  EXPECT_EQ(code, ExitFailed);
  EXPECT_EQ(err.str().find('\033'), std::string::npos);
  EXPECT_THAT(err.str(), HasSubstr("error: " + In.string() +
                                   "/bad\\033[2J\\n.wav is not a wave file (no RIFF header).\n"));
  EXPECT_THAT(err.str(), HasSubstr("warning: " + cut.string() +
                                   ": the data ends after 236 of 4,410 frames\n"));
  EXPECT_THAT(err.str(), HasSubstr("\n2 done, 0 skipped, 1 failed, 1 warning; "));
  std::ifstream lines(report);
  std::string line, cutLine;
  while (std::getline(lines, line))
    if (line.find("cut.wav") != std::string::npos) cutLine = line;
  EXPECT_THAT(cutLine, HasSubstr("\"status\":\"warning\",\"reason\":\"" + cut.string() +
                                 ": the data ends after 236 of 4,410 frames\""));
}

}  // namespace
