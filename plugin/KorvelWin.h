// The script manager: lists the scripts of the script folder with the fields
// of their header blocks, lets the user fill a script's parameters, runs the
// selected script on the GUI thread and shows its output.
#pragma once

#include <QMainWindow>
#include <QMap>
#include <QString>
#include <QStringList>

class QTreeWidgetItem;
class QTreeWidgetItemIterator;
class KorvelWinForm;

// One script's header block (the key=value lines between "headinfo-begin"
// and "headinfo-end").
struct ScriptHeadInfo {
  QString ScriptName;
  QString Desc;
  QString Author;
  QString Version;
  QString Comment;
  int32_t need = -1;  // -1: not given
  QString inputFilePath;
  QString outputFilePath;
  QString stringPara1;
  QString stringPara2;
  QString stringPara3;
  QStringList comboxPara1;
};

class KorvelWin : public QMainWindow {
  Q_OBJECT

 public:
  explicit KorvelWin(QWidget* hostWindow);
  ~KorvelWin() override;

  ScriptHeadInfo readScriptHeadInfo(const QString& path);
  void loadScripts();
  void showScriptHeadInfo(const ScriptHeadInfo& info);
  void runScript(const QString& path);
  // The argument list of a run of the script at path with the current
  // contents of the option fields.
  QStringList runArguments(const QString& path) const;

  // The folder the script list is read from.
  static QString scriptFolder();

 Q_SIGNALS:
  void closeLibrary(int code);

 private Q_SLOTS:
  void on_itemPressed(QTreeWidgetItem* item, int column);
  void on_startWork();
  void on_clear();
  void on_abort();
  void on_search();
  void on_openScriptDir();
  void on_select();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // Finds, from the iterator on, the next item whose column 0 or column 1
  // contains the keyword; leaves the iterator past it.
  QTreeWidgetItem* findNextItem(QTreeWidgetItemIterator& it, const QString& keyword);
  // While this window runs a script, the pane and the fields belong to that
  // run: choosing another item is refused (the running one stays current
  // and selected) with a note in the status bar. True when refused.
  bool refuseSwitchDuringRun(QTreeWidgetItem* item);

  KorvelWinForm* ui_;
  QWidget* hostWindow_;
  QMap<QString, ScriptHeadInfo> headInfos_;
  bool runningHere_ = false;                 // runScript is under way
  QTreeWidgetItem* runningItem_ = nullptr;   // the item current when it began
};

// Shows the folder or file at path in the desktop's file manager. False when
// the desktop could not open it (no file manager, for one).
bool showInExplorer(const QString& path);
