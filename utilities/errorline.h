#pragma once

#include <QDebug>

// Every unit reports failures in one shape: the word ERROR, where it happened
// (line, file, function signature), then whatever the caller streams after it.
#define ERROR_LINE() qWarning() << "ERROR" << __LINE__ << __FILE__ << Q_FUNC_INFO
// The same for a helper function that reports in its caller's name.
#define ERROR_LINE_AS(signature) qWarning() << "ERROR" << __LINE__ << __FILE__ << (signature)
