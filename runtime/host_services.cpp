#include "host_services.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <exception>
#include <utility>

HostEditorGetterFn HostEditorGetter;
HostCommandCallbackFn HostCommandCallback;

void runOnGuiThread(const std::function<void()>& fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() == app->thread()) {
    fn();
    return;
  }
  std::exception_ptr error;
  QMetaObject::invokeMethod(
      app,
      [&fn, &error] {
        try {
          fn();
        } catch (...) {
          error = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (error) std::rethrow_exception(error);
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
