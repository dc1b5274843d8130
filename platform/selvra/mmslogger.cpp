#include "mmslogger.h"

bool MMSLogger::qdebugEnabled = false;
