#pragma once

// What the manager knows of a codec: a driver declares its format tags as data and makes
// per-stream converters. The manager keeps the drivers in a table (built-in ones first in
// platform/acm/drivers/Builtin.cpp); tests and plug-ins add and remove their own here.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/acm/Acm.h"

namespace acm {

// The byte size of a record: 18 for PCM (whatever its cbSize), else 18 + cbSize.
uint32_t RecordSize(const WAVEFORMATEX& format);

// An owned copy of one format record.
class FormatRecord {
 public:
  FormatRecord() = default;
  // Copies RecordSize(format) bytes from format.
  explicit FormatRecord(const WAVEFORMATEX& format);
  // A header and its cbSize extra bytes (extra must hold header.cbSize bytes; PCM takes none).
  FormatRecord(const WAVEFORMATEX& header, std::span<const uint8_t> extra);

  bool Empty() const { return bytes_.empty(); }
  const WAVEFORMATEX& Get() const { return *reinterpret_cast<const WAVEFORMATEX*>(bytes_.data()); }
  const uint8_t* Bytes() const { return bytes_.data(); }
  uint32_t Size() const { return static_cast<uint32_t>(bytes_.size()); }
  friend bool operator==(const FormatRecord&, const FormatRecord&) = default;

 private:
  std::vector<uint8_t> bytes_;
};

// Typed access to the codec records of Acm.h (a WAVEFORMATEX, then the codec's fields), so that
// no driver reads or writes a record's extra bytes by offset.
template <class Record>
concept CodecRecord = std::is_trivially_copyable_v<Record> && sizeof(Record) > sizeof(WAVEFORMATEX);

// The record's fields, or none when its cbSize ends before them (PCM records have none).
template <CodecRecord Record>
std::optional<Record> ReadRecord(const WAVEFORMATEX& format) {
  if (RecordSize(format) < sizeof(Record)) return std::nullopt;
  Record record;
  std::memcpy(&record, &format, sizeof record);
  return record;
}

// count items of a list that starts offset bytes into the record (the extra coefficient pairs
// of a record that carries more than its struct declares), or none when cbSize ends before.
template <class Item>
std::optional<std::vector<Item>> ReadRecordItems(const WAVEFORMATEX& format, size_t offset,
                                                 size_t count) {
  static_assert(std::is_trivially_copyable_v<Item>);
  if (RecordSize(format) < offset + count * sizeof(Item)) return std::nullopt;
  std::vector<Item> items(count);
  if (count != 0)
    std::memcpy(items.data(), reinterpret_cast<const uint8_t*>(&format) + offset,
                count * sizeof(Item));
  return items;
}

// The complete record, its cbSize set to the bytes the struct declares beyond the header.
template <CodecRecord Record>
FormatRecord WriteRecord(const Record& record) {
  WAVEFORMATEX header;
  std::memcpy(&header, &record, sizeof header);
  header.cbSize = sizeof(Record) - sizeof(WAVEFORMATEX);
  return FormatRecord(header, {reinterpret_cast<const uint8_t*>(&record) + sizeof header,
                               sizeof(Record) - sizeof header});
}

// Whether a flag word (fdwConvert, fdwSuggest, ...) holds a flag.
constexpr bool HasFlag(uint32_t flags, uint32_t flag) {
  return (flags & flag) != 0;
}

// One format tag a driver carries, as data: what the codec-choice dialog lists, what
// suggestions clamp to, and the largest record acmMetrics answers. A driver names its fields
// (designated initializers); those it leaves out keep what most codecs carry.
struct TagCaps {
  uint16_t tag;
  std::string name;  // the format tag's name in the dialog, at most 47 characters
  uint32_t min_rate = 1000;
  uint32_t max_rate = 192000;
  uint16_t min_channels = 1;
  uint16_t max_channels = 2;
  std::vector<uint16_t> bits;                   // bits per sample its records carry, lowest first
  uint32_t format_size = sizeof(WAVEFORMATEX);  // bytes of its largest record
  uint32_t support = ACMDRIVERDETAILS_SUPPORTF_CODEC;  // ACMDRIVERDETAILS_SUPPORTF_*
  // The only rates it carries, lowest first, for codecs with a fixed set; empty: every rate
  // from min_rate to max_rate.
  std::vector<uint32_t> rates = {};
  // The tag's name on command lines, such as "mulaw"; empty: CommandName derives it.
  std::string command_name = {};
};

// The tag's name on command lines: its command_name, or else its name in lower case with a
// hyphen for each run of other characters ("IMA ADPCM" is "ima-adpcm").
std::string CommandName(const TagCaps& caps);

// Whether the caps carry a rate, and the carried rate nearest to one (the lower on a tie).
bool CarriesRate(const TagCaps& caps, uint32_t rate);
uint32_t NearestRate(const TagCaps& caps, uint32_t rate);

// One call of acmStreamConvert, as the driver sees it. The converter sets the two used counts;
// neither may exceed its length.
struct ConvertCall {
  const uint8_t* source;
  uint32_t source_length;
  uint32_t source_used;
  uint8_t* destination;
  uint32_t destination_length;
  uint32_t destination_used;
  uint32_t flags;  // ACM_STREAMCONVERTF_BLOCKALIGN, _START, _END
};

// The per-stream state of one open conversion. One thread uses it at a time.
class Converter {
 public:
  virtual ~Converter() = default;
  // The most destination bytes that source_bytes source bytes produce.
  virtual uint64_t DestinationSize(uint64_t source_bytes) const = 0;
  // The most source bytes whose output fits destination_bytes (0 when not one block fits).
  virtual uint64_t SourceSize(uint64_t destination_bytes) const = 0;
  // Converts. With BLOCKALIGN only whole source blocks are used (an encoder's source block is a
  // frame: it keeps frames short of a codec block for the next call); without it a final
  // partial block is converted too (an encoder pads its last block with the last frame); END
  // also flushes what the converter holds. Output that does not fit the destination is kept
  // and delivered first by the next call.
  virtual MMRESULT Convert(ConvertCall& call) = 0;
};

// A codec: its tags as data, and suggest and open on records. Records passed in are complete
// in memory (RecordSize bytes) but not yet checked: a driver refuses what it cannot read.
class Driver {
 public:
  virtual ~Driver() = default;

  virtual std::span<const TagCaps> Tags() const = 0;

  // Fills result with the complete format that source converts to in one stream of this
  // driver, with the fields of templ named by flags (ACM_FORMATSUGGESTF_*) fixed. The
  // manager asks the drivers of the template's tag, then those of the source's tag.
  virtual MMRESULT Suggest(const WAVEFORMATEX& source, const WAVEFORMATEX& templ, uint32_t flags,
                           FormatRecord& result) const = 0;

  // Opens a conversion from source to destination, or answers why not (ACMERR_NOTPOSSIBLE for
  // a pair it does not convert). A null converter asks only whether it could.
  virtual MMRESULT Open(const WAVEFORMATEX& source, const WAVEFORMATEX& destination,
                        std::unique_ptr<Converter>* converter) const = 0;

  // The formats of one of its tags that the codec-choice dialog lists.
  virtual std::vector<FormatRecord> ListFormats(uint16_t tag) const;
  // A format's description in the dialog, such as "44,100 Hz, 4 Bit, Stereo".
  virtual std::string Describe(const WAVEFORMATEX& format) const;
};

// The driver table. A registered driver is asked before the built-in ones, so a test can
// stand in for any tag; the same driver object is registered at most once.
void RegisterDriver(std::shared_ptr<Driver> driver);
// Removes a registered driver; false when it was not registered. Streams it opened stay
// usable until they are closed.
bool UnregisterDriver(const Driver* driver);
// The table as it stands: registered drivers, newest first, then the built-in ones.
std::vector<std::shared_ptr<Driver>> Drivers();

// Registers a driver for the life of the object: what tests use for fake codecs.
class ScopedDriver {
 public:
  explicit ScopedDriver(std::shared_ptr<Driver> driver);
  ~ScopedDriver();
  ScopedDriver(const ScopedDriver&) = delete;
  ScopedDriver& operator=(const ScopedDriver&) = delete;
  Driver& Get() const { return *driver_; }

 private:
  std::shared_ptr<Driver> driver_;
};

// The codec-choice dialog: the desktop program installs one; acmFormatChooseA runs it on the
// caller's thread. It answers 0 after storing the choice (StoreFormatChoice), or an error
// such as ACMERR_CANCELED.
using FormatChooseDialog = std::function<MMRESULT(ACMFORMATCHOOSEA& choose)>;
// Installs the dialog (an empty function removes it) and answers the one installed before.
FormatChooseDialog SetFormatChooseDialog(FormatChooseDialog dialog);

// One entry of the dialog's list.
struct FormatChoice {
  std::string tag_name;
  std::string format_name;
  FormatRecord format;
};
// What the dialog lists for a request: every format of every tag, narrowed by its fdwEnum
// flags and pwfxEnum record as acmFormatEnumA narrows them. An impossible request lists none.
std::vector<FormatChoice> ListFormatChoices(const ACMFORMATCHOOSEA& choose);
// Stores a choice into the request: the record into pwfx (MMSYSERR_INVALPARAM when it does not
// fit cbwfx), the names into szFormatTag and szFormat, and the name into pszName when given.
MMRESULT StoreFormatChoice(ACMFORMATCHOOSEA& choose, const FormatChoice& choice);

}  // namespace acm
