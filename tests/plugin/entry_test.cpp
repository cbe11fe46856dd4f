// The plug-in library as a host loads it: QLibrary, the three entry points,
// the identity record, the stored host callables and the menu action that
// opens the one script-manager window.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLibrary>
#include <QMainWindow>
#include <QWidget>

#include "plugin/PluginAbi.h"

namespace {

struct Plugin {
  QLibrary library{QStringLiteral(KORVEL_PLUGIN_PATH)};
  HuxProcIdentifyFn identify = nullptr;
  HuxProcMainFn main = nullptr;
  KorvelConsoleFn console = nullptr;

  bool load() {
    if (!library.load()) return false;
    identify = reinterpret_cast<HuxProcIdentifyFn>(library.resolve("HUX_PROC_IDENTIFY"));
    main = reinterpret_cast<HuxProcMainFn>(library.resolve("HUX_PROC_MAIN"));
    console = reinterpret_cast<KorvelConsoleFn>(library.resolve("korvelConsole"));
    return identify && main && console;
  }
};

QMainWindow* managerWindow() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QLatin1String("Korvel")) return qobject_cast<QMainWindow*>(w);
  return nullptr;
}

TEST(PluginLibrary, ExportsOnlyTheEntryPointsByTheirPlainNames) {
  Plugin plugin;
  ASSERT_TRUE(plugin.load()) << plugin.library.errorString().toStdString();
  // the interpreter inside stays private to the plug-in
  EXPECT_EQ(plugin.library.resolve("_Z10korvelMainP7QWidgetRK11QStringListi"), nullptr);
}

TEST(PluginLibrary, IdentifyFillsTheRecord) {
  Plugin plugin;
  ASSERT_TRUE(plugin.load());
  EXPECT_FALSE(plugin.identify(nullptr));
  PluginIdentity identity;
  identity.hostOwn = QStringLiteral("host's");
  identity.flag = 7;
  ASSERT_TRUE(plugin.identify(&identity));
  EXPECT_EQ(identity.name, QStringLiteral("Korvel Script"));
  EXPECT_EQ(identity.hostOwn, QStringLiteral("host's"));
  EXPECT_EQ(identity.tip, QStringLiteral("Korvel Script Plugin"));
  EXPECT_EQ(identity.version, QStringLiteral("v1.0"));
  EXPECT_FALSE(identity.author.isEmpty());
  EXPECT_EQ(identity.flag, 0);
}

// The callables are stored once per loaded library, so the whole sequence is
// one test.
TEST(PluginLibrary, MainStoresTheFirstCallablesAndConnectsTheAction) {
  Plugin plugin;
  ASSERT_TRUE(plugin.load());
  QMainWindow host;
  std::vector<int> firstCodes, otherCodes;
  HostEditorGetterFn getter = [](QWidget*) -> QsciScintilla* { return nullptr; };
  HostCommandCallbackFn first = [&firstCodes](QWidget*, int code, void*) {
    firstCodes.push_back(code);
    return true;
  };
  HostCommandCallbackFn other = [&otherCodes](QWidget*, int code, void*) {
    otherCodes.push_back(code);
    return false;
  };

  // without a record nothing is stored
  EXPECT_EQ(plugin.main(&host, nullptr, getter, other, nullptr), -1);
  QAction action(QStringLiteral("Korvel"), &host);
  PluginProcData data;
  data.action = &action;
  EXPECT_EQ(plugin.main(&host, nullptr, getter, first, &data), 0);
  QObject* instance = host.findChild<QObject*>(QStringLiteral("huxplg"));
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance->parent(), &host);
  // a later call does not replace the callables
  EXPECT_EQ(plugin.main(&host, nullptr, getter, other, &data), 0);

  // the console asks the stored host for its theme
  QWidget* console = plugin.console(&host);
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(console->parentWidget(), &host);
  EXPECT_EQ(firstCodes, (std::vector<int>{19}));
  EXPECT_TRUE(otherCodes.empty());
  delete console;
}

TEST(PluginLibrary, ActionOpensOneWindowAndANewOneAfterClosing) {
  Plugin plugin;
  ASSERT_TRUE(plugin.load());
  QMainWindow host;
  QAction action(QStringLiteral("Korvel"), &host);
  PluginProcData data;
  data.action = &action;
  HostEditorGetterFn getter = [](QWidget*) -> QsciScintilla* { return nullptr; };
  HostCommandCallbackFn command = [](QWidget*, int, void*) { return true; };
  ASSERT_EQ(plugin.main(&host, nullptr, getter, command, &data), 0);

  EXPECT_EQ(managerWindow(), nullptr);
  action.trigger();
  QMainWindow* win = managerWindow();
  ASSERT_NE(win, nullptr);
  EXPECT_TRUE(win->isVisible());
  EXPECT_EQ(win->parentWidget(), &host);
  EXPECT_TRUE(win->testAttribute(Qt::WA_DeleteOnClose));
  action.trigger();
  EXPECT_EQ(managerWindow(), win);

  // minimised while maximised: restored maximised
  win->setWindowState(Qt::WindowMinimized | Qt::WindowMaximized);
  action.trigger();
  EXPECT_TRUE(win->isMaximized());
  EXPECT_FALSE(win->isMinimized());

  // closing deletes the window; the next trigger builds a new one
  EXPECT_TRUE(win->close());
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(managerWindow(), nullptr);
  action.trigger();
  EXPECT_NE(managerWindow(), nullptr);
  delete managerWindow();
}

}  // namespace
