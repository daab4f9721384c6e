#include "OwnModule.h"

#include <QDir>
#include <QFile>

#include <dlfcn.h>

namespace Orvex {

void *OwnModule::resolve(const QString &folder, const QString &fileName, const char *symbol,
                         QStringList *errors)
{
    if (void *linkedIn = dlsym(RTLD_DEFAULT, symbol))
        return linkedIn;
    if (folder.isEmpty())
        return nullptr;
    for (const QString &path :
         {folder + QLatin1Char('/') + fileName,
          QDir::cleanPath(folder + QStringLiteral("/../" ORVEX_INSTALL_LIBDIR "/orvex/") + fileName)}) {
        void *handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            if (errors)
                *errors << QString::fromLocal8Bit(dlerror());
            continue;
        }
        if (void *found = dlsym(handle, symbol))
            return found;
        dlclose(handle);
    }
    return nullptr;
}

} // namespace Orvex
