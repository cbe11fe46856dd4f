#include "value_ops.h"
