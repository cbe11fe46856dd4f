#include "KorvelConsole.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
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
#include "runtime/host_services.h"
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
  OutputPane* textEdit;

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
    // fixed pitch, so that the caret line under a syntax error lines up
    textEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

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

enum class IconShape { Play, Stop, Clear, Close };

// A light icon of the shape, drawn for the dark theme, where the style's own
// icons are dark grey on black.
QIcon lightIcon(IconShape shape) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor colour(0xe6, 0xe6, 0xe6);
  painter.setPen(QPen(colour, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  switch (shape) {
    case IconShape::Play:
      painter.setBrush(colour);
      painter.drawPolygon(QPolygonF({QPointF(9, 6), QPointF(26, 16), QPointF(9, 26)}));
      break;
    case IconShape::Stop:
      painter.setBrush(colour);
      painter.drawRect(QRectF(8, 8, 16, 16));
      break;
    case IconShape::Clear:  // a waste bin
      painter.drawLine(QPointF(6, 8), QPointF(26, 8));
      painter.drawLine(QPointF(13, 5), QPointF(19, 5));
      painter.drawPolyline(QPolygonF({QPointF(9, 8), QPointF(11, 27), QPointF(21, 27), QPointF(23, 8)}));
      painter.drawLine(QPointF(16, 12), QPointF(16, 23));
      break;
    case IconShape::Close:
      painter.drawLine(QPointF(8, 8), QPointF(24, 24));
      painter.drawLine(QPointF(24, 8), QPointF(8, 24));
      break;
  }
  painter.end();
  return QIcon(pixmap);
}

// The host's icon at path; where the host carries no such resource, a light
// icon of our own for the dark theme, or else the style's icon for the same
// action.
QIcon hostIcon(const char* path, bool dark, IconShape shape, QStyle::StandardPixmap fallback,
               QWidget* widget) {
  const QString file = QString::fromLatin1(path);
  if (QFile::exists(file)) return QIcon(file);
  if (dark) return lightIcon(shape);
  return widget->style()->standardIcon(fallback, nullptr, widget);
}

}  // namespace

KorvelConsole::KorvelConsole(QWidget* parent)
    : QWidget(parent), ui_(new KorvelConsoleForm), hostWindow_(parent) {
  ui_->setupUi(this);
  setIcons(false);
  if (HostCommandCallback(hostWindow_, HOST_DARK_THEME, nullptr)) {
    // a plain QWidget paints the style sheet's background only when asked to
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QString::fromLatin1(kDarkStyle));
    setIcons(true);
  }
}

KorvelConsole::~KorvelConsole() { delete ui_; }

void KorvelConsole::setIcons(bool dark) {
  ui_->startBt->setIcon(hostIcon(dark ? ":/jotpage/b48/startrd.png" : ":/jotpage/play.png", dark,
                                 IconShape::Play, QStyle::SP_MediaPlay, this));
  ui_->abortBt->setIcon(hostIcon(dark ? ":/jotpage/b48/endrd.png" : ":/jotpage/endrd.png", dark,
                                 IconShape::Stop, QStyle::SP_MediaStop, this));
  ui_->clearBt->setIcon(hostIcon(dark ? ":/jotpage/b48/undo.png" : ":/Resources/img/clear.png", dark,
                                 IconShape::Clear, QStyle::SP_DialogResetButton, this));
  ui_->closeBt->setIcon(hostIcon(dark ? ":/jotpage/rightClosedark.png" : ":/jotpage/rightClose.png",
                                 dark, IconShape::Close, QStyle::SP_TitleBarCloseButton, this));
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
    QEventLoop wait;
    std::thread worker([block, &wait] {
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
      QMetaObject::invokeMethod(&wait, "quit", Qt::QueuedConnection);
    });
    // The GUI thread sleeps in its event loop until the worker is done: the
    // window, Stop, the output pane and the editor calls the worker hands
    // over all stay served.
    if (runFinished.load() == 0) wait.exec();
    if (runFinished.load() == 0) {
      // The loop was ended from outside: the application is quitting. The
      // run must not outlive it: stop the script and serve it until it ends.
      abortRequested.exchange(true);
      while (runFinished.load() == 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
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
