#include "KorvelWin.h"

#include <QAction>
#include <QBuffer>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTextEdit>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QUrl>
#include <QVBoxLayout>

#include <cstring>
#include <exception>
#include <iostream>

#include "DragLineEdit.h"
#include "FormBuilder.h"
#include "runtime/host_services.h"
#include "OutputRedirect.h"
#include "interpreter/RunDriver.h"
#include "runtime/file_names.h"
#include "runtime/run_state.h"
#include "runtime/source_text.h"

namespace {

// Item data role of the script's full path.
constexpr int kPathRole = Qt::UserRole + 1;

QString tr_(const char* text) { return QCoreApplication::translate("Korvel", text); }

QSpacerItem* hSpacer() { return new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum); }

// Files longer than this have only their beginning decoded for the header,
// which lies within the first 101 lines of at most 1023 bytes.
constexpr qint64 kHeadScanBytes = 1 << 20;

// The script's text (UTF-8) as the run decodes it, or the bytes as they are
// when they cannot be decoded (the run then reports it).
QByteArray scriptTextForHeader(QFile& file) {
  QByteArray bytes = file.read(kHeadScanBytes);
  // only the beginning of a long file: cut after its last line feed, so that
  // no UTF-8 or GB18030 character is cut; UTF-16 is cut after whole code
  // units, and before a surrogate pair's first half
  const bool utf16 = bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF");
  if (!file.atEnd() && !utf16) bytes.truncate(bytes.lastIndexOf('\n') + 1);
  if (!file.atEnd() && utf16) {
    bytes.truncate(bytes.size() & ~1);
    const int high = bytes.startsWith("\xFF\xFE") ? 1 : 0;  // the byte with a unit's high bits
    if (bytes.size() >= 4 && (uchar(bytes[bytes.size() - 2 + high]) & 0xFC) == 0xD8) bytes.chop(2);
  }
  QByteArray text;
  return tryDecodeSourceText(bytes.constData(), int32_t(bytes.size()), text) >= 0 ? text : bytes;
}

}  // namespace

// The window's widgets.
class KorvelWinForm {
 public:
  QAction* actionOpen_Script_Dir;
  QWidget* centralWidget;
  QVBoxLayout* verticalLayout_2;
  QGroupBox* groupBox;
  QVBoxLayout* verticalLayout;
  QHBoxLayout* horizontalLayout;
  QLabel* inputFileLabel;
  DragLineEdit* inputFileLineEdit;
  QPushButton* selectInputFileBt;
  QHBoxLayout* horizontalLayout_2;
  QLabel* outputFileLabel;
  DragLineEdit* outputFileLineEdit;
  QPushButton* selectOutputFileBt;
  QHBoxLayout* horizontalLayout_3;
  QLabel* para1;
  QLineEdit* para1LineEdit;
  QHBoxLayout* horizontalLayout_4;
  QLabel* para2;
  QLineEdit* para2LineEdit;
  QHBoxLayout* horizontalLayout_5;
  QLabel* para3;
  QLineEdit* para3LineEdit;
  QHBoxLayout* horizontalLayout_6;
  QLabel* comboxLabel1;
  QComboBox* comboBox1;
  QPushButton* pushButton;
  QTreeWidget* treeWidget;
  OutputPane* textEdit;
  QHBoxLayout* horizontalLayout_12;
  QPushButton* startWorkBt;
  QPushButton* clearBt;
  QPushButton* abortBt;
  QPushButton* searchBt;
  QPushButton* closeBt;
  QMenuBar* menuBar;
  QMenu* menu;
  QStatusBar* statusBar;

  void setupUi(QMainWindow* win) {
    win->setObjectName(QStringLiteral("Korvel"));
    win->resize(919, 732);
    actionOpen_Script_Dir = new QAction(win);
    actionOpen_Script_Dir->setObjectName(QStringLiteral("actionOpen_Script_Dir"));

    centralWidget = new QWidget(win);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));
    newNamedLayout(verticalLayout_2, "verticalLayout_2", 6, centralWidget, 2);

    groupBox = new QGroupBox(centralWidget);
    groupBox->setObjectName(QStringLiteral("groupBox"));
    newNamedLayout(verticalLayout, "verticalLayout", 6, groupBox, 11);

    // one row of the options box: the row's widgets belong to the box
    auto row = [&](QHBoxLayout*& layout, const char* name) {
      newNamedLayout(layout, name, 6);
      verticalLayout->addLayout(layout);
    };
    auto add = [&](auto*& w, const char* name, QHBoxLayout* layout) {
      addNamedWidget(w, groupBox, name, layout);
    };

    row(horizontalLayout, "horizontalLayout");
    add(inputFileLabel, "inputFileLabel", horizontalLayout);
    add(inputFileLineEdit, "inputFileLineEdit", horizontalLayout);
    add(selectInputFileBt, "selectInputFileBt", horizontalLayout);

    row(horizontalLayout_2, "horizontalLayout_2");
    add(outputFileLabel, "outputFileLabel", horizontalLayout_2);
    add(outputFileLineEdit, "outputFileLineEdit", horizontalLayout_2);
    add(selectOutputFileBt, "selectOutputFileBt", horizontalLayout_2);

    row(horizontalLayout_3, "horizontalLayout_3");
    add(para1, "para1", horizontalLayout_3);
    add(para1LineEdit, "para1LineEdit", horizontalLayout_3);

    row(horizontalLayout_4, "horizontalLayout_4");
    add(para2, "para2", horizontalLayout_4);
    add(para2LineEdit, "para2LineEdit", horizontalLayout_4);

    row(horizontalLayout_5, "horizontalLayout_5");
    add(para3, "para3", horizontalLayout_5);
    add(para3LineEdit, "para3LineEdit", horizontalLayout_5);

    row(horizontalLayout_6, "horizontalLayout_6");
    add(comboxLabel1, "comboxLabel1", horizontalLayout_6);
    add(comboBox1, "comboBox1", horizontalLayout_6);
    comboBox1->setMinimumWidth(450);
    horizontalLayout_6->addItem(hSpacer());
    add(pushButton, "pushButton", horizontalLayout_6);

    verticalLayout_2->addWidget(groupBox);

    addNamedWidget(treeWidget, centralWidget, "treeWidget", verticalLayout_2);
    treeWidget->setColumnCount(4);
    treeWidget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    treeWidget->setExpandsOnDoubleClick(false);

    addNamedWidget(textEdit, centralWidget, "textEdit", verticalLayout_2);
    textEdit->setTabStopDistance(40);
    // fixed pitch, so that the caret line under a syntax error lines up
    textEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    // the bottom row: each button followed by a stretching gap
    newNamedLayout(horizontalLayout_12, "horizontalLayout_12", 6);
    auto bottom = [&](QPushButton*& w, const char* name) {
      addNamedWidget(w, centralWidget, name, horizontalLayout_12);
      horizontalLayout_12->addItem(hSpacer());
    };
    bottom(startWorkBt, "startWorkBt");
    bottom(clearBt, "clearBt");
    bottom(abortBt, "abortBt");
    bottom(searchBt, "searchBt");
    bottom(closeBt, "closeBt");
    verticalLayout_2->addLayout(horizontalLayout_12);

    win->setCentralWidget(centralWidget);
    menuBar = new QMenuBar(win);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    menuBar->setGeometry(QRect(0, 0, 919, 33));
    menu = new QMenu(menuBar);
    menu->setObjectName(QStringLiteral("menu"));
    win->setMenuBar(menuBar);
    statusBar = new QStatusBar(win);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    win->setStatusBar(statusBar);
    menuBar->addAction(menu->menuAction());
    menu->addAction(actionOpen_Script_Dir);

    retranslateUi(win);

    QObject::connect(searchBt, SIGNAL(clicked()), win, SLOT(on_search()));
    QObject::connect(startWorkBt, SIGNAL(clicked()), win, SLOT(on_startWork()));
    QObject::connect(clearBt, SIGNAL(clicked()), win, SLOT(on_clear()));
    QObject::connect(abortBt, SIGNAL(clicked()), win, SLOT(on_abort()));
    QObject::connect(closeBt, SIGNAL(clicked()), win, SLOT(close()));
    QObject::connect(actionOpen_Script_Dir, SIGNAL(triggered()), win, SLOT(on_openScriptDir()));
    QObject::connect(selectInputFileBt, SIGNAL(clicked()), win, SLOT(on_select()));
    QObject::connect(selectOutputFileBt, SIGNAL(clicked()), win, SLOT(on_select()));
    QObject::connect(pushButton, SIGNAL(clicked()), win, SLOT(on_openScriptDir()));
    QMetaObject::connectSlotsByName(win);
  }

  void retranslateUi(QMainWindow* win) {
    win->setWindowTitle(tr_("Korvel Script Plugin"));
    actionOpen_Script_Dir->setText(tr_("Open Script Dir"));
    groupBox->setTitle(tr_("Options"));
    inputFileLabel->setText(tr_("input filepath"));
    selectInputFileBt->setText(tr_("Select"));
    outputFileLabel->setText(tr_("output filepath"));
    selectOutputFileBt->setText(tr_("Select"));
    para1->setText(tr_("string para 1"));
    para2->setText(tr_("string para 2"));
    para3->setText(tr_("string para 3"));
    comboxLabel1->setText(tr_("combox para 1"));
    pushButton->setText(tr_("Open Script Dir"));
    treeWidget->setHeaderLabels(
        {tr_("Script Name"), tr_("Desc"), tr_("Author"), tr_("Version")});
    startWorkBt->setText(tr_("Start Work"));
    clearBt->setText(tr_("Clear Output"));
    abortBt->setText(tr_("Abort"));
    searchBt->setText(tr_("Search"));
    closeBt->setText(tr_("Close"));
    menu->setTitle(tr_("tools"));
  }
};

KorvelWin::KorvelWin(QWidget* hostWindow)
    : QMainWindow(hostWindow), ui_(new KorvelWinForm), hostWindow_(hostWindow) {
  ui_->setupUi(this);
  loadScripts();
  ui_->treeWidget->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  ui_->treeWidget->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
}

KorvelWin::~KorvelWin() { delete ui_; }

ScriptHeadInfo KorvelWin::readScriptHeadInfo(const QString& path) {
  static const QByteArray kBegin("headinfo-begin");
  static const QByteArray kEnd("headinfo-end");

  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    statusBar()->showMessage(QStringLiteral("打开脚本 %1 头部属性信息失败！").arg(path));
  // the lines are read from the text as the run decodes it (GB18030, UTF-16
  // and marked UTF-8 files become UTF-8 first)
  QByteArray text = file.isOpen() ? scriptTextForHeader(file) : QByteArray();
  QBuffer source(&text);
  source.open(QIODevice::ReadOnly);

  QStringList lines;
  bool begun = false;
  bool ended = false;
  bool atEnd = false;
  int counter = 0;
  char buffer[1024];
  for (;;) {
    std::memset(buffer, 0, sizeof buffer);
    qint64 n = source.readLine(buffer, sizeof buffer);
    if (n <= 0) {
      atEnd = true;
      break;
    }
    QByteArray line(buffer, int(n));
    if (!begun) {
      if (line.startsWith(kBegin)) begun = true;
    } else {
      QByteArray kept = line.trimmed();
      if (!kept.isEmpty()) lines << QString::fromUtf8(kept);
      if (line.startsWith(kEnd)) {
        ended = true;
        break;
      }
    }
    if (++counter > 100) break;
  }
  if (atEnd)
    statusBar()->showMessage(
        QStringLiteral("读取脚本 %1 头部属性信息完成！该脚本没有头部信息").arg(path), 3000);

  ScriptHeadInfo info;
  if (!begun || !ended) return info;

  struct Key {
    const char* text;
    QString ScriptHeadInfo::*field;  // null for need and comboxPara1
  };
  static const Key kKeys[] = {
      {"ScriptName=", &ScriptHeadInfo::ScriptName},
      {"Desc=", &ScriptHeadInfo::Desc},
      {"Author=", &ScriptHeadInfo::Author},
      {"Version=", &ScriptHeadInfo::Version},
      {"Comment=", &ScriptHeadInfo::Comment},
      {"need=", nullptr},
      {"inputFilePath=", &ScriptHeadInfo::inputFilePath},
      {"outputFilePath=", &ScriptHeadInfo::outputFilePath},
      {"stringPara1=", &ScriptHeadInfo::stringPara1},
      {"stringPara2=", &ScriptHeadInfo::stringPara2},
      {"stringPara3=", &ScriptHeadInfo::stringPara3},
      {"comboxPara1=", nullptr},
  };
  for (const QString& line : lines) {
    for (const Key& key : kKeys) {
      const QString name = QString::fromLatin1(key.text);
      if (!line.startsWith(name)) continue;
      const QString value = line.mid(name.size());
      if (key.field) {
        if (!(info.*key.field).isEmpty()) continue;
        info.*key.field = value;
      } else if (name == QLatin1String("need=")) {
        if (info.need != -1) continue;
        bool ok = false;
        int need = value.toInt(&ok, 10);
        if (!ok) need = 0;
        if (need == 0 || need == 1)
          info.need = need;
        else
          statusBar()->showMessage(
              QStringLiteral("文件头 %1 错误的 para/need 值 %2，将忽略参数").arg(path, value));
      } else {
        if (!info.comboxPara1.isEmpty()) continue;
        info.comboxPara1 = value.split(QLatin1Char(','), Qt::KeepEmptyParts);
      }
      break;
    }
  }
  return info;
}

QString KorvelWin::scriptFolder() {
  QDir dir(QCoreApplication::applicationDirPath());
  dir.cd(QStringLiteral("./plugin/korvel-scripts"));
  return dir.absolutePath();
}

void KorvelWin::loadScripts() {
  QDir dir(scriptFolder());
  // every script, whatever bytes its name holds (as the file library lists);
  // the suffix is compared here, since a name filter passes over a name that
  // is not UTF-8
  const QFileInfoList entries = listDirectory(dir, QDir::Files | QDir::Readable, QDir::Name);
  for (const QFileInfo& entry : entries) {
    const QString name = entry.fileName();
    if (!name.endsWith(QLatin1String(".kor"), Qt::CaseInsensitive)) continue;
    auto* item = new QTreeWidgetItem(ui_->treeWidget, QStringList{name});
    const QString path = dir.absolutePath() + QLatin1Char('/') + name;
    item->setData(0, kPathRole, path);
    ScriptHeadInfo info = readScriptHeadInfo(path);
    headInfos_.insert(info.ScriptName, info);
    item->setText(0, info.ScriptName);
    item->setText(1, info.Desc);
    item->setText(2, info.Author);
    item->setText(3, info.Version);
  }
  connect(ui_->treeWidget, &QTreeWidget::itemPressed, this, &KorvelWin::on_itemPressed,
          Qt::UniqueConnection);
  // keys, dragging and the search change the current item without a press;
  // keys and dragging select the new item only after it became current
  connect(ui_->treeWidget, &QTreeWidget::currentItemChanged, this, &KorvelWin::refuseSwitchDuringRun,
          Qt::UniqueConnection);
  connect(ui_->treeWidget, &QTreeWidget::itemSelectionChanged, this,
          [this] { refuseSwitchDuringRun(ui_->treeWidget->selectedItems().value(0)); });
  if (QTreeWidgetItem* first = ui_->treeWidget->topLevelItem(0)) {
    on_itemPressed(first, 0);
    ui_->treeWidget->setCurrentItem(first);
  }
}

bool KorvelWin::refuseSwitchDuringRun(QTreeWidgetItem* item) {
  if (!runningHere_ || item == runningItem_) return false;
  ui_->treeWidget->setCurrentItem(runningItem_);
  statusBar()->showMessage(QStringLiteral("当前脚本还在执行中，执行结束或中断后才能切换脚本！"), 5000);
  return true;
}

void KorvelWin::on_itemPressed(QTreeWidgetItem* item, int) {
  if (!item || refuseSwitchDuringRun(item)) return;
  showScriptHeadInfo(headInfos_.value(item->text(0)));
}

void KorvelWin::showScriptHeadInfo(const ScriptHeadInfo& info) {
  if (info.need != 0) {
    ui_->inputFileLineEdit->setText(info.inputFilePath);
    ui_->outputFileLineEdit->setText(info.outputFilePath);
    ui_->para1LineEdit->setText(info.stringPara1);
    ui_->para2LineEdit->setText(info.stringPara2);
    ui_->para3LineEdit->setText(info.stringPara3);
    ui_->comboBox1->clear();
    if (!info.comboxPara1.isEmpty()) ui_->comboBox1->addItems(info.comboxPara1);
    ui_->textEdit->setText(info.Comment);
  } else {
    ui_->inputFileLineEdit->setText(QString());
    ui_->outputFileLineEdit->setText(QString());
    ui_->para1LineEdit->setText(QString());
    ui_->para2LineEdit->setText(QString());
    ui_->para3LineEdit->setText(QString());
    ui_->comboBox1->clear();
    ui_->textEdit->clear();
  }
}

void KorvelWin::on_startWork() {
  QTreeWidgetItem* item = ui_->treeWidget->currentItem();
  if (!item) {
    statusBar()->showMessage(QStringLiteral("请先选中一个要执行的脚本！"));
    return;
  }
  if (!HostCommandCallback(hostWindow_, HOST_MANAGER_START, hostWindow_)) {
    QMessageBox::warning(this, QStringLiteral("错误"),
                         QStringLiteral("目前只有主窗口才能执行korvel 脚本插件，请在主窗口中打开该插件！"),
                         QMessageBox::Ok, QMessageBox::NoButton);
    return;
  }
  runScript(item->data(0, kPathRole).toString());
}

QStringList KorvelWin::runArguments(const QString& path) const {
  QStringList args{QStringLiteral("korvel"), path};
  auto option = [&args](const char* name, const QString& text) {
    if (!text.isEmpty()) args << QString::fromLatin1(name) << text;
  };
  option("-p1", ui_->para1LineEdit->text());
  option("-p2", ui_->para2LineEdit->text());
  option("-p3", ui_->para3LineEdit->text());
  option("-i", ui_->inputFileLineEdit->text());
  option("-o", ui_->outputFileLineEdit->text());
  const QString choice = ui_->comboBox1->currentText();
  if (!choice.isEmpty())
    args << QStringLiteral("-c") << choice << QStringLiteral("-ci")
         << QString::number(ui_->comboBox1->currentIndex());
  return args;
}

void KorvelWin::runScript(const QString& path) {
  if (scriptRunning) return;
  ui_->textEdit->clear();
  const QStringList args = runArguments(path);

  StreamRedirect redirect(this, ui_->textEdit);
  scriptRunning = true;
  runningHere_ = true;
  runningItem_ = ui_->treeWidget->currentItem();
  int running = 1;
  HostCommandCallback(hostWindow_, HOST_RUN_STATE, &running);
  try {
    korvelMain(hostWindow_, args, RunMode::ScriptFile);
  } catch (std::exception& e) {
    // a source that cannot be decoded ends the run before it starts
    std::cerr << e.what() << std::endl;
  } catch (...) {
    std::cerr << "捕获异常" << std::endl;
  }
  redirect.restore();
  running = 0;
  HostCommandCallback(hostWindow_, HOST_RUN_STATE, &running);
  QCoreApplication::processEvents();
  redirect.release();
  runningHere_ = false;
  runningItem_ = nullptr;
  scriptRunning = false;
}

void KorvelWin::on_clear() { ui_->textEdit->clear(); }

void KorvelWin::on_abort() { abortRequested.exchange(true); }

QTreeWidgetItem* KorvelWin::findNextItem(QTreeWidgetItemIterator& it, const QString& keyword) {
  for (; *it; ++it) {
    QTreeWidgetItem* item = *it;
    if (item->text(0).contains(keyword, Qt::CaseSensitive) ||
        item->text(1).contains(keyword, Qt::CaseSensitive)) {
      ++it;
      return item;
    }
  }
  return nullptr;
}

void KorvelWin::on_search() {
  QInputDialog dialog(this);
  dialog.setOkButtonText(QStringLiteral("查找"));
  dialog.setLabelText(QStringLiteral("输入查找关键字"));
  dialog.setCancelButtonText(QStringLiteral("关闭"));
  QTreeWidgetItemIterator it(ui_->treeWidget);
  bool showDialog = true;
  QString keyword;
  for (;;) {
    if (showDialog) {
      if (dialog.exec() != QDialog::Accepted) return;
      keyword = dialog.textValue();
      if (keyword.isEmpty()) continue;
    }
    showDialog = true;
    if (QTreeWidgetItem* item = findNextItem(it, keyword)) {
      for (QTreeWidgetItem* selected : ui_->treeWidget->selectedItems()) selected->setSelected(false);
      item->setSelected(true);
      // current too, so that Start Work runs the script that is found
      ui_->treeWidget->setCurrentItem(item);
      on_itemPressed(item, 0);
      continue;
    }
    if (QMessageBox::question(this, QStringLiteral("查找完毕"), QStringLiteral("是否重新从头查找？"),
                              QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
      it = QTreeWidgetItemIterator(ui_->treeWidget);
      showDialog = false;
    }
  }
}

void KorvelWin::on_select() {
  QFileDialog dialog(this, QString(), QString(), QString());
  dialog.setFileMode(QFileDialog::ExistingFiles);
  if (dialog.exec() != QDialog::Accepted) return;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return;
  if (sender() == ui_->selectInputFileBt)
    ui_->inputFileLineEdit->setText(files.first());
  else
    ui_->outputFileLineEdit->setText(files.first());
}

void KorvelWin::on_openScriptDir() {
  const QString folder = scriptFolder();
  if (showInExplorer(folder)) return;
  const QString text = QStringLiteral("无法打开脚本目录 %1：没有可用的文件管理器").arg(folder);
  statusBar()->showMessage(text);
  QMessageBox::warning(this, QStringLiteral("错误"), text);
}

void KorvelWin::closeEvent(QCloseEvent* event) {
  if (scriptRunning) {
    event->ignore();
    statusBar()->showMessage(QStringLiteral("当前还有脚本还在执行中，请先中断！"));
    return;
  }
  Q_EMIT closeLibrary(0);
}


bool showInExplorer(const QString& path) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}
