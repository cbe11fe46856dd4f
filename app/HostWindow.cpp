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

#include "runtime/source_codec.h"

namespace {
const char kPathProperty[] = "filePath";
// the encoding the file was read in, which saving keeps: a codec id and
// whether the file begins with a byte-order mark
const char kCodecProperty[] = "fileCodec";
const char kMarkProperty[] = "fileByteOrderMark";

SourceEncoding encodingOf(const QsciScintilla* editor) {
  SourceEncoding encoding;
  const QVariant codec = editor->property(kCodecProperty);
  if (codec.isValid()) encoding.codec = codec.toInt();
  encoding.byteOrderMark = editor->property(kMarkProperty).toBool();
  return encoding;
}

QString encodingName(const SourceEncoding& encoding) {
  switch (encoding.codec) {
    case CODEC_UTF16LE: return QStringLiteral("UTF-16LE");
    case CODEC_UTF16BE: return QStringLiteral("UTF-16BE");
    case CODEC_GB18030: return QStringLiteral("GB18030");
    default: return encoding.byteOrderMark ? QStringLiteral("UTF-8（带 BOM）") : QStringLiteral("UTF-8");
  }
}

// The document's bytes (UTF-8, NUL bytes included).
QByteArray documentBytes(QsciScintilla* editor) {
  const long length = editor->SendScintilla(QsciScintillaBase::SCI_GETLENGTH);
  const auto* text = static_cast<const char*>(
      editor->SendScintillaPtrResult(QsciScintillaBase::SCI_GETCHARACTERPOINTER));
  return length > 0 && text ? QByteArray(text, int(length)) : QByteArray();
}
}  // namespace

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
  // read as the runner reads scripts, and kept in that encoding
  const QByteArray bytes = file.readAll();
  QByteArray text;
  SourceEncoding encoding;
  if (tryDecodeSourceText(bytes.constData(), int32_t(bytes.size()), text, &encoding) < 0) {
    statusBar()->showMessage(
        QStringLiteral("无法打开文件 %1：它不是 UTF-8、带 BOM 的 UTF-16 或 GB18030 编码的文字").arg(path), 5000);
    return nullptr;
  }
  QsciScintilla* editor = newEditor();
  // by length: the text may hold NUL bytes
  editor->SendScintilla(QsciScintillaBase::SCI_APPENDTEXT, static_cast<unsigned long>(text.size()),
                        text.constData());
  editor->SendScintilla(QsciScintillaBase::SCI_EMPTYUNDOBUFFER);
  editor->setModified(false);
  const QString absolute = QFileInfo(path).absoluteFilePath();
  editor->setProperty(kPathProperty, absolute);
  editor->setProperty(kCodecProperty, encoding.codec);
  editor->setProperty(kMarkProperty, encoding.byteOrderMark);
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
  // in the encoding the file was read in; what it cannot hold leaves the
  // file as it is
  const SourceEncoding encoding = encodingOf(editor);
  QByteArray bytes;
  if (!encodeSourceText(documentBytes(editor), encoding, bytes)) {
    QMessageBox::warning(this, QStringLiteral("保存失败"),
                         QStringLiteral("无法按文件原来的编码 %1 保存 %2：文字中有这种编码写不出、或写出后读回会变样的内容"
                                        "（例如不完整的多字节字符）。文件保持原样，没有写入。")
                             .arg(encodingName(encoding), path));
    return false;
  }
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
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
// expression, 2 ignore case. Occurrences are taken from left to right
// without overlapping; a pattern's matches are those of its global match,
// empty ones included (after an empty match the next one starts further on),
// as the korvel regular-expression library finds them. Returns the number
// of replacements.
int HostWindow::replaceInEditor(HostEditRecord* record) {
  QsciScintilla* editor = record->editor ? record->editor : editorAt(record->id);
  if (!editor || record->findText.isEmpty()) return -1;
  QString text = QString::fromUtf8(documentBytes(editor));
  const Qt::CaseSensitivity cs = (record->flags & 2) ? Qt::CaseInsensitive : Qt::CaseSensitive;
  int count = 0;
  if (record->flags & 1) {
    QRegularExpression re(record->findText, cs == Qt::CaseInsensitive
                                                ? QRegularExpression::CaseInsensitiveOption
                                                : QRegularExpression::NoPatternOption);
    if (!re.isValid()) return -1;
    for (QRegularExpressionMatchIterator it = re.globalMatch(text); it.hasNext(); it.next()) ++count;
    text.replace(re, record->replaceText);
  } else {
    const int step = record->findText.size();
    for (int at = text.indexOf(record->findText, 0, cs); at >= 0;
         at = text.indexOf(record->findText, at + step, cs))
      ++count;
    text.replace(record->findText, record->replaceText, cs);
  }
  if (count > 0) {
    // one undo step on top of the user's own (the widget's setText would
    // empty the undo history), by length: the text may hold NUL bytes
    const QByteArray bytes = text.toUtf8();
    editor->beginUndoAction();
    editor->SendScintilla(QsciScintillaBase::SCI_SETTARGETRANGE, 0UL,
                          editor->SendScintilla(QsciScintillaBase::SCI_GETLENGTH));
    editor->SendScintilla(QsciScintillaBase::SCI_REPLACETARGET, static_cast<unsigned long>(bytes.size()),
                          bytes.constData());
    editor->SendScintilla(QsciScintillaBase::SCI_SETEMPTYSELECTION, 0UL);
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
