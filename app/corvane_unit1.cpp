#include "app/corvane_unit1.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "app/Texts.h"
#include "app/WindowBatch.h"
#include "platform/acm/AcmCodec.h"
#include "platform/acm/AcmDriver.h"

#ifndef CORVANE_VERSION
#define CORVANE_VERSION "unknown"
#endif

int32_t CurrentCodec = 0;

namespace {

namespace fs = std::filesystem;

std::string Plural(int64_t ACount, const std::string& AOne, const std::string& AMany) {
  return std::to_string(ACount) + " " + (ACount == 1 ? AOne : AMany);
}

uint32_t Le32(const uint8_t* AData) {
  return AData[0] | AData[1] << 8 | AData[2] << 16 | static_cast<uint32_t>(AData[3]) << 24;
}

uint16_t Le16(const uint8_t* AData) {
  return static_cast<uint16_t>(AData[0] | AData[1] << 8);
}

// The codec manager's description of a tag, or none.
const acm::TagCaps* FindCaps(uint16_t ATag) {
  static const std::vector<acm::TagCaps> all = [] {
    std::vector<acm::TagCaps> caps;
    for (const std::shared_ptr<acm::Driver>& driver : acm::Drivers())
      for (const acm::TagCaps& tag : driver->Tags())
        if (std::none_of(caps.begin(), caps.end(),
                         [&](const acm::TagCaps& A) { return A.tag == tag.tag; }))
          caps.push_back(tag);
    return caps;
  }();
  for (const acm::TagCaps& caps : all)
    if (caps.tag == ATag) return &caps;
  return nullptr;
}

std::string TagName(uint16_t ATag) {
  if (ATag == WAVE_FORMAT_PCM) return "PCM";
  if (ATag == 0xFFFE) return "PCM";  // extensible: the layout of PCM with a channel mask
  if (const acm::TagCaps* caps = FindCaps(ATag)) return caps->name;
  char text[32];
  std::snprintf(text, sizeof text, "format 0x%04X", ATag);
  return text;
}

std::string ChannelsText(uint32_t AChannels) {
  if (AChannels == 1) return "mono";
  if (AChannels == 2) return "stereo";
  return std::to_string(AChannels) + " channels";
}

// The rates a codec is offered at: its own set, or the usual ones within its range.
std::vector<uint32_t> OfferedRates(const acm::TagCaps& ACaps) {
  if (!ACaps.rates.empty()) return ACaps.rates;
  std::vector<uint32_t> rates;
  for (uint32_t rate : {8000u, 11025u, 16000u, 22050u, 32000u, 44100u, 48000u, 96000u})
    if (acm::CarriesRate(ACaps, rate)) rates.push_back(rate);
  return rates;
}

int32_t Cores() {
  return static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
}

// The bit rates a codec's formats come in, in kbit/s: MP3's choices.
std::vector<uint32_t> OfferedBitrates(uint16_t ATag) {
  ACMFORMATCHOOSEA all{};
  all.cbStruct = sizeof all;
  std::set<uint32_t> kbps;
  for (const acm::FormatChoice& choice : acm::ListFormatChoices(all))
    if (choice.format.Get().wFormatTag == ATag && choice.format.Get().nAvgBytesPerSec % 125 == 0)
      kbps.insert(choice.format.Get().nAvgBytesPerSec / 125);
  return {kbps.begin(), kbps.end()};
}

// The deepest folder that holds every one of the paths.
fs::path SharedFolder(const std::vector<fs::path>& AFolders) {
  if (AFolders.empty()) return {};
  std::vector<fs::path> shared(AFolders[0].begin(), AFolders[0].end());
  for (const fs::path& folder : AFolders) {
    std::vector<fs::path> parts(folder.begin(), folder.end());
    size_t n = 0;
    while (n < shared.size() && n < parts.size() && shared[n] == parts[n])
      ++n;
    shared.resize(n);
  }
  fs::path result;
  for (const fs::path& part : shared)
    result /= part;
  return result;
}

// What a destination is known by when two are compared: its absolute path with the links of
// the folders that exist resolved.
std::string DestinationKey(const std::string& ADestination) {
  std::error_code error;
  fs::path key = fs::weakly_canonical(fs::absolute(ADestination, error), error);
  if (error) key = fs::absolute(ADestination, error).lexically_normal();
  return key.string();
}

// A row's state; a reason names its file by the file name alone, as the row shows the folder.
std::string StateText(const TFileReport& AReport, const std::string& ASource) {
  switch (AReport.State) {
    case TFileState::Waiting:
      return "waiting";
    case TFileState::Running:
      return std::to_string(AReport.Size > 0 ? AReport.Copied * 100 / AReport.Size : 0) + "%";
    case TFileState::Done:
      return "done, " + ByteSize(AReport.Output) +
             (AReport.Warning.empty() ? "" : " (" + AReport.Warning + ")");
    case TFileState::Failed: {
      std::string reason = AReport.Reason;
      const std::string name = ASource.substr(ASource.rfind('/') + 1);
      for (size_t at = reason.find(ASource); at != std::string::npos;
           at = reason.find(ASource, at + name.size()))
        reason.replace(at, ASource.size(), name);
      return "failed: " + reason;
    }
    case TFileState::Skipped:
      return "skipped: the output exists";
    case TFileState::Stopped:
      return "stopped";
  }
  return {};
}

constexpr const char* kSame[] = {"same rate as each source", "same channels as each source"};

}  // namespace

std::string ExtractBaseName(const std::string& APath) {
  const size_t slash = APath.rfind('/');
  return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

std::string ByteSize(int64_t ABytes) {
  char text[32];
  if (ABytes < 1000) return Plural(ABytes, "byte", "bytes");
  if (ABytes < 1000 * 1000)
    std::snprintf(text, sizeof text, "%.1f kB", ABytes / 1e3);
  else if (ABytes < int64_t{1000} * 1000 * 1000)
    std::snprintf(text, sizeof text, "%.1f MB", ABytes / 1e6);
  else
    std::snprintf(text, sizeof text, "%.2f GB", ABytes / 1e9);
  return text;
}

std::string Duration(double ASeconds) {
  if (ASeconds < 0) return {};
  const auto total = static_cast<int64_t>(ASeconds + 0.5);
  char text[32];
  if (total >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                  static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(total / 60),
                  static_cast<long long>(total % 60));
  return text;
}

TWaveInfo ReadWaveInfo(const std::string& APath) {
  std::ifstream file(APath, std::ios::binary);
  return ReadWaveInfo(file);
}

TWaveInfo ReadWaveInfo(std::istream& AFile) {
  TWaveInfo info;
  std::istream& file = AFile;
  uint8_t head[12];
  if (!file.read(reinterpret_cast<char*>(head), sizeof head)) return info;
  const bool rf64 = std::memcmp(head, "RF64", 4) == 0;
  if ((std::memcmp(head, "RIFF", 4) != 0 && !rf64) || std::memcmp(head + 8, "WAVE", 4) != 0)
    return info;
  info.Wave = true;
  // The chunks up to the data: fmt for the format, ds64 for an RF64 file's data size.
  uint8_t fmt[16];
  bool have_fmt = false;
  uint64_t data = 0;
  bool have_data = false;
  for (int chunks = 0; chunks < 64 && !have_data; ++chunks) {
    uint8_t chunk[8];
    if (!file.read(reinterpret_cast<char*>(chunk), sizeof chunk)) break;
    const uint32_t size = Le32(chunk + 4);
    const std::streamoff next =
        static_cast<std::streamoff>(file.tellg()) + static_cast<std::streamoff>(size) + (size & 1);
    if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= sizeof fmt) {
      have_fmt = static_cast<bool>(file.read(reinterpret_cast<char*>(fmt), sizeof fmt));
    } else if (std::memcmp(chunk, "ds64", 4) == 0 && size >= 16) {
      uint8_t ds64[16];
      if (file.read(reinterpret_cast<char*>(ds64), sizeof ds64))
        data = Le32(ds64 + 8) | uint64_t{Le32(ds64 + 12)} << 32;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!(rf64 && size == 0xFFFFFFFF)) data = size;
      have_data = true;
      break;
    }
    file.seekg(next);
  }
  if (!have_fmt) return info;
  const uint16_t tag = Le16(fmt), channels = Le16(fmt + 2), bits = Le16(fmt + 14);
  const uint32_t rate = Le32(fmt + 4), bytes_per_second = Le32(fmt + 8);
  info.Format = TagName(tag) + " " + Thousands(rate) + " Hz";
  if (bits != 0) info.Format += " " + std::to_string(bits) + "-bit";
  info.Format += " " + ChannelsText(channels);
  if (have_data && bytes_per_second > 0)
    info.Seconds = static_cast<double>(data) / bytes_per_second;
  return info;
}

TForm1::TForm1(const TForm1Controls& AControls, TCompression& ACompression, HWND AHandle)
    : TWinControl(nullptr),
      Controls(AControls),
      BrowseFolder1(this),
      BrowseFolder2(this),
      FCompression(&ACompression),
      FHandle(AHandle) {
  SetName("Form1");
  BrowseFolder1.SetName("BrowseFolder1");
  BrowseFolder1.Title = "Select output directory:";
  BrowseFolder1.Flags = {TBrowseInfoFlags::bfFileSysDirsOnly, TBrowseInfoFlags::bfStatusText};
  BrowseFolder1.ShowPathInStatusArea = false;
  BrowseFolder1.SyncCustomButton = false;
  BrowseFolder2.SetName("BrowseFolder2");
  BrowseFolder2.Title = "Select a folder: its wave files and those of its subfolders are added.";
  OnInit();

  // What was chosen in the last run.
  TSettings& settings = Controls.Settings;
  const std::string output = settings.Read("output", "");
  if (!output.empty()) {
    Controls.output.SetCaption(output);
    BrowseFolder1.Directory = output;
  }
  BrowseFolder2.Directory = settings.Read("addFolder", "");
  const uint64_t codec = std::strtoull(settings.Read("codec", "0").c_str(), nullptr, 10);
  if (codec > 0 && codec <= 0xFFFF && FindCaps(static_cast<uint16_t>(codec)))
    CurrentCodec = static_cast<int32_t>(codec);
  FillChoices();
  auto select = [&](TComboBox& ABox, const std::string& AKey) {
    const std::string kept = settings.Read(AKey, "");
    for (int32_t i = 0; i < ABox.Count(); ++i)
      if (ABox.Item(i) == kept) ABox.SetItemIndex(i);
  };
  FFilling = true;
  select(Controls.Rate, "rate");
  select(Controls.Channels, "channels");
  select(Controls.Bitrate, "bitrate");
  select(Controls.Quality, "quality");
  select(Controls.BlockSize, "blockSize");
  select(Controls.Bits, "bits");
  select(Controls.FilesAtOnce, "filesAtOnce");
  const std::string exists = settings.Read("whenExists", "ask");
  Controls.WhenExists.SetItemIndex(exists == "replace" ? weReplace
                                   : exists == "skip"  ? weSkip
                                                       : weAsk);
  FFilling = false;
  Controls.codec.SetCaption(Destination());
}

TForm1::~TForm1() = default;

void TForm1::OnInit() {
  CurrentCodec = 0;
}

// The choices that follow from the codec: its rates, channel counts and, for MP3, bit rates. A
// choice the new codec still offers stays chosen.
void TForm1::FillChoices() {
  FFilling = true;
  const acm::TagCaps* caps = FindCaps(static_cast<uint16_t>(CurrentCodec & 0xFFFF));
  auto fill = [](TComboBox& ABox, const std::vector<std::string>& AItems) {
    const int32_t at = ABox.ItemIndex();
    const std::string kept = at >= 0 ? ABox.Item(at) : std::string();
    ABox.Clear();
    int32_t chosen = 0;
    for (const std::string& item : AItems) {
      if (item == kept) chosen = ABox.Count();
      ABox.Add(item);
    }
    ABox.SetItemIndex(chosen);
  };
  std::vector<std::string> rates{"Same as source"}, channels{"Same as source"},
      bitrates{"Codec's choice"}, qualities{"Fast"}, blocks{"Follows the rate"},
      depths{"Same as source"};
  if (caps) {
    for (uint32_t rate : OfferedRates(*caps))
      rates.push_back(Thousands(rate) + " Hz");
    if (caps->min_channels <= 1) channels.push_back("Mono");
    if (caps->min_channels <= 2 && caps->max_channels >= 2) channels.push_back("Stereo");
    if (caps->tag == WAVE_FORMAT_MPEGLAYER3)
      for (uint32_t kbps : OfferedBitrates(caps->tag))
        bitrates.push_back(std::to_string(kbps) + " kbit/s");
    // The ADPCM codecs: a slower search, and block sizes that strict players take.
    if (const auto range = acm::ChoosableBlockSizes(caps->tag)) {
      qualities.push_back("High");
      for (uint32_t bytes : {256u, 512u, 1024u, 2048u})
        if (bytes >= range->low && bytes <= range->high && bytes % range->multiple == 0)
          blocks.push_back(Thousands(bytes) + " bytes");
    }
    if (caps->tag == WAVE_FORMAT_PCM || caps->tag == WAVE_FORMAT_IEEE_FLOAT)
      for (uint16_t bits : caps->bits)
        depths.push_back(std::to_string(bits) + "-bit");
  }
  fill(Controls.Rate, rates);
  fill(Controls.Channels, channels);
  fill(Controls.Bitrate, bitrates);
  fill(Controls.Quality, qualities);
  fill(Controls.BlockSize, blocks);
  fill(Controls.Bits, depths);
  Controls.Bitrate.SetEnabled(bitrates.size() > 1 && !Running());
  Controls.Quality.SetEnabled(qualities.size() > 1 && !Running());
  Controls.BlockSize.SetEnabled(blocks.size() > 1 && !Running());
  Controls.Bits.SetEnabled(depths.size() > 1 && !Running());
  if (Controls.FilesAtOnce.Count() == 0) {
    const int32_t cores = Cores();
    for (int32_t n = 1; n <= std::max(16, cores); ++n)
      Controls.FilesAtOnce.Add(std::to_string(n));
    Controls.FilesAtOnce.SetItemIndex(cores - 1);
    for (const char* choice : {"Ask", "Replace", "Skip"})
      Controls.WhenExists.Add(choice);
    Controls.WhenExists.SetItemIndex(weAsk);
  }
  FFilling = false;
}

TFileOptions TForm1::Options() const {
  TFileOptions options;
  // "44,100 Hz", "128 kbit/s": their digits.
  auto number = [](const TComboBox& ABox) -> uint32_t {
    const int32_t at = ABox.ItemIndex();
    if (at <= 0) return 0;
    std::string digits;
    for (char c : ABox.Item(at))
      if (c >= '0' && c <= '9') digits += c;
    return static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 10));
  };
  options.SampleRate = number(Controls.Rate);
  options.Bitrate = number(Controls.Bitrate);
  options.HighQuality = Controls.Quality.ItemIndex() > 0;
  options.BlockSize = number(Controls.BlockSize);
  options.Bits = static_cast<uint16_t>(number(Controls.Bits));
  const int32_t channels = Controls.Channels.ItemIndex();
  if (channels > 0) {
    const std::string text = Controls.Channels.Item(channels);
    options.Channels = text == "Mono" ? 1 : 2;
  }
  return options;
}

std::string TForm1::Destination() const {
  if (CurrentCodec == 0) return "No codec selected";
  const TFileOptions options = Options();
  std::string text = TagName(static_cast<uint16_t>(CurrentCodec & 0xFFFF));
  if (options.SampleRate == 0 && options.Channels == 0)
    text += ", same rate and channels as each source";
  else
    text += ", " + (options.SampleRate ? Thousands(options.SampleRate) + " Hz" : kSame[0]) + ", " +
            (options.Channels ? ChannelsText(options.Channels) : kSame[1]);
  if (options.Bitrate) text += ", " + std::to_string(options.Bitrate) + " kbit/s";
  if (options.BlockSize) text += ", blocks of " + Thousands(options.BlockSize) + " bytes";
  if (options.HighQuality) text += ", high quality";
  if (options.Bits) text += ", " + std::to_string(options.Bits) + "-bit";
  return text;
}

void TForm1::OptionsChanged() {
  if (FFilling) return;
  Controls.codec.SetCaption(Destination());
  SaveSettings();
}

void TForm1::SaveSettings() {
  TSettings& settings = Controls.Settings;
  const std::string output = Controls.output.GetCaption();
  settings.Write("output", output == NoDirectory ? "" : output);
  settings.Write("addFolder", BrowseFolder2.Directory);
  settings.Write("codec", std::to_string(CurrentCodec & 0xFFFF));
  auto chosen = [](const TComboBox& ABox) {
    return ABox.ItemIndex() >= 0 ? ABox.Item(ABox.ItemIndex()) : std::string();
  };
  settings.Write("rate", chosen(Controls.Rate));
  settings.Write("channels", chosen(Controls.Channels));
  settings.Write("bitrate", chosen(Controls.Bitrate));
  settings.Write("quality", chosen(Controls.Quality));
  settings.Write("blockSize", chosen(Controls.BlockSize));
  settings.Write("bits", chosen(Controls.Bits));
  // The number of cores is kept as the default, so it follows the machine.
  settings.Write("filesAtOnce", Controls.FilesAtOnce.ItemIndex() + 1 == Cores()
                                    ? std::string()
                                    : chosen(Controls.FilesAtOnce));
  const int32_t exists = Controls.WhenExists.ItemIndex();
  settings.Write("whenExists", exists == weReplace ? "replace" : exists == weSkip ? "skip" : "ask");
}

void TForm1::AddBtnClick() {
  FActivity = "adding files";
  if (Running() || !Controls.OpenDialog1.Execute()) return;
  AddPaths(Controls.OpenDialog1.Files(), false);
}

void TForm1::AddFolderBtnClick() {
  FActivity = "adding a folder";
  if (Running() || !BrowseFolder2.Execute()) return;
  AddPaths({BrowseFolder2.Directory}, true);
  SaveSettings();
}

void TForm1::FilesDropped(const std::vector<std::string>& AFiles) {
  FActivity = "adding files";
  if (!Running()) AddPaths(AFiles, true);
}

void TForm1::AddPaths(const std::vector<std::string>& APaths, bool AFolders) {
  std::set<std::string> listed;
  for (int32_t i = 0; i < Controls.files.Count(); ++i)
    listed.insert(Controls.files.Item(i));
  int32_t added = 0, not_regular = 0, not_wave = 0, duplicate = 0, unreadable = 0;
  auto add = [&](const fs::path& APath) {
    std::error_code error;
    const std::string path = fs::absolute(APath, error).lexically_normal().string();
    if (!fs::is_regular_file(path, error)) return void(++not_regular);
    if (listed.count(path)) return void(++duplicate);
    const TWaveInfo info = ReadWaveInfo(path);
    if (!info.Wave) return void(++not_wave);
    listed.insert(path);
    const int32_t row = Controls.files.Count();
    Controls.files.Add(path);
    Controls.files.SetCell(row, colName, ExtractBaseName(path));
    Controls.files.SetCell(row, colFolder, fs::path(path).parent_path().string());
    Controls.files.SetCell(row, colFormat, info.Format.empty() ? "unknown" : info.Format);
    Controls.files.SetCell(row, colDuration, Duration(info.Seconds));
    const uintmax_t size = fs::file_size(path, error);
    Controls.files.SetCell(row, colSize,
                           error ? std::string() : ByteSize(static_cast<int64_t>(size)));
    ++added;
  };
  for (const std::string& path : APaths) {
    std::error_code error;
    if (AFolders && fs::is_directory(path, error)) {
      std::vector<fs::path> found;
      fs::recursive_directory_iterator entry(path, fs::directory_options::skip_permission_denied,
                                             error),
          end;
      for (; !error && entry != end; entry.increment(error)) {
        std::error_code ignored;
        if (!entry->is_directory(ignored) && EndsWithWav(entry->path()))
          found.push_back(entry->path());
      }
      if (error) ++unreadable;
      std::sort(found.begin(), found.end());
      for (const fs::path& file : found)
        add(file);
    } else {
      add(path);
    }
  }
  std::string text = "Added " + Plural(added, "file", "files");
  std::vector<std::string> why;
  if (not_wave) why.push_back(std::to_string(not_wave) + " not RIFF WAVE");
  if (duplicate) why.push_back(std::to_string(duplicate) + " already listed");
  if (not_regular) why.push_back(std::to_string(not_regular) + " not a regular file");
  if (unreadable) why.push_back(Plural(unreadable, "folder", "folders") + " not read whole");
  if (const int32_t skipped = not_wave + duplicate + not_regular; skipped > 0) {
    text += "; skipped " + std::to_string(skipped) + " (";
    for (size_t i = 0; i < why.size(); ++i)
      text += (i ? ", " : "") + why[i];
    text += ")";
  } else if (unreadable) {
    text += "; " + why.back();
  }
  Controls.StatusBar1.SetSimpleText(text + ".");
}

void TForm1::RemoveBtnClick() {
  FActivity = "removing files";
  if (Running() || Controls.files.SelCount() == 0) return;
  for (int32_t i = Controls.files.Count() - 1; i >= 0; --i)
    if (Controls.files.Selected(i)) Controls.files.Delete(i);
}

void TForm1::ClearBtnClick() {
  FActivity = "clearing the list";
  if (Running()) return;
  for (int32_t i = Controls.files.Count() - 1; i >= 0; --i)
    Controls.files.Delete(i);
}

void TForm1::SelectCodecBtnClick() {
  FActivity = "choosing the codec";
  if (Running()) return;
  CurrentCodec = FCompression->ChooseCodec(CurrentCodec);
  FillChoices();
  OptionsChanged();
}

std::string TForm1::AboutText() {
  return "Corvane " CORVANE_VERSION
         "\r"
         "\r"
         "Corvane is a batch tool that compresses PCM wave files into\r"
         "Any audio-codec available on the system.\r"
         "Just select the files to compress, output-dir, the codec and start.\r"
         "The destination file bitrate/quality will be auto-based on source file.\r"
         "\r"
         "\r"
         "Report problems to the issue tracker of the repository this copy was built from.\r"
         "Home page: the README.md at the top of that repository.";
}

void TForm1::AboutBtnClick() {
  FActivity = "showing the About box";
  ShowMessage(AboutText());
}

void TForm1::Button1Click() {
  FActivity = "choosing the output directory";
  if (Running()) return;
  // A cancelled dialog keeps the folder chosen before.
  if (BrowseFolder1.Execute()) {
    Controls.output.SetCaption(BrowseFolder1.Directory);
    SaveSettings();
  }
}

bool TForm1::Plan(std::vector<TPlanned>& APlan) {
  const std::string output = Controls.output.GetCaption();
  if (output == NoDirectory) {
    ShowMessage("You must select an output directory.");
    return false;
  }
  if (Controls.files.Count() == 0) {
    ShowMessage("No files selected for compression.");
    return false;
  }
  if (CurrentCodec == 0) {
    ShowMessage("No compression codec selected.");
    return false;
  }
  const int32_t count = Controls.files.Count();
  std::vector<std::string> sources;
  for (int32_t i = 0; i < count; ++i)
    sources.push_back(Controls.files.Item(i));
  auto plan = [&](bool AKeepTree) {
    APlan.clear();
    std::vector<fs::path> folders;
    for (const std::string& source : sources)
      folders.push_back(fs::path(source).parent_path());
    const fs::path shared = SharedFolder(folders);
    for (int32_t i = 0; i < count; ++i) {
      const fs::path relative = fs::path(sources[i]).lexically_relative(shared);
      APlan.push_back({i,
                       AKeepTree && !relative.empty() ? (fs::path(output) / relative).string()
                                                      : output + "/" + ExtractBaseName(sources[i]),
                       false});
    }
  };
  // Destinations that two or more entries share, with the entries.
  auto clashes = [&] {
    std::map<std::string, std::vector<int32_t>> by_key;
    for (const TPlanned& planned : APlan)
      by_key[DestinationKey(planned.Destination)].push_back(planned.Row);
    std::vector<std::vector<int32_t>> shared;
    for (auto& [key, rows] : by_key)
      if (rows.size() > 1) shared.push_back(rows);
    return shared;
  };
  plan(false);
  for (const TPlanned& planned : APlan) {
    std::error_code error;
    if (fs::equivalent(sources[planned.Row], planned.Destination, error)) {
      ShowMessage("Cannot compress " + sources[planned.Row] + " into " + planned.Destination +
                  ": it is the source file itself. Choose another output directory.");
      return false;
    }
  }
  if (auto shared = clashes(); !shared.empty()) {
    std::string text =
        "These files would be written to the same output file, and only the "
        "last one would be kept:\r";
    for (const auto& rows : shared) {
      text += "\r" + APlan[rows[0]].Destination + " from:\r";
      for (int32_t row : rows)
        text += "    " + sources[row] + "\r";
    }
    text +=
        "\rKeeping the folder tree below the output folder writes each file into the "
        "folders it is in, from the deepest folder they all share.";
    const TAnswer answer = Application->Ask(
        {text, {"&Keep the folder tree below the output folder", "Cancel"}, 1, ""});
    if (answer.Button != 0) return false;
    plan(true);
    if (!clashes().empty()) {
      ShowMessage("Some files of the list are the same file: remove the ones listed twice.");
      return false;
    }
  }
  int32_t existing = 0;
  for (const TPlanned& planned : APlan) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(planned.Destination, error))) ++existing;
  }
  int32_t when = Controls.WhenExists.ItemIndex();
  if (existing > 0 && when != weReplace && when != weSkip) {
    const std::string what = existing == count ? "All " + Plural(count, "output", "outputs")
                                               : std::to_string(existing) + " of the " +
                                                     Plural(count, "output", "outputs");
    const TAnswer answer = Application->Ask(
        {what + " exist" + (existing == 1 && count != 1 ? "s" : "") + " already in " + output +
             ".\rReplace them, or leave them as they are and skip those files?",
         {"&Replace", "S&kip existing", "Cancel"},
         2,
         "&Do the same next time (\"When an output exists\" below)"});
    if (answer.Button == 2) return false;
    when = answer.Button == 0 ? weReplace : weSkip;
    if (answer.Checked) {
      Controls.WhenExists.SetItemIndex(when);
      SaveSettings();
    }
  }
  if (when == weSkip) {
    for (TPlanned& planned : APlan) {
      std::error_code error;
      planned.Skip = fs::exists(fs::symlink_status(planned.Destination, error));
    }
  }
  return true;
}

void TForm1::Lock(bool ALocked) {
  Controls.files.SetEnabled(!ALocked);
  for (TControl* control :
       {static_cast<TControl*>(&Controls.Rate), static_cast<TControl*>(&Controls.Channels),
        static_cast<TControl*>(&Controls.FilesAtOnce),
        static_cast<TControl*>(&Controls.WhenExists)})
    control->SetEnabled(!ALocked);
  for (TComboBox* box : {&Controls.Bitrate, &Controls.Quality, &Controls.BlockSize, &Controls.Bits})
    box->SetEnabled(!ALocked && box->Count() > 1);
  for (TControl* control : Controls.Locked)
    control->SetEnabled(!ALocked);
  Controls.StartBtn.SetCaption(ALocked ? "&Stop" : "&Start Compress");
}

void TForm1::StartBtnClick() {
  FActivity = "starting the compression";
  if (Running()) {
    FBatch->Stop();
    Controls.StatusBar1.SetSimpleText("Stopping...");
    return;
  }
  std::vector<TPlanned> plan;
  if (!Plan(plan)) return;
  std::vector<TWindowBatch::TFile> files;
  for (const TPlanned& planned : plan)
    files.push_back({Controls.files.Item(planned.Row), planned.Destination, planned.Skip});
  const int32_t jobs = Controls.FilesAtOnce.ItemIndex() + 1;
  Controls.StatusBar1.SetSimpleText("Starting compression...");
  FPlan = plan;
  FStarted = std::chrono::steady_clock::now();
  FBatch = std::make_unique<TWindowBatch>(*FCompression, std::move(files), CurrentCodec, Options(),
                                          jobs, Controls.output.GetCaption());
  Lock(true);
  Controls.Timer.SetEnabled(true);
  ShowProgress();
}

void TForm1::TimerTick() {
  FActivity = "showing the progress";
  if (!FBatch) return Controls.Timer.SetEnabled(false);
  if (FBatch->Finished()) return FinishBatch();
  ShowProgress();
}

void TForm1::ShowProgress() {
  const std::vector<TFileReport> reports = FBatch->Reports();
  int64_t total = 0, done = 0;
  for (size_t i = 0; i < reports.size(); ++i) {
    const TFileReport& report = reports[i];
    const int32_t row = FPlan[i].Row;
    const std::string text = StateText(report, Controls.files.Item(row));
    if (Controls.files.Cell(row, colState) != text) Controls.files.SetCell(row, colState, text);
    if (report.State == TFileState::Skipped) continue;
    total += report.Size;
    done += report.State == TFileState::Done || report.State == TFileState::Failed ? report.Size
                                                                                   : report.Copied;
  }
  const int32_t permille = total > 0 ? static_cast<int32_t>(done * 1000 / total) : 0;
  std::string left;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - FStarted).count();
  if (done > 0 && seconds >= 1) {
    const double remaining = seconds * static_cast<double>(total - done) / done;
    left = remaining < 60 ? std::to_string(static_cast<int>(remaining + 0.5)) + " s left"
                          : "about " + Duration(remaining) + " left";
  }
  Controls.Progress.SetProgress(permille, left);
  SetWindowTextA(FHandle, (std::to_string(permille / 10) + "% - " + Title).c_str());
  if (FBatch->Stopped()) return;
  const int32_t current = FBatch->Current();
  if (current >= 0) {
    const int32_t running = static_cast<int32_t>(
        std::count_if(reports.begin(), reports.end(),
                      [](const TFileReport& A) { return A.State == TFileState::Running; }));
    std::string text = "Compressing " + ExtractBaseName(Controls.files.Item(FPlan[current].Row));
    if (running > 1) text += " and " + Plural(running - 1, "other file", "other files");
    Controls.StatusBar1.SetSimpleText(text);
  }
}

void TForm1::WaitForBatch() {
  if (FBatch) FBatch->Wait();
}

void TForm1::FinishBatch() {
  FBatch->Wait();
  ShowProgress();
  const std::vector<TFileReport> reports = FBatch->Reports();
  const bool stopped = FBatch->Stopped();
  FBatch.reset();
  Controls.Timer.SetEnabled(false);
  Lock(false);
  SetWindowTextA(FHandle, Title);
  int32_t done = 0, skipped = 0, failed = 0, warned = 0;
  std::string reasons, warnings;
  for (size_t i = 0; i < reports.size(); ++i) {
    switch (reports[i].State) {
      case TFileState::Done:
        ++done;
        if (!reports[i].Warning.empty()) {
          ++warned;
          warnings += "\r" + reports[i].Warning;
        }
        break;
      case TFileState::Skipped:
        ++skipped;
        break;
      case TFileState::Failed:
        ++failed;
        reasons += "\r" + reports[i].Reason;
        break;
      default:
        // Never started before the stop: no longer waiting.
        if (stopped) Controls.files.SetCell(FPlan[i].Row, colState, "stopped");
        break;
    }
  }
  const std::string counts = Plural(done, "file", "files") + " done, " + std::to_string(skipped) +
                             " skipped, " + std::to_string(failed) + " failed";
  if (stopped) {
    Controls.Progress.SetProgress(0, "");
    Controls.StatusBar1.SetSimpleText(
        "Stopped: " + std::to_string(done) + " of " +
        Plural(static_cast<int64_t>(reports.size()), "file", "files") + " done");
    return;
  }
  Controls.Progress.SetProgress(1000, "");
  Controls.StatusBar1.SetSimpleText(failed == 0 ? std::string("Compression completed")
                                                : "Compression completed with " +
                                                      Plural(failed, "failure", "failures"));
  const std::string output = Controls.output.GetCaption();
  std::string text = "Compression completed: " + counts + ".";
  if (skipped > 0) text += "\rSkipped files were left alone: their outputs exist.";
  if (warned > 0) text += "\r\rWarnings:" + warnings;
  if (failed > 0) text += "\r\rFailed:" + reasons;
  const TAnswer answer =
      Application ? Application->Ask({text, {"&Open output folder", "OK"}, 1, ""}) : TAnswer{1};
  if (answer.Button == 0) Application->OpenFolder(output);
}

bool TForm1::CloseQuery(bool AAsk) {
  FActivity = "closing the window";
  if (Running() && AAsk && Application) {
    // The batch is not finished behind the question, so its summary does not come up.
    Controls.Timer.SetEnabled(false);
    const bool stop =
        Application->Ask({"Stop the batch and quit?", {"&Yes", "&No"}, 1, ""}).Button == 0;
    Controls.Timer.SetEnabled(true);
    if (!stop) return false;
  }
  if (Running()) {
    FBatch->Stop();
    FBatch->Wait();
    ShowProgress();
    FBatch.reset();
    Controls.Timer.SetEnabled(false);
  }
  SaveSettings();
  return true;
}
