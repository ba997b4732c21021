#pragma once

#include <QUrl>

#include <functional>

namespace tandrel::Workspace {

// Opens a URL in the user's browser or mail client. The program installs the desktop's
// opener at start; tests install their own to see what would be opened.
using Opener = std::function<bool(const QUrl&)>;

bool open(const QUrl& url);
void setOpener(Opener opener);

}  // namespace tandrel::Workspace
