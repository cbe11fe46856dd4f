#include "PluginMain.h"

#include <QAction>
#include <QCoreApplication>

#include "KorvelConsole.h"
#include "KorvelWin.h"

namespace {
bool callablesStored = false;
}

bool HUX_PROC_IDENTIFY(PluginIdentity* identity) {
  if (!identity) return false;
  identity->name = QStringLiteral("Korvel Script");
  identity->tip = QCoreApplication::tr("Korvel Script Plugin");
  identity->version = QStringLiteral("v1.0");
  identity->author = QStringLiteral("korvel");
  identity->flag = 0;
  return true;
}

int HUX_PROC_MAIN(QWidget* mainWindow, void*, HostEditorGetterFn getter,
                  HostCommandCallbackFn command, PluginProcData* data) {
  if (!data) return -1;
  auto* instance = new InstanceObj(mainWindow);
  instance->setObjectName(QStringLiteral("huxplg"));
  if (!callablesStored) {
    // whichever thread calls them, the host is reached on its GUI thread
    HostEditorGetter = onGuiThread(std::move(getter));
    HostCommandCallback = onGuiThread(std::move(command));
    callablesStored = true;
  }
  if (data->action)
    QObject::connect(data->action, &QAction::triggered, instance, &InstanceObj::showKorvelWin,
                     Qt::UniqueConnection);
  return 0;
}

QWidget* korvelConsole(QWidget* parent) { return new KorvelConsole(parent); }

InstanceObj::InstanceObj(QWidget* hostWindow) : QObject(hostWindow), hostWindow_(hostWindow) {}

InstanceObj::~InstanceObj() { window_.clear(); }

void InstanceObj::showKorvelWin() {
  if (window_.isNull()) {
    window_ = new KorvelWin(hostWindow_);
    window_->setAttribute(Qt::WA_DeleteOnClose);
  }
  if (window_->isMinimized()) {
    if (window_->isMaximized())
      window_->showMaximized();
    else
      window_->showNormal();
  } else {
    window_->show();
  }
}
