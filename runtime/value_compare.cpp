#include "value_compare.h"
