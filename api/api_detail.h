// Internals shared by the command interpreter's files: the strip groups and member references,
// the request and value grammar, member access, the reply helpers and the renderers.
// Used only inside the api library; main thread only, like the interpreter itself.
#pragma once

#include "api/api.h"
#include "api/json.h"
#include "engine/engine.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velto {

class InputFx;
class FxChain;
struct FxInfo;

namespace detail {

// The seven groups of strips, in the order of kGroups.
enum Group : uint32_t {
  hwInputs = 0,
  hwVirtualOuts = 1,
  hwOutputs = 2,
  swApps = 3,
  swVirtualIns = 4,
  padsMix = 5,
  playerMix = 6,
};

struct GroupRow {
  const char* top;
  const char* sub;
  Group group;
};

inline constexpr GroupRow kGroups[7] = {
    {"hardware", "inputs", hwInputs},      {"hardware", "virtual", hwVirtualOuts},
    {"hardware", "outputs", hwOutputs},    {"software", "apps", swApps},
    {"software", "virtual", swVirtualIns}, {"pads", "mix", padsMix},
    {"player", "mix", playerMix},
};

// One member of a group, 0-based.
struct Ref {
  uint32_t group = 0;
  int32_t index = 0;
};

enum class Method { read, write, remove, other };

// ---- request grammar (api_paths.cpp) ----
std::vector<std::string> splitPath(const std::string& path);
std::string trim(const std::string& text);
bool same(const std::string& a, const char* b); // ASCII case-insensitive
bool sameText(const std::string& a, const std::string& b);
Method methodOf(const std::string& method);

// ---- values (api_values.cpp) ----
bool parseBool(const std::string& text, bool current, bool& out);
bool parseDb(const std::string& text, float& out);
bool parseSeconds(const std::string& text, float max, float& out);
// A leading decimal integer (0 when there is none); false when it does not fit in 64 bits.
bool parseInteger(const std::string& text, int64_t& out);
// The whole text is a decimal integer (leading white space and a sign allowed); false for
// anything else. A number beyond 64 bits saturates at the nearest 64-bit limit.
bool wholeInteger(const std::string& text, int64_t& out);

// ---- members (api_members.cpp) ----
int memberCount(Engine& engine, uint32_t group);
bool resolve(Engine& engine, uint32_t group, const std::string& text, int& index);
Strip* stripOf(Engine& engine, Ref ref);
std::string& nameOf(Engine& engine, Ref ref);
std::atomic<float>& gainOf(Engine& engine, Ref ref);
std::atomic<bool>& muteOf(Engine& engine, Ref ref);
bool setDevice(Engine& engine, Ref ref, const std::string& text, bool strict);
bool isDefault(Engine& engine, Ref ref);
bool makeDefault(Engine& engine, Ref ref);
std::string bundleFor(const std::string& text);
bool driverInstalled(const Engine& engine);

// ---- replies ----
HttpResponse error(int status, const std::string& message);
inline HttpResponse ok(std::string body) {
  return HttpResponse{200, std::move(body)};
}
inline std::string boolText(bool value) {
  return value ? "true" : "false";
}

// An answer a command owes while its work runs off the main thread: given once, by `give`
// when the work has ended, or by the timer after Api::kLateAnswer with what `meanwhile` makes
// of the state then (without `meanwhile` the local server's own time-out answers). A `give`
// after that saves the change the work made. main thread
class OwedAnswer {
public:
  static std::shared_ptr<OwedAnswer> owe(Api& api, Api::Answer answer,
                                         std::function<HttpResponse()> meanwhile);
  void give(HttpResponse response);

private:
  Api* api_ = nullptr;
  std::weak_ptr<const bool> alive_;
  Api::Answer answer_;
  std::function<HttpResponse()> meanwhile_;
  bool given_ = false;
};

// The reply of `work`, which touches only files and may run on any thread: run on the background
// queue when the command owes an answer (a file on a slow mount then holds nobody), in place
// otherwise.
HttpResponse answerOffMain(Api& api, std::function<HttpResponse()> work);
// The audio files of `folder` as a reply: listed off the main thread when the command owes an
// answer (a folder on a slow mount then holds nobody), in place otherwise.
HttpResponse folderListing(Api& api, const std::string& folder);

// ---- renderers ----
std::string tabJson(Engine& engine, const std::string& top);
std::string groupJson(Engine& engine, uint32_t group);
std::string objectJson(Engine& engine, Ref ref);
std::string deviceJson(Engine& engine, const DeviceLink& link, const std::string& name);
std::string virtualOutJson(Engine& engine);
std::string availableJson();
std::string deviceListJson(Engine& engine);
std::string fxJson(const InputFx& fx, const FxInfo& info);
std::string effectsJson(const InputFx& fx);
std::string chainJson(const FxChain& chain);
std::string settingsJson(Engine& engine);
std::string playerJson(Engine& engine);
std::string trackJson(Engine& engine, int index); // index in range
std::string padJson(Engine& engine, int index);   // index 0..15

// ---- commands below the top of the tree ----
struct Request {
  Method method;
  const std::vector<std::string>& words;
  const std::string& body;
};
HttpResponse groupCommand(Api& api, Ref ref, const Request& request);   // 2 words
HttpResponse memberCommand(Api& api, Ref ref, const Request& request);  // 3 words
HttpResponse elementCommand(Api& api, Ref ref, const Request& request); // 4 or more words
// The effect, chain and limiter commands below an input or output (word 4 on); false, with no
// reply, when word 4 names none of them.
bool effectCommand(Api& api, Ref ref, const Request& request, HttpResponse& reply);
// The EQ's preset paths: E/preset and E/presets[/...]; `depth` is the index of that word.
HttpResponse eqPresetCommand(Api& api, InputFx& bank, const FxInfo& info, const Request& request,
                             size_t depth);
HttpResponse noiseCommand(Api& api, Ref ref, const Request& request); // inputs: word 4 "noise"
HttpResponse levelProbe(Api& api, const std::string& device);
HttpResponse settingsCommand(Api& api, const Request& request);
// The pad and player paths other than their mix strips (word 1 on).
bool resolvePad(Engine& engine, const std::string& text, int& index);
bool resolveTrack(Engine& engine, const std::string& text, int& index);
HttpResponse padsCommand(Api& api, const Request& request);
HttpResponse playerCommand(Api& api, const Request& request);

} // namespace detail
} // namespace velto
