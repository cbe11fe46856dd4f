#include "KorvelConsole.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStyle>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <exception>
#include <iostream>
#include <thread>

#include <Qsci/qsciscintilla.h>

#include "FormBuilder.h"
#include "HostServices.h"
#include "OutputRedirect.h"
#include "builtins/CommandLine.h"
#include "interpreter/RunDriver.h"
#include "runtime/run_state.h"

// The console's widgets.
class KorvelConsoleForm {
 public:
  QVBoxLayout* verticalLayout;
  QHBoxLayout* horizontalLayout;
  QToolButton* startBt;
  QToolButton* abortBt;
  QToolButton* clearBt;
  QLabel* label;
  QLineEdit* paraLineEdit;
  QCheckBox* workDirCheckBox;
  QToolButton* closeBt;
  QTextEdit* textEdit;

  void setupUi(QWidget* console) {
    console->setObjectName(QStringLiteral("KorvelConsoleClass"));
    console->resize(685, 308);
    newNamedLayout(verticalLayout, "verticalLayout", 6, console, 2);
    newNamedLayout(horizontalLayout, "horizontalLayout", 12);
    auto add = [&](auto*& w, const char* name) {
      addNamedWidget(w, console, name, horizontalLayout);
    };
    add(startBt, "startBt");
    add(abortBt, "abortBt");
    add(clearBt, "clearBt");
    add(label, "label");
    add(paraLineEdit, "paraLineEdit");
    add(workDirCheckBox, "workDirCheckBox");
    workDirCheckBox->setChecked(true);
    horizontalLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    add(closeBt, "closeBt");
    verticalLayout->addLayout(horizontalLayout);

    addNamedWidget(textEdit, console, "textEdit", verticalLayout);
    textEdit->setReadOnly(true);
    textEdit->setUndoRedoEnabled(false);
    textEdit->setProperty("tabStopWidth", 40);

    retranslateUi(console);

    QObject::connect(startBt, SIGNAL(clicked()), console, SLOT(on_start()));
    QObject::connect(abortBt, SIGNAL(clicked()), console, SLOT(on_stop()));
    QObject::connect(clearBt, SIGNAL(clicked()), textEdit, SLOT(clear()));
    QObject::connect(closeBt, SIGNAL(clicked()), console, SLOT(close()));
    QMetaObject::connectSlotsByName(console);
  }

  void retranslateUi(QWidget* console) {
    console->setWindowTitle(QCoreApplication::translate("KorvelConsoleClass", "KorvelConsole"));
    label->setText(QStringLiteral("脚本参数："));
    workDirCheckBox->setText(
        QCoreApplication::translate("KorvelConsoleClass", "工作目录设置为脚本所在目录"));
  }
};

namespace {

const char kDarkStyle[] =
    "QWidget{color:white;background-color:black;}"
    "QPushButton{color:white;background-color:black;border:none;}"
    "QPushButton:pressed{background-color:#333333;}";

// The host's icon at path; where the host carries no such resource, the
// style's own icon for the same action.
QIcon hostIcon(const char* path, QStyle::StandardPixmap fallback, QWidget* widget) {
  const QString file = QString::fromLatin1(path);
  if (QFile::exists(file)) return QIcon(file);
  return widget->style()->standardIcon(fallback, nullptr, widget);
}

}  // namespace

KorvelConsole::KorvelConsole(QWidget* parent)
    : QWidget(parent), ui_(new KorvelConsoleForm), hostWindow_(parent) {
  ui_->setupUi(this);
  setIcons(false);
  if (HostCommandCallback(hostWindow_, HOST_DARK_THEME, nullptr)) {
    setStyleSheet(QString::fromLatin1(kDarkStyle));
    setIcons(true);
  }
}

KorvelConsole::~KorvelConsole() { delete ui_; }

void KorvelConsole::setIcons(bool dark) {
  ui_->startBt->setIcon(hostIcon(dark ? ":/jotpage/b48/startrd.png" : ":/jotpage/play.png",
                                 QStyle::SP_MediaPlay, this));
  ui_->abortBt->setIcon(hostIcon(dark ? ":/jotpage/b48/endrd.png" : ":/jotpage/endrd.png",
                                 QStyle::SP_MediaStop, this));
  ui_->clearBt->setIcon(hostIcon(dark ? ":/jotpage/b48/undo.png" : ":/Resources/img/clear.png",
                                 QStyle::SP_DialogResetButton, this));
  ui_->closeBt->setIcon(hostIcon(dark ? ":/jotpage/rightClosedark.png" : ":/jotpage/rightClose.png",
                                 QStyle::SP_TitleBarCloseButton, this));
  ui_->startBt->setToolTip(QStringLiteral("运行当前kor脚本"));
  ui_->abortBt->setToolTip(QStringLiteral("终止当前运行"));
  ui_->clearBt->setToolTip(QStringLiteral("清空日志"));
}

void KorvelConsole::on_start() {
  if (scriptRunning) return;
  abortRequested.exchange(false);
  StreamRedirect redirect(this, ui_->textEdit);

  QStringList args{QStringLiteral("korvel"), QStringLiteral("002")};
  const QString line = ui_->paraLineEdit->text().trimmed();
  if (!line.isEmpty()) {
    const QStringList words = splitCommandLine(line.toUtf8(), nullptr);
    if (words.isEmpty()) {
      redirect.restore();
      QCoreApplication::processEvents();
      redirect.release();
      return;
    }
    args << words;
  }

  scriptRunning = true;
  ui_->startBt->setEnabled(false);
  int running = 1;
  HostCommandCallback(hostWindow_, HOST_RUN_STATE, &running);
  if (ui_->workDirCheckBox->isChecked()) {
    QString path;
    if (HostCommandCallback(hostWindow_, HOST_CUR_FILE_PATH, &path))
      QDir::setCurrent(QFileInfo(path).path());
  }
  runFinished.exchange(0);

  bool onGuiThread = false;
  if (QsciScintilla* editor = HostEditorGetter(hostWindow_)) {
    sourceText = editor->text().toUtf8();
    // scripts that drive the host's windows run where the windows live
    onGuiThread = sourceText.contains("getMainWin");
  }
  if (onGuiThread) {
    try {
      korvelMain(hostWindow_, args, RunMode::SourceFilled);
    } catch (std::exception& e) {
      std::cerr << "捕获通用异常信息: " << e.what() << std::endl;
    } catch (...) {
      std::cerr << "捕获异常" << std::endl;
    }
  } else {
    auto* block = new ScriptThreadBlock;
    block->console = this;
    block->host = hostWindow_;
    block->args = args;
    std::thread worker([block] {
      try {
        scriptThreadProc(block);
      } catch (std::exception& e) {
        // the run ended outside the driver's own handlers: report it and
        // let the console's wait end
        std::cerr << "捕获通用异常信息: " << e.what() << std::endl;
        delete block;
        runFinished.exchange(1);
      } catch (...) {
        std::cerr << "捕获异常" << std::endl;
        delete block;
        runFinished.exchange(1);
      }
    });
    while (runFinished.load() == 0) QCoreApplication::processEvents(QEventLoop::AllEvents);
    worker.join();
  }

  redirect.restore();
  running = 0;
  HostCommandCallback(hostWindow_, HOST_RUN_STATE, &running);
  scriptRunning = false;
  QCoreApplication::processEvents();
  redirect.release();
  ui_->startBt->setEnabled(true);
}

void KorvelConsole::on_stop() { abortRequested.exchange(true); }

void KorvelConsole::on_clear() { ui_->textEdit->clear(); }

void KorvelConsole::closeEvent(QCloseEvent* event) {
  if (scriptRunning) {
    event->ignore();
    QMessageBox::warning(nullptr, QStringLiteral("请先中断执行"),
                         QStringLiteral("当前还有脚本还在执行中，请先中断执行！"), QMessageBox::Ok,
                         QMessageBox::NoButton);
    return;
  }
  Q_EMIT closeLibrary(0);
}
