#ifndef PLOVERN_COREFAILURE_H
#define PLOVERN_COREFAILURE_H

#include "ZipError.h"

#include <QString>

// Turns a failure of the zip core into the engine's Failure, with its number
// from EngineErrors.h; `archive` names the archive for failures of the
// archive as a whole. The one place where core codes meet engine numbers.
[[noreturn]] void throwCoreFailure(const zipcore::ZipError& error, const QString& archive);

#endif // PLOVERN_COREFAILURE_H
