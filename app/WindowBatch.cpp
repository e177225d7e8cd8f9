#include "app/WindowBatch.h"

#include <algorithm>
#include <filesystem>
#include <new>

#include "platform/rtl/Exception.h"

namespace {

namespace fs = std::filesystem;

int64_t FileSize(const std::string& AFile) {
  std::error_code error;
  const uintmax_t size = fs::file_size(AFile, error);
  return error ? 0 : static_cast<int64_t>(size);
}

}  // namespace

TWindowBatch::TWindowBatch(TCompression& ACompression, std::vector<TFile> AFiles, int32_t ACodec,
                           const TFileOptions& AOptions, int32_t AJobs, const std::string& AOutput)
    : FCompression(&ACompression),
      FFiles(std::move(AFiles)),
      FOutput(AOutput),
      FCodec(ACodec),
      FOptions(AOptions),
      FCopied(new std::atomic<int64_t>[FFiles.size()]) {
  FReports.resize(FFiles.size());
  for (size_t i = 0; i < FFiles.size(); ++i) {
    FCopied[i].store(0);
    FReports[i].Size = FileSize(FFiles[i].Source);
    if (FFiles[i].Skip) FReports[i].State = TFileState::Skipped;
  }
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t jobs =
      std::max<size_t>(1, std::min(FFiles.size(), AJobs > 0 ? static_cast<size_t>(AJobs) : cores));
  FWorking.store(static_cast<int32_t>(jobs));
  try {
    for (size_t i = 0; i < jobs; ++i)
      FWorkers.emplace_back([this] { Work(); });
  } catch (...) {
    // No thread for the rest: those that started do the work.
    FWorking.fetch_sub(static_cast<int32_t>(jobs - FWorkers.size()));
    if (FWorkers.empty()) throw;
  }
}

TWindowBatch::~TWindowBatch() {
  Stop();
  Wait();
}

void TWindowBatch::Stop() {
  FStop.store(true);
  FStop.notify_all();
}

void TWindowBatch::Wait() {
  for (std::thread& worker : FWorkers)
    if (worker.joinable()) worker.join();
}

std::vector<TFileReport> TWindowBatch::Reports() const {
  std::lock_guard<std::mutex> hold(FLock);
  std::vector<TFileReport> reports = FReports;
  for (size_t i = 0; i < reports.size(); ++i)
    reports[i].Copied = std::min(reports[i].Size, FCopied[i].load(std::memory_order_relaxed));
  return reports;
}

int32_t TWindowBatch::Current() const {
  std::lock_guard<std::mutex> hold(FLock);
  for (auto it = FStarted.rbegin(); it != FStarted.rend(); ++it)
    if (FReports[*it].State == TFileState::Running) return static_cast<int32_t>(*it);
  return -1;
}

void TWindowBatch::Work() {
  while (!FStop.load()) {
    const size_t index = FNext++;
    if (index >= FFiles.size()) break;
    if (!FFiles[index].Skip) Compress(index);
  }
  // What never started stays waiting; the window tells it from the stop.
  FWorking.fetch_sub(1);
}

void TWindowBatch::Compress(size_t AIndex) {
  const TFile& file = FFiles[AIndex];
  {
    std::lock_guard<std::mutex> hold(FLock);
    FReports[AIndex].State = TFileState::Running;
    FStarted.push_back(AIndex);
  }
  TFileOptions options = FOptions;
  options.Stop = &FStop;
  std::atomic<int64_t>& copied = FCopied[AIndex];
  options.Progress = [&copied](int32_t ABytes) {
    copied.fetch_add(ABytes, std::memory_order_relaxed);
  };
  std::string warning;
  options.Warning = [&warning](const std::string& AWarning) { warning = AWarning; };
  std::string failure;
  try {
    // With the folder tree kept, a file's folder below the output folder may be new.
    std::error_code error;
    const fs::path folder = fs::path(file.Destination).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, error)) {
      if (!fs::is_directory(FOutput, error))
        throw Exception("Cannot write " + file.Destination + ": " + FOutput +
                        ": No such file or directory.");
      fs::create_directories(folder, error);
      if (error)
        throw Exception("Cannot create the folder " + folder.string() + " for " + file.Source +
                        ": " + error.message() + ".");
    }
    FCompression->CompressFile(file.Source, file.Destination, FCodec, options);
  } catch (const Exception& e) {
    failure = e.Message().empty() ? "Compression failed." : e.Message();
  } catch (const std::bad_alloc&) {
    failure = "Not enough memory to compress it.";
  } catch (const std::exception& e) {
    failure = *e.what() ? e.what() : "Compression failed.";
  }
  std::lock_guard<std::mutex> hold(FLock);
  TFileReport& report = FReports[AIndex];
  if (!failure.empty() && FStop.load()) {
    report.State = TFileState::Stopped;
  } else if (!failure.empty()) {
    report.State = TFileState::Failed;
    // The reason names the file as a rule; where it does not, the report does.
    report.Reason =
        failure.find(file.Source) == std::string::npos ? file.Source + ": " + failure : failure;
  } else {
    report.State = TFileState::Done;
    report.Output = FileSize(file.Destination);
    report.Warning = warning;
    FCopied[AIndex].store(report.Size);
  }
}
