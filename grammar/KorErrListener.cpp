#include "KorErrListener.h"

#include <algorithm>
#include <iostream>

#include "errors.h"
#include "run_state.h"
#include "scope.h"
#include "text_width.h"

int32_t korSyntaxReportCount = 0;

namespace {

// Message templates, UTF-8.
const char* const kShortMainReport = "错误：行号 %1 %2\n";
const char* const kLongMainReport = "错误：行号 %1 错误语句 %2 \n%3\n";
const char* const kFirstOtherReport = "错误：行号 %1 %2";
const char* const kFullReportWithStatement = "语法错误在第 %1 行 %2列 字段 \"%3\"\n%4 \n错误语句是%5";
const char* const kFullReportWithoutStatement = "语法错误在第 %1 行 %2列 字段 \"%3\"\n%4";
const char* const kHints[4] = {
    "错误：行号 %1 附近语句 %2 丢失冒号';'语句结束符号",
    "错误：行号 %1 附近语句 %2 存在中文‘；’冒号，非法字符，请修改为英文冒号",
    "错误：行号 %1 附近语句 %2 存在中文‘，’逗号，非法字符，请修改为英文逗号",
    "错误：行号 %1 附近语句 %2 存在中文‘（’ 或 ‘）’ 括号，非法字符，请修改为英文括号",
};

const QChar kFullLeftParen(0xFF08);
const QChar kFullRightParen(0xFF09);
const QChar kFullSemicolon(0xFF1B);
const QChar kFullComma(0xFF0C);

// All placeholders are filled in one pass, so a '%n' inside a quoted source
// line or message is never taken for a later placeholder.
QString fill(const char* templ, const QString& a1, const QString& a2) {
  return QString::fromUtf8(templ).arg(a1, a2);
}
QString fill(const char* templ, const QString& a1, const QString& a2, const QString& a3) {
  return QString::fromUtf8(templ).arg(a1, a2, a3);
}
QString fill(const char* templ, const QString& a1, const QString& a2, const QString& a3,
             const QString& a4) {
  return QString::fromUtf8(templ).arg(a1, a2, a3, a4);
}
QString fill(const char* templ, const QString& a1, const QString& a2, const QString& a3,
             const QString& a4, const QString& a5) {
  return QString::fromUtf8(templ).arg(a1, a2, a3, a4, a5);
}

void writeLine(std::ostream& out, const QString& text) {
  out << text.toUtf8().constData() << std::endl;
}

// The current function's name, or empty when the call chain cannot tell.
QByteArray currentFunctionNameOrEmpty() {
  try {
    return currentFunctionName();
  } catch (const std::exception&) {
    return QByteArray();
  }
}

// The global block's record while the global block (or the prelude) runs,
// else the current function's.
FunctionRecord* recordOfRunningCode() {
  if (statusTop() == 0) return findFunction(QByteArrayLiteral("quanju_dingyi"));
  QByteArray name = currentFunctionNameOrEmpty();
  return name.isEmpty() ? nullptr : findFunction(name);
}

}  // namespace

void KorErrListener::syntaxError(antlr4::Recognizer*, antlr4::Token* offendingSymbol, size_t line,
                                 size_t charPositionInLine, const std::string& msg,
                                 std::exception_ptr e) {
  if (parsePhase == 1 && source != nullptr) reportMainParse(line, charPositionInLine, msg);
  reportOtherParse(offendingSymbol, line, charPositionInLine, msg, e);
}

void KorErrListener::reportMainParse(size_t line, size_t column, const std::string& msg) {
  const QList<QByteArray> pieces = source->split('\n');
  const size_t n = size_t(pieces.size());
  const QString qmsg = QString::fromStdString(msg);
  QString report;
  if (line == 0 || line >= n) {
    report = fill(kShortMainReport, QString::number(line), qmsg);
  } else {
    QByteArray errorLine = pieces[int(line) - 1];
    report = fill(kLongMainReport, QString::number(line), QString::fromUtf8(errorLine), qmsg);
    errorLine.replace('\t', ' ');
    if (line >= 2) std::cout << pieces[int(line) - 2].constData() << '\n';
    std::cout << errorLine.constData() << '\n';
    // the column counts code points; the marker takes the room the text
    // takes on screen, so that it lines up under wide (CJK) characters too
    const int32_t codePoints = int32_t(std::min<size_t>(column, INT32_MAX));
    std::cout << markerUnder(QString::fromUtf8(errorLine), codePoints) << std::endl;
  }
  writeLine(std::cerr, report);
  checkPunctuationHint(int(line), msg);
  raiseScriptError(qmsg);
}

void KorErrListener::reportOtherParse(antlr4::Token* offendingSymbol, size_t line, size_t column,
                                      const std::string& msg, std::exception_ptr e) {
  const QString qmsg = QString::fromStdString(msg);
  const qint64 functionLine = currentFunctionLine(0);
  const QString first = fill(kFirstOtherReport, QString::number(functionLine + qint64(line)), qmsg);

  if (++korSyntaxReportCount < 2) {
    writeLine(std::cerr, first);

    // The statement: the tokens of the error line around the offending one.
    QString statement;
    bool fromTokens = false;
    if (offendingSymbol != nullptr && offendingSymbol->getTokenIndex() != INVALID_INDEX &&
        tokens != nullptr) {
      fromTokens = true;
      tokens->fill();
      const size_t count = tokens->size();
      const size_t index = offendingSymbol->getTokenIndex();
      if (index < count) {
        size_t low = index;  // first token of the range
        while (low > 0 && tokens->get(low - 1)->getLine() == line) --low;
        if (tokens->get(index)->getLine() != line) low = index + 1;
        size_t high = index;  // one past the last token of the range
        while (high < count && tokens->get(high)->getLine() <= line) ++high;
        if (low < high)
          statement = QString::fromStdString(tokens->getText(antlr4::misc::Interval(low, high - 1)));
      }
    }
    if (!fromTokens) {
      // no token to start from: the registration text of the running code
      if (FunctionRecord* record = recordOfRunningCode()) {
        const QList<QByteArray> pieces = record->text.split('\n');
        if (line >= 1 && line < size_t(pieces.size())) statement = QString::fromUtf8(pieces[int(line)]);
      }
    }

    qint64 base;
    if (statusTop() == 0) {
      FunctionRecord* global = findFunction(QByteArrayLiteral("quanju_dingyi"));
      base = global ? qint64(global->startLine) - 1 : 0;
    } else {
      base = functionLine;
    }

    const QString where = QString::number(base + qint64(line));
    const QString col = QString::number(column);
    const QString offending = offendingSymbol ? QString::fromStdString(offendingSymbol->getText()) : QString();
    QString report;
    if (statement.isEmpty() && tokens != nullptr) {
      // the error line holds nothing but the end of input: quote that source
      // line from the whole stream when there is one
      const QList<QByteArray> lines = QByteArray::fromStdString(tokens->getText()).split('\n');
      const qint64 number = base + qint64(line);
      if (number >= 1 && number <= lines.size())
        statement = QString::fromUtf8(lines[int(number - 1)]);
    }
    if (!statement.isEmpty())
      report = fill(kFullReportWithStatement, where, col, offending, qmsg, statement);
    else
      report = fill(kFullReportWithoutStatement, where, col, offending, qmsg);
    std::cerr << report.toUtf8().constData() << "\n\n" << std::flush;
  }

  dumpCallStack();
  if (e) std::rethrow_exception(e);
  throw std::bad_exception();
}

void KorErrListener::checkPunctuationHint(int line, const std::string& msg) {
  const QString m = QString::fromStdString(msg);
  if (m.startsWith(QString::fromUtf8("输入字段没有合法的可选语法去匹配")) ||
      m.startsWith(QLatin1String("no viable alternative at input"))) {
    const int first = m.indexOf(QLatin1Char('\''));
    const int last = m.lastIndexOf(QLatin1Char('\''));
    const QString x = (first >= 0 && last > first) ? m.mid(first + 1, last - first - 1).trimmed() : QString();
    if (x.contains(QLatin1String("\\n")))
      printPunctuationHint(1, line, x);
    else if (x.contains(kFullLeftParen) || x.contains(kFullRightParen))
      printPunctuationHint(4, line, x);
    if (x.endsWith(kFullSemicolon))
      printPunctuationHint(2, line, x);
    else if (x.endsWith(kFullComma))
      printPunctuationHint(3, line, x);
  } else if (m.startsWith(QString::fromUtf8("无法匹配的输入字段")) ||
             m.startsWith(QLatin1String("mismatched input"))) {
    const int first = m.indexOf(QLatin1Char('\''));
    const int next = first >= 0 ? m.indexOf(QLatin1Char('\''), first + 1) : -1;
    const QString x = next > first ? m.mid(first + 1, next - first - 1).trimmed() : QString();
    if (x.contains(kFullLeftParen) || x.contains(kFullRightParen))
      printPunctuationHint(4, line, x);
    else if (x.contains(kFullSemicolon))
      printPunctuationHint(2, line, x);
    else if (x.contains(kFullComma))
      printPunctuationHint(3, line, x);
  }
}

void KorErrListener::printPunctuationHint(int kind, int line, const QString& text) {
  if (kind < 1 || kind > 4) {
    std::cerr << std::endl;
    return;
  }
  writeLine(std::cerr, fill(kHints[kind - 1], QString::number(line), text));
}
