#include "Platform/Workspace.h"

#include "Platform/Diagnostics.h"

#include <QProcess>

#include <mutex>

namespace tandrel::Workspace {
namespace {
std::mutex openerLock;
Opener& installedOpener()
{
    static Opener opener;
    return opener;
}
}  // namespace

bool open(const QUrl& url)
{
    Opener opener;
    {
        std::lock_guard guard(openerLock);
        opener = installedOpener();
    }
    if (opener) {
        return opener(url);
    }
    // Without a desktop opener (no GUI in this process) hand the address to the desktop.
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

void setOpener(Opener opener)
{
    std::lock_guard guard(openerLock);
    installedOpener() = std::move(opener);
}

}  // namespace tandrel::Workspace
