#include "HostServices.h"

HostEditorGetterFn HostEditorGetter;
HostCommandCallbackFn HostCommandCallback;
