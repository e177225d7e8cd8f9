#include "app/WindowBatch.h"

#include <algorithm>
#include <filesystem>

#include "app/Texts.h"
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
  // What never started stays waiting; the window tells it from the stop.
  FPool.emplace(FFiles.size(), AJobs, FStop, [this](size_t AIndex) {
    if (!FFiles[AIndex].Skip) Compress(AIndex);
  });
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
  FPool->Wait();
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
  } catch (const std::exception&) {
    failure = FailureWords();
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
