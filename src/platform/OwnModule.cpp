#include "OwnModule.h"

#include <QDir>
#include <QFile>

#include <dlfcn.h>

namespace Orvex {

Outcome<void *, QStringList> OwnModule::resolve(const QString &folder, const QString &fileName,
                                                const char *symbol)
{
    using Found = Outcome<void *, QStringList>;
    if (void *linkedIn = dlsym(RTLD_DEFAULT, symbol))
        return Found::success(linkedIn);
    QStringList errors;
    if (folder.isEmpty())
        return Found::failure(errors);
    for (const QString &path :
         {folder + QLatin1Char('/') + fileName,
          QDir::cleanPath(folder + QStringLiteral("/../" ORVEX_INSTALL_LIBDIR "/orvex/") + fileName)}) {
        void *handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            errors << QString::fromLocal8Bit(dlerror());
            continue;
        }
        if (void *found = dlsym(handle, symbol))
            return Found::success(found);
        dlclose(handle);
    }
    return Found::failure(errors);
}

} // namespace Orvex
