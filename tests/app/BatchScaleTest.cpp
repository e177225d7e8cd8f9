// The batch command as one worker of many: inputs from a list with odd names, shards that
// cover a list exactly once on every machine, the JSON Lines report, the dry run, and the README's
// GNU parallel recipe run for real with two local workers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "app/BatchInputs.h"
#include "app/BatchReport.h"
#include "tests/support/Peers.h"
#include "tests/support/Raises.h"
#include "tests/support/WaveFiles.h"

namespace {

const std::string Program = CORVANE_BATCH_PROGRAM;
const std::string Readme = CORVANE_SOURCE_DIR "/README.md";
const std::string Python = "/usr/bin/python3";
namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

void WritePcm(const fs::path& AFile, uint32_t AFrames, uint32_t ASeed) {
  fs::create_directories(AFile.parent_path());
  WriteWaveFile(AFile, *MakeLinear(WAVE_FORMAT_PCM, 2, 22050, 16),
                PseudoRandomBytes(AFrames * 4, ASeed));
}

// Every file below a folder, relative to it, sorted.
std::set<std::string> Tree(const fs::path& AFolder) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(AFolder))
    if (entry.is_regular_file()) files.insert(entry.path().lexically_relative(AFolder));
  return files;
}

// A report's lines as a JSON parser reads them, one line each: status, source, destination
// (relative to AFolder), bytes out and the destination's codec, tab-separated; a line that is
// not whole JSON fails the parse. Names come back as bytes, newlines shown as "\n".
Lines ParsedReport(const fs::path& AReport, const fs::path& AFolder) {
  const std::string script =
      "import json, os, sys\n"
      "text = open(sys.argv[1], 'rb').read()\n"
      "os.chdir(sys.argv[2])\n"
      "assert text == b'' or text.endswith(b'\\n'), 'a partial line'\n"
      "for line in text.splitlines():\n"
      "    r = json.loads(line)\n"
      "    name = lambda p: os.fsencode(os.path.relpath(p) if p else '')"
      ".replace(b'\\n', b'\\\\n')\n"
      "    codec = (r['destination_format'] or {}).get('codec')\n"
      "    sys.stdout.buffer.write(b'\\t'.join([r['status'].encode(), name(r['source']), "
      "name(r['destination']), str(r['bytes_out']).encode(), str(codec).encode()]) + b'\\n')\n";
  const TCommandResult run = RunCommand(ShellQuote(Python) + " -c " + ShellQuote(script) + " " +
                                        ShellQuote(AReport) + " " + ShellQuote(AFolder));
  EXPECT_EQ(run.ExitCode, 0) << run.Output;
  Lines lines;
  std::istringstream text(run.Output);
  for (std::string line; std::getline(text, line);)
    lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string Size(const fs::path& AFile) {
  return std::to_string(fs::file_size(AFile));
}

class Scale : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PEER(Python);
    fs::create_directories(Out);
  }
  TTempDir Dir;
  const fs::path In = Dir.Path() / "in", Out = Dir.Path() / "out";
  const std::string Run = "cd " + ShellQuote(Dir.Path()) + " && " + ShellQuote(Program);
};

TEST(BatchShards, TheHashIsStableAndTakenBelowTheOutputFolder) {
  // A fixed list's shards of 3, as every release must keep them.
  const std::pair<const char*, uint32_t> pinned[] = {
      {"a.wav", 2},     {"b.wav", 1},           {"sub/c.wav", 3},     {"d e.wav", 2},
      {"x/y/z.WAV", 3}, {"caf\xc3\xa9.wav", 3}, {"new\nline.wav", 2}, {"-dash.wav", 2}};
  for (const auto& [path, shard] : pinned)
    EXPECT_EQ(ShardOf(path, 3), shard) << path;

  // A worker takes the shard of the path below the output folder, whatever its mount point.
  TBatchSettings settings;
  settings.Shard = 2;
  settings.ShardCount = 3;
  for (const std::string output : {"/out", "/mnt/nfs/out"}) {
    settings.Output = output;
    std::vector<TBatchItem> items;
    for (const auto& entry : pinned)
      items.push_back({"in", output + "/" + entry.first, ""});
    Lines taken;
    for (const TBatchItem& item : TakeShard(items, settings))
      taken.push_back(item.Destination.substr(output.size() + 1));
    EXPECT_EQ(taken, (Lines{"a.wav", "d e.wav", "new\nline.wav", "-dash.wav"}));
  }
}

TEST(BatchShards, TheShardComesFromTheCommandLineOrTheEngine) {
  using Env = std::map<std::string, std::string>;
  struct TCase {
    std::string Shard, Count;
    Env Environment;
    TShard Expected;
    std::string Refusal;  // the start of EUsage's text, or empty
  };
  const Env slurm = {{"SLURM_ARRAY_TASK_ID", "3"}, {"SLURM_ARRAY_TASK_COUNT", "4"}};
  const Env kube = {{"JOB_COMPLETION_INDEX", "0"}};
  const TCase cases[] = {
      {"", "", slurm, {0, 0}, ""},  // no option: the environment is not looked at
      {"2/8", "", {}, {2, 8}, ""},
      {"auto", "", slurm, {3, 4}, ""},
      {"", "8", slurm, {3, 8}, ""},  // a task run again alone keeps its shard of the whole
      {"", "8", kube, {1, 8}, ""},
      {"auto", "", kube, {}, "JOB_COMPLETION_INDEX needs the number of shards"},
      {"", "2", {{"JOB_COMPLETION_INDEX", "2"}}, {}, "The environment gives shard 3 of 2"},
      {"auto", "", {{"SLURM_ARRAY_TASK_ID", "0"}}, {}, "The Slurm array task is 0"},
      {"auto", "", {}, {}, "No shard in the environment"},
      {"0/3", "", {}, {}, "--shard takes K/N"},
      {"4/3", "", {}, {}, "--shard takes K/N"},
      {"2/8", "8", {}, {}, "--shard-count goes with --shard auto"},
  };
  for (const TCase& c : cases) {
    const TEnvironment environment = [&](const char* AName) -> const char* {
      const auto found = c.Environment.find(AName);
      return found == c.Environment.end() ? nullptr : found->second.c_str();
    };
    const std::string raised = RaisedMessage([&] {
      const TShard shard = ParseShard(c.Shard, c.Count, environment);
      EXPECT_EQ(shard.Index, c.Expected.Index) << c.Shard << " " << c.Count;
      EXPECT_EQ(shard.Count, c.Expected.Count) << c.Shard << " " << c.Count;
    });
    EXPECT_EQ(raised.rfind(c.Refusal, 0), 0u) << c.Shard << " " << c.Count << ": " << raised;
  }
}

TEST_F(Scale, ListsWithOddNamesMirrorBelowTheBaseAndTheReportAgreesWithTheDisk) {
  const std::string names[] = {"plain.wav", "with space/a b.wav", "new\nline.wav", "-dash.wav",
                               "caf\xc3\xa9/\xff.wav"};
  std::string list;
  for (int i = 0; i < 5; ++i) {
    WritePcm(In / names[i], 2000, i);
    list += (In / names[i]).string() + '\0';
  }
  std::ofstream(In / "bad.wav") << "not a wave file";
  std::ofstream(Dir.Path() / "outside.wav") << "x";
  list += (In / "bad.wav").string() + '\0' + (Dir.Path() / "outside.wav").string() + '\0';
  std::ofstream(Dir.Path() / "list", std::ios::binary) << list;
  const std::string args = " -c mulaw -o out --base in --files-from - -0 --report report.jsonl";
  const TCommandResult first = RunCommand(Run + args + " < list");
  EXPECT_EQ(first.ExitCode, ExitFailed) << first.Output;
  EXPECT_THAT(first.Output, HasSubstr("outside.wav: it is not below the base folder in."));
  EXPECT_EQ(Tree(Out), (std::set<std::string>(names, names + 5)));

  // A line list, -n, and a second run appended to the same report.
  std::ofstream(Dir.Path() / "lines") << "in/plain.wav\r\n\nin/with space/a b.wav\n";
  EXPECT_EQ(RunCommand(Run + " -n -c mulaw -o out --base in --files-from lines --report "
                             "report.jsonl")
                .ExitCode,
            ExitSuccess);
  Lines expected = {"failed\tin/bad.wav\tout/bad.wav\t0\tNone", "failed\toutside.wav\t\t0\tNone",
                    "skipped\tin/plain.wav\tout/plain.wav\t" + Size(Out / "plain.wav") + "\tmulaw",
                    "skipped\tin/with space/a b.wav\tout/with space/a b.wav\t" +
                        Size(Out / "with space/a b.wav") + "\tmulaw"};
  for (const std::string& name : names) {
    std::string shown = std::regex_replace(name, std::regex("\n"), "\\n");
    expected.push_back("done\tin/" + shown + "\tout/" + shown + "\t" + Size(Out / name) +
                       "\tmulaw");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ParsedReport(Dir.Path() / "report.jsonl", Dir.Path()), expected);

  // What cannot be followed is said before anything is done.
  EXPECT_EQ(RunCommand(Run + " -c mulaw -o out --files-from missing").ExitCode, ExitUsage);
  EXPECT_EQ(
      RunCommand(Run + " -c mulaw -o out --report no/such/report.jsonl in/plain.wav").ExitCode,
      ExitUsage);
}

TEST_F(Scale, ADryRunPrintsThePlanAndWritesNothing) {
  WritePcm(In / "a.wav", 100, 1);
  WritePcm(In / "sub" / "b.wav", 100, 2);
  WritePcm(In / "c" / "b.wav", 100, 3);
  std::ofstream(Out / "a.wav") << "old";
  const TCommandResult plan = RunCommand(Run +
                                         " -q -n -r --dry-run --report r.jsonl -c mulaw -o "
                                         "out in/a.wav in/sub in/c");
  EXPECT_EQ(plan.ExitCode, ExitFailed);
  EXPECT_EQ(plan.Output,
            "skip in/a.wav -> out/a.wav (exists)\ncompress in/sub/b.wav -> out/b.wav\n"
            "refuse in/c/b.wav: Not compressing in/c/b.wav into out/b.wav: it is the "
            "destination of in/sub/b.wav in this batch already.\n");
  EXPECT_EQ(Tree(Dir.Path()),
            (std::set<std::string>{"in/a.wav", "in/c/b.wav", "in/sub/b.wav", "out/a.wav"}));
}

// The README's recipe for GNU parallel, as written there, on this machine's shared folder.
std::string ParallelRecipe() {
  std::ifstream readme(Readme);
  std::string line, recipe;
  bool section = false, block = false;
  while (std::getline(readme, line)) {
    if (line.rfind("### ", 0) == 0) section = line == "### GNU parallel over ssh";
    if (section && line == "```") {
      if (block) return recipe;
      block = true;
    } else if (block) {
      recipe += line + "\n";
    }
  }
  return recipe;
}

TEST_F(Scale, TheReadmesParallelRecipeCompressesEveryFileOnceOnTwoWorkers) {
  REQUIRE_PEER("parallel");
  const std::string recipe = ParallelRecipe();
  ASSERT_THAT(recipe, HasSubstr("--shard {#}/8"));
  // /shared is this test's folder; two workers on this machine.
  const fs::path shared = Dir.Path();
  std::ofstream(shared / "workers.txt") << "2/:\n";
  fs::create_directories(shared / "phone");
  std::set<std::string> files;
  for (int i = 0; i < 24; ++i) {
    const std::string name =
        "disc" + std::to_string(i % 3) + "/track " + std::to_string(i) + ".wav";
    WritePcm(shared / "archive" / name, 3000, i);
    files.insert(name);
  }
  const std::string setup = "cd " + ShellQuote(shared) +
                            " && PATH=" + ShellQuote(fs::path(Program).parent_path().string()) +
                            ":$PATH && find " + ShellQuote(shared / "archive") +
                            " -iname '*.wav' -print0 > archive.list && ";
  const std::string command =
      setup + std::regex_replace(recipe, std::regex("/shared"), shared.string());
  const TCommandResult run = RunCommand(command);
  ASSERT_EQ(run.ExitCode, 0) << command << "\n" << run.Output;
  EXPECT_EQ(Tree(shared / "phone"), files);
  Lines expected;
  for (const std::string& file : files)
    expected.push_back("done\tarchive/" + file + "\tphone/" + file + "\t" +
                       Size(shared / "phone" / file) + "\tmulaw");
  EXPECT_EQ(ParsedReport(shared / "phone.jsonl", shared), expected);
}

}  // namespace
