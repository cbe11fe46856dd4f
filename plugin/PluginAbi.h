// The records and entry points through which a host loads the korvel
// plug-in. Both records are exchange formats with the host: their layout is
// fixed.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

#include "runtime/host_services.h"

class QAction;
class QWidget;

// Filled by HUX_PROC_IDENTIFY.
struct PluginIdentity {
  QString name;      // "Korvel Script"
  QString hostOwn;   // the host's own; not touched
  QString tip;
  QString version;   // "v1.0"
  QString author;
  int32_t flag = 0;
};

// Passed to HUX_PROC_MAIN; the plug-in reads only the menu action.
struct PluginProcData {
  void* hostFields[7] = {};
  QAction* action = nullptr;
};

static_assert(sizeof(void*) != 8 || offsetof(PluginIdentity, tip) == 16, "identity layout");
static_assert(sizeof(void*) != 8 || offsetof(PluginIdentity, flag) == 40, "identity layout");
static_assert(sizeof(void*) != 8 || offsetof(PluginProcData, action) == 56, "proc data layout");

// Entry points, as the host resolves them by name.
using HuxProcIdentifyFn = bool (*)(PluginIdentity* identity);
using HuxProcMainFn = int (*)(QWidget* mainWindow, void* reserved, HostEditorGetterFn getter,
                              HostCommandCallbackFn command, PluginProcData* data);
// Returns a new console widget (a KorvelConsole) with the given parent.
using KorvelConsoleFn = QWidget* (*)(QWidget* parent);
