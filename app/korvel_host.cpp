// Stand-in host editor: korvel-host [--dark] [--plugin PATH] [FILE...]
//
// Opens the files in editor tabs and loads the korvel plug-in (by default
// plugin/libkorvelplugin.so next to the executable).
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QStatusBar>

#include <cstdio>
#include <cstring>
#include <vector>

#include "HostWindow.h"

int main(int argc, char** argv) {
  // The host's own options are taken out before Qt sees the arguments: Qt
  // claims -plugin (also written --plugin) for its own plug-ins.
  bool dark = false;
  QString pluginPath;
  std::vector<char*> qtArgs{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dark") == 0) {
      dark = true;
    } else if (std::strcmp(argv[i], "--plugin") == 0) {
      if (i + 1 >= argc) {
        std::fputs("korvel-host：--plugin 后面缺少插件路径\n"
                   "用法：korvel-host [--dark] [--plugin 插件路径] [文件...]\n",
                   stderr);
        return 2;
      }
      pluginPath = QString::fromLocal8Bit(argv[++i]);
    } else {
      qtArgs.push_back(argv[i]);
    }
  }
  int qtArgc = int(qtArgs.size());
  qtArgs.push_back(nullptr);
  QApplication app(qtArgc, qtArgs.data());
  if (pluginPath.isEmpty())
    pluginPath = QApplication::applicationDirPath() + QStringLiteral("/plugin/libkorvelplugin.so");
  // what Qt left are the files
  QStringList files = QApplication::arguments();
  files.removeFirst();

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
