#include "source_text.h"
