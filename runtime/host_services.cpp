#include "host_services.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

HostEditorGetterFn HostEditorGetter;
HostCommandCallbackFn HostCommandCallback;

namespace {

// Calls handed to the GUI thread. The GUI thread serves them in batches: it
// runs the calls that arrive one after another without going back to its
// event loop between them, so that a script making many editor calls costs
// the editors one round of deferred work (styling, scroll bars) per batch,
// not one per call.
struct GuiCall {
  const std::function<void()>* fn;
  std::exception_ptr error;
  bool done = false;
};

std::mutex callMutex;
std::condition_variable callChanged;
std::deque<GuiCall*> pendingCalls;
bool serverPosted = false;  // a serveCalls is queued or running

// A batch ends when no call follows within kFollowWait, or after kBatchTime,
// so that the event loop still runs often.
constexpr auto kFollowWait = std::chrono::milliseconds(2);
constexpr qint64 kBatchTimeMs = 10;

void serveCalls();

void postServer() {
  QMetaObject::invokeMethod(QCoreApplication::instance(), &serveCalls, Qt::QueuedConnection);
}

void serveCalls() {
  QElapsedTimer batch;
  batch.start();
  std::unique_lock<std::mutex> lock(callMutex);
  for (;;) {
    if (pendingCalls.empty() &&
        !callChanged.wait_for(lock, kFollowWait, [] { return !pendingCalls.empty(); })) {
      serverPosted = false;
      return;
    }
    if (batch.elapsed() >= kBatchTimeMs) {
      lock.unlock();
      postServer();  // the rest after the event loop has had its turn
      return;
    }
    GuiCall* call = pendingCalls.front();
    pendingCalls.pop_front();
    lock.unlock();
    try {
      (*call->fn)();
    } catch (...) {
      call->error = std::current_exception();
    }
    lock.lock();
    call->done = true;
    callChanged.notify_all();
  }
}

}  // namespace

void runOnGuiThread(const std::function<void()>& fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() == app->thread()) {
    fn();
    return;
  }
  GuiCall call{&fn, nullptr};
  {
    std::unique_lock<std::mutex> lock(callMutex);
    pendingCalls.push_back(&call);
    if (!serverPosted) {
      serverPosted = true;
      postServer();
    }
    callChanged.notify_all();
    callChanged.wait(lock, [&call] { return call.done; });
  }
  if (call.error) std::rethrow_exception(call.error);
}

HostEditorGetterFn onGuiThread(HostEditorGetterFn getter) {
  if (!getter) return getter;
  return [getter = std::move(getter)](QWidget* window) {
    QsciScintilla* editor = nullptr;
    runOnGuiThread([&] { editor = getter(window); });
    return editor;
  };
}

HostCommandCallbackFn onGuiThread(HostCommandCallbackFn command) {
  if (!command) return command;
  return [command = std::move(command)](QWidget* window, int code, void* data) {
    bool answer = false;
    runOnGuiThread([&] { answer = command(window, code, data); });
    return answer;
  };
}
