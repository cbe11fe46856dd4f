// The host editor library against a fake host with real QScintilla editors:
// scripts run through korvelMain and drive the editors and the host
// commands.
#include <gtest/gtest.h>

#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

#include <Qsci/qsciscintilla.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "interpreter/RunDriver.h"
#include "runtime/host_services.h"
#include "plugin_test_util.h"

namespace {

constexpr unsigned kIndicatorAllOnFor = 2506;  // SCI_INDICATORALLONFOR

class EditorLib : public ::testing::Test {
 protected:
  void SetUp() override {
    addEditor(QStringLiteral("abcdef"));
    addEditor(QStringLiteral("second"));
    current = 0;
    HostEditorGetter = [this](QWidget* w) -> QsciScintilla* {
      hostSeen = w;
      return current < 0 ? nullptr : editors[size_t(current)].get();
    };
    HostCommandCallback = [this](QWidget* w, int code, void* data) {
      hostSeen = w;
      codes.push_back(code);
      switch (code) {
        case HOST_NEW_EDITOR:
          addEditor(QString());
          current = int(editors.size()) - 1;
          return true;
        case HOST_CUR_FILE_PATH:
          *static_cast<QString*>(data) = filePath;
          return true;
        case HOST_GET_EDIT: {
          auto* r = static_cast<HostEditRecord*>(data);
          if (r->id < 0 || r->id >= int(editors.size())) return false;
          r->editor = editors[size_t(r->id)].get();
          return true;
        }
        case HOST_REPLACE: {
          auto* r = static_cast<HostEditRecord*>(data);
          lastReplace = *r;
          if (r->findText.isEmpty()) return false;
          QString text = r->editor->text();
          r->count = text.count(r->findText);
          r->editor->setText(text.replace(r->findText, r->replaceText));
          return true;
        }
        default:
          return false;
      }
    };
  }
  void TearDown() override {
    HostEditorGetter = nullptr;
    HostCommandCallback = nullptr;
  }

  void addEditor(const QString& text) {
    auto editor = std::make_unique<QsciScintilla>();
    editor->setUtf8(true);
    editor->setText(text);
    editors.push_back(std::move(editor));
  }
  QsciScintilla* ed(int i) { return editors[size_t(i)].get(); }

  // Runs the body as the entry function with e bound to the current editor
  // and m to the main window. Returns what the script printed.
  std::string run(const std::string& body) {
    const QString path = dir.filePath(QStringLiteral("ed.kor"));
    writeFile(path, QByteArray::fromStdString(
                        "hanshu hs_rukou() {\n PHuxMain m = hux.getMainWin();\n PEdit e = m.getCurEdit();\n" +
                        body + "\n}\n"));
    std::ostringstream out, errs;
    std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf* oldErr = std::cerr.rdbuf(errs.rdbuf());
    korvelMain(&host, QStringList{QStringLiteral("korvel"), path}, ScriptFile);
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    err = errs.str();
    const std::string done = "\n\n程序执行完毕。\n";
    std::string text = out.str();
    if (text.size() >= done.size() && text.compare(text.size() - done.size(), done.size(), done) == 0)
      text.resize(text.size() - done.size());
    else
      text += "<failed>";
    return text;
  }

  QTemporaryDir dir;
  QWidget host;
  QWidget* hostSeen = nullptr;
  std::vector<std::unique_ptr<QsciScintilla>> editors;
  int current = 0;
  std::vector<int> codes;
  QString filePath;
  HostEditRecord lastReplace;
  std::string err;
};

TEST_F(EditorLib, MainWindowReachesTheHost) {
  filePath = QStringLiteral("/docs/文档.kor");
  EXPECT_EQ(run("dyh(m.curEditFilePath()); dyh(e.getText());"), "/docs/文档.kor\nabcdef\n");
  EXPECT_EQ(hostSeen, &host);
  EXPECT_EQ(codes, (std::vector<int>{12}));

  codes.clear();
  EXPECT_EQ(run("m.newEditor(); PEdit n = m.getCurEdit(); n.setText(\"new\"); dyh(m.getEdit(1).getText());"),
            "second\n");
  EXPECT_EQ(codes, (std::vector<int>{1, 18}));
  ASSERT_EQ(editors.size(), 3u);
  EXPECT_EQ(ed(2)->text(), QStringLiteral("new"));

  // also on the type name, as hux.getMainWin()
  codes.clear();
  EXPECT_EQ(run("hux.newEditor(); dyh(m.getCurEdit().lineCount());"), "1\n") << err;
  EXPECT_EQ(codes, (std::vector<int>{1}));
  EXPECT_EQ(editors.size(), 4u);
}

TEST_F(EditorLib, UnknownEditorIdWarnsAndGivesAnUnboundEditor) {
  const std::string out = run("PEdit x = m.getEdit(7); dyh(\"after\"); x.getText();");
  EXPECT_EQ(out.rfind("警告: 行号 4 语句 m.getEdit(7) 获取id为 7 的编辑器失败，可能不存在对应编辑器框！\n"
                      "after\n",
                      0),
            0u)
      << out;
  EXPECT_NE(err.find("错误：行号 4 语句 x.getText()  变量 x 调用函数 getText 错误，变量没有绑定编辑器实体！"),
            std::string::npos)
      << err;
}

TEST_F(EditorLib, EditorWithoutHostEditorIsUnbound) {
  current = -1;
  run("e.lineCount();");
  EXPECT_NE(err.find("变量没有绑定编辑器实体"), std::string::npos) << err;
}

TEST_F(EditorLib, ReadsTextRangesAndLines) {
  EXPECT_EQ(run("dyh(e.getTextRange(0, 3)); dyh(\"[\" + e.getTextRange(2, 0) + \"]\");"
                "dyh(e.getTextRange(4, 100)); dyh(\"[\" + e.getTextRange(50, 2) + \"]\");"),
            "abc\n[]\nef\n[]\n");
  ed(0)->setText(QStringLiteral("一行\r\nline2\n"));
  EXPECT_EQ(run("dyh(e.lineCount()); dy(e.getLine(0)); dy(e.getLine(1)); dyh(\"[\" + e.getLine(2) + \"]\");"
                "dyh(e.lineLength(0), e.posFromLine(1), e.lineFromPos(9), e.getLineEndPos(0));"),
            "3\n一行\r\nline2\n[]\n8 8 1 6\n");
}

TEST_F(EditorLib, MovesTheCaretAndTheSelection) {
  ed(0)->setText(QStringLiteral("中abcdef"));  // 中 is three bytes
  EXPECT_EQ(run("dyh(e.posAfter(0), e.posBefore(3));"
                "e.setSel(4, 7); dyh(e.getSelText(), e.getSelStart(), e.getSelEnd(), e.getAnchor(), e.getCurPos());"
                "e.replaceSelText(\"XY\"); dyh(e.getText());"
                "e.setSelStart(0); e.setSelEnd(3); e.removeSelText(); dyh(e.getText());"
                "e.selectAll(); dyh(e.getSelEnd());"
                "e.setEmptySel(2); dyh(e.getSelStart(), e.getSelEnd());"
                "e.gotoPos(1); dyh(e.getCurPos()); e.setAnchor(3); e.setCurPos(4); dyh(e.getSelText());"
                "e.gotoLine(0); dyh(e.getCurPos());"),
            "3 0\nbcd 4 7 4 7\n中aXYef\naXYef\n5\n2 2\n1\ne\n0\n");
}

TEST_F(EditorLib, EditsAndGroupsUndo) {
  EXPECT_EQ(run("e.beginUndo(); e.insertAtPos(3, \"插入\"); e.deleteRange(0, 1); e.endUndo(); dyh(e.getText());"),
            "bc插入def\n");
  ed(0)->undo();
  EXPECT_EQ(ed(0)->text(), QStringLiteral("abcdef"));
  EXPECT_EQ(run("e.setText(\"全部替换\"); dyh(e.getText());"), "全部替换\n");
}

TEST_F(EditorLib, HighlightsWithIndicators21To25) {
  ed(0)->setText(QStringLiteral("0123456789"));
  run("e.highLight(5, 3, 2); e.highLight(0, 2, 0);");
  auto on = [this](int pos) { return long(ed(0)->SendScintilla(kIndicatorAllOnFor, pos)); };
  EXPECT_EQ(on(4), 0);
  EXPECT_EQ(on(5), 1L << 23);
  EXPECT_EQ(on(7), 1L << 23);
  EXPECT_EQ(on(8), 0);
  EXPECT_EQ(on(1), 1L << 21);
  run("e.clearHighLight(6, 1, 2);");
  EXPECT_EQ(on(5), 1L << 23);
  EXPECT_EQ(on(6), 0);
  run("e.clearAllHighLight();");
  EXPECT_EQ(on(1), 0);
  EXPECT_EQ(on(5), 0);

  EXPECT_NE(run("e.highLight(0, 2, 5);").find("<failed>"), std::string::npos);
  EXPECT_NE(err.find("高亮序号 5 无效"), std::string::npos) << err;
}

TEST_F(EditorLib, ReplaceGoesThroughTheHost) {
  EXPECT_EQ(run("dyh(e.replace(\"c\", \"中\", 3, 9));"), "1\n");
  EXPECT_EQ(codes, (std::vector<int>{20}));
  EXPECT_EQ(lastReplace.id, 3);
  EXPECT_EQ(lastReplace.flags, 9);
  EXPECT_EQ(lastReplace.editor, ed(0));
  EXPECT_EQ(lastReplace.findText, QStringLiteral("c"));
  EXPECT_EQ(lastReplace.replaceText, QStringLiteral("中"));
  EXPECT_EQ(ed(0)->text(), QStringLiteral("ab中def"));

  // the flags default to 1; a refused replacement prints and gives 0
  EXPECT_EQ(run("zs n = e.replace(\"\", \"x\", 0); dyh(n);"),
            "错误: 行号 4 语句 e.replace(\"\",\"x\",0) 替换失败！\n0\n");
  EXPECT_EQ(lastReplace.flags, 1);
}

}  // namespace
