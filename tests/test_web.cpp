// The web session's API against a simulated card: every operation, and every
// refusal of the security checks (key, Host, origin, sizes, a second
// operation while one runs).
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/web_http.h"
#include "cli/web_server.h"
#include "support/test_audio.h"
#include "support/test_support.h"

extern char** environ;

namespace {

using Json = nlohmann::json;
using namespace vexo_test;

constexpr uint64_t kSmallCard = 4 * 1024 * 1024;

// A session on a card of this kind, with its private folder under a test
// folder of our own.
class WebCard {
 public:
  WebCard(int32_t kind, const std::vector<CardTitle>& titles, uint64_t capacity = kSmallCard)
      : image(dir.File("card.img")) {
    tmp = dir.File("tmp");
    std::filesystem::create_directory(tmp);
    setenv("TMPDIR", tmp.c_str(), 1);
    WriteCardImage(image, 1, "Karte", titles, 0x10000 + 4 * 0x10000);
    card = std::make_unique<CardOnPort>(kind, image, capacity);
    WebConfig config;
    config.kind = kind;
    config.port = 1;
    config.imagePath = kind == VEXO_PORT_ROS ? image.c_str() : nullptr;
    std::string why;
    started = session.Start(config, &why);
    client = std::make_unique<httplib::Client>("127.0.0.1", session.Port());
    own = "127.0.0.1:" + std::to_string(session.Port());
  }
  ~WebCard() {
    session.Stop();
    unsetenv("TMPDIR");
  }

  httplib::Headers Headers(bool change = false) const {
    httplib::Headers headers = {{"X-Vexo-Key", session.Key()}};
    if (change) headers.emplace("Origin", "http://" + own);
    return headers;
  }
  Json Body(const httplib::Result& result) const {
    return result ? Json::parse(result->body, nullptr, false) : Json();
  }
  Json Listing() { return Body(client->Get("/api/card", Headers())); }
  // The id of the last card operation the worker ran (0 before any).
  uint64_t LastOperation() {
    const Json progress = Body(client->Get("/api/progress", Headers()));
    return progress.contains("last") ? progress["last"]["id"].get<uint64_t>() : 0;
  }
  Json Upload(const Bytes& bytes, const std::string& name, const std::string& purpose = "song") {
    const auto result = client->Post(("/api/uploads?purpose=" + purpose + "&name=" + name).c_str(),
                                     Headers(true), reinterpret_cast<const char*>(bytes.data()),
                                     bytes.size(), "application/octet-stream");
    return result && result->status == 200 ? Body(result) : Json();
  }
  // Starts a long operation and waits for its end: its "last" record.
  Json RunLong(const std::string& path, const Json& body) {
    const auto started = client->Post(path.c_str(), Headers(true), body.dump(), "application/json");
    if (!started || started->status != 202) return Json();
    return Ended(Body(started)["id"].get<uint64_t>());
  }
  // The "last" record of operation `id` once it has ended (null if it never
  // does: the bound is far beyond any operation of these tests, even on a
  // loaded machine).
  Json Ended(uint64_t id) {
    const auto bound = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < bound) {
      const Json progress = Body(client->Get("/api/progress", Headers()));
      if (progress.contains("last") && progress["last"]["id"] == id) return progress["last"];
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Json();
  }
  Bytes Download(const Json& last) {
    const auto result = client->Get(
        ("/api/downloads/" + std::to_string(last["data"]["download"].get<uint64_t>())).c_str(),
        Headers());
    return result && result->status == 200 ? Bytes(result->body.begin(), result->body.end()) : Bytes();
  }
  std::size_t FilesInPrivateFolder() const {
    std::size_t count = 0;
    for (const auto& folder : std::filesystem::directory_iterator(tmp)) {
      for ([[maybe_unused]] const auto& file : std::filesystem::directory_iterator(folder)) ++count;
    }
    return count;
  }

  TempDir dir;
  std::string image;
  std::string tmp;
  std::unique_ptr<CardOnPort> card;
  WebSession session;
  VexoResult started = -1;
  std::unique_ptr<httplib::Client> client;
  std::string own;
};

std::vector<std::string> Titles(const Json& listing) {
  std::vector<std::string> titles;
  for (const Json& title : listing["titles"]) titles.push_back(title["title"]);
  return titles;
}

const std::vector<CardTitle> kThreeTitles = {{0x10000, 1000, "Eins"},
                                             {0x20000, 2000, "Zwei"},
                                             {0x30000, 3000, "Drei"}};

TEST(WebSecurity, RequestsWithoutKeyHostOrOriginAreRefusedBeforeTheCardIsRead) {
  WebCard web(VEXO_PORT_ROS, kThreeTitles);
  ASSERT_EQ(web.started, 0);
  const std::string key = web.session.Key();
  const std::string port = std::to_string(web.session.Port());
  const std::string own = "http://" + web.own;
  std::string otherKey = key;
  otherKey[0] = otherKey[0] == 'a' ? 'b' : 'a';
  const std::string rename = R"({"title":"Geändert"})";
  struct Case {
    const char* what;
    const char* method;
    std::string path;
    httplib::Headers headers;
    std::string body;
    int status;
  };
  const std::vector<Case> cases = {
      {"no key", "GET", "/api/card", {}, "", 403},
      {"wrong key", "GET", "/api/card", {{"X-Vexo-Key", otherKey}}, "", 403},
      {"key only in the address of the API", "GET", "/api/card?key=" + key, {}, "", 403},
      {"wrong cookie", "GET", "/api/card", {{"Cookie", "vexo_key_" + port + "=" + otherKey}}, "", 403},
      {"page without key", "GET", "/", {}, "", 403},
      {"script without key", "GET", "/app.js", {}, "", 403},
      {"foreign Host (DNS rebinding)", "GET", "/api/card",
       {{"X-Vexo-Key", key}, {"Host", "evil.example:" + port}}, "", 403},
      {"Host of another port", "GET", "/api/card", {{"X-Vexo-Key", key}, {"Host", "127.0.0.1:1"}}, "", 403},
      {"Host without port", "GET", "/api/card", {{"X-Vexo-Key", key}, {"Host", "localhost"}}, "", 403},
      {"change without Origin or Referer", "PUT", "/api/titles/1", {{"X-Vexo-Key", key}}, rename, 403},
      {"change from another site", "PUT", "/api/titles/1",
       {{"X-Vexo-Key", key}, {"Origin", "http://evil.example"}}, rename, 403},
      {"change from an opaque origin", "PUT", "/api/titles/1",
       {{"X-Vexo-Key", key}, {"Origin", "null"}}, rename, 403},
      {"change from another port", "DELETE", "/api/titles/1",
       {{"X-Vexo-Key", key}, {"Origin", "http://127.0.0.1:1"}}, "", 403},
      {"Referer of another site", "POST", "/api/move",
       {{"X-Vexo-Key", key}, {"Referer", own + ".evil.example/"}}, R"({"from":1,"to":2})", 403},
      {"upload from another site", "POST", "/api/uploads?name=a.mp3",
       {{"X-Vexo-Key", key}, {"Origin", "http://evil.example"}}, "abc", 403},
      {"preflight", "OPTIONS", "/api/card", {{"X-Vexo-Key", key}, {"Origin", own}}, "", 405},
      {"request body over the bound", "PUT", "/api/titles/1", {{"X-Vexo-Key", key}, {"Origin", own}},
       R"({"title":")" + std::string(70000, 'x') + R"("})", 413},
  };
  const uint64_t before = web.LastOperation();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    httplib::Request request;
    request.method = c.method;
    request.path = c.path;
    request.headers = c.headers;
    request.body = c.body;
    if (!c.body.empty()) request.set_header("Content-Type", "application/json");
    const auto result = web.client->send(request);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    EXPECT_FALSE(result->has_header("Access-Control-Allow-Origin"));
  }
  EXPECT_EQ(web.LastOperation(), before) << "a refused request reached the card";
  EXPECT_EQ(Titles(web.Listing()), (std::vector<std::string>{"Eins", "Zwei", "Drei"}));

  // The same requests done right pass: by header, by cookie, at every loopback name.
  httplib::Request chunked;
  chunked.method = "PUT";
  chunked.path = "/api/titles/1";
  chunked.headers = {{"X-Vexo-Key", key}, {"Origin", own}, {"Transfer-Encoding", "chunked"}};
  chunked.body = "0\r\n\r\n";
  const auto refusedChunks = web.client->send(chunked);
  ASSERT_TRUE(refusedChunks);
  EXPECT_EQ(refusedChunks->status, 411);
  for (const std::string& host : {"localhost:" + port, "[::1]:" + port}) {
    const auto result = web.client->Get("/api/card", {{"Cookie", "vexo_key_" + port + "=" + key},
                                                      {"Host", host}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200) << host;
  }
  const auto byReferer = web.client->Put("/api/titles/1", {{"X-Vexo-Key", key}, {"Referer", own + "/"}},
                                         rename, "application/json");
  ASSERT_TRUE(byReferer);
  EXPECT_EQ(byReferer->status, 200);
  EXPECT_EQ(Titles(web.Body(byReferer))[0], "Geändert");
}

TEST(WebSecurity, ThePageMovesTheKeyIntoAStrictCookieAndServesOnlyItsOwnFiles) {
  WebCard web(VEXO_PORT_ROS, {});
  ASSERT_EQ(web.started, 0);
  EXPECT_EQ(web.session.Key().size(), 32u);  // 128 bits
  EXPECT_EQ(web.session.Url(), "http://" + web.own + "/?key=" + web.session.Key());
  const auto entry = web.client->Get(("/?key=" + web.session.Key()).c_str());
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->status, 303);
  EXPECT_EQ(entry->get_header_value("Location"), "/");
  const std::string cookie = entry->get_header_value("Set-Cookie");
  EXPECT_EQ(cookie, "vexo_key_" + std::to_string(web.session.Port()) + "=" + web.session.Key() +
                        "; Path=/; HttpOnly; SameSite=Strict");
  const httplib::Headers withCookie = {{"Cookie", cookie.substr(0, cookie.find(';'))}};
  const auto page = web.client->Get("/", withCookie);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<script src=\"/app.js\""), std::string::npos);
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"),
            std::string::npos);
  for (const char* path : {"/app.js", "/style.css"}) {
    const auto asset = web.client->Get(path, withCookie);
    ASSERT_TRUE(asset);
    EXPECT_EQ(asset->status, 200) << path;
  }
  for (const char* path : {"/../../etc/passwd", "/card.img", "/web.cmake", "/%2e%2e/etc/passwd"}) {
    const auto other = web.client->Get(path, withCookie);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 404) << path;
  }
  // Another session has another key.
  WebSession second;
  EXPECT_TRUE(second.Key().empty());
}

TEST(WebSecurity, AnUploadLargerThanTheFreeSpaceIsRefusedBeforeItIsStored) {
  WebCard web(VEXO_PORT_ROS, {{0x10000, 1000, "Eins"}});
  ASSERT_EQ(web.started, 0);
  const uint64_t freeBytes = web.Listing()["freeBytes"];
  httplib::Request request;
  request.method = "POST";
  request.path = "/api/uploads?name=big.mp3";
  request.headers = web.Headers(true);
  request.set_header("Content-Length", std::to_string(freeBytes + 1));
  request.body = "x";  // the server must answer from the length alone
  const auto refused = web.client->send(request);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 413);
  EXPECT_EQ(web.Body(refused)["message"], "CARD FULL");
  EXPECT_EQ(web.FilesInPrivateFolder(), 0u);

  // What is already uploaded counts against the room: two halves fit, a third does not.
  const Json first = web.Upload(Pattern(1000), "a.mp3");
  ASSERT_TRUE(first.contains("upload"));
  EXPECT_EQ(web.FilesInPrivateFolder(), 1u);
  request.headers = web.Headers(true);
  request.set_header("Content-Length", std::to_string(freeBytes - 999));
  const auto second = web.client->send(request);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 413);
  // A restore is bounded by the card's size instead; names never become paths.
  const Json named = web.Upload(Pattern(10), "..%2F..%2Fescape", "restore");
  EXPECT_EQ(named["name"], "../../escape");
  EXPECT_FALSE(std::filesystem::exists(web.tmp + "/../escape"));
  EXPECT_EQ(web.FilesInPrivateFolder(), 2u);
  web.session.Stop();
  EXPECT_TRUE(std::filesystem::is_empty(web.tmp)) << "the private folder outlived the session";
}

TEST(WebOperations, RenameMoveDeleteAddReadBackupAndRestoreOnTheAdapter) {
  WebCard web(VEXO_PORT_PARALLEL, kThreeTitles);
  ASSERT_EQ(web.started, 0);
  const Json listing = web.Listing();
  EXPECT_EQ(listing["cardName"], "Karte");
  EXPECT_EQ(listing["version"], "PPA");
  EXPECT_EQ(Titles(listing), (std::vector<std::string>{"Eins", "Zwei", "Drei"}));

  auto put = [&](const std::string& path, const Json& body) {
    return web.Body(web.client->Put(path.c_str(), web.Headers(true), body.dump(), "application/json"));
  };
  EXPECT_EQ(Titles(put("/api/titles/2", {{"title", "Grüße aus Köln"}}))[1], "Grüße aus Köln");
  EXPECT_EQ(put("/api/card", {{"name", "Kärtchen"}})["cardName"], "Kärtchen");
  const Json moved = web.Body(web.client->Post("/api/move", web.Headers(true),
                                               R"({"from":1,"to":3})", "application/json"));
  EXPECT_EQ(Titles(moved), (std::vector<std::string>{"Grüße aus Köln", "Drei", "Eins"}));
  const auto deleted = web.client->Delete("/api/titles/2", web.Headers(true));
  ASSERT_TRUE(deleted);
  EXPECT_EQ(Titles(web.Body(deleted)), (std::vector<std::string>{"Grüße aus Köln", "Eins"}));

  // A card operation's failure comes with vexo's message.
  const auto outOfRange = web.client->Delete("/api/titles/9", web.Headers(true));
  ASSERT_TRUE(outOfRange);
  EXPECT_EQ(outOfRange->status, 422);
  EXPECT_EQ(web.Body(outOfRange)["error"], 22);

  // Three songs uploaded, planned, added as --import adds them: an MP3
  // without its (padding-only) ID3 tag, a FLAC transcoded with its title from
  // its tags (the upload keeps its extension), a text file skipped. The plan
  // says what is stored, and the add stores what the plan prepared.
  const std::string flac = web.dir.File("tone.flac");
  WriteEncoded(flac, "flac", "flac", 44100, "Tone in FLAC");
  const Bytes songA = LameFrames(44100, 32);
  Bytes taggedA = {'I', 'D', '3', 3, 0, 0};
  Append(&taggedA, SyncSafe(256));
  taggedA.resize(taggedA.size() + 256);
  Append(&taggedA, songA);
  const Json a = web.Upload(taggedA, "Song%20A.mp3");
  const Json b = web.Upload(ReadFile(flac), "Lied%20B.flac");
  const Json c = web.Upload(Pattern(5000, 8), "notes.mp3");
  ASSERT_TRUE(a.contains("upload") && b.contains("upload") && c.contains("upload"));
  const Json ids = {a["upload"], b["upload"], c["upload"]};
  const Json plan = web.Body(web.client->Post("/api/add/plan", web.Headers(true),
                                              Json{{"uploads", ids}}.dump(), "application/json"));
  ASSERT_EQ(plan["steps"].size(), 3u) << plan.dump();
  const Json& planned = plan["steps"];
  EXPECT_EQ(planned[0]["size"], songA.size());
  EXPECT_EQ(planned[0]["uploadSize"], taggedA.size());
  EXPECT_EQ(planned[1]["action"], "add");
  EXPECT_EQ(planned[2]["action"], "skip");
  EXPECT_EQ(planned[2]["message"], "not audio");
  EXPECT_EQ(plan["bytes"], planned[0]["size"].get<uint64_t>() + planned[1]["size"].get<uint64_t>());
  // The FLAC upload spoilt after its plan: still added as planned (its title,
  // read at the add, now from its name).
  for (const auto& entry : std::filesystem::recursive_directory_iterator(web.tmp)) {
    if (entry.path().extension() == ".flac") WriteFile(entry.path().string(), Pattern(9000, 3));
  }
  const Json added = web.RunLong("/api/add", {{"uploads", ids}});
  ASSERT_EQ(added["result"], 0) << added.dump();
  EXPECT_EQ(added["data"]["added"], 2);
  const Json& steps = added["data"]["songs"];
  ASSERT_EQ(steps.size(), 3u) << added.dump();
  EXPECT_EQ(steps[0]["action"], "copy without tags (\u22121 KB)");
  EXPECT_EQ(steps[1]["action"], "transcode FLAC \u2192 MP3 128 kbit/s") << "prepared again after its plan";
  EXPECT_EQ(steps[2]["message"], "not audio");
  EXPECT_NE(steps[2]["result"], 0);
  const Json after = web.Listing();
  EXPECT_EQ(Titles(after),
            (std::vector<std::string>{"Grüße aus Köln", "Eins", "Song A", "Lied B"}));
  EXPECT_EQ(after["titles"][2]["size"], planned[0]["size"]);
  EXPECT_EQ(after["titles"][3]["size"], planned[1]["size"]);
  EXPECT_EQ(web.FilesInPrivateFolder(), 0u) << "added uploads stay behind";

  // Read back: the same bytes, as a download.
  const Json read = web.RunLong("/api/titles/3/read", Json::object());
  ASSERT_EQ(read["result"], 0) << read.dump();
  EXPECT_EQ(read["data"]["name"], "Song A.mp3");
  EXPECT_EQ(web.Download(read), songA);

  // Backup of the whole card and of its used part; restore of an older one.
  const Bytes before = ReadFile(web.image);
  const Json whole = web.RunLong("/api/backup", {{"used", false}});
  ASSERT_EQ(whole["result"], 0) << whole.dump();
  const Bytes backup = web.Download(whole);
  ASSERT_EQ(backup.size(), kSmallCard);
  EXPECT_EQ(Slice(backup, 0, before.size()), before);
  const Json used = web.RunLong("/api/backup", {{"used", true}});
  ASSERT_EQ(used["result"], 0) << used.dump();
  EXPECT_LT(web.Download(used).size(), kSmallCard);

  const auto remove = web.client->Delete("/api/titles/1", web.Headers(true));
  ASSERT_TRUE(remove);
  ASSERT_EQ(Titles(web.Body(remove)).size(), 3u);
  const Json restoreUpload = web.Upload(backup, "card.img", "restore");
  ASSERT_TRUE(restoreUpload.contains("upload"));
  const Json restored = web.RunLong("/api/restore", {{"uploads", {restoreUpload["upload"]}}});
  ASSERT_EQ(restored["result"], 0) << restored.dump();
  EXPECT_EQ(Titles(restored["data"]), Titles(after));
}

TEST(WebOperations, ASecondOperationWhileOneRunsIsRefusedAndStopEndsTheFirst) {
  WebCard web(VEXO_PORT_PARALLEL, kThreeTitles, 16 * 1024 * 1024);
  ASSERT_EQ(web.started, 0);
  const auto started = web.client->Post("/api/backup", web.Headers(true), "{}", "application/json");
  ASSERT_TRUE(started);
  ASSERT_EQ(started->status, 202);
  const auto second = web.client->Put("/api/titles/1", web.Headers(true), R"({"title":"x"})",
                                      "application/json");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 409);
  EXPECT_EQ(web.Body(second)["operation"], "backup");
  const auto list = web.client->Get("/api/card", web.Headers());
  ASSERT_TRUE(list);
  EXPECT_EQ(list->status, 409);
  const Json progress = web.Body(web.client->Get("/api/progress", web.Headers()));
  EXPECT_TRUE(progress["busy"].get<bool>());
  EXPECT_EQ(progress["operation"], "backup");

  const auto stop = web.client->Post("/api/stop", web.Headers(true), "", "text/plain");
  ASSERT_TRUE(stop);
  // Ends after the sector in hand, though the stop came while the header was
  // still being read (before the copy began): a whole copy takes far longer.
  const Json last = web.Ended(web.Body(started)["id"]);
  EXPECT_EQ(last["message"], "TRANSFER STOPPED");
  EXPECT_FALSE(last.contains("data")) << "a stopped backup was offered for download";
  EXPECT_EQ(Titles(web.Listing()), (std::vector<std::string>{"Eins", "Zwei", "Drei"}));
}

// A sync from a folder the user typed: the plan first (the command line's
// lines), a plan that deletes every title done only when forced, then the
// same folder again sends nothing. Folders that are no full path, missing or
// without a song are refused and the card stays as it was.
TEST(WebOperations, SyncFromAFolderPlansFirstAndSendsOnlyWhatIsMissing) {
  WebCard web(VEXO_PORT_PARALLEL, kThreeTitles);
  ASSERT_EQ(web.started, 0);
  // Deep enough that a plan line is longer than any fixed buffer would hold.
  const std::string music = web.dir.File(std::string(250, 'm') + "/" + std::string(250, 'u') + "/" +
                                         std::string(250, 's') + "/" + std::string(250, 'i') + "/Musik Ä");
  std::filesystem::create_directories(music);
  WriteFile(music + "/1 Erstes.mp3", LameFrames(44100, 32));
  WriteFile(music + "/2 Zweites.mp3", LameFrames(44100, 48));
  const std::string empty = web.dir.File("leer");
  std::filesystem::create_directory(empty);
  auto post = [&](const char* path, const Json& body) {
    return web.client->Post(path, web.Headers(true), body.dump(), "application/json");
  };
  const Bytes before = ReadFile(web.image);
  struct Refusal {
    Json body;
    int status;
    int error;  // vexo's result code, 0 for a request refused before the card
  };
  const std::vector<Refusal> refusals = {
      {Json::object(), 400, 0},
      {{{"folder", 7}}, 400, 0},
      {{{"folder", "Musik"}}, 400, 0},
      {{{"folder", "/" + std::string(5000, 'a')}}, 400, 0},
      {{{"folder", web.dir.File("nirgends")}}, 422, 60},
      {{{"folder", empty}}, 422, 62},
  };
  for (const char* path : {"/api/sync/plan", "/api/sync"}) {
    for (const Refusal& refusal : refusals) {
      SCOPED_TRACE(std::string(path) + " " + refusal.body.dump().substr(0, 60));
      const auto result = post(path, refusal.body);
      ASSERT_TRUE(result);
      if (refusal.error == 0 || std::string(path) == "/api/sync/plan") {
        EXPECT_EQ(result->status, refusal.status);
        EXPECT_EQ(web.Body(result).value("error", Json(0)), refusal.error == 0 ? Json("refused") : Json(refusal.error));
      } else {
        ASSERT_EQ(result->status, 202);
        EXPECT_EQ(web.Ended(web.Body(result)["id"])["result"], refusal.error);
      }
    }
  }

  const Json plan = web.Body(post("/api/sync/plan", {{"folder", music}}));
  ASSERT_TRUE(plan.contains("lines")) << plan.dump();
  EXPECT_TRUE(plan["deletesAll"].get<bool>());
  EXPECT_EQ(plan["delete"], 3);
  EXPECT_EQ(plan["add"], 2);
  EXPECT_NE(plan["lines"].back().get<std::string>().find(
                "Keep 0, delete 3, add 2, move 0, skip 0: " +
                std::to_string(plan["bytesToSend"].get<uint64_t>()) + " bytes to send"),
            std::string::npos)
      << plan["lines"].back();
  EXPECT_EQ(plan["lines"][4], "  add       2       " + std::to_string(LameFrames(44100, 48).size()) +
                                  " bytes  2 Zweites (" + music + "/2 Zweites.mp3)");
  EXPECT_EQ(web.RunLong("/api/sync", {{"folder", music}})["result"], 63)
      << "a plan deleting every title done without force";
  EXPECT_EQ(ReadFile(web.image), before) << "refusals and plans wrote to the card";

  const Json synced = web.RunLong("/api/sync", {{"folder", music}, {"force", true}});
  ASSERT_EQ(synced["result"], 0) << synced.dump();
  EXPECT_EQ(synced["data"]["songsOnCard"], 2);
  EXPECT_EQ(synced["data"]["songs"], 2);
  const Json listing = web.Listing();
  EXPECT_EQ(Titles(listing), (std::vector<std::string>{"1 Erstes", "2 Zweites"}));
  EXPECT_EQ(listing["titles"][1]["size"], LameFrames(44100, 48).size());

  const Json again = web.Body(post("/api/sync/plan", {{"folder", music}}));
  EXPECT_EQ(again["keep"], 2) << again.dump();
  EXPECT_EQ(again["bytesToSend"], 0);
  EXPECT_FALSE(again["deletesAll"].get<bool>());
  EXPECT_EQ(again["steps"][0]["matchedBy"], "sampled");
}

TEST(WebOperations, ImageFilesRefuseDeleteBackupAndRestoreAsTheCommandLineDoes) {
  WebCard web(VEXO_PORT_ROS, kThreeTitles);
  ASSERT_EQ(web.started, 0);
  const auto deleted = web.client->Delete("/api/titles/1", web.Headers(true));
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->status, 422);
  EXPECT_EQ(web.Body(deleted)["error"], 40);
  EXPECT_EQ(web.RunLong("/api/backup", Json::object())["result"], 40);
}

TEST(WebAddress, ListenAddressesParsedAndLoopbackKnown) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"", true, "", 0},           {"8080", true, "", 8080},
      {"127.0.0.1:81", true, "127.0.0.1", 81}, {"[::1]:82", true, "::1", 82},
      {"::1", true, "::1", 0},     {"localhost:83", true, "localhost", 83},
      {"0.0.0.0:84", true, "0.0.0.0", 84},     {"127.0.0.1:0", true, "127.0.0.1", 0},
      {"127.0.0.1:70000", false, "", 0},       {"evil.example:80", false, "", 0},
      {"[::1]x", false, "", 0},    {"1.2.3.4:8x", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string host;
    int port = -1;
    EXPECT_EQ(web_ParseListen(c.text, &host, &port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
  EXPECT_TRUE(web_IsLoopback("127.1.2.3"));
  EXPECT_TRUE(web_IsLoopback("::1"));
  EXPECT_FALSE(web_IsLoopback("0.0.0.0"));
  EXPECT_FALSE(web_IsLoopback("192.168.1.2"));
}

// vexo-sim ... -- lp1 --web in a child: its one line, then SIGTERM ends it
// cleanly, releasing the port for the next command.
TEST(WebCommand, ServesUntilSigtermThenReleasesThePort) {
  TempDir dir;
  const std::string image = dir.File("card.img");
  WriteCardImage(image, 1, "Karte", kThreeTitles, 0x40000);
  for (const bool exposed : {false, true}) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string sim = SimCommand("");
    const std::string program = sim.substr(0, sim.size() - 1);
    std::vector<std::string> words = {program, "--fast", "--capacity", "4194304", "--card", image,
                                      "--", "lp1", "--web"};
    if (exposed) words.push_back("0.0.0.0:0");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char chunk[256];
    while (text.find("Ctrl-C") == std::string::npos) {
      const ssize_t n = read(out[0], chunk, sizeof chunk);
      if (n <= 0) break;
      text.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(text.find("Warning:") != std::string::npos, exposed) << text;
    const std::size_t at = text.find("http://");
    ASSERT_NE(at, std::string::npos) << text;
    const std::string url = text.substr(at, text.find(' ', at) - at);
    const std::string key = url.substr(url.find("key=") + 4);
    const int port = std::atoi(url.substr(url.rfind(':') + 1).c_str());
    httplib::Client client(exposed ? "127.0.0.1" : "127.0.0.1", port);
    const httplib::Headers headers = {{"X-Vexo-Key", key},
                                      {"Host", (exposed ? "0.0.0.0:" : "127.0.0.1:") + std::to_string(port)}};
    const auto listing = client.Get("/api/card", headers);
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->status, 200);
    EXPECT_EQ(RunSim("--fast --card " + image + " -- lp1 --get").out.find("Eins"), std::string::npos)
        << "the port's lock was not held";
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    while (read(out[0], chunk, sizeof chunk) > 0) {
    }
    close(out[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_NE(RunSim("--fast --card " + image + " -- lp1 --get").out.find("Eins"), std::string::npos);
  }
}

}  // namespace
