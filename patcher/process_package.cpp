#include "patcher.h"
