// Placeholder until the error report lands.
#include "core/error_report.h"
