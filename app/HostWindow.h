// The stand-in host editor: a main window with QScintilla editor tabs that
// loads the korvel plug-in, gives it its menu action and the two host
// callables, embeds its console and answers the host commands.
#pragma once

#include <QLibrary>
#include <QMainWindow>

#include "plugin/PluginAbi.h"

class QAction;
class QDockWidget;
class QTabWidget;
class QsciScintilla;

class HostWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit HostWindow(bool dark);
  ~HostWindow() override;

  // Loads the plug-in at path and hands it this window. Returns false (and
  // says why in errorText) when the library or an entry point is missing.
  bool loadPlugin(const QString& path, QString* errorText);

  QsciScintilla* newEditor();
  QsciScintilla* openFile(const QString& path);
  QsciScintilla* currentEditor() const;
  // The editor of tab index, or null.
  QsciScintilla* editorAt(int index) const;

  // Answers a host command of the plug-in.
  bool hostCommand(QWidget* window, int code, void* data);

  // True between the plug-in's notices that a run starts and ends.
  bool scriptRunning() const { return scriptRunning_; }

 protected:
  // While a script runs, asks whether to stop it and quit once it has
  // ended; then asks about every editor with unsaved changes.
  void closeEvent(QCloseEvent* event) override;

 private Q_SLOTS:
  void openFileDialog();
  void saveCurrent();
  void closeTab(int index);

 private:
  int replaceInEditor(HostEditRecord* record);
  bool saveEditor(QsciScintilla* editor);
  // Offers to save an editor with unsaved changes: false when the user
  // cancels (or saving fails), so that it must stay open.
  bool maybeSave(QsciScintilla* editor);
  // Presses the plug-in's stop button.
  void stopScript();

  bool dark_;
  bool scriptRunning_ = false;
  bool closeAfterRun_ = false;
  QTabWidget* tabs_;
  QAction* pluginAction_;
  QDockWidget* consoleDock_ = nullptr;
  QLibrary plugin_;
  PluginProcData procData_;
};
