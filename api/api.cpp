// The top of the command tree: request normalisation and the order in which a path is matched,
// down to the group, member and element commands of the other files.
#include "api/api.h"

#include "api/api_detail.h"

namespace velto {

using namespace detail;

namespace {

constexpr const char* kUnknownRoot =
    "Pfad beginnt mit hardware, software, pads, player, virtualout, devices oder settings";

HttpResponse rootJson(Engine& engine) {
  return ok("{\"hardware\":" + tabJson(engine, "hardware") + ",\"software\":" +
            tabJson(engine, "software") + ",\"virtualout\":" + virtualOutJson(engine) +
            ",\"settings\":" + settingsJson(engine) + "}");
}

const GroupRow* findGroup(const std::string& top, const std::string& sub) {
  for (const GroupRow& row : kGroups) {
    if (same(top, row.top) && same(sub, row.sub)) return &row;
  }
  return nullptr;
}

} // namespace

Api::Api(Engine& e) : engine(e) {}

Api::~Api() {
  server.stop();
}

// main thread
HttpResponse Api::handle(const std::string& method, const std::string& path,
                         const std::string& rawBody) {
  const std::vector<std::string> words = splitPath(path);
  const std::string body = trim(rawBody);
  const Method m = methodOf(method);
  const Request request{m, words, body};
  const size_t n = words.size();

  if (n == 0) return m == Method::read ? rootJson(engine) : error(405, "nur GET");

  const std::string& first = words[0];
  if (same(first, "devices")) {
    if (n == 1 && m == Method::read) return ok(deviceListJson(engine));
    if (n == 3 && same(words[2], "level") && m == Method::read) return levelProbe(*this, words[1]);
  }
  if (same(first, "virtualout") && n == 1 && m == Method::read) {
    return ok(virtualOutJson(engine));
  }
  if (same(first, "settings")) {
    if (n == 1 && m == Method::read) return ok(settingsJson(engine));
    if (n == 2 || n == 3) return settingsCommand(*this, request);
    return error(404, "unbekannter Pfad");
  }
  if (same(first, "software") && n == 2 && same(words[1], "available") && m == Method::read) {
    return ok(availableJson());
  }
  if (same(first, "pads") || same(first, "player")) {
    if (n == 1 || !same(words[1], "mix")) {
      return same(first, "pads") ? padsCommand(*this, request) : playerCommand(*this, request);
    }
  } else if (same(first, "hardware") || same(first, "software")) {
    if (n == 1) return m == Method::read ? ok(tabJson(engine, first)) : error(405, "nur GET");
  } else {
    return error(404, kUnknownRoot);
  }

  const GroupRow* row = findGroup(first, words[1]);
  if (row == nullptr) return error(404, "unbekannter Bereich: " + words[1]);
  if (n == 2) return groupCommand(*this, Ref{row->group, 0}, request);

  int index = 0;
  if (!resolve(engine, row->group, words[2], index)) {
    return error(404, "nicht gefunden: " + words[2]);
  }
  const Ref ref{row->group, index};
  if (n == 3) return memberCommand(*this, ref, request);
  return elementCommand(*this, ref, request);
}

} // namespace velto
