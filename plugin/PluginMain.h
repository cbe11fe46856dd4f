// The plug-in's exported entry points and the object that ties the host's
// menu action to the script-manager window.
#pragma once

#include <QObject>
#include <QPointer>

#include "PluginAbi.h"

class KorvelWin;
class KorvelConsole;

#define KORVEL_EXPORT extern "C" __attribute__((visibility("default")))

KORVEL_EXPORT bool HUX_PROC_IDENTIFY(PluginIdentity* identity);
KORVEL_EXPORT int HUX_PROC_MAIN(QWidget* mainWindow, void* reserved, HostEditorGetterFn getter,
                                HostCommandCallbackFn command, PluginProcData* data);
KORVEL_EXPORT QWidget* korvelConsole(QWidget* parent);

// Opens the one script-manager window of a host window. A child of the host
// window; it never deletes the window, which deletes itself on close.
class InstanceObj : public QObject {
 public:
  explicit InstanceObj(QWidget* hostWindow);
  ~InstanceObj() override;

  void showKorvelWin();

  KorvelWin* window() const { return window_.data(); }

 private:
  QWidget* hostWindow_;  // not owned
  QPointer<KorvelWin> window_;
};
