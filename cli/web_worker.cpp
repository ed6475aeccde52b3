#include "cli/web_worker.h"

#include <memory>

#include "base/result_codes.h"
#include "transport/transport.h"

WebCardWorker::WebCardWorker(int32_t kind)
    : kind_(kind), thread_([this] { Loop(); }), stopper_([this] { RepeatStops(); }) {}

WebCardWorker::~WebCardWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
  stopper_.join();
}

uint64_t WebCardWorker::Submit(const std::string& name, Operation operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy_ || ending_) return 0;
  busy_ = true;
  stop_ = false;
  runningId_ = nextId_++;
  name_ = name;
  pending_ = std::move(operation);
  step_ = WebStep{};
  stepStart_ = std::chrono::steady_clock::now();
  changed_.notify_all();
  return runningId_;
}

bool WebCardWorker::RunNow(const std::string& name, Operation operation, WebOutcome* outcome) {
  auto result = std::make_shared<WebOutcome>();
  const uint64_t id = Submit(name, [operation = std::move(operation), result] {
    *result = operation();
    return *result;
  });
  if (id == 0) return false;
  // Until the worker is free again, so that the caller's next request finds it so.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this, id] { return doneId_ >= id; });
  *outcome = *result;
  return true;
}

void WebCardWorker::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ending_ || pending_; });
    if (!pending_) return;  // ending with nothing accepted
    Operation operation = std::move(pending_);
    pending_ = nullptr;
    lock.unlock();
    WebOutcome outcome = operation();
    lock.lock();
    lastName_ = name_;
    last_ = std::move(outcome);
    doneId_ = runningId_;
    busy_ = false;
    step_ = WebStep{};
    changed_.notify_all();
  }
}

// While a stop is asked for, the driver is told so every few milliseconds,
// under the lock: once the operation has ended (and before the next one is
// accepted) no stop reaches the driver any more.
void WebCardWorker::RepeatStops() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return (ending_ && !busy_) || (busy_ && stop_); });
    while (busy_ && stop_) {
      vexo_StopTransfer(kind_, 0);
      changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
    if (ending_ && !busy_) return;
  }
}

void WebCardWorker::SetStep(const WebStep& step) {
  std::lock_guard<std::mutex> lock(mutex_);
  step_ = step;
  stepStart_ = std::chrono::steady_clock::now();
}

void WebCardWorker::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!busy_) return;
    stop_ = true;
  }
  changed_.notify_all();
}

bool WebCardWorker::StopRequested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

bool WebCardWorker::Busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

nlohmann::ordered_json WebCardWorker::Progress() const {
  using Json = nlohmann::ordered_json;
  std::lock_guard<std::mutex> lock(mutex_);
  Json progress = {{"busy", busy_}};
  if (busy_) {
    progress["operation"] = name_;
    progress["id"] = runningId_;
    progress["step"] = step_.text;
    progress["stopping"] = stop_;
    if (step_.bytes != 0) {
      // The driver counts the sectors of the copy in hand; the rate and the
      // time left follow from the share done and the time it took.
      int percent = vexo_GetProgress(kind_);
      if (percent < 0 || percent > 100) percent = 0;
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - stepStart_).count();
      const double done = static_cast<double>(step_.bytes) * percent / 100.0;
      progress["percent"] = percent;
      progress["bytes"] = step_.bytes;
      progress["rate"] = elapsed > 0.2 ? static_cast<uint64_t>(done / elapsed) : 0;
      if (percent > 0 && elapsed > 0.2) {
        progress["secondsLeft"] = static_cast<uint64_t>(elapsed * (100 - percent) / percent);
      }
    }
  }
  if (doneId_ != 0) {
    Json last = {{"id", doneId_}, {"operation", lastName_}, {"result", -last_.result},
                 {"message", vexo_ResultMessage(last_.result)}};
    if (!last_.data.is_null()) last["data"] = last_.data;
    progress["last"] = last;
  }
  return progress;
}
