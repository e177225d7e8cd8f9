#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stream/UKZStream.h"

// A stream over bytes in memory that reads, writes and seeks like a file, for tests. Reads and
// writes can be limited or made to fail, and every call can be recorded.
class TMemoryStream : public TKZStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> AData) : Data(std::move(AData)) {}
  ~TMemoryStream() override { Note("destroy"); }

  int32_t GetPosition() override { return Position; }
  int32_t Read(const TKZArea& AArea) override;
  int32_t Write(const TKZArea& AArea) override;
  bool Seek(const TKZSeek& ASeek) override;
  void Close() override { Note("close"); }

  std::vector<uint8_t> Data;
  int32_t Position = 0;
  // At most this many bytes per Read; 0 for no limit.
  int32_t ReadLimit = 0;
  // Write accepts at most this many bytes in all; -1 for no limit.
  int64_t WriteCapacity = -1;
  bool FailReads = false;
  bool FailSeeks = false;
  // Called with "read", "write", "seek", "close" or "destroy" before the call does its work.
  std::function<void(const std::string&)> OnCall;

 private:
  void Note(const std::string& ACall) {
    if (OnCall) OnCall(ACall);
  }
};

std::vector<uint8_t> PseudoRandomBytes(size_t ACount, uint32_t ASeed);
