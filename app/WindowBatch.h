#pragma once

// The window's batch on worker threads: several files at once through the compression job,
// each file's state and bytes copied for the window to show, a stop that abandons the running
// files. The window reads it from its own thread; nothing here touches the toolkit.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/WorkerPool.h"
#include "app/corvane_unit1.h"

enum class TFileState { Waiting, Running, Done, Failed, Skipped, Stopped };

struct TFileReport {
  TFileState State = TFileState::Waiting;
  int64_t Size = 0;     // the source's bytes
  int64_t Copied = 0;   // source bytes copied so far
  int64_t Output = 0;   // the destination's bytes once done
  std::string Reason;   // why it failed, in words that name the file
  std::string Warning;  // what the job warned of for a file it compressed
};

class TWindowBatch {
 public:
  struct TFile {
    std::string Source;
    std::string Destination;
    bool Skip = false;  // left alone: its destination exists
  };

  // Starts min(AJobs, files) workers at once; AJobs 0 is one per core. Folders of a kept tree
  // are made below AOutput, which the batch never makes: a vanished output folder fails the
  // files that remain.
  TWindowBatch(TCompression& ACompression, std::vector<TFile> AFiles, int32_t ACodec,
               const TFileOptions& AOptions, int32_t AJobs, const std::string& AOutput);
  // Stops and waits for the workers.
  ~TWindowBatch();
  TWindowBatch(const TWindowBatch&) = delete;
  TWindowBatch& operator=(const TWindowBatch&) = delete;

  // Running files are abandoned (the job removes their temporary files) and no other starts.
  void Stop();
  bool Stopped() const { return FStop.load(); }
  // Every worker has returned.
  bool Finished() const { return FPool->Finished(); }
  void Wait();

  std::vector<TFileReport> Reports() const;
  // The file started last that is still running; -1 when none runs.
  int32_t Current() const;
  int32_t Jobs() const { return FPool->Jobs(); }

 private:
  void Compress(size_t AIndex);

  TCompression* FCompression;
  const std::vector<TFile> FFiles;
  const std::string FOutput;
  const int32_t FCodec;
  const TFileOptions FOptions;
  std::atomic<bool> FStop{false};
  std::unique_ptr<std::atomic<int64_t>[]> FCopied;
  mutable std::mutex FLock;  // guards FReports and FStarted
  std::vector<TFileReport> FReports;
  std::vector<size_t> FStarted;
  std::optional<TWorkerPool> FPool;  // last: started once the rest is ready
};
