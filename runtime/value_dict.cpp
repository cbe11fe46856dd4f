#include "value_dict.h"
