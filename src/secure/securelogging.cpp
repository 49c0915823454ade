#include "secure/securelogging.h"

Q_LOGGING_CATEGORY(lcSecure, "vesk.secure")
