#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/UKZObject.h"
#include "platform/rtl/Set.h"
#include "wave/UKZWaveFormat.h"

// The conversion path search: through which formats audio passes from a source wave format to
// a target template (a format in which only some fields are fixed). The codec manager's
// suggestions decide every step; where a codec refuses the source's PCM format, a ladder of
// standard PCM formats is walked until it accepts one.
//
// Every format or list returned is new and the caller's; none means the manager offered no
// answer. An incomplete source raises with an empty message; the worded messages ("_Suggest",
// "_QueryPCM", ...) guard preconditions that FindPath always keeps.
class HKZACMFormat {
 public:
  HKZACMFormat() = delete;

  // The formats after ASource, in the order the data passes through them; empty when no
  // conversion is needed; none when there is no path.
  static std::unique_ptr<TKZWaveFormatList> FindPath(const TKZWaveFormat& ASource,
                                                     const TKZWaveFormat& ATarget);

  // One suggestion: the complete format ASource converts to, with ATarget's basic fields fixed.
  // None for a target with no basic field set.
  static std::unique_ptr<TKZWaveFormat> SuggestFormat(const TKZWaveFormat& ASource,
                                                      const TKZWaveFormat& ATarget);
  // SuggestFormat for a target with a tag that is not a complete codec format ("_Suggest").
  static std::unique_ptr<TKZWaveFormat> Suggest(const TKZWaveFormat& ASource,
                                                const TKZWaveFormat& ATarget);
  // The PCM format a codec format decodes to ("_SuggestPCM" for a PCM source).
  static std::unique_ptr<TKZWaveFormat> SuggestPCM(const TKZWaveFormat& ASource);
  // A PCM format matching the PCM template ATarget decoded from the codec format ASource;
  // failing that, the one it decodes to ("_MultiSuggestPCM").
  static std::unique_ptr<TKZWaveFormat> MultiSuggestPCM(const TKZWaveFormat& ASource,
                                                        const TKZWaveFormat& ATarget);
  // The first PCM format on the ladder, from ASource up, then below it, from which the
  // incomplete codec template ATarget can be suggested ("_QueryPCM").
  static std::unique_ptr<TKZWaveFormat> QueryPCM(const TKZWaveFormat& ATarget,
                                                 const TKZWaveFormat& ASource);

  // One rung of one ladder row, in place; false when the value has no rung that way. Each
  // raises with its own name for a format that is not PCM.
  static bool IncreaseChannels(TKZWaveFormat& AFormat);
  static bool IncreaseBitsPerSample(TKZWaveFormat& AFormat);
  static bool IncreaseFrequency(TKZWaveFormat& AFormat);
  static bool DecreaseChannels(TKZWaveFormat& AFormat);
  static bool DecreaseBitsPerSample(TKZWaveFormat& AFormat);
  static bool DecreaseFrequency(TKZWaveFormat& AFormat);
  // One step on the whole ladder: channels first, then bits, then the rate.
  static bool IncreasePCMFormat(TKZWaveFormat& AFormat);
  static bool DecreasePCMFormat(TKZWaveFormat& AFormat);

  // Appends a copy of the complete AFormat unless it equals the list's last format.
  static void AppendFormat(TKZWaveFormatList& AList, const TKZWaveFormat& AFormat);

  // The builders of the decision tree: each appends to AList and answers success.
  static bool PathBySuggest(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                            const TKZWaveFormat& ATarget);
  static bool PathPCMToCodec(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                             const TKZWaveFormat& ATarget);
  static bool PathPCMToFullCodec(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                 const TKZWaveFormat& ATarget);
  static bool PathCodecToPCM(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                             const TKZWaveFormat& ATarget);
  static bool PathCodecToFullPCM(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                 const TKZWaveFormat& ATarget);
  static bool PathCodecToCodec(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                               const TKZWaveFormat& ATarget);
  static bool PathCodecToFullCodec(TKZWaveFormatList& AList, const TKZWaveFormat& ASource,
                                   const TKZWaveFormat& ATarget);
};

// The manager's view of a format: its record, PCM fields derived. Completing a PCM record
// changes only fields that follow from the others, so a const format may hand it out.
const WAVEFORMATEX* WaveRecordOf(const TKZWaveFormat& AFormat);

// ---- Codec format choice

// Which formats the codec-choice dialog lists; each adds its listing flag.
enum class TKZACMFormatChooseOption : uint8_t {
  foConvert,
  foSuggest,
  foHardware,
  foInput,
  foOutput
};
using TKZACMFormatChooseOptions = TSet<TKZACMFormatChooseOption>;

// The codec manager's format-choice dialog: the user picks a format among those the codecs
// offer, optionally starting on FFormat and restricted by FRestriction. Callers set the F
// fields before Execute and may read the names after it.
class TKZACMFormatChoose : public TKZObject {
 public:
  TKZACMFormatChoose();
  ~TKZACMFormatChoose() override;

  template <class T = TKZACMFormatChoose>
  static std::unique_ptr<T> Create() {
    return std::make_unique<T>();
  }

  // Shows the dialog; the chosen format, complete and the caller's, or none when the user
  // cancelled or the dialog failed. Raises (empty message) for an initial format that is set
  // but not complete, and, with foConvert or foSuggest, for a restriction that is not
  // complete.
  std::unique_ptr<TKZWaveFormat> Execute();
  void SetNames(const std::string& ATagName, const std::string& AFormatName);

  HWND FOwner = nullptr;
  std::unique_ptr<TKZWaveFormat> FFormat;
  std::string FTitle;
  TKZACMFormatChooseOptions FOptions;
  std::unique_ptr<TKZWaveFormat> FRestriction;
  std::string FFormatTagName;
  std::string FFormatName;
};
