// The thread that owns the card during a web session: every card operation
// runs on it, one at a time, in the order it was accepted. An operation
// offered while another one runs is refused, never queued, so that what the
// page shows is what the card holds. The worker knows nothing of HTTP; it
// runs plain functions and keeps what the page asks about them (which one
// runs, how far its copy is, how the last one ended).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/vexo_types.h"

// What an operation hands back: its result and what the page gets with it.
struct WebOutcome {
  VexoResult result = 0;
  nlohmann::ordered_json data;  // null when there is nothing to add
};

// How far the running operation is, as the operation tells it (a song of
// several, the bytes it copies), for the progress the page shows.
struct WebStep {
  std::string text;       // e.g. "2 of 3: Song"
  uint64_t bytes = 0;     // bytes the copy in hand moves, 0 when none
};

class WebCardWorker {
 public:
  using Operation = std::function<WebOutcome()>;

  explicit WebCardWorker(int32_t kind);
  ~WebCardWorker();  // finishes the running operation, then ends the thread
  WebCardWorker(const WebCardWorker&) = delete;
  WebCardWorker& operator=(const WebCardWorker&) = delete;

  // Accepts the operation when none runs: its id (from 1), else 0.
  uint64_t Submit(const std::string& name, Operation operation);
  // Runs the operation and waits for it; false (nothing run) when busy.
  bool RunNow(const std::string& name, Operation operation, WebOutcome* outcome);

  // Called by the running operation.
  void SetStep(const WebStep& step);
  // The page's stop button: the copy in hand ends after its sector, and an
  // operation of several steps ends before the next one. A driver forgets a
  // stop asked for before its copy begins (the header is read first), so the
  // stop is asked for again until the operation has ended.
  void RequestStop();
  bool StopRequested() const;

  // {"busy", "operation", "step", "percent", "rate" (bytes/s), "secondsLeft",
  //  "last": {"id", "operation", "result", "message", ...}}
  nlohmann::ordered_json Progress() const;
  bool Busy() const;

 private:
  void Loop();
  void RepeatStops();

  const int32_t kind_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool ending_ = false;
  bool busy_ = false;
  bool stop_ = false;
  uint64_t nextId_ = 1;
  uint64_t runningId_ = 0;
  uint64_t doneId_ = 0;
  std::string name_;
  Operation pending_;
  WebStep step_;
  std::chrono::steady_clock::time_point stepStart_;
  std::string lastName_;
  WebOutcome last_;
  std::thread thread_;
  std::thread stopper_;  // RepeatStops
};
