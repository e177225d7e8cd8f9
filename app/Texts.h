#pragma once

// Numbers as the programs show them, the file names they take and the words of a failed file,
// shared by the window and the batch command.

#include <cstdint>
#include <filesystem>
#include <new>
#include <string>

#include "platform/rtl/Exception.h"

// 44100 as "44,100".
inline std::string Thousands(uint64_t AValue) {
  std::string text = std::to_string(AValue);
  for (int i = static_cast<int>(text.size()) - 3; i > 0; i -= 3)
    text.insert(i, ",");
  return text;
}

// ASCII letters in lower case; other bytes as they are.
inline std::string Lower(std::string AText) {
  for (char& c : AText)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return AText;
}

// A name that ends in .wav, in any letter case.
inline bool EndsWithWav(const std::filesystem::path& APath) {
  const std::string name = Lower(APath.filename().string());
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0;
}

// The words for a file that failed, from the exception being handled (call it in a catch
// block): its message, or what happened where it has none.
inline std::string FailureWords() {
  try {
    throw;
  } catch (const Exception& e) {
    return e.Message().empty() ? "Compression failed." : e.Message();
  } catch (const std::bad_alloc&) {
    return "Not enough memory to compress it.";
  } catch (const std::exception& e) {
    return *e.what() ? e.what() : "Compression failed.";
  }
}
