#include "HostWindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QCloseEvent>
#include <QColor>
#include <QApplication>
#include <QDockWidget>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>

#include <Qsci/qsciscintilla.h>

namespace {
const char kPathProperty[] = "filePath";
}

HostWindow::HostWindow(bool dark) : dark_(dark), tabs_(new QTabWidget(this)) {
  setWindowTitle(QStringLiteral("korvel host"));
  resize(1000, 720);
  tabs_->setTabsClosable(true);
  tabs_->setDocumentMode(true);
  connect(tabs_, &QTabWidget::tabCloseRequested, this, &HostWindow::closeTab);
  setCentralWidget(tabs_);

  QMenu* file = menuBar()->addMenu(QStringLiteral("文件"));
  file->addAction(QStringLiteral("新建"), this, [this] { newEditor(); }, QKeySequence::New);
  file->addAction(QStringLiteral("打开…"), this, &HostWindow::openFileDialog, QKeySequence::Open);
  file->addAction(QStringLiteral("保存"), this, &HostWindow::saveCurrent, QKeySequence::Save);
  file->addSeparator();
  file->addAction(QStringLiteral("退出"), this, &QWidget::close, QKeySequence::Quit);

  QMenu* plugins = menuBar()->addMenu(QStringLiteral("插件"));
  pluginAction_ = plugins->addAction(QStringLiteral("Korvel Script"));
  pluginAction_->setEnabled(false);
  procData_.action = pluginAction_;

  statusBar()->showMessage(QStringLiteral("就绪"));
}

HostWindow::~HostWindow() = default;

bool HostWindow::loadPlugin(const QString& path, QString* errorText) {
  plugin_.setFileName(path);
  if (!plugin_.load()) {
    *errorText = plugin_.errorString();
    return false;
  }
  auto identify = reinterpret_cast<HuxProcIdentifyFn>(plugin_.resolve("HUX_PROC_IDENTIFY"));
  auto main = reinterpret_cast<HuxProcMainFn>(plugin_.resolve("HUX_PROC_MAIN"));
  auto console = reinterpret_cast<KorvelConsoleFn>(plugin_.resolve("korvelConsole"));
  if (!identify || !main || !console) {
    *errorText = QStringLiteral("%1 缺少插件入口函数").arg(path);
    return false;
  }
  PluginIdentity identity;
  if (identify(&identity)) {
    pluginAction_->setText(identity.name);
    pluginAction_->setToolTip(identity.tip);
  }
  HostEditorGetterFn getter = [this](QWidget*) { return currentEditor(); };
  HostCommandCallbackFn command = [this](QWidget* window, int code, void* data) {
    return hostCommand(window, code, data);
  };
  main(this, nullptr, getter, command, &procData_);
  pluginAction_->setEnabled(true);

  QWidget* widget = console(this);
  consoleDock_ = new QDockWidget(QStringLiteral("Korvel 控制台"), this);
  consoleDock_->setObjectName(QStringLiteral("korvelConsoleDock"));
  consoleDock_->setWidget(widget);
  addDockWidget(Qt::BottomDockWidgetArea, consoleDock_);
  connect(widget, SIGNAL(closeLibrary(int)), consoleDock_, SLOT(hide()));
  QAction* toggle = consoleDock_->toggleViewAction();
  connect(toggle, &QAction::triggered, widget, [widget](bool on) {
    if (on) widget->show();
  });
  menuBar()->addMenu(QStringLiteral("视图"))->addAction(toggle);
  return true;
}

QsciScintilla* HostWindow::newEditor() {
  auto* editor = new QsciScintilla(tabs_);
  editor->setUtf8(true);
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  editor->setFont(font);
  editor->setMarginType(0, QsciScintilla::NumberMargin);
  editor->setMarginWidth(0, QStringLiteral("00000"));
  editor->setMarginsFont(font);
  editor->setTabWidth(4);
  editor->setAutoIndent(true);
  // the five indicators the editor library highlights with
  // translucent, so the text stays readable
  const QColor colours[] = {QColor(255, 220, 0, 90), QColor(0, 200, 255, 90), QColor(120, 230, 120, 90),
                            QColor(255, 150, 200, 90), QColor(200, 170, 255, 90)};
  for (int i = 0; i < 5; ++i) {
    editor->indicatorDefine(QsciScintilla::FullBoxIndicator, 21 + i);
    editor->setIndicatorForegroundColor(colours[i], 21 + i);
  }
  tabs_->addTab(editor, QStringLiteral("新文件 %1").arg(tabs_->count() + 1));
  tabs_->setCurrentWidget(editor);
  return editor;
}

QsciScintilla* HostWindow::openFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    statusBar()->showMessage(QStringLiteral("无法打开文件 %1").arg(path), 5000);
    return nullptr;
  }
  QsciScintilla* editor = newEditor();
  editor->setText(QString::fromUtf8(file.readAll()));
  editor->setModified(false);
  const QString absolute = QFileInfo(path).absoluteFilePath();
  editor->setProperty(kPathProperty, absolute);
  tabs_->setTabText(tabs_->indexOf(editor), QFileInfo(path).fileName());
  tabs_->setTabToolTip(tabs_->indexOf(editor), absolute);
  return editor;
}

QsciScintilla* HostWindow::currentEditor() const {
  return qobject_cast<QsciScintilla*>(tabs_->currentWidget());
}

QsciScintilla* HostWindow::editorAt(int index) const {
  return qobject_cast<QsciScintilla*>(tabs_->widget(index));
}

void HostWindow::openFileDialog() {
  const QStringList files = QFileDialog::getOpenFileNames(this, QStringLiteral("打开文件"));
  for (const QString& path : files) openFile(path);
}

void HostWindow::saveCurrent() {
  if (QsciScintilla* editor = currentEditor()) saveEditor(editor);
}

bool HostWindow::saveEditor(QsciScintilla* editor) {
  QString path = editor->property(kPathProperty).toString();
  if (path.isEmpty()) {
    path = QFileDialog::getSaveFileName(this, QStringLiteral("保存文件"));
    if (path.isEmpty()) return false;
  }
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(editor->text().toUtf8()) < 0) {
    QMessageBox::warning(this, QStringLiteral("保存失败"), QStringLiteral("无法写入文件 %1").arg(path));
    return false;
  }
  editor->setModified(false);
  editor->setProperty(kPathProperty, QFileInfo(path).absoluteFilePath());
  tabs_->setTabText(tabs_->indexOf(editor), QFileInfo(path).fileName());
  statusBar()->showMessage(QStringLiteral("已保存 %1").arg(path), 3000);
  return true;
}

bool HostWindow::maybeSave(QsciScintilla* editor) {
  if (!editor->isModified()) return true;
  tabs_->setCurrentWidget(editor);
  const QMessageBox::StandardButton answer = QMessageBox::question(
      this, QStringLiteral("保存修改"),
      QStringLiteral("%1 有未保存的修改，是否保存？").arg(tabs_->tabText(tabs_->indexOf(editor))),
      QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
  if (answer == QMessageBox::Save) return saveEditor(editor);
  return answer == QMessageBox::Discard;
}

void HostWindow::closeTab(int index) {
  auto* editor = qobject_cast<QsciScintilla*>(tabs_->widget(index));
  if (!editor) return;
  // a running script may hold this editor
  if (scriptRunning_) {
    statusBar()->showMessage(QStringLiteral("脚本运行中，不能关闭编辑框，请先中断执行！"), 5000);
    return;
  }
  if (!maybeSave(editor)) return;
  tabs_->removeTab(tabs_->indexOf(editor));
  delete editor;
}

void HostWindow::stopScript() {
  for (QAbstractButton* button : findChildren<QAbstractButton*>(QStringLiteral("abortBt"))) {
    button->click();
    return;
  }
}

void HostWindow::closeEvent(QCloseEvent* event) {
  if (scriptRunning_) {
    event->ignore();
    const QMessageBox::StandardButton answer =
        QMessageBox::question(this, QStringLiteral("脚本正在执行"),
                              QStringLiteral("当前还有脚本还在执行中，是否中断执行并退出？"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    // the run may have ended while the question was open
    if (answer == QMessageBox::Yes && scriptRunning_) {
      closeAfterRun_ = true;
      stopScript();
      statusBar()->showMessage(QStringLiteral("正在中断脚本，结束后退出…"));
    } else if (answer == QMessageBox::Yes) {
      QTimer::singleShot(0, this, &QWidget::close);
    }
    return;
  }
  for (int i = 0; i < tabs_->count(); ++i) {
    auto* editor = qobject_cast<QsciScintilla*>(tabs_->widget(i));
    if (editor && !maybeSave(editor)) {
      event->ignore();
      return;
    }
  }
  event->accept();
}

// Replaces every occurrence of findText by replaceText in the record's
// editor (the editor of tab id when none is given). flags: 1 regular
// expression, 2 ignore case. Returns the number of replacements.
int HostWindow::replaceInEditor(HostEditRecord* record) {
  QsciScintilla* editor = record->editor ? record->editor : editorAt(record->id);
  if (!editor || record->findText.isEmpty()) return -1;
  QString text = editor->text();
  const Qt::CaseSensitivity cs = (record->flags & 2) ? Qt::CaseInsensitive : Qt::CaseSensitive;
  int count = 0;
  if (record->flags & 1) {
    QRegularExpression re(record->findText, cs == Qt::CaseInsensitive
                                                ? QRegularExpression::CaseInsensitiveOption
                                                : QRegularExpression::NoPatternOption);
    if (!re.isValid()) return -1;
    QRegularExpressionMatchIterator it = re.globalMatch(text);
    while (it.hasNext()) {
      if (it.next().capturedLength() > 0) ++count;
    }
    text.replace(re, record->replaceText);
  } else {
    count = text.count(record->findText, cs);
    text.replace(record->findText, record->replaceText, cs);
  }
  if (count > 0) {
    // one undo step on top of the user's own: the widget's setText would
    // empty the undo history
    editor->beginUndoAction();
    editor->SendScintilla(QsciScintillaBase::SCI_SETTEXT, text.toUtf8().constData());
    editor->endUndoAction();
  }
  return count;
}

bool HostWindow::hostCommand(QWidget* window, int code, void* data) {
  Q_UNUSED(window);
  switch (code) {
    case HOST_NEW_EDITOR:
      newEditor();
      return true;
    case HOST_CUR_FILE_PATH: {
      QsciScintilla* editor = currentEditor();
      const QString path = editor ? editor->property(kPathProperty).toString() : QString();
      if (data) *static_cast<QString*>(data) = path;
      return !path.isEmpty();
    }
    case HOST_MANAGER_START:
      return data == this;
    case HOST_RUN_STATE: {
      scriptRunning_ = data && *static_cast<int*>(data) == 1;
      statusBar()->showMessage(scriptRunning_ ? QStringLiteral("脚本运行中…") : QStringLiteral("就绪"));
      if (!scriptRunning_ && closeAfterRun_) {
        closeAfterRun_ = false;
        QTimer::singleShot(0, this, &QWidget::close);
      }
      return true;
    }
    case HOST_GET_EDIT: {
      auto* record = static_cast<HostEditRecord*>(data);
      if (!record) return false;
      record->editor = editorAt(record->id);
      return record->editor != nullptr;
    }
    case HOST_DARK_THEME:
      return dark_;
    case HOST_REPLACE: {
      auto* record = static_cast<HostEditRecord*>(data);
      if (!record) return false;
      const int count = replaceInEditor(record);
      if (count < 0) return false;
      record->count = count;
      return true;
    }
    default:
      return false;
  }
}
