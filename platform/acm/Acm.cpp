#include "platform/acm/Acm.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_map>

#include "platform/acm/AcmDriver.h"
#include "platform/acm/drivers/Builtin.h"

using acm::Driver;
using acm::FormatRecord;

// An open conversion. The driver outlives the converter it made, even when it is unregistered
// meanwhile.
struct HACMSTREAM__ {
  struct Prepared {
    const ACMSTREAMHEADER* header;
    uint8_t* source;
    uint32_t source_length;
    uint8_t* destination;
    uint32_t destination_length;
  };

  std::shared_ptr<Driver> driver;
  std::unique_ptr<acm::Converter> converter;
  std::vector<Prepared> prepared;
  bool busy = false;  // a call is running on it; guarded by the stream table's lock

  Prepared* Find(const ACMSTREAMHEADER* header) {
    for (Prepared& p : prepared)
      if (p.header == header) return &p;
    return nullptr;
  }
};

namespace {

constexpr uint32_t kSuggestFields = ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                                    ACM_FORMATSUGGESTF_NSAMPLESPERSEC |
                                    ACM_FORMATSUGGESTF_WBITSPERSAMPLE;
constexpr uint32_t kEnumFields = ACM_FORMATENUMF_WFORMATTAG | ACM_FORMATENUMF_NCHANNELS |
                                 ACM_FORMATENUMF_NSAMPLESPERSEC | ACM_FORMATENUMF_WBITSPERSAMPLE;
constexpr uint32_t kEnumDevices =
    ACM_FORMATENUMF_HARDWARE | ACM_FORMATENUMF_INPUT | ACM_FORMATENUMF_OUTPUT;
constexpr uint32_t kEnumFlags =
    kEnumFields | ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_SUGGEST | kEnumDevices;

// The driver table and the installed dialog.
class Registry {
 public:
  static Registry& Get() {
    static Registry registry;
    return registry;
  }

  std::vector<std::shared_ptr<Driver>> Drivers() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::shared_ptr<Driver>> all(registered_);
    all.insert(all.end(), builtin_.begin(), builtin_.end());
    return all;
  }

  void Register(std::shared_ptr<Driver> driver) {
    if (!driver) return;
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& d : registered_)
      if (d == driver) return;
    registered_.insert(registered_.begin(), std::move(driver));
  }

  bool Unregister(const Driver* driver) {
    std::lock_guard<std::mutex> hold(lock_);
    const auto it = std::find_if(registered_.begin(), registered_.end(),
                                 [&](const auto& d) { return d.get() == driver; });
    if (it == registered_.end()) return false;
    registered_.erase(it);
    return true;
  }

  acm::FormatChooseDialog SwapDialog(acm::FormatChooseDialog dialog) {
    std::lock_guard<std::mutex> hold(lock_);
    std::swap(dialog, dialog_);
    return dialog;
  }

  acm::FormatChooseDialog Dialog() {
    std::lock_guard<std::mutex> hold(lock_);
    return dialog_;
  }

 private:
  Registry() : builtin_(acm::MakeBuiltinDrivers()) {}

  std::mutex lock_;
  std::vector<std::shared_ptr<Driver>> registered_;  // newest first
  std::vector<std::shared_ptr<Driver>> builtin_;
  acm::FormatChooseDialog dialog_;
};

// The open streams; a call marks its stream busy so that closing it or a second call on it
// from another thread is refused rather than racing.
class Streams {
 public:
  static Streams& Get() {
    static Streams streams;
    return streams;
  }

  HACMSTREAM Add(std::unique_ptr<HACMSTREAM__> stream) {
    HACMSTREAM handle = stream.get();
    std::lock_guard<std::mutex> hold(lock_);
    open_.emplace(handle, std::move(stream));
    return handle;
  }

  MMRESULT Acquire(HACMSTREAM handle) {
    std::lock_guard<std::mutex> hold(lock_);
    const auto it = open_.find(handle);
    if (it == open_.end()) return MMSYSERR_INVALHANDLE;
    if (it->second->busy) return ACMERR_BUSY;
    it->second->busy = true;
    return MMSYSERR_NOERROR;
  }

  void Release(HACMSTREAM handle) {
    std::lock_guard<std::mutex> hold(lock_);
    handle->busy = false;
  }

  MMRESULT Remove(HACMSTREAM handle, std::unique_ptr<HACMSTREAM__>& removed) {
    std::lock_guard<std::mutex> hold(lock_);
    const auto it = open_.find(handle);
    if (it == open_.end()) return MMSYSERR_INVALHANDLE;
    if (it->second->busy) return ACMERR_BUSY;
    removed = std::move(it->second);
    open_.erase(it);
    return MMSYSERR_NOERROR;
  }

 private:
  std::mutex lock_;
  std::unordered_map<HACMSTREAM, std::unique_ptr<HACMSTREAM__>> open_;
};

// One call's hold on a stream.
class StreamUse {
 public:
  explicit StreamUse(HACMSTREAM handle)
      : handle_(handle), result_(Streams::Get().Acquire(handle)) {}
  ~StreamUse() {
    if (result_ == MMSYSERR_NOERROR) Streams::Get().Release(handle_);
  }
  StreamUse(const StreamUse&) = delete;
  StreamUse& operator=(const StreamUse&) = delete;
  MMRESULT Result() const { return result_; }
  HACMSTREAM__& Stream() const { return *handle_; }

 private:
  HACMSTREAM handle_;
  MMRESULT result_;
};

bool Carries(const Driver& driver, uint16_t tag) {
  for (const acm::TagCaps& caps : driver.Tags())
    if (caps.tag == tag) return true;
  return false;
}

// The drivers to ask about a conversion: those carrying the first tag, then those carrying
// the second, then the rest, each group in table order.
std::vector<std::shared_ptr<Driver>> Candidates(uint16_t first, uint16_t second) {
  auto drivers = Registry::Get().Drivers();
  auto rank = [&](const std::shared_ptr<Driver>& d) {
    return Carries(*d, first) ? 0 : Carries(*d, second) ? 1 : 2;
  };
  std::stable_sort(drivers.begin(), drivers.end(),
                   [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
  return drivers;
}

MMRESULT SuggestRecord(const FormatRecord& source, WAVEFORMATEX templ, uint32_t flags,
                       FormatRecord& result) {
  if (!(flags & ACM_FORMATSUGGESTF_WFORMATTAG)) {
    templ.wFormatTag = WAVE_FORMAT_PCM;
    flags |= ACM_FORMATSUGGESTF_WFORMATTAG;
  }
  for (const auto& driver : Candidates(templ.wFormatTag, source.Get().wFormatTag)) {
    FormatRecord made;
    if (driver->Suggest(source.Get(), templ, flags, made) == MMSYSERR_NOERROR && !made.Empty() &&
        made.Get().wFormatTag == templ.wFormatTag) {
      result = std::move(made);
      return MMSYSERR_NOERROR;
    }
  }
  return ACMERR_NOTPOSSIBLE;
}

// What a driver's set-up or conversion raises (a codec library refusing, memory) is answered
// as a result code: no driver lets an exception through the manager's calls.
template <class Call>
MMRESULT Guarded(Call&& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  } catch (...) {
    return MMSYSERR_ERROR;
  }
}

MMRESULT OpenWith(const Driver& driver, const FormatRecord& source, const FormatRecord& destination,
                  std::unique_ptr<acm::Converter>* converter) {
  return Guarded([&] { return driver.Open(source.Get(), destination.Get(), converter); });
}

MMRESULT OpenConverter(const FormatRecord& source, const FormatRecord& destination,
                       std::unique_ptr<acm::Converter>* converter,
                       std::shared_ptr<Driver>* opened) {
  for (const auto& driver : Candidates(destination.Get().wFormatTag, source.Get().wFormatTag)) {
    if (OpenWith(*driver, source, destination, converter) == MMSYSERR_NOERROR &&
        (!converter || *converter)) {
      if (opened) *opened = driver;
      return MMSYSERR_NOERROR;
    }
  }
  return ACMERR_NOTPOSSIBLE;
}

void CopyText(char* destination, size_t capacity, const std::string& text) {
  if (capacity == 0) return;
  const size_t n = std::min(capacity - 1, text.size());
  std::memcpy(destination, text.data(), n);
  destination[n] = 0;
}

// The format tags of the table, each with the first driver that carries it.
struct ListedTag {
  std::shared_ptr<Driver> driver;
  acm::TagCaps caps;
};

std::vector<ListedTag> ListTags() {
  std::vector<ListedTag> tags;
  for (const auto& driver : Registry::Get().Drivers())
    for (const acm::TagCaps& caps : driver->Tags())
      if (std::none_of(tags.begin(), tags.end(),
                       [&](const auto& t) { return t.caps.tag == caps.tag; }))
        tags.push_back({driver, caps});
  return tags;
}

bool FieldsMatch(const WAVEFORMATEX& format, const WAVEFORMATEX& restriction, uint32_t flags) {
  return (!(flags & ACM_FORMATENUMF_NCHANNELS) || format.nChannels == restriction.nChannels) &&
         (!(flags & ACM_FORMATENUMF_NSAMPLESPERSEC) ||
          format.nSamplesPerSec == restriction.nSamplesPerSec) &&
         (!(flags & ACM_FORMATENUMF_WBITSPERSAMPLE) ||
          format.wBitsPerSample == restriction.wBitsPerSample);
}

// What a format enumeration lists.
std::vector<acm::FormatChoice> Enumerate(uint32_t flags, const FormatRecord* restriction) {
  std::vector<acm::FormatChoice> choices;
  if (flags & kEnumDevices) return choices;  // no devices
  const bool by_source = flags & (ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_SUGGEST);
  if ((flags & (kEnumFields | by_source)) && (!restriction || restriction->Empty())) return choices;
  const uint16_t only_tag = flags & ACM_FORMATENUMF_WFORMATTAG ? restriction->Get().wFormatTag : 0;
  for (const ListedTag& listed : ListTags()) {
    const uint16_t tag = listed.caps.tag;
    if (only_tag != 0 && tag != only_tag) continue;
    auto add = [&](FormatRecord format) {
      choices.push_back(
          {listed.caps.name, listed.driver->Describe(format.Get()), std::move(format)});
    };
    if (flags & ACM_FORMATENUMF_SUGGEST) {
      WAVEFORMATEX templ = restriction->Get();
      templ.wFormatTag = tag;
      FormatRecord suggested;
      const uint32_t fixed = ACM_FORMATSUGGESTF_WFORMATTAG | (flags & kEnumFields);
      if (SuggestRecord(*restriction, templ, fixed, suggested) == MMSYSERR_NOERROR)
        add(std::move(suggested));
      continue;
    }
    for (FormatRecord& format : listed.driver->ListFormats(tag)) {
      if (restriction && !FieldsMatch(format.Get(), restriction->Get(), flags)) continue;
      if ((flags & ACM_FORMATENUMF_CONVERT) &&
          OpenConverter(*restriction, format, nullptr, nullptr) != MMSYSERR_NOERROR)
        continue;
      add(std::move(format));
    }
  }
  return choices;
}

MMRESULT StoreRecord(const FormatRecord& format, WAVEFORMATEX* buffer, uint32_t capacity) {
  if (format.Size() > capacity) return MMSYSERR_INVALPARAM;
  std::memcpy(buffer, format.Bytes(), format.Size());
  return MMSYSERR_NOERROR;
}

}  // namespace

// ---- Driver table and dialog

namespace acm {

void RegisterDriver(std::shared_ptr<Driver> driver) {
  Registry::Get().Register(std::move(driver));
}

bool UnregisterDriver(const Driver* driver) {
  return Registry::Get().Unregister(driver);
}

std::vector<std::shared_ptr<Driver>> Drivers() {
  return Registry::Get().Drivers();
}

ScopedDriver::ScopedDriver(std::shared_ptr<Driver> driver) : driver_(std::move(driver)) {
  RegisterDriver(driver_);
}

ScopedDriver::~ScopedDriver() {
  UnregisterDriver(driver_.get());
}

FormatChooseDialog SetFormatChooseDialog(FormatChooseDialog dialog) {
  return Registry::Get().SwapDialog(std::move(dialog));
}

std::vector<FormatChoice> ListFormatChoices(const ACMFORMATCHOOSEA& choose) {
  std::optional<FormatRecord> restriction;
  if (choose.pwfxEnum) restriction.emplace(*choose.pwfxEnum);
  return Enumerate(choose.fdwEnum, restriction ? &*restriction : nullptr);
}

MMRESULT StoreFormatChoice(ACMFORMATCHOOSEA& choose, const FormatChoice& choice) {
  if (!choose.pwfx) return MMSYSERR_INVALPARAM;
  if (const MMRESULT r = StoreRecord(choice.format, choose.pwfx, choose.cbwfx)) return r;
  CopyText(choose.szFormatTag, sizeof choose.szFormatTag, choice.tag_name);
  CopyText(choose.szFormat, sizeof choose.szFormat, choice.format_name);
  if (choose.pszName) CopyText(choose.pszName, choose.cchName, "");
  return MMSYSERR_NOERROR;
}

}  // namespace acm

// ---- Host calls

MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric) {
  if (hao != nullptr) return MMSYSERR_INVALHANDLE;
  if (pMetric == nullptr) return MMSYSERR_INVALPARAM;
  if (uMetric != ACM_METRIC_MAX_SIZE_FORMAT) return MMSYSERR_NOTSUPPORTED;
  uint32_t largest = sizeof(WAVEFORMATEX);
  for (const auto& driver : Registry::Get().Drivers())
    for (const acm::TagCaps& caps : driver->Tags())
      largest = std::max(largest, caps.format_size);
  std::memcpy(pMetric, &largest, sizeof largest);
  return MMSYSERR_NOERROR;
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest) {
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (fdwSuggest & ~kSuggestFields) return MMSYSERR_INVALFLAG;
  if (!pwfxSrc || !pwfxDst || cbwfxDst < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
  const FormatRecord source(*pwfxSrc);
  FormatRecord result;
  if (const MMRESULT r = SuggestRecord(source, *pwfxDst, fdwSuggest, result)) return r;
  return StoreRecord(result, pwfxDst, cbwfxDst);
}

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t /*dwCallback*/,
                       uintptr_t /*dwInstance*/, uint32_t fdwOpen) {
  const bool query = fdwOpen & ACM_STREAMOPENF_QUERY;
  if (phas) *phas = nullptr;
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (fdwOpen & ACM_STREAMOPENF_ASYNC) return MMSYSERR_NOTSUPPORTED;
  if (fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_NONREALTIME)) return MMSYSERR_INVALFLAG;
  if (pwfltr) return MMSYSERR_NOTSUPPORTED;
  if (!pwfxSrc || !pwfxDst || (!query && !phas)) return MMSYSERR_INVALPARAM;
  const FormatRecord source(*pwfxSrc), destination(*pwfxDst);
  if (query) return OpenConverter(source, destination, nullptr, nullptr);
  auto stream = std::make_unique<HACMSTREAM__>();
  if (const MMRESULT r = OpenConverter(source, destination, &stream->converter, &stream->driver))
    return r;
  *phas = Streams::Get().Add(std::move(stream));
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose) {
  if (fdwClose != 0) return MMSYSERR_INVALFLAG;
  std::unique_ptr<HACMSTREAM__> closed;
  return Streams::Get().Remove(has, closed);
}

MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes,
                       uint32_t fdwSize) {
  StreamUse use(has);
  if (use.Result()) return use.Result();
  if (!pdwOutputBytes) return MMSYSERR_INVALPARAM;
  uint64_t size;
  if (fdwSize == ACM_STREAMSIZEF_SOURCE)
    size = use.Stream().converter->DestinationSize(cbInput);
  else if (fdwSize == ACM_STREAMSIZEF_DESTINATION)
    size = use.Stream().converter->SourceSize(cbInput);
  else
    return MMSYSERR_INVALFLAG;
  if (size > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
  *pdwOutputBytes = static_cast<uint32_t>(size);
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare) {
  StreamUse use(has);
  if (use.Result()) return use.Result();
  if (!pash || pash->cbStruct < ACMSTREAMHEADER_MIN_CBSTRUCT) return MMSYSERR_INVALPARAM;
  if (fdwPrepare != 0) return MMSYSERR_INVALFLAG;
  if (use.Stream().Find(pash)) return MMSYSERR_NOERROR;
  if (!pash->pbDst || pash->cbDstLength == 0 || (!pash->pbSrc && pash->cbSrcLength != 0))
    return MMSYSERR_INVALPARAM;
  use.Stream().prepared.push_back(
      {pash, pash->pbSrc, pash->cbSrcLength, pash->pbDst, pash->cbDstLength});
  pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare) {
  StreamUse use(has);
  if (use.Result()) return use.Result();
  if (!pash || pash->cbStruct < ACMSTREAMHEADER_MIN_CBSTRUCT) return MMSYSERR_INVALPARAM;
  if (fdwUnprepare != 0) return MMSYSERR_INVALFLAG;
  HACMSTREAM__::Prepared* prepared = use.Stream().Find(pash);
  if (!prepared) return ACMERR_UNPREPARED;
  if (pash->pbSrc != prepared->source || pash->cbSrcLength != prepared->source_length ||
      pash->pbDst != prepared->destination || pash->cbDstLength != prepared->destination_length)
    return MMSYSERR_INVALPARAM;
  auto& all = use.Stream().prepared;
  all.erase(all.begin() + (prepared - all.data()));
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert) {
  StreamUse use(has);
  if (use.Result()) return use.Result();
  if (!pash || pash->cbStruct < ACMSTREAMHEADER_MIN_CBSTRUCT) return MMSYSERR_INVALPARAM;
  if (fdwConvert &
      ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END))
    return MMSYSERR_INVALFLAG;
  const HACMSTREAM__::Prepared* prepared = use.Stream().Find(pash);
  if (!prepared) return ACMERR_UNPREPARED;
  // The buffers stay those prepared; the lengths may shrink, never grow.
  if (pash->pbSrc != prepared->source || pash->cbSrcLength > prepared->source_length ||
      pash->pbDst != prepared->destination || pash->cbDstLength > prepared->destination_length)
    return MMSYSERR_INVALPARAM;
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
  acm::ConvertCall call{pash->pbSrc, pash->cbSrcLength, 0, pash->pbDst, pash->cbDstLength,
                        0,           fdwConvert};
  const MMRESULT result = Guarded([&] { return use.Stream().converter->Convert(call); });
  if (call.source_used > call.source_length || call.destination_used > call.destination_length)
    return MMSYSERR_ERROR;
  pash->cbSrcLengthUsed = call.source_used;
  pash->cbDstLengthUsed = call.destination_used;
  pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return result;
}

MMRESULT acmFormatTagEnumA(HACMDRIVER had, ACMFORMATTAGDETAILSA* paftd,
                           ACMFORMATTAGENUMCBA fnCallback, uintptr_t dwInstance, uint32_t fdwEnum) {
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (!paftd || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILSA) || !fnCallback)
    return MMSYSERR_INVALPARAM;
  if (fdwEnum != 0) return MMSYSERR_INVALFLAG;
  const auto tags = ListTags();
  for (size_t i = 0; i < tags.size(); ++i) {
    paftd->dwFormatTagIndex = static_cast<uint32_t>(i);
    paftd->dwFormatTag = tags[i].caps.tag;
    paftd->cbFormatSize = tags[i].caps.format_size;
    paftd->fdwSupport = tags[i].caps.support;
    paftd->cStandardFormats =
        static_cast<uint32_t>(tags[i].driver->ListFormats(tags[i].caps.tag).size());
    CopyText(paftd->szFormatTag, sizeof paftd->szFormatTag, tags[i].caps.name);
    if (!fnCallback(nullptr, paftd, dwInstance, tags[i].caps.support)) break;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT acmFormatTagDetailsA(HACMDRIVER had, ACMFORMATTAGDETAILSA* paftd, uint32_t fdwDetails) {
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (!paftd || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILSA)) return MMSYSERR_INVALPARAM;
  const auto tags = ListTags();
  const ListedTag* found = nullptr;
  switch (fdwDetails) {
    case ACM_FORMATTAGDETAILSF_INDEX:
      if (paftd->dwFormatTagIndex < tags.size()) found = &tags[paftd->dwFormatTagIndex];
      break;
    case ACM_FORMATTAGDETAILSF_FORMATTAG:
      for (const auto& t : tags)
        if (t.caps.tag == paftd->dwFormatTag) found = &t;
      break;
    case ACM_FORMATTAGDETAILSF_LARGESTSIZE:
      for (const auto& t : tags)
        if ((paftd->dwFormatTag == 0 || t.caps.tag == paftd->dwFormatTag) &&
            (!found || t.caps.format_size > found->caps.format_size))
          found = &t;
      break;
    default:
      return MMSYSERR_INVALFLAG;
  }
  if (!found) return ACMERR_NOTPOSSIBLE;
  paftd->dwFormatTagIndex = static_cast<uint32_t>(found - tags.data());
  paftd->dwFormatTag = found->caps.tag;
  paftd->cbFormatSize = found->caps.format_size;
  paftd->fdwSupport = found->caps.support;
  paftd->cStandardFormats =
      static_cast<uint32_t>(found->driver->ListFormats(found->caps.tag).size());
  CopyText(paftd->szFormatTag, sizeof paftd->szFormatTag, found->caps.name);
  return MMSYSERR_NOERROR;
}

MMRESULT acmFormatEnumA(HACMDRIVER had, ACMFORMATDETAILSA* pafd, ACMFORMATENUMCBA fnCallback,
                        uintptr_t dwInstance, uint32_t fdwEnum) {
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (!pafd || pafd->cbStruct < sizeof(ACMFORMATDETAILSA) || !fnCallback || !pafd->pwfx ||
      pafd->cbwfx < sizeof(WAVEFORMATEX))
    return MMSYSERR_INVALPARAM;
  if (fdwEnum & ~kEnumFlags) return MMSYSERR_INVALFLAG;
  std::optional<FormatRecord> restriction;
  if (fdwEnum & (kEnumFields | ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_SUGGEST)) {
    if (acm::RecordSize(*pafd->pwfx) > pafd->cbwfx) return MMSYSERR_INVALPARAM;
    restriction.emplace(*pafd->pwfx);
  }
  const auto choices = Enumerate(fdwEnum, restriction ? &*restriction : nullptr);
  const auto tags = ListTags();
  uint32_t index = 0;
  for (const acm::FormatChoice& choice : choices) {
    if (choice.format.Size() > pafd->cbwfx) continue;
    StoreRecord(choice.format, pafd->pwfx, pafd->cbwfx);
    pafd->dwFormatIndex = index++;
    pafd->dwFormatTag = choice.format.Get().wFormatTag;
    pafd->fdwSupport = 0;
    for (const auto& t : tags)
      if (t.caps.tag == pafd->dwFormatTag) pafd->fdwSupport = t.caps.support;
    CopyText(pafd->szFormat, sizeof pafd->szFormat, choice.format_name);
    if (!fnCallback(nullptr, pafd, dwInstance, pafd->fdwSupport)) break;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT acmFormatDetailsA(HACMDRIVER had, ACMFORMATDETAILSA* pafd, uint32_t fdwDetails) {
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (!pafd || pafd->cbStruct < sizeof(ACMFORMATDETAILSA) || !pafd->pwfx ||
      pafd->cbwfx < sizeof(WAVEFORMATEX))
    return MMSYSERR_INVALPARAM;
  const auto tags = ListTags();
  if (fdwDetails == ACM_FORMATDETAILSF_FORMAT) {
    if (acm::RecordSize(*pafd->pwfx) > pafd->cbwfx) return MMSYSERR_INVALPARAM;
    for (const auto& t : tags)
      if (t.caps.tag == pafd->pwfx->wFormatTag) {
        pafd->dwFormatTag = t.caps.tag;
        pafd->fdwSupport = t.caps.support;
        CopyText(pafd->szFormat, sizeof pafd->szFormat, t.driver->Describe(*pafd->pwfx));
        return MMSYSERR_NOERROR;
      }
    return ACMERR_NOTPOSSIBLE;
  }
  if (fdwDetails != ACM_FORMATDETAILSF_INDEX) return MMSYSERR_INVALFLAG;
  for (const auto& t : tags) {
    if (t.caps.tag != pafd->dwFormatTag) continue;
    const auto formats = t.driver->ListFormats(t.caps.tag);
    if (pafd->dwFormatIndex >= formats.size()) return ACMERR_NOTPOSSIBLE;
    const FormatRecord& format = formats[pafd->dwFormatIndex];
    if (const MMRESULT r = StoreRecord(format, pafd->pwfx, pafd->cbwfx)) return r;
    pafd->fdwSupport = t.caps.support;
    CopyText(pafd->szFormat, sizeof pafd->szFormat, t.driver->Describe(format.Get()));
    return MMSYSERR_NOERROR;
  }
  return ACMERR_NOTPOSSIBLE;
}

MMRESULT acmFormatChooseA(ACMFORMATCHOOSEA* pafmtc) {
  if (!pafmtc || pafmtc->cbStruct < ACMFORMATCHOOSEA_MIN_CBSTRUCT || !pafmtc->pwfx ||
      pafmtc->cbwfx < sizeof(WAVEFORMATEX))
    return MMSYSERR_INVALPARAM;
  if (pafmtc->fdwStyle &
      (ACMFORMATCHOOSE_STYLEF_ENABLEHOOK | ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATE |
       ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATEHANDLE))
    return MMSYSERR_NOTSUPPORTED;
  const acm::FormatChooseDialog dialog = Registry::Get().Dialog();
  if (!dialog) return ACMERR_CANCELED;
  return dialog(*pafmtc);
}
