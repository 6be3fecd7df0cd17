#include "plist.h"
