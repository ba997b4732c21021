#include "Platform/Workspace.h"

#include "Platform/Diagnostics.h"
#include "Platform/MainQueue.h"

#include <QProcess>

namespace tandrel::Workspace {
namespace {
// Installed and used on the main thread (screens and tests' set-up), so it needs no lock.
Opener& installedOpener()
{
    static Opener opener;
    return opener;
}
}  // namespace

bool open(const QUrl& url)
{
    assertMainThread();
    const Opener opener = installedOpener();  // a copy: the opener may install another
    if (opener) {
        return opener(url);
    }
    // Without a desktop opener (no GUI in this process) hand the address to the desktop.
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

void setOpener(Opener opener)
{
    assertMainThread();
    installedOpener() = std::move(opener);
}

}  // namespace tandrel::Workspace
