// The host interface: the two host callables through which the system
// reaches the host editor, the record passed with some host commands and the
// command codes. Both callables stay empty until a host stores them; calling
// an empty one throws std::bad_function_call.
//
// The host's widgets live on the GUI thread and must never be touched from
// another one: runOnGuiThread carries a call over to it.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

class QWidget;
class QsciScintilla;

// host window -> the current editor, or null
using HostEditorGetterFn = std::function<QsciScintilla*(QWidget*)>;
// host window, command code, data -> bool
using HostCommandCallbackFn = std::function<bool(QWidget*, int, void*)>;

extern HostEditorGetterFn HostEditorGetter;
extern HostCommandCallbackFn HostCommandCallback;

// Record passed with host codes 18 (getEdit) and 20 (replace).
struct HostEditRecord {
  int32_t id = 0;             // editor id (18) / third argument (20)
  QString findText;           // first argument (20)
  int32_t count = 0;          // result (20, out)
  QString replaceText;        // second argument (20)
  void* reserved = nullptr;
  QsciScintilla* editor = nullptr;  // out (18) / the receiver's editor (20)
  int32_t flags = 0;          // fourth argument (20)
};

// Host command codes.
enum HostCommand : int {
  HOST_NEW_EDITOR = 1,
  HOST_CUR_FILE_PATH = 12,
  HOST_MANAGER_START = 16,
  HOST_RUN_STATE = 17,
  HOST_GET_EDIT = 18,
  HOST_DARK_THEME = 19,
  HOST_REPLACE = 20
};

// Runs fn on the application's GUI thread and returns when it is done. On the
// GUI thread itself, or without an application, fn runs at once; from any
// other thread the call is queued to the GUI thread, which must be
// processing events, and the caller blocks until it has run. An exception
// thrown by fn is rethrown in the caller's thread.
void runOnGuiThread(const std::function<void()>& fn);

// The callables wrapped so that every call runs on the GUI thread.
HostEditorGetterFn onGuiThread(HostEditorGetterFn getter);
HostCommandCallbackFn onGuiThread(HostCommandCallbackFn command);
