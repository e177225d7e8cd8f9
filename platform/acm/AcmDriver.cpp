#include "platform/acm/AcmDriver.h"

#include <algorithm>
#include <cstring>

namespace acm {

uint32_t RecordSize(const WAVEFORMATEX& format) {
  return format.wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX)
                                              : sizeof(WAVEFORMATEX) + format.cbSize;
}

FormatRecord::FormatRecord(const WAVEFORMATEX& format)
    : bytes_(reinterpret_cast<const uint8_t*>(&format),
             reinterpret_cast<const uint8_t*>(&format) + RecordSize(format)) {
  if (format.wFormatTag == WAVE_FORMAT_PCM) bytes_[16] = bytes_[17] = 0;  // cbSize
}

FormatRecord::FormatRecord(const WAVEFORMATEX& header, std::span<const uint8_t> extra)
    : bytes_(RecordSize(header), 0) {
  std::memcpy(bytes_.data(), &header, sizeof header);
  if (header.wFormatTag == WAVE_FORMAT_PCM) {
    bytes_[16] = bytes_[17] = 0;
    return;
  }
  const size_t n = std::min<size_t>(extra.size(), header.cbSize);
  if (n != 0) std::memcpy(bytes_.data() + sizeof header, extra.data(), n);
}

bool CarriesRate(const TagCaps& caps, uint32_t rate) {
  if (caps.rates.empty()) return rate >= caps.min_rate && rate <= caps.max_rate;
  return std::find(caps.rates.begin(), caps.rates.end(), rate) != caps.rates.end();
}

uint32_t NearestRate(const TagCaps& caps, uint32_t rate) {
  if (caps.rates.empty()) return std::clamp(rate, caps.min_rate, caps.max_rate);
  uint32_t best = caps.rates.front();
  for (uint32_t r : caps.rates)
    if ((r > rate ? r - rate : rate - r) < (best > rate ? best - rate : rate - best)) best = r;
  return best;
}

std::string CommandName(const TagCaps& caps) {
  if (!caps.command_name.empty()) return caps.command_name;
  std::string name;
  bool gap = false;
  for (const char c : caps.name) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!kept) {
      gap = !name.empty();
      continue;
    }
    if (gap) name += '-';
    gap = false;
    name += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return name;
}

std::vector<FormatRecord> Driver::ListFormats(uint16_t) const {
  return {};
}

std::string Driver::Describe(const WAVEFORMATEX& format) const {
  std::string rate = std::to_string(format.nSamplesPerSec);
  for (int i = static_cast<int>(rate.size()) - 3; i > 0; i -= 3)
    rate.insert(i, ",");
  std::string text = rate + " Hz";
  if (format.wBitsPerSample != 0) text += ", " + std::to_string(format.wBitsPerSample) + " Bit";
  if (format.nChannels == 1)
    text += ", Mono";
  else if (format.nChannels == 2)
    text += ", Stereo";
  else
    text += ", " + std::to_string(format.nChannels) + " Channels";
  return text;
}

}  // namespace acm
