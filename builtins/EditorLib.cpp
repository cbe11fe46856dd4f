// The host editor library: the host's main window (PHuxMain, got from
// hux.getMainWin()) and its QScintilla editors (PEdit). Editor operations go
// to the editor widget; operations on the host go through the host
// callables. The values hold plain pointers into the host, valid as long as
// the host keeps that window or editor.
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include <QPointer>
#include <QWidget>

#include <Qsci/qsciscintilla.h>

#include <any>
#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "runtime/host_services.h"
#include "runtime/run_state.h"

void editorLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

using namespace textlib;

namespace {

enum EditorMethodId : uint16_t {
  HUX_GET_MAIN_WIN = 287,
  HUX_NEW_EDITOR = 288,
  HUX_CUR_EDIT_FILE_PATH = 289,
  HUX_GET_CUR_EDIT = 290,
  HUX_GET_EDIT = 291,
  ED_GET_TEXT = 292,
  ED_SET_TEXT = 293,
  ED_GET_TEXT_RANGE = 294,
  ED_GET_LINE = 295,
  ED_LINE_COUNT = 296,
  ED_SET_SEL = 297,
  ED_GOTO_POS = 298,
  ED_GOTO_LINE = 299,
  ED_SET_CUR_POS = 300,
  ED_SET_ANCHOR = 301,
  ED_GET_CUR_POS = 302,
  ED_GET_ANCHOR = 303,
  ED_SELECT_ALL = 304,
  ED_POS_BEFORE = 305,
  ED_POS_AFTER = 306,
  ED_SET_SEL_START = 307,
  ED_SET_SEL_END = 308,
  ED_GET_SEL_START = 309,
  ED_GET_SEL_END = 310,
  ED_SET_EMPTY_SEL = 311,
  ED_LINE_FROM_POS = 312,
  ED_POS_FROM_LINE = 313,
  ED_GET_LINE_END_POS = 314,
  ED_LINE_LENGTH = 315,
  ED_GET_SEL_TEXT = 316,
  ED_REMOVE_SEL_TEXT = 317,
  ED_REPLACE_SEL_TEXT = 318,
  ED_INSERT_AT_POS = 319,
  ED_DELETE_RANGE = 320,
  ED_HIGHLIGHT = 321,
  ED_CLEAR_HIGHLIGHT = 322,
  ED_CLEAR_ALL_HIGHLIGHT = 323,
  ED_BEGIN_UNDO = 324,
  ED_END_UNDO = 325,
  ED_REPLACE = 326
};

// Scintilla messages.
enum : unsigned int {
  SCI_INSERTTEXT = 2003,
  SCI_GETCHARAT = 2007,
  SCI_GETCURRENTPOS = 2008,
  SCI_GETANCHOR = 2009,
  SCI_SELECTALL = 2013,
  SCI_GOTOLINE = 2024,
  SCI_GOTOPOS = 2025,
  SCI_SETANCHOR = 2026,
  SCI_BEGINUNDOACTION = 2078,
  SCI_ENDUNDOACTION = 2079,
  SCI_GETLINEENDPOSITION = 2136,
  SCI_SETCURRENTPOS = 2141,
  SCI_SETSELECTIONSTART = 2142,
  SCI_GETSELECTIONSTART = 2143,
  SCI_SETSELECTIONEND = 2144,
  SCI_GETSELECTIONEND = 2145,
  SCI_GETLINE = 2153,
  SCI_SETSEL = 2160,
  SCI_GETTEXTRANGE = 2162,
  SCI_LINEFROMPOSITION = 2166,
  SCI_POSITIONFROMLINE = 2167,
  SCI_LINELENGTH = 2350,
  SCI_POSITIONBEFORE = 2417,
  SCI_POSITIONAFTER = 2418,
  SCI_SETINDICATORCURRENT = 2500,
  SCI_INDICATORFILLRANGE = 2504,
  SCI_INDICATORCLEARRANGE = 2505,
  SCI_SETEMPTYSELECTION = 2556,
  SCI_DELETERANGE = 2645,
  SCI_POSITIONRELATIVE = 2670
};

// The five highlight indicators.
constexpr int kFirstIndicator = 21;
constexpr int kIndicatorCount = 5;

// Scintilla's text-range record of SCI_GETTEXTRANGE.
struct SciTextRange {
  struct {
    long cpMin;
    long cpMax;
  } chrg;
  char* lpstrText;
};

QString receiverName(const ExprValue* recv) {
  return recv->owner != nullptr ? QString::fromUtf8(*recv->owner) : QString();
}

int32_t intArg(int i) { return argInt(builtinArg(i)); }

QString textArg(int i) {
  const ExprValue* a = builtinArg(i);
  if (a->type == VT_BYTES && a->payload.bytes != nullptr) return utf8ToString(*a->payload.bytes);
  return QString();
}

void pushStruct(void* pointer, bool editor) {
  auto* sv = new StructValue();
  if (editor)
    sv->native = static_cast<QsciScintilla*>(pointer);
  else
    sv->native = static_cast<QWidget*>(pointer);
  sv->typeName = QByteArray(editor ? "PEdit" : "PHuxMain");
  sv->builtinCode = editor ? VT_PEDIT : VT_PHUXMAIN;
  ExprValue v;
  v.type = VT_STRUCT;
  v.payload.st = sv;
  pushBuiltinResult(v);
}

void newEditor() {
  if (currentHostWindow) HostCommandCallback(currentHostWindow, HOST_NEW_EDITOR, nullptr);
}

void mainWindowCall(uint16_t id, antlr4::ParserRuleContext* ctx) {
  switch (id) {
    case HUX_GET_MAIN_WIN:
      pushStruct(currentHostWindow, false);
      return;
    case HUX_NEW_EDITOR:
      newEditor();
      return;
    case HUX_CUR_EDIT_FILE_PATH: {
      QString path;
      if (currentHostWindow) HostCommandCallback(currentHostWindow, HOST_CUR_FILE_PATH, &path);
      pushBytes(path.toUtf8());
      return;
    }
    case HUX_GET_CUR_EDIT:
      pushStruct(HostEditorGetter(currentHostWindow), true);
      return;
    case HUX_GET_EDIT: {
      HostEditRecord record;
      record.id = intArg(0);
      if (HostCommandCallback(currentHostWindow, HOST_GET_EDIT, &record)) {
        pushStruct(record.editor, true);
      } else {
        warn(callMessage("警告: 行号 %1 语句 %2 获取id为 %3 的编辑器失败，可能不存在对应编辑器框！", ctx,
                         {QString::number(record.id)}));
        pushStruct(nullptr, true);
      }
      return;
    }
    default:
      return;
  }
}

// The bytes from start to start + length, clamped to the document, so a
// range beyond its end yields the bytes that are there rather than zeros.
QByteArray textRange(QsciScintilla* ed, int32_t start, int32_t length) {
  if (length < 1) return QByteArray();
  const long docLength = ed->SendScintilla(QsciScintillaBase::SCI_GETLENGTH);
  long from = start < 0 ? 0 : start;
  if (from > docLength) from = docLength;
  long to = long(start) + long(length);
  if (to > docLength) to = docLength;
  if (to <= from) return QByteArray();
  QByteArray buffer(int(to - from) + 1, '\0');
  SciTextRange range{{from, to}, buffer.data()};
  ed->SendScintilla(SCI_GETTEXTRANGE, 0UL, static_cast<void*>(&range));
  buffer.chop(1);
  return buffer;
}

void requireIndicator(int32_t k, antlr4::ParserRuleContext* ctx) {
  if (k >= 0 && k < kIndicatorCount) return;
  raise(callMessage("错误：行号 %1 语句 %2 调用函数 %3 的高亮序号 %4 无效，只能是0到4！", ctx,
                    {callName(), QString::number(k)}));
}

// What an integer argument of an editor method names, and so which of its
// values the document allows; a value outside them never reaches the
// component, which aborts the host on some of them. A position (and the end
// of a length) must also lie between two characters.
enum ArgKind : uint8_t {
  NO_ARG,
  POS,           // a position: 0 to the document's length
  POS_OR_MINUS1, // the same, or -1 (insertAtPos: at the caret; setSel: the
                 // document's end as caret, no selection as anchor)
  LINE,          // a line: 0 to the line count - 1
  LENGTH         // a length from the position before it to at most the end
};

// Refuses an argument outside lo..hi with the method's name, the value and
// the range.
void requireWithin(const char* what, int32_t value, long lo, long hi, antlr4::ParserRuleContext* ctx) {
  if (value >= lo && value <= hi) return;
  raise(callMessage("错误：行号 %1 语句 %2 调用函数 %3 的%4 %5 超出文档范围，只能是%6！", ctx,
                    {callName(), QString::fromUtf8(what), QString::number(value),
                     QStringLiteral("%1到%2").arg(lo).arg(hi)}));
}

// True when pos (within the document) is not inside a character, as the
// component counts characters (a byte that begins no valid one is one).
bool onCharBoundary(QsciScintilla* ed, long pos, long docLength) {
  if (pos <= 0 || pos >= docLength) return true;
  // in UTF-8 every byte but a continuation byte begins a character
  if (ed->isUtf8()) {
    const auto byte =
        static_cast<unsigned char>(ed->SendScintilla(SCI_GETCHARAT, static_cast<unsigned long>(pos)));
    if (byte < 0x80 || byte >= 0xC0) return true;
  }
  const long before = ed->SendScintilla(SCI_POSITIONRELATIVE, static_cast<unsigned long>(pos), -1L);
  return ed->SendScintilla(SCI_POSITIONRELATIVE, static_cast<unsigned long>(before), 1L) == pos;
}

// Refuses a position inside a multi-byte character, which an edit there
// would split: the position argument pos, or the end pos of a length
// argument (a length of length).
void requireCharBoundary(QsciScintilla* ed, long pos, long docLength, bool isLength, int32_t length,
                         antlr4::ParserRuleContext* ctx) {
  if (onCharBoundary(ed, pos, docLength)) return;
  const QString what = isLength ? QStringLiteral("长度 %1 的结束位置 %2").arg(length).arg(pos)
                                : QStringLiteral("位置 %1").arg(pos);
  raise(callMessage("错误：行号 %1 语句 %2 调用函数 %3 的%4 落在一个多字节字符的中间，只能是字符的边界！", ctx,
                    {callName(), what}));
}

// Argument i, checked against the document as kind says; start is the
// position a length counts from.
int32_t checkedArg(QsciScintilla* ed, ArgKind kind, int i, int32_t start, antlr4::ParserRuleContext* ctx) {
  if (kind == NO_ARG) return 0;
  const int32_t v = intArg(i);
  if (kind == LINE) {
    requireWithin("行号", v, 0, ed->lines() - 1, ctx);
    return v;
  }
  const long end = ed->SendScintilla(QsciScintillaBase::SCI_GETLENGTH);
  if (kind == LENGTH) {
    requireWithin("长度", v, 0, end - start, ctx);
    requireCharBoundary(ed, long(start) + v, end, true, v, ctx);
  } else {
    requireWithin("位置", v, kind == POS_OR_MINUS1 ? -1 : 0, end, ctx);
    requireCharBoundary(ed, v, end, false, v, ctx);
  }
  return v;
}

// The methods that are one Scintilla message: the method's integer
// arguments (none, one or two, of the kinds given) are the message's, and
// with `answers` the message's answer is the result.
struct DirectMessage {
  uint16_t id;
  unsigned int msg;
  ArgKind first;
  ArgKind second;
  bool answers;
};

constexpr DirectMessage kDirectMessages[] = {
    {ED_SET_SEL, SCI_SETSEL, POS_OR_MINUS1, POS_OR_MINUS1, false},
    {ED_GOTO_POS, SCI_GOTOPOS, POS, NO_ARG, false},
    {ED_GOTO_LINE, SCI_GOTOLINE, LINE, NO_ARG, false},
    {ED_SET_CUR_POS, SCI_SETCURRENTPOS, POS, NO_ARG, false},
    {ED_SET_ANCHOR, SCI_SETANCHOR, POS, NO_ARG, false},
    {ED_GET_CUR_POS, SCI_GETCURRENTPOS, NO_ARG, NO_ARG, true},
    {ED_GET_ANCHOR, SCI_GETANCHOR, NO_ARG, NO_ARG, true},
    {ED_SELECT_ALL, SCI_SELECTALL, NO_ARG, NO_ARG, false},
    {ED_POS_BEFORE, SCI_POSITIONBEFORE, POS, NO_ARG, true},
    {ED_POS_AFTER, SCI_POSITIONAFTER, POS, NO_ARG, true},
    {ED_SET_SEL_START, SCI_SETSELECTIONSTART, POS, NO_ARG, false},
    {ED_SET_SEL_END, SCI_SETSELECTIONEND, POS, NO_ARG, false},
    {ED_GET_SEL_START, SCI_GETSELECTIONSTART, NO_ARG, NO_ARG, true},
    {ED_GET_SEL_END, SCI_GETSELECTIONEND, NO_ARG, NO_ARG, true},
    {ED_SET_EMPTY_SEL, SCI_SETEMPTYSELECTION, POS, NO_ARG, false},
    {ED_LINE_FROM_POS, SCI_LINEFROMPOSITION, POS, NO_ARG, true},
    {ED_GET_LINE_END_POS, SCI_GETLINEENDPOSITION, LINE, NO_ARG, true},
    {ED_LINE_LENGTH, SCI_LINELENGTH, LINE, NO_ARG, true},
    {ED_DELETE_RANGE, SCI_DELETERANGE, POS, LENGTH, false},
};

const DirectMessage* directMessage(uint16_t id) {
  for (const DirectMessage& d : kDirectMessages)
    if (d.id == id) return &d;
  return nullptr;
}

// The undo groups that the run has opened (beginUndo) and not yet closed,
// per editor; touched on the GUI thread only. The end of the run closes
// them, so that a run ending inside a group (an error, Stop, a forgotten
// endUndo) does not leave the user's later edits merging into it, and an
// endUndo closes only a group of the run: the component's group depth must
// never go below zero.
std::vector<std::pair<QPointer<QsciScintilla>, int>> openUndoGroups;
std::atomic<bool> anyUndoGroupOpen{false};

int& undoGroupsOf(QsciScintilla* ed) {
  for (auto& [editor, count] : openUndoGroups)
    if (editor == ed) return count;
  openUndoGroups.emplace_back(ed, 0);
  return openUndoGroups.back().second;
}

// Replaces the whole text as one step of the editor's undo history, on top
// of what is there (the widget's own setText empties the history).
void setWholeText(QsciScintilla* ed, const QString& text) {
  const bool readOnly = ed->isReadOnly();
  ed->setReadOnly(false);
  const QByteArray bytes = ed->isUtf8() ? text.toUtf8() : text.toLatin1();
  ed->beginUndoAction();
  ed->SendScintilla(QsciScintillaBase::SCI_SETTEXT, bytes.constData());
  ed->endUndoAction();
  ed->setReadOnly(readOnly);
}

void editorCall(uint16_t id, QsciScintilla* ed, antlr4::ParserRuleContext* ctx) {
  auto send = [ed](unsigned int msg, long w = 0, long l = 0) {
    return ed->SendScintilla(msg, static_cast<unsigned long>(w), l);
  };
  if (const DirectMessage* d = directMessage(id)) {
    const int32_t a = checkedArg(ed, d->first, 0, 0, ctx);
    const int32_t b = checkedArg(ed, d->second, 1, a, ctx);
    const long answer = send(d->msg, a, b);
    if (d->answers) pushInt(int32_t(answer));
    return;
  }
  switch (id) {
    case ED_GET_TEXT:
      pushBytes(ed->text().toUtf8());
      return;
    case ED_SET_TEXT:
      setWholeText(ed, textArg(0));
      return;
    case ED_GET_TEXT_RANGE:
      pushBytes(textRange(ed, intArg(0), intArg(1)));
      return;
    case ED_GET_LINE: {
      // a line that does not exist reads as empty
      const int32_t line = intArg(0);
      const long n = line >= 0 && line < ed->lines() ? send(SCI_LINELENGTH, line) : 0;
      if (n < 1) {
        pushBytes(QByteArray());
        return;
      }
      QByteArray buffer(int(n) + 1, '\0');
      ed->SendScintilla(SCI_GETLINE, static_cast<unsigned long>(line), static_cast<void*>(buffer.data()));
      buffer.truncate(int(n));
      pushBytes(std::move(buffer));
      return;
    }
    case ED_POS_FROM_LINE: {
      // the line after the last starts at the document's end; a line before
      // the first or beyond that has no position
      const int32_t line = intArg(0);
      pushInt(line >= 0 && line <= ed->lines() ? int32_t(send(SCI_POSITIONFROMLINE, line)) : -1);
      return;
    }
    case ED_LINE_COUNT:
      pushInt(ed->lines());
      return;
    case ED_GET_SEL_TEXT:
      pushBytes(ed->selectedText().toUtf8());
      return;
    case ED_REMOVE_SEL_TEXT:
      ed->removeSelectedText();
      return;
    case ED_REPLACE_SEL_TEXT:
      ed->replaceSelectedText(textArg(0));
      return;
    case ED_INSERT_AT_POS: {
      const int32_t pos = checkedArg(ed, POS_OR_MINUS1, 0, 0, ctx);
      const ExprValue* a = builtinArg(1);
      const QByteArray text = a->type == VT_BYTES && a->payload.bytes ? *a->payload.bytes : QByteArray();
      ed->SendScintilla(SCI_INSERTTEXT, static_cast<unsigned long>(pos), text.constData());
      return;
    }
    case ED_HIGHLIGHT:
    case ED_CLEAR_HIGHLIGHT: {
      const int32_t k = intArg(2);
      requireIndicator(k, ctx);
      const int32_t start = checkedArg(ed, POS, 0, 0, ctx);
      const int32_t length = checkedArg(ed, LENGTH, 1, start, ctx);
      send(SCI_SETINDICATORCURRENT, kFirstIndicator + k);
      send(id == ED_HIGHLIGHT ? SCI_INDICATORFILLRANGE : SCI_INDICATORCLEARRANGE, start, length);
      return;
    }
    case ED_BEGIN_UNDO:
      send(SCI_BEGINUNDOACTION);
      ++undoGroupsOf(ed);
      anyUndoGroupOpen = true;
      return;
    case ED_END_UNDO: {
      int& open = undoGroupsOf(ed);
      if (open > 0) {
        send(SCI_ENDUNDOACTION);
        --open;
      }
      return;
    }
    case ED_CLEAR_ALL_HIGHLIGHT:
      for (int i = 0; i < kIndicatorCount; ++i) {
        send(SCI_SETINDICATORCURRENT, kFirstIndicator + i);
        send(SCI_INDICATORCLEARRANGE, 0, ed->length());
      }
      return;
    case ED_REPLACE: {
      HostEditRecord record;
      record.id = intArg(2);
      record.findText = textArg(0);
      record.replaceText = textArg(1);
      record.editor = ed;
      record.flags = intArg(3);
      if (HostCommandCallback(currentHostWindow, HOST_REPLACE, &record)) {
        pushInt(record.count);
      } else {
        warn(callMessage("错误: 行号 %1 语句 %2 替换失败！", ctx));
        pushInt(0);
      }
      return;
    }
    default:
      return;
  }
}

void callOnThisThread(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  ExprValue* recv = builtinReceiver();
  const uint16_t id = method->id;
  // the command-line runner has no host editor: its callables are unset
  if (!HostEditorGetter || !HostCommandCallback)
    raise(callMessage("错误：行号 %1 语句 %2 调用函数 %3 失败，命令行运行器中没有宿主编辑器，hux 编辑器库只能在编辑器中运行的脚本里使用！",
                      ctx, {callName()}));
  if (recv->type == VT_TYPE_NAME) {
    if (recv->payload.i32 != VT_PKG_HUX)
      raise(callMessage("错误：行号 %1 语句 %2 类名 %3 调用全局函数 %4 错误，编辑器类型名只能是 hux ！", ctx,
                        {receiverName(recv), callName()}));
    if (id == HUX_GET_MAIN_WIN) pushStruct(currentHostWindow, false);
    else if (id == HUX_NEW_EDITOR) newEditor();
    return;
  }
  const int32_t code =
      recv->type == VT_STRUCT && recv->payload.st != nullptr ? recv->payload.st->builtinCode : -1;
  if (code == VT_PHUXMAIN) {
    mainWindowCall(id, ctx);
    return;
  }
  if (code == VT_PEDIT) {
    const std::any& native = recv->payload.st->native;
    // a PEdit that was declared but never bound holds nothing
    QsciScintilla* ed = native.has_value() ? std::any_cast<QsciScintilla*>(native) : nullptr;
    if (!ed)
      raise(callMessage("错误：行号 %1 语句 %2  变量 %3 调用函数 %4 错误，变量没有绑定编辑器实体！", ctx,
                        {receiverName(recv), callName()}));
    editorCall(id, ed, ctx);
    return;
  }
  raise(callMessage("错误：行号 %1 语句 %2  变量 %3 调用函数 %4 错误，类型或变量没有对应的方法 %4", ctx,
                    {receiverName(recv), callName()}));
}

}  // namespace

// The editors and the host live on the GUI thread: a script running on a
// worker thread has each call carried out there while it waits, with its
// arguments, results and errors passing through unchanged.
void editorLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  runOnGuiThread([method, ctx] { callOnThisThread(method, ctx); });
}

void closeRunUndoGroups() {
  if (!anyUndoGroupOpen.exchange(false)) return;
  runOnGuiThread([] {
    for (auto& [editor, count] : openUndoGroups)
      for (; editor && count > 0; --count) editor->SendScintilla(SCI_ENDUNDOACTION);
    openUndoGroups.clear();
  });
}

void registerEditorLib() {
  if (BuiltinLibFlags[LIB_EDITOR]) return;
  BuiltinLibFlags[LIB_EDITOR] = 1;
  const int32_t O = BA_OPTIONAL_LAST;
  currentBuiltinHandler = editorLibCall;
  auto reg = [](uint16_t id, const char* name, std::vector<int32_t> args, uint16_t flag = BF_MEMBER) {
    registerBuiltinMethod(id, QByteArray(name), args, flag);
  };
  currentBuiltinReceiver = VT_PKG_HUX;
  reg(HUX_GET_MAIN_WIN, "getMainWin", {}, BF_STATIC);
  // hux.newEditor(): the plain name belongs to PHuxMain, so on the type
  // name hux the lookup finds it under the library's prefix
  reg(HUX_NEW_EDITOR, "hux_newEditor", {}, BF_STATIC);
  currentBuiltinReceiver = VT_PHUXMAIN;
  reg(HUX_NEW_EDITOR, "newEditor", {}, BF_STATIC);
  reg(HUX_GET_CUR_EDIT, "getCurEdit", {});
  reg(HUX_CUR_EDIT_FILE_PATH, "curEditFilePath", {});
  reg(HUX_GET_EDIT, "getEdit", {VT_INT});
  currentBuiltinReceiver = VT_PEDIT;
  reg(ED_GET_TEXT, "getText", {});
  reg(ED_SET_TEXT, "setText", {VT_BYTES});
  reg(ED_GET_TEXT_RANGE, "getTextRange", {VT_INT, VT_INT});
  reg(ED_GET_LINE, "getLine", {VT_INT});
  reg(ED_LINE_COUNT, "lineCount", {});
  reg(ED_SET_SEL, "setSel", {VT_INT, VT_INT});
  reg(ED_GOTO_POS, "gotoPos", {VT_INT});
  reg(ED_GOTO_LINE, "gotoLine", {VT_INT});
  reg(ED_SET_CUR_POS, "setCurPos", {VT_INT});
  reg(ED_POS_BEFORE, "posBefore", {VT_INT});
  reg(ED_POS_AFTER, "posAfter", {VT_INT});
  reg(ED_SET_ANCHOR, "setAnchor", {VT_INT});
  reg(ED_GET_CUR_POS, "getCurPos", {});
  reg(ED_GET_ANCHOR, "getAnchor", {});
  reg(ED_SELECT_ALL, "selectAll", {});
  reg(ED_GET_SEL_START, "getSelStart", {});
  reg(ED_GET_SEL_END, "getSelEnd", {});
  reg(ED_SET_SEL_START, "setSelStart", {VT_INT});
  reg(ED_SET_SEL_END, "setSelEnd", {VT_INT});
  reg(ED_SET_EMPTY_SEL, "setEmptySel", {VT_INT});
  reg(ED_LINE_FROM_POS, "lineFromPos", {VT_INT});
  reg(ED_POS_FROM_LINE, "posFromLine", {VT_INT});
  reg(ED_GET_LINE_END_POS, "getLineEndPos", {VT_INT});
  reg(ED_LINE_LENGTH, "lineLength", {VT_INT});
  reg(ED_GET_SEL_TEXT, "getSelText", {});
  reg(ED_REMOVE_SEL_TEXT, "removeSelText", {});
  reg(ED_REPLACE_SEL_TEXT, "replaceSelText", {VT_BYTES});
  reg(ED_INSERT_AT_POS, "insertAtPos", {VT_INT, VT_BYTES});
  reg(ED_DELETE_RANGE, "deleteRange", {VT_INT, VT_INT});
  reg(ED_HIGHLIGHT, "highLight", {VT_INT, VT_INT, VT_INT});
  reg(ED_CLEAR_HIGHLIGHT, "clearHighLight", {VT_INT, VT_INT, VT_INT});
  reg(ED_CLEAR_ALL_HIGHLIGHT, "clearAllHighLight", {});
  reg(ED_BEGIN_UNDO, "beginUndo", {});
  reg(ED_END_UNDO, "endUndo", {});
  reg(ED_REPLACE, "replace", {VT_BYTES, VT_BYTES, VT_INT, 1, O});
}
