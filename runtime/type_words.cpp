#include "type_words.h"
