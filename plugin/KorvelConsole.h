// The console the host embeds: runs the text of the host's current editor as
// a script, with an optional parameter line, on one worker thread, and shows
// the output while the script runs. Stop asks the running script to end.
#pragma once

#include <QWidget>

class KorvelConsoleForm;

class KorvelConsole : public QWidget {
  Q_OBJECT

 public:
  explicit KorvelConsole(QWidget* parent = nullptr);
  ~KorvelConsole() override;

 Q_SIGNALS:
  void closeLibrary(int code);

 public Q_SLOTS:
  void on_start();
  void on_stop();
  void on_clear();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void setIcons(bool dark);

  KorvelConsoleForm* ui_;
  QWidget* hostWindow_;  // the parent given at construction; not owned
};
