// A fake host for the window tests: records the host commands it gets and
// answers them from its settings.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>

#include <utility>
#include <vector>

#include "runtime/host_services.h"

class QsciScintilla;

struct FakeHost {
  std::vector<std::pair<int, int>> commands;  // code, int data (17) or 0
  std::vector<QThread*> commandThreads;
  QsciScintilla* editor = nullptr;
  QString filePath;   // answer to code 12
  bool mayStart = true;
  bool dark = false;

  // Installs this host's callables as the process-wide host callables.
  void install() {
    HostEditorGetter = [this](QWidget*) { return editor; };
    HostCommandCallback = [this](QWidget*, int code, void* data) {
      commandThreads.push_back(QThread::currentThread());
      commands.emplace_back(code, code == HOST_RUN_STATE ? *static_cast<int*>(data) : 0);
      switch (code) {
        case HOST_CUR_FILE_PATH:
          *static_cast<QString*>(data) = filePath;
          return !filePath.isEmpty();
        case HOST_MANAGER_START:
          return mayStart;
        case HOST_DARK_THEME:
          return dark;
        default:
          return true;
      }
    };
  }
  ~FakeHost() {
    HostEditorGetter = nullptr;
    HostCommandCallback = nullptr;
  }
  std::vector<int> codes() const {
    std::vector<int> out;
    for (auto& c : commands) out.push_back(c.first);
    return out;
  }
};

inline void writeFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (file.open(QIODevice::WriteOnly)) file.write(bytes);
}

// Processes events until the predicate holds or the time is up.
template <typename Pred>
bool waitFor(Pred pred, int ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(1);
  }
  return true;
}
