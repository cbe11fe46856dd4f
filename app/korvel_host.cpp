// Stand-in host editor: korvel-host [--dark] [--plugin PATH] [FILE...]
//
// Opens the files in editor tabs and loads the korvel plug-in (by default
// plugin/libkorvelplugin.so next to the executable).
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QStatusBar>

#include "HostWindow.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList args = QApplication::arguments();
  args.removeFirst();
  bool dark = false;
  QString pluginPath = QApplication::applicationDirPath() + QStringLiteral("/plugin/libkorvelplugin.so");
  QStringList files;
  for (int i = 0; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--dark"))
      dark = true;
    else if (args[i] == QLatin1String("--plugin") && i + 1 < args.size())
      pluginPath = args[++i];
    else
      files << args[i];
  }

  HostWindow window(dark);
  for (const QString& file : files) window.openFile(file);
  if (!window.currentEditor()) window.newEditor();
  QString error;
  if (!window.loadPlugin(pluginPath, &error)) {
    window.statusBar()->showMessage(QStringLiteral("插件加载失败：%1").arg(error));
    QMessageBox::warning(&window, QStringLiteral("插件加载失败"), error);
  }
  window.show();
  return app.exec();
}
