// The manual names every registered method: each library is registered alone
// into an empty registry, and the name a script writes for each of its
// methods must stand in backticks in the library's chapter of docs/.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <ostream>

#include "builtins/BuiltinRegistry.h"
#include "runtime/value.h"

namespace {

struct Library {
  BuiltinLib lib;
  const char* chapter;
  void (*registerLib)();
};

// The character library of zf values registers itself on its first
// resolution; a lookup on a character value brings it in.
void registerCharacterLib() { resolveBuiltinMethod(makeCharValue('a'), "num", nullptr); }

const Library kLibraries[] = {
    {LIB_ZFC, "10-zfc.md", registerZfcLib},      {LIB_QSTR, "11-string.md", registerQStrLib},
    {LIB_QCHR, "11-string.md", registerQChrLib}, {LIB_CHAR, "11-string.md", registerCharacterLib},
    {LIB_LIST, "12-list.md", registerListLib},   {LIB_DICT, "13-dict.md", registerDictLib},
    {LIB_REGEX, "14-regex.md", registerRegexLib}, {LIB_TIME, "15-time.md", registerTimeLib},
    {LIB_FILE, "16-file.md", registerFileLib},   {LIB_SYS, "17-kor.md", registerSysLib},
    {LIB_EXCEL, "18-excel.md", registerExcelLib}, {LIB_EDITOR, "19-hux.md", registerEditorLib},
};

// The name as scripts write it: registered names carry a library prefix only
// where several libraries share the bare name.
QString scriptName(QString name) {
  static const QRegularExpression prefix(
      QStringLiteral("^(wj::|zfc::|(zfc|qstr|qchr|zf|lb|zd|wj|sj|el|xws|reg|mat|hux|kor)_)"));
  return name.remove(prefix);
}

// The names of the methods that the library registers by itself.
QStringList methodsOf(const Library& library) {
  destroyBuiltinRegistry();
  for (auto& flag : BuiltinLibFlags) flag = 1;
  BuiltinLibFlags[library.lib] = 0;
  library.registerLib();
  QStringList names;
  if (BuiltinMethodRegistry* registry = builtinRegistry())
    for (const auto& entry : *registry) names << scriptName(QString::fromUtf8(entry.first));
  destroyBuiltinRegistry();
  resetBuiltinLibFlags();
  names.removeDuplicates();
  names.sort();
  return names;
}

void PrintTo(const Library& library, std::ostream* os) { *os << library.chapter; }

class ManualCoverage : public ::testing::TestWithParam<Library> {};

TEST_P(ManualCoverage, EveryMethodHasItsName) {
  const Library& library = GetParam();
  QFile file(QStringLiteral(KOR_SOURCE_DIR "/docs/") + QString::fromLatin1(library.chapter));
  if (!file.exists()) GTEST_SKIP() << library.chapter << " is not written yet";
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(file.readAll());
  const QStringList names = methodsOf(library);
  QStringList missing;
  for (const QString& name : names) {
    // `name`, `name(...`, `type.name(...` or `type::name(...`
    const QRegularExpression written(QStringLiteral("`([A-Za-z_][A-Za-z0-9_]*(\\.|::))?") +
                                     QRegularExpression::escape(name) + QStringLiteral("[`(]"));
    if (!text.contains(written)) missing << name;
  }
  EXPECT_TRUE(missing.isEmpty()) << library.chapter << " lacks " << missing.size() << " of "
                                 << names.size() << " methods: "
                                 << missing.join(QStringLiteral(", ")).toStdString();
}

std::string libraryName(const ::testing::TestParamInfo<Library>& info) {
  static const char* names[LIB_COUNT] = {"File", "Excel", "Time", "Zfc",    "List",  "Dict",
                                         "Sys",  "QStr",  "QChr", "Editor", "Regex", "Char"};
  return names[info.param.lib];
}

INSTANTIATE_TEST_SUITE_P(Libraries, ManualCoverage, ::testing::ValuesIn(kLibraries), libraryName);

}  // namespace
