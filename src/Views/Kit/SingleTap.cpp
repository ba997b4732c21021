#include "Views/Kit/SingleTap.h"

#include <QAbstractButton>
#include <QEvent>

namespace tandrel {

namespace {

class DoubleClickEater : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Without its press, the release that follows clicks nothing either.
        if (event->type() == QEvent::MouseButtonDblClick) {
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

void treatDoubleClickAsOneTap(QAbstractButton* button)
{
    button->installEventFilter(new DoubleClickEater(button));
}

}  // namespace tandrel
