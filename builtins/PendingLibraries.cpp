// Registration functions of the libraries that are not built yet: each only
// marks its library as registered, so a call of one of its methods ends in
// the registry's not-found error.
#include "BuiltinRegistry.h"

void registerExcelLib() { BuiltinLibFlags[LIB_EXCEL] = 1; }
