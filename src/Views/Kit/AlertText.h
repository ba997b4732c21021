#pragma once

#include <QLabel>
#include <QMessageBox>

namespace tandrel {

// Sets an alert's message so that it shows exactly as given. A message box guesses
// whether its message is markup, so a backend text such as "<b>" or "Tom & Jerry" would
// otherwise be drawn bold or as "Tom &amp; Jerry" once escaped.
inline void setPlainInformativeText(QMessageBox* box, const QString& message)
{
    box->setInformativeText(message);
    // The box makes its message label on demand (and drops it for an empty text).
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        label->setTextFormat(Qt::PlainText);
    }
}

}  // namespace tandrel
