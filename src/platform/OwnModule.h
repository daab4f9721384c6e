#pragma once

#include "base/Outcome.h"

#include <QString>
#include <QStringList>

namespace Orvex {

// The client's own loadable modules (the phone-number data, the chart's
// drawing), opened only when first needed.
class OwnModule final
{
public:
    OwnModule() = delete;

    // The address of `symbol`: from the program itself when it has the module
    // linked in (tests, benchmarks), else from the module `fileName` beside
    // the binary in `folder` (the build tree) or in the client's private
    // library folder below it (installed). A failure when none has it, with
    // why each file found could not be opened. A module opened stays open for
    // the life of the process.
    static Outcome<void *, QStringList> resolve(const QString &folder, const QString &fileName,
                                                const char *symbol);
};

} // namespace Orvex
