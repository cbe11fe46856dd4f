// The file and directory library: file values (wj) with information queries,
// predicates, opening, reading, writing, seeking, copying, renaming and
// removing, directory members, and the static functions called on the type
// name wj (paths, the current directory, drives, directory creation and
// removal, listing a directory).
//
// A file value's payload is a FileValue: a QFile (created on the first file
// operation when the value was made from a path or by a listing) and a
// QFileInfo. Both are shared between the cells that hold the value and
// counted by their holders; the last release closes the file.
//
// Everything here is byte-oriented: reading gives the file's bytes as they
// are, writing stores the byte string's bytes; transcoding is the byte-string
// library's business. Paths coming from scripts are UTF-8.
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include "runtime/file_names.h"
#include "runtime/run_state.h"
#include "runtime/value_ops.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

void fileInfoLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);
void fileLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

using namespace textlib;

namespace {

enum FileMethodId : uint16_t {
  // information queries (fileInfoLibCall)
  WJ_BIRTH_TIME = 1,
  WJ_LAST_MODIFIED = 2,
  WJ_LAST_READ = 3,
  WJ_METADATA_CHANGE_TIME = 4,
  WJ_ABSOLUTE_FILE_PATH = 5,
  WJ_ABSOLUTE_PATH = 6,
  WJ_BASE_NAME = 7,
  WJ_CANONICAL_FILE_PATH = 9,
  WJ_CANONICAL_PATH = 10,
  WJ_COMPLETE_BASE_NAME = 11,
  WJ_COMPLETE_SUFFIX = 12,
  WJ_FILE_NAME = 13,
  WJ_FILE_PATH = 14,
  WJ_OWNER = 15,
  WJ_PATH = 16,
  WJ_SUFFIX = 17,
  WJ_SYM_LINK_TARGET = 18,
  // predicates
  WJ_EXISTS = 19,
  WJ_IS_DIR = 20,
  WJ_IS_EXECUTABLE = 21,
  WJ_IS_FILE = 22,
  WJ_IS_HIDDEN = 23,
  WJ_IS_READABLE = 24,
  WJ_IS_RELATIVE = 25,
  WJ_IS_SHORTCUT = 26,
  WJ_IS_SYM_LINK = 27,
  WJ_IS_SYMBOLIC_LINK = 28,
  WJ_IS_WRITABLE = 29,
  // listing (static use only)
  WJ_CHILD_FILES = 30,
  // file operations
  WJ_MOVE_TO_TRASH = 31,
  WJ_REMOVE = 32,
  WJ_COPY = 33,
  WJ_RENAME = 34,
  WJ_OPEN = 36,
  WJ_SIZE = 37,
  WJ_CLOSE = 38,
  WJ_READ_ALL = 39,
  WJ_READ = 40,
  WJ_READ_LINE = 41,
  WJ_WRITE = 42,
  WJ_SEEK = 43,
  WJ_POS = 44,
  // static functions
  WJS_DIR_RENAME = 35,
  WJS_CURRENT_PATH = 45,
  WJS_HOME_PATH = 46,
  WJS_TEMP_PATH = 47,
  WJS_IS_ABSOLUTE_PATH = 48,
  WJS_IS_RELATIVE_PATH = 49,
  WJS_SET_CURRENT = 50,
  WJS_TO_NATIVE_SEPARATORS = 51,
  WJS_DRIVES = 52,
  WJS_PATH_EXIST = 53,
  WJS_EXISTS = 54,
  WJS_REMOVE = 55,
  WJS_COPY = 56,
  WJS_MOVE_TO_TRASH = 57,
  WJS_RENAME = 58,
  WJS_SYM_LINK_TARGET = 59,
  WJS_RMDIR = 60,
  WJS_RMPATH = 61,
  WJS_MKDIR = 62,
  WJS_MKPATH = 63,
  WJS_CD = 64,
  WJS_CD_UP = 65,
  WJS_OPEN = 66,
  WJS_PATH_JOIN = 67,
  WJS_GET_REGULAR_FILE_PATH = 68,
  // directory members
  WJ_RMDIR = 69,
  WJ_RMPATH = 70,
  WJ_MKDIR = 71,
  WJ_MKPATH = 72
};

// Filters every listing starts from: directories, files, drives, no symbolic
// links, neither "." nor "..".
constexpr int kListFilters = 0x600F;

// Reads grow their buffer by at least this much at a time, so a large
// maximum costs memory only for the bytes that are really there.
constexpr qint64 kReadChunk = 64 * 1024;

// The text of a byte-string argument (a null payload is the empty text).
QString pathArg(int i) {
  const ExprValue* c = builtinArg(i);
  if (c->type == VT_BYTES && c->payload.bytes != nullptr) return pathFromBytes(*c->payload.bytes);
  if (c->type == VT_STRING && c->payload.str != nullptr) return *c->payload.str;
  return QString();
}

QString receiverName(const ExprValue* recv) {
  return recv->owner != nullptr ? QString::fromUtf8(*recv->owner) : QString();
}

QString functionName() { return currentFunctionQName(); }

void pushPathText(const QString& text) { pushBytes(pathToBytes(text)); }

// A new file value without a QFile yet, holding a copy of the information.
ExprValue* newFileElement(const QFileInfo& info) {
  auto* fv = new FileValue;
  fv->info = new QFileInfo(info);
  addSharedRef(fv);
  ExprValue* cell = newElementCell(VT_FILE);
  cell->payload.file = fv;
  return cell;
}

// The FileValue of a file receiver with its information, or null (kong, or
// a value whose objects were already closed).
FileValue* receiverFile(const ExprValue* recv) {
  if (recv->type != VT_FILE) return nullptr;
  FileValue* fv = recv->payload.file;
  if (fv == nullptr) return nullptr;
  if (fv->info == nullptr) {
    if (fv->file == nullptr) return nullptr;
    fv->info = new QFileInfo(fv->file->fileName());
  }
  return fv;
}

// The QFile of a value, made from the information's absolute path on first use.
QFile* ensureFile(FileValue* fv) {
  if (fv->file == nullptr) fv->file = new QFile(toWindowsSeparators(fv->info->absoluteFilePath()));
  return fv->file;
}

// While alive, Qt's own warnings from this thread are dropped (those of other
// threads still reach the previous handler). Used around calls whose failure
// the library reports itself, so no English text of Qt's reaches the output.
class QuietQtWarnings {
 public:
  QuietQtWarnings() : thread_(QThread::currentThread()) {
    active_ = this;
    previous_ = qInstallMessageHandler(&QuietQtWarnings::handler);
  }
  ~QuietQtWarnings() {
    qInstallMessageHandler(previous_);
    active_ = nullptr;
  }
  QuietQtWarnings(const QuietQtWarnings&) = delete;
  QuietQtWarnings& operator=(const QuietQtWarnings&) = delete;

 private:
  static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    QuietQtWarnings* self = active_;
    if (self != nullptr && type == QtWarningMsg && QThread::currentThread() == self->thread_) return;
    if (self != nullptr && self->previous_ != nullptr) {
      self->previous_(type, context, text);
      return;
    }
    // no handler before: Qt's default output
    const QByteArray bytes = qFormatLogMessage(type, context, text).toLocal8Bit();
    std::fprintf(stderr, "%s\n", bytes.constData());
  }

  static QuietQtWarnings* active_;
  QThread* thread_;
  QtMessageHandler previous_ = nullptr;
};

QuietQtWarnings* QuietQtWarnings::active_ = nullptr;

// ---- information queries ----------------------------------------------------

void timeResult(const QDateTime& t) { pushBuiltinResult(makeTimeValue(t)); }

}  // namespace

void fileInfoLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  const ExprValue* recv = builtinReceiver();
  FileValue* fv = receiverFile(recv);
  if (fv == nullptr) {
    raise(callMessage("错误：行号 %1 语句 %2 变量 %3 不是有效的文件类型或是 kong 类型文件！", ctx,
                      {receiverName(recv)}));
  }
  QFileInfo& info = *fv->info;
  switch (method->id) {
    // Times, the owner, the link target and the canonical paths depend on
    // the file system's state now, not when the value was made.
    case WJ_BIRTH_TIME: info.refresh(); timeResult(info.birthTime()); return;
    case WJ_LAST_MODIFIED: info.refresh(); timeResult(info.lastModified()); return;
    case WJ_LAST_READ: info.refresh(); timeResult(info.lastRead()); return;
    case WJ_METADATA_CHANGE_TIME: info.refresh(); timeResult(info.metadataChangeTime()); return;
    case WJ_ABSOLUTE_FILE_PATH: pushPathText(info.absoluteFilePath()); return;
    case WJ_ABSOLUTE_PATH: pushPathText(info.absolutePath()); return;
    case WJ_BASE_NAME: pushPathText(info.baseName()); return;
    case WJ_CANONICAL_FILE_PATH: info.refresh(); pushPathText(info.canonicalFilePath()); return;
    case WJ_CANONICAL_PATH: info.refresh(); pushPathText(info.canonicalPath()); return;
    case WJ_COMPLETE_BASE_NAME: pushPathText(info.completeBaseName()); return;
    case WJ_COMPLETE_SUFFIX: pushPathText(info.completeSuffix()); return;
    case WJ_FILE_NAME: pushPathText(info.fileName()); return;
    case WJ_FILE_PATH: pushPathText(info.filePath()); return;
    case WJ_OWNER: info.refresh(); pushPathText(info.owner()); return;
    case WJ_PATH: pushPathText(info.path()); return;
    case WJ_SUFFIX: pushPathText(info.suffix()); return;
    case WJ_SYM_LINK_TARGET: info.refresh(); pushPathText(info.symLinkTarget()); return;
    default: pushEmpty(); return;
  }
}

namespace {

// ---- opening ---------------------------------------------------------------

// Why an operation on an empty path failed (Qt would only warn in English).
QString emptyPathReason() { return QStringLiteral("文件路径是空字符串。"); }

QIODevice::OpenMode modeFlags(const QString& mode) {
  QIODevice::OpenMode flags = QIODevice::NotOpen;
  if (mode.contains(QLatin1Char('r'))) flags |= QIODevice::ReadOnly;
  if (mode.contains(QLatin1Char('w'))) flags |= QIODevice::WriteOnly;
  if (mode.contains(QLatin1Char('a'))) flags |= QIODevice::Append;
  if (mode.contains(QLatin1Char('c'))) flags |= QIODevice::Truncate;
  if (mode.contains(QLatin1Char('t'))) flags |= QIODevice::Text;
  if (mode.contains(QLatin1Char('n'))) flags |= QIODevice::NewOnly;
  if (mode.contains(QLatin1Char('e'))) flags |= QIODevice::ExistingOnly;
  return flags;
}

// Opens the file with the mode letters; prints the failure and returns
// false when it cannot be opened.
bool openFileObject(QFile* file, const QString& mode, antlr4::ParserRuleContext* ctx) {
  const QIODevice::OpenMode flags = modeFlags(mode);
  const QString name = file->fileName();
  const QString line = QString::number(lineOf(ctx));
  if ((flags & QIODevice::NewOnly) && file->exists()) {
    raise(fillMessage("错误：行号 %1 文件%2 已经存在！模式 n 下打开文件必须是一个不存在的文件！",
                      {line, name}));
  }
  if (flags & QIODevice::ExistingOnly) {
    if (flags & QIODevice::NewOnly) {
      raise(fillMessage("错误：行号 %1 打开文件%2 模式错误。模式 e 和 n 无法同时存在 ！", {line, name}));
    }
    if (!file->exists()) {
      raise(fillMessage("错误：行号 %1 文件%2 不存在！模式 e 下打开文件必须存在该文件！", {line, name}));
    }
  }
  QString reason;
  bool ok = false;
  if (name.isEmpty()) {
    reason = emptyPathReason();
  } else if (!(flags & (QIODevice::ReadOnly | QIODevice::WriteOnly | QIODevice::Append |
                        QIODevice::NewOnly))) {
    // without r, w, a or n the mode names no access at all
    reason = fillMessage("打开模式 %1 中没有读写模式 r、w、a 或 n。", {mode});
  } else {
    ok = file->open(flags);
    if (!ok) reason = file->errorString();
  }
  if (!ok) {
    warn(callMessage("错误：行号 %1 语句 %2 文件 %3 打开失败！%4", ctx, {name, reason}));
  }
  return ok;
}

// ---- reading and writing ----------------------------------------------------

// Reports an operation on a file that is not open (or not open for the
// direction it needs) and returns false.
bool requireOpen(QFile* file, bool forWriting, antlr4::ParserRuleContext* ctx) {
  const char* notOpen = forWriting ? "错误：函数 %1 语句 %2 文件 %3 还未打开，写入失败！"
                                   : "错误：函数 %1 语句 %2 文件 %3 还未打开，读取失败！";
  if (!file->isOpen()) {
    warn(fillMessage(notOpen, {functionName(), statementOf(ctx), file->fileName()}));
    return false;
  }
  const bool allowed = forWriting ? file->isWritable() : file->isReadable();
  if (!allowed) {
    const char* wrongMode = forWriting
                                ? "错误：函数 %1 语句 %2 文件 %3 没有以写入模式打开，写入失败！"
                                : "错误：函数 %1 语句 %2 文件 %3 没有以读取模式打开，读取失败！";
    warn(fillMessage(wrongMode, {functionName(), statementOf(ctx), file->fileName()}));
    return false;
  }
  return true;
}

// Bytes the file still holds after the read position (0 when unknown, as for
// a pipe or a file the system reports without a size).
qint64 bytesLeft(QFile* file) {
  if (file->isSequential()) return 0;
  const qint64 left = file->size() - file->pos();
  return left > 0 ? left : 0;
}

// Reads at most `limit` bytes into `out`; the count, -1 on a read error
// before anything was read. The buffer grows with the data, so a large limit
// costs nothing on a short file.
qint64 readUpTo(QFile* file, qint64 limit, QByteArray& out) {
  qint64 total = 0;
  while (total < limit) {
    // small reads (the usual loop over a file) need no size query
    qint64 chunk = limit - total;
    if (chunk > kReadChunk)
      chunk = std::min(chunk, std::max<qint64>(std::max(kReadChunk, total), bytesLeft(file)));
    out.resize(int(total + chunk));
    const qint64 n = file->read(out.data() + total, chunk);
    if (n < 0) {
      if (total == 0) total = -1;
      break;
    }
    total += n;
    if (n < chunk) break;
  }
  out.resize(int(std::max<qint64>(total, 0)));
  // a short read from a large buffer keeps only what it needs
  if (out.capacity() > 2 * out.size() + 256) out.squeeze();
  return total;
}

// The whole next line (empty at the end). Read through a small stack buffer,
// so the usual short line costs one allocation of its own size.
qint64 readWholeLine(QFile* file, QByteArray& out) {
  char buf[4096];
  for (;;) {
    const qint64 n = file->readLine(buf, qint64(sizeof buf));
    if (n <= 0) break;
    if (out.isEmpty()) out = copyToByteString(buf, int(n));
    else out.append(buf, int(n));
    if (n < qint64(sizeof buf) - 1 || buf[n - 1] == '\n') break;
    if (out.size() > kMaxTextLength - qint64(sizeof buf)) break;  // longest possible text
  }
  return out.size();
}

// One line of at most `limit` - 1 bytes (the last byte of a buffer of that
// size is the terminator), the whole line when `limit` is 0.
qint64 readLineUpTo(QFile* file, qint64 limit, QByteArray& out) {
  if (limit == 0) return readWholeLine(file, out);
  if (limit < 2) return -1;  // a one-byte buffer holds only the terminator: Qt's -1
  limit = std::min<qint64>(limit, kMaxTextLength);
  // a line cannot be longer than what is left: no bigger buffer is needed
  const qint64 left = bytesLeft(file);
  if (left > 0 && limit - 1 >= left) return readWholeLine(file, out);
  if (left == 0 && limit > kReadChunk) {
    // size unknown: read piecewise up to the limit
    qint64 total = 0;
    while (total < limit - 1) {
      const qint64 room = std::min<qint64>(kReadChunk, limit - 1 - total);
      out.resize(int(total + room + 1));
      const qint64 n = file->readLine(out.data() + total, room + 1);
      if (n < 0) {
        if (total == 0) total = -1;
        break;
      }
      total += n;
      if (n < room || out.at(int(total - 1)) == '\n') break;
    }
    out.resize(int(std::max<qint64>(total, 0)));
    return total;
  }
  out.resize(int(limit));
  const qint64 n = file->readLine(out.data(), limit);
  out.resize(int(std::max<qint64>(n, 0)));
  return n;
}

// The two results of read and readLine: the count, then the bytes.
void countAndBytes(qint64 n, QByteArray&& bytes, ExprValue* out) {
  out[0] = makeIntValue(int32_t(n));
  if (n < 0) bytes.clear();
  ExprValue b;  // out[1] is written whole (see DirectResults)
  b.type = VT_BYTES;
  b.payload.bytes = newByteString(std::move(bytes));
  out[1] = b;
}

void pushCountAndBytes(qint64 n, QByteArray&& bytes) {
  ExprValue out[2];
  countAndBytes(n, std::move(bytes), out);
  pushBuiltinResult(out[0]);
  pushBuiltinResult(out[1]);
}

// ---- listing ---------------------------------------------------------------

void childFiles(antlr4::ParserRuleContext* ctx) {
  const ExprValue* recv = builtinReceiver();
  if (recv->type != VT_TYPE_NAME) {
    raise(callMessage("错误：行号 %1 语句 %2 类名 %3 调用全局函数 %4 错误，文件类型名只能是 wj ！", ctx,
                      {receiverName(recv), callName()}));
  }
  const int n = builtinArgCount();
  const ExprValue* dirArg = builtinArg(0);
  bool argsOk = dirArg->type == VT_BYTES || dirArg->type == VT_STRING;
  for (int i = 1; i < n; ++i) argsOk = argsOk && isInteger(builtinArg(i));
  if (!argsOk) {
    raise(callMessage(
        "错误：行号 %1 语句 %2 调用函数 %3 参数类型错误，目录需要是字符串，过滤选项和排序方式需要是整数！",
        ctx, {callName()}));
  }
  const QString dirPath = toWindowsSeparators(pathArg(0));
  const int filters = kListFilters | (n >= 2 ? argInt(builtinArg(1)) : 0);
  const int sort = n >= 3 ? argInt(builtinArg(2)) : -1;
  QDir dir(dirPath);
  ExprValue result = makeListValue();
  if (!dir.exists()) {
    warn(dirPath + QStringLiteral(" 不是一个目录或者不存在，无法遍历目录"));
    pushBuiltinResult(result);
    return;
  }
  const QFileInfoList entries = listDirectory(dir, QDir::Filters(filters), QDir::SortFlags(sort));
  ValueList* list = result.payload.list;
  list->reserve(size_t(entries.size()));
  for (const QFileInfo& e : entries) list->push_back(newFileElement(e));
  pushBuiltinResult(result);
}

// ---- static functions ------------------------------------------------------

// Base directory of the static directory operations: the current directory
// for a relative path, else the directory holding the path.
QDir baseDirOf(const QString& path) {
  const QFileInfo info(path);
  return QDir(info.isRelative() ? QDir::currentPath() : info.absolutePath());
}

void staticDirOperation(uint16_t id) {
  const QString path = pathArg(0);
  // cd to the empty name stays where it is and succeeds, as QDir::cd does;
  // the other operations have nothing to work on
  if (path.isEmpty() && id != WJS_CD) {
    pushBool(false);
    return;
  }
  QDir dir = baseDirOf(path);
  bool ok = false;
  switch (id) {
    case WJS_RMDIR: ok = dir.rmdir(path); break;
    case WJS_RMPATH: ok = dir.rmpath(path); break;
    case WJS_MKDIR: ok = dir.mkdir(path); break;
    case WJS_MKPATH: ok = dir.mkpath(path); break;
    case WJS_CD:
      ok = dir.cd(path);
      if (ok) ok = QDir::setCurrent(dir.absolutePath());
      break;
    default: break;
  }
  pushBool(ok);
}

void staticOpen(antlr4::ParserRuleContext* ctx) {
  const QString path = pathArg(0);
  const QString mode = pathArg(1);
  std::unique_ptr<QFile> file(new QFile(path));
  ExprValue result;
  result.type = VT_FILE;
  result.payload.file = nullptr;
  if (openFileObject(file.get(), mode, ctx)) {
    auto* fv = new FileValue;
    fv->file = file.release();
    fv->info = new QFileInfo(path);
    addSharedRef(fv);
    result.payload.file = fv;
  }
  pushBuiltinResult(result);
}

void staticCall(uint16_t id, antlr4::ParserRuleContext* ctx) {
  switch (id) {
    case WJS_CURRENT_PATH: pushPathText(QDir::currentPath()); return;
    case WJS_HOME_PATH: pushPathText(QDir::homePath()); return;
    case WJS_TEMP_PATH: pushPathText(QDir::tempPath()); return;
    case WJS_IS_ABSOLUTE_PATH: pushBool(!QDir::isRelativePath(pathArg(0))); return;
    case WJS_IS_RELATIVE_PATH: pushBool(QDir::isRelativePath(pathArg(0))); return;
    case WJS_SET_CURRENT: {
      const QString path = pathArg(0);
      pushBool(!path.isEmpty() && QDir::setCurrent(path));
      return;
    }
    case WJS_TO_NATIVE_SEPARATORS: pushPathText(QDir::toNativeSeparators(pathArg(0))); return;
    case WJS_DRIVES: {
      ExprValue result = makeListValue();
      for (const QFileInfo& d : QDir::drives()) {
        ExprValue* cell = newElementCell(VT_BYTES);
        cell->payload.bytes = newByteString(pathToBytes(d.absoluteFilePath()));
        result.payload.list->push_back(cell);
      }
      pushBuiltinResult(result);
      return;
    }
    case WJS_PATH_EXIST: {
      const QString path = pathArg(0);
      pushBool(!path.isEmpty() && QFileInfo(path).exists());
      return;
    }
    case WJS_EXISTS: {
      const QString path = pathArg(0);
      pushBool(!path.isEmpty() && QFile::exists(path));
      return;
    }
    case WJS_REMOVE: {
      const QString path = pathArg(0);
      pushBool(!path.isEmpty() && QFile::remove(path));
      return;
    }
    case WJS_COPY: {
      const QString from = pathArg(0), to = pathArg(1);
      pushBool(!from.isEmpty() && !to.isEmpty() && QFile::copy(from, to));
      return;
    }
    case WJS_MOVE_TO_TRASH: {
      const QString path = pathArg(0);
      pushBool(!path.isEmpty() && QFile::moveToTrash(path));
      return;
    }
    case WJS_RENAME: {
      const QString from = pathArg(0), to = pathArg(1);
      pushBool(!from.isEmpty() && !to.isEmpty() && QFile::rename(from, to));
      return;
    }
    case WJS_SYM_LINK_TARGET: pushPathText(QFile::symLinkTarget(pathArg(0))); return;
    case WJS_DIR_RENAME: {
      const QString from = pathArg(0), to = pathArg(1);
      // Relative names are taken from the current directory, like every other
      // static path (a QDir of `from` itself would look for from/from).
      pushBool(!from.isEmpty() && !to.isEmpty() && QDir().rename(from, to));
      return;
    }
    case WJS_RMDIR:
    case WJS_RMPATH:
    case WJS_MKDIR:
    case WJS_MKPATH:
    case WJS_CD:
      staticDirOperation(id);
      return;
    case WJS_CD_UP: {
      QDir dir = QDir::current();
      bool ok = dir.cdUp();
      if (ok) ok = QDir::setCurrent(dir.absolutePath());
      pushBool(ok);
      return;
    }
    case WJS_OPEN: staticOpen(ctx); return;
    case WJS_PATH_JOIN: {
      // an empty part adds nothing: no separator that would make the other
      // part a path from the root
      const QString first = pathArg(0), second = pathArg(1);
      if (first.isEmpty() || second.isEmpty()) pushPathText(first + second);
      else pushPathText(first + QDir::separator() + second);
      return;
    }
    case WJS_GET_REGULAR_FILE_PATH: pushPathText(toWindowsSeparators(pathArg(0))); return;
    default: pushEmpty(); return;
  }
}

// ---- predicates and directory members -------------------------------------

void predicate(uint16_t id, FileValue* fv) {
  QFileInfo& info = *fv->info;
  if (id != WJ_IS_RELATIVE) info.refresh();  // the file may have changed since
  bool r = false;
  switch (id) {
    case WJ_EXISTS: r = info.exists(); break;
    case WJ_IS_DIR: r = info.isDir(); break;
    case WJ_IS_EXECUTABLE: r = info.isExecutable(); break;
    case WJ_IS_FILE: r = info.isFile(); break;
    case WJ_IS_HIDDEN: r = info.isHidden(); break;
    case WJ_IS_READABLE: r = info.isReadable(); break;
    case WJ_IS_RELATIVE: r = info.isRelative(); break;
    case WJ_IS_SHORTCUT: r = info.isShortcut(); break;
    case WJ_IS_SYM_LINK: r = info.isSymLink(); break;
    case WJ_IS_SYMBOLIC_LINK: r = info.isSymbolicLink(); break;
    case WJ_IS_WRITABLE: r = info.isWritable(); break;
    default: break;
  }
  pushBool(r);
}

void directoryMember(uint16_t id, FileValue* fv) {
  const QString name = pathArg(0);
  if (name.isEmpty()) {
    pushBool(false);
    return;
  }
  QDir dir(fv->info->absoluteFilePath());
  bool ok = false;
  switch (id) {
    case WJ_RMDIR: ok = dir.rmdir(name); break;
    case WJ_RMPATH: ok = dir.rmpath(name); break;
    case WJ_MKDIR: ok = dir.mkdir(name); break;
    case WJ_MKPATH: ok = dir.mkpath(name); break;
    default: break;
  }
  pushBool(ok);
}

// ---- file operations -------------------------------------------------------

// Closes an open file. False, with a warning, when what was still buffered
// could not be written (a full disk): the data did not reach the file, and
// the run has failed.
bool closeReporting(QFile* file, antlr4::ParserRuleContext* ctx) {
  if (!file->isOpen()) return true;
  file->close();
  if (file->error() == QFileDevice::NoError) return true;
  noteLostData();
  warn(fillMessage("错误：函数 %1 语句 %2 文件 %3 关闭失败，数据没有全部写入文件！%4",
                   {functionName(), statementOf(ctx), file->fileName(), file->errorString()}));
  return false;
}

// A path argument of copy, rename and open: a byte string without a payload
// is refused; an empty one is an ordinary path that the operation fails on.
QString requirePathArg(const ExprValue* recv, antlr4::ParserRuleContext* ctx) {
  const ExprValue* c = builtinArg(0);
  if (c->type == VT_BYTES && c->payload.bytes == nullptr) {
    raise(fillMessage(
        "错误：函数 %1 语句 %2 变量 %3 调用成员函数 %4 第 %5 个参数类型错误，参数需要是字符串类型！",
        {functionName(), statementOf(ctx), receiverName(recv), callName(), QStringLiteral("1")}));
  }
  return pathArg(0);
}

void renameFile(QFile* file, const ExprValue* recv, antlr4::ParserRuleContext* ctx) {
  const QString to = requirePathArg(recv, ctx);
  const QString name = file->fileName();
  if (!file->exists()) {
    warn(fillMessage("错误：原始文件%1 不存在， 改名 %1 到 %2 失败！", {name, to}));
    pushBool(false);
    return;
  }
  if (file->isOpen()) {
    warn(fillMessage("警告：文件改名之前还没有关闭，尝试关闭文件后继续改名 %1 到 %2 ", {name, to}));
    closeReporting(file, ctx);
  }
  // A separate QFile does the renaming: the value keeps its own name.
  QFile renamer(name);
  const bool ok = !to.isEmpty() && renamer.rename(to);
  if (!ok) {
    const QString reason = to.isEmpty() ? emptyPathReason() : renamer.errorString();
    warn(fillMessage("警告：文件改名 %1 到 %2 失败！%3", {name, to, reason}));
  }
  pushBool(ok);
}

void fileOperation(uint16_t id, FileValue* fv, const ExprValue* recv, antlr4::ParserRuleContext* ctx) {
  QFile* file = ensureFile(fv);
  switch (id) {
    case WJ_MOVE_TO_TRASH: pushBool(file->moveToTrash()); return;
    case WJ_REMOVE:
      closeReporting(file, ctx);
      pushBool(file->remove());
      return;
    case WJ_COPY: {
      const QString to = requirePathArg(recv, ctx);
      const bool ok = !to.isEmpty() && file->copy(to);
      if (!ok) {
        const QString reason = to.isEmpty() ? emptyPathReason() : file->errorString();
        warn(fillMessage("警告：拷贝文件 %1 到 %2 失败！%3", {file->fileName(), to, reason}));
      }
      pushBool(ok);
      return;
    }
    case WJ_RENAME: renameFile(file, recv, ctx); return;
    case WJ_OPEN: {
      const QString mode = requirePathArg(recv, ctx);
      if (file->isOpen()) {
        warn(callMessage("错误：行号 %1 语句 %2 文件%3 已经在变量 %4 中打开，同一个文件不可重复打开！", ctx,
                         {file->fileName(), receiverName(recv)}));
        pushBool(false);
        return;
      }
      pushBool(openFileObject(file, mode, ctx));
      return;
    }
    case WJ_SIZE: {
      if (file->isOpen()) {
        pushLong(file->size());  // flushes what is still buffered first
        return;
      }
      fv->info->refresh();
      if (!fv->info->exists()) {
        warn(fillMessage("错误：函数%1 语句%2 文件%3 不存在！无法获取大小！",
                         {functionName(), statementOf(ctx), file->fileName()}));
        pushLong(-1);
        return;
      }
      pushLong(fv->info->size());
      return;
    }
    case WJ_CLOSE:
      pushInt(closeReporting(file, ctx) ? 0 : -1);
      return;
    case WJ_READ_ALL: {
      if (!requireOpen(file, false, ctx)) {
        pushBytes(QByteArray());
        return;
      }
      const qint64 left = bytesLeft(file);
      if (left > kMaxTextLength) {
        // more than one byte string can hold: refuse rather than give nothing
        warn(fillMessage("错误：函数 %1 语句 %2 文件 %3 剩余 %4 字节，超过字符串的最大长度，无法一次读取！请使用 read 或 readLine 分段读取。",
                         {functionName(), statementOf(ctx), file->fileName(), QString::number(left)}));
        pushBytes(QByteArray());
        return;
      }
      pushBytes(file->readAll());
      return;
    }
    case WJ_READ:
    case WJ_READ_LINE: {
      const ExprValue* maxArg = builtinArg(0);
      if (!isInteger(maxArg)) {
        pushEmpty();
        return;
      }
      const qint64 max = maxArg->asInt64();
      if (!requireOpen(file, false, ctx)) {
        pushCountAndBytes(-1, QByteArray());
        return;
      }
      QByteArray bytes;
      qint64 n = -1;
      if (max >= 0) {
        n = id == WJ_READ ? readUpTo(file, std::min<qint64>(max, kMaxTextLength), bytes)
                          : readLineUpTo(file, max, bytes);
      }
      pushCountAndBytes(n, std::move(bytes));
      return;
    }
    case WJ_WRITE: {
      const ExprValue* data = builtinArg(0);
      const ExprValue* lengthArg = builtinArg(1);
      if (!requireOpen(file, true, ctx)) {
        pushLong(-1);
        return;
      }
      if (data->type != VT_BYTES || data->payload.bytes == nullptr || !isInteger(lengthArg)) {
        pushLong(-1);
        return;
      }
      const QByteArray& bytes = *data->payload.bytes;
      qint64 length = lengthArg->asInt64();
      if (length == -1 || length > bytes.size()) length = bytes.size();
      if (length < 0) {
        pushLong(-1);
        return;
      }
      errno = 0;
      const qint64 written = file->write(bytes.constData(), length);
      if (written != length) {
        // Only a write that wrote nothing sets the file's error; after a part
        // (the disk or the file-size limit reached) the system's reason is
        // that of the write that stopped.
        const int why = errno;
        const QString reason = file->error() == QFileDevice::NoError && why != 0 ? qt_error_string(why)
                                                                                : file->errorString();
        noteLostData();
        warn(fillMessage("错误：函数 %1 语句 %2 文件 %3 写入失败！%4",
                         {functionName(), statementOf(ctx), file->fileName(), reason}));
      }
      pushLong(written);
      return;
    }
    case WJ_SEEK: {
      const qint64 to = builtinArg(0)->asInt64();
      if (!file->isOpen()) {
        warn(fillMessage("错误：函数 %1 语句 %2 文件 %3 还未打开，磁头seek 失败！",
                         {functionName(), statementOf(ctx), file->fileName()}));
        pushBool(false);
        return;
      }
      // a pipe or a device has no position to go to
      bool ok = false;
      if (to >= 0 && !file->isSequential()) {
        // a position the file system cannot reach just fails
        QuietQtWarnings quiet;
        ok = file->seek(to);
      }
      pushBool(ok);
      return;
    }
    case WJ_POS: {
      if (!file->isOpen()) {
        warn(fillMessage("错误：函数 %1 语句 %2 文件 %3 还未打开，获取磁头位置pos 失败！",
                         {functionName(), statementOf(ctx), file->fileName()}));
        pushLong(0);
        return;
      }
      pushLong(file->pos());
      return;
    }
    default: pushEmpty(); return;
  }
}

// readLine with a zs limit of 0 or more from a file open for reading.
int readLineDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out) {
  if (recv.type != VT_FILE || recv.payload.file == nullptr || argc != 1 ||
      args[0].type != VT_INT || args[0].payload.i32 < 0)
    return -1;
  const FileValue* fv = recv.payload.file;
  QFile* file = fv->file;
  if (fv->info == nullptr || file == nullptr || !file->isOpen() || !file->isReadable()) return -1;
  QByteArray bytes;
  const qint64 n = readLineUpTo(file, args[0].payload.i32, bytes);
  countAndBytes(n, std::move(bytes), out);
  return 2;
}

}  // namespace

void fileLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  const uint16_t id = method->id;
  if (id == WJ_CHILD_FILES) {
    childFiles(ctx);
    return;
  }
  if (id == WJS_DIR_RENAME || (id >= WJS_CURRENT_PATH && id <= WJS_GET_REGULAR_FILE_PATH)) {
    staticCall(id, ctx);
    return;
  }
  const ExprValue* recv = builtinReceiver();
  FileValue* fv = receiverFile(recv);
  if (id <= WJ_IS_WRITABLE || id >= WJ_RMDIR) {
    // predicates and directory members give nothing for a value without a file
    if (fv == nullptr) {
      pushEmpty();
      return;
    }
    if (id <= WJ_IS_WRITABLE) predicate(id, fv);
    else directoryMember(id, fv);
    return;
  }
  if (fv == nullptr) {
    raise(fillMessage("错误：函数 %1 语句 %2 变量 %3 不是有效的文件类型或是 kong 类型文件！",
                      {functionName(), statementOf(ctx), receiverName(recv)}));
  }
  fileOperation(id, fv, recv, ctx);
}

void registerFileLib() {
  if (BuiltinLibFlags[LIB_FILE]) return;
  BuiltinLibFlags[LIB_FILE] = 1;
  keepUndecodableFileNames();
  currentBuiltinReceiver = VT_FILE;
  const std::vector<int32_t> none;
  const std::vector<int32_t> path{VT_BYTES};
  const std::vector<int32_t> twoPaths{VT_BYTES, VT_BYTES};

  currentBuiltinHandler = fileInfoLibCall;
  registerBuiltinMethod(WJ_BIRTH_TIME, "birthTime", none, BF_MEMBER);
  registerBuiltinMethod(WJ_LAST_MODIFIED, "lastModified", none, BF_MEMBER);
  registerBuiltinMethod(WJ_LAST_READ, "lastRead", none, BF_MEMBER);
  registerBuiltinMethod(WJ_METADATA_CHANGE_TIME, "metadataChangeTime", none, BF_MEMBER);
  registerBuiltinMethod(WJ_ABSOLUTE_FILE_PATH, "absoluteFilePath", none, BF_MEMBER);
  registerBuiltinMethod(WJ_ABSOLUTE_PATH, "absolutePath", none, BF_MEMBER);
  registerBuiltinMethod(WJ_BASE_NAME, "baseName", none, BF_MEMBER);
  registerBuiltinMethod(WJ_CANONICAL_FILE_PATH, "canonicalFilePath", none, BF_MEMBER);
  registerBuiltinMethod(WJ_CANONICAL_PATH, "canonicalPath", none, BF_MEMBER);
  registerBuiltinMethod(WJ_COMPLETE_BASE_NAME, "completeBaseName", none, BF_MEMBER);
  registerBuiltinMethod(WJ_COMPLETE_SUFFIX, "completeSuffix", none, BF_MEMBER);
  registerBuiltinMethod(WJ_FILE_NAME, "fileName", none, BF_MEMBER);
  registerBuiltinMethod(WJ_FILE_PATH, "filePath", none, BF_MEMBER);
  registerBuiltinMethod(WJ_OWNER, "owner", none, BF_MEMBER);
  registerBuiltinMethod(WJ_PATH, "path", none, BF_MEMBER);
  registerBuiltinMethod(WJ_SUFFIX, "suffix", none, BF_MEMBER);
  registerBuiltinMethod(WJ_SYM_LINK_TARGET, "symLinkTarget", none, BF_MEMBER);

  currentBuiltinHandler = fileLibCall;
  registerBuiltinMethod(WJ_EXISTS, "wj_exists", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_DIR, "isDir", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_EXECUTABLE, "isExecutable", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_FILE, "isFile", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_HIDDEN, "isHidden", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_READABLE, "isReadable", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_RELATIVE, "isRelative", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_SHORTCUT, "isShortcut", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_SYM_LINK, "isSymLink", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_SYMBOLIC_LINK, "isSymbolicLink", none, BF_MEMBER);
  registerBuiltinMethod(WJ_IS_WRITABLE, "isWritable", none, BF_MEMBER);
  registerBuiltinMethod(WJ_CHILD_FILES, "childFiles", {1, 3, BA_RANGE}, BF_STATIC);
  registerBuiltinMethod(WJ_MOVE_TO_TRASH, "moveToTrash", none, BF_MEMBER);
  registerBuiltinMethod(WJ_REMOVE, "wj_remove", none, BF_MEMBER);
  registerBuiltinMethod(WJ_COPY, "wj_copy", path, BF_MEMBER);
  registerBuiltinMethod(WJ_RENAME, "rename", path, BF_MEMBER);
  registerBuiltinMethod(WJS_DIR_RENAME, "wj::dirRename", twoPaths, BF_STATIC);
  registerBuiltinMethod(WJ_OPEN, "wj_open", path, BF_MEMBER);
  registerBuiltinMethod(WJ_SIZE, "wj_size", none, BF_MEMBER);
  registerBuiltinMethod(WJ_CLOSE, "wj_close", none, BF_MEMBER);
  registerBuiltinMethod(WJ_READ_ALL, "readAll", none, BF_MEMBER);
  registerBuiltinMethod(WJ_READ, "read", {VT_LONG}, BF_MEMBER);
  registerBuiltinMethod(WJ_READ_LINE, "readLine", {0, BA_OPTIONAL_LAST}, BF_MEMBER)->direct =
      readLineDirect;
  registerBuiltinMethod(WJ_WRITE, "write", {VT_BYTES, BA_ANY, BA_OPTIONAL_LAST}, BF_MEMBER);
  registerBuiltinMethod(WJ_SEEK, "seek", {VT_LONG}, BF_MEMBER);
  registerBuiltinMethod(WJ_POS, "pos", none, BF_MEMBER);
  registerBuiltinMethod(WJS_CURRENT_PATH, "wj::currentPath", none, BF_STATIC);
  registerBuiltinMethod(WJS_HOME_PATH, "wj::homePath", none, BF_STATIC);
  registerBuiltinMethod(WJS_TEMP_PATH, "wj::tempPath", none, BF_STATIC);
  registerBuiltinMethod(WJS_IS_ABSOLUTE_PATH, "wj::isAbsolutePath", path, BF_STATIC);
  registerBuiltinMethod(WJS_IS_RELATIVE_PATH, "wj::isRelativePath", path, BF_STATIC);
  registerBuiltinMethod(WJS_SET_CURRENT, "wj::setCurrent", path, BF_STATIC);
  registerBuiltinMethod(WJS_TO_NATIVE_SEPARATORS, "wj::toNativeSeparators", path, BF_STATIC);
  registerBuiltinMethod(WJS_DRIVES, "wj::drives", none, BF_STATIC);
  registerBuiltinMethod(WJS_PATH_EXIST, "wj::pathExist", path, BF_STATIC);
  registerBuiltinMethod(WJS_EXISTS, "wj::exists", path, BF_STATIC);
  registerBuiltinMethod(WJS_REMOVE, "wj::remove", path, BF_STATIC);
  registerBuiltinMethod(WJS_COPY, "wj::copy", twoPaths, BF_STATIC);
  registerBuiltinMethod(WJS_MOVE_TO_TRASH, "wj::moveToTrash", path, BF_STATIC);
  registerBuiltinMethod(WJS_RENAME, "wj::rename", twoPaths, BF_STATIC);
  registerBuiltinMethod(WJS_SYM_LINK_TARGET, "wj::symLinkTarget", path, BF_STATIC);
  registerBuiltinMethod(WJS_RMDIR, "wj::rmdir", path, BF_STATIC);
  registerBuiltinMethod(WJS_RMPATH, "wj::rmpath", path, BF_STATIC);
  registerBuiltinMethod(WJS_MKDIR, "wj::mkdir", path, BF_STATIC);
  registerBuiltinMethod(WJS_MKPATH, "wj::mkpath", path, BF_STATIC);
  registerBuiltinMethod(WJS_CD, "wj::cd", path, BF_STATIC);
  registerBuiltinMethod(WJS_CD_UP, "wj::cdUp", none, BF_STATIC);
  registerBuiltinMethod(WJS_OPEN, "wj::open", twoPaths, BF_STATIC);
  registerBuiltinMethod(WJS_PATH_JOIN, "wj::pathJoin", twoPaths, BF_STATIC);
  registerBuiltinMethod(WJS_GET_REGULAR_FILE_PATH, "wj::getRegularFilePath", path, BF_STATIC);
  registerBuiltinMethod(WJ_RMDIR, "rmdir", path, BF_MEMBER);
  registerBuiltinMethod(WJ_RMPATH, "rmpath", path, BF_MEMBER);
  registerBuiltinMethod(WJ_MKDIR, "mkdir", path, BF_MEMBER);
  registerBuiltinMethod(WJ_MKPATH, "mkpath", path, BF_MEMBER);
}
