#pragma once

#include "Views/Sheets/SheetStyle.h"

#include <QPointer>
#include <QWidget>

class QAbstractButton;
class QLabel;

namespace tandrel {

class TandrelController;

// Stands in for the region list while the regions could not be loaded and none are
// there to show: it says so and offers a Retry, which loads them again.
class RegionsLoadFailedPanel : public QWidget {
    Q_OBJECT
public:
    // Takes the place of `list` in its parent's layout whenever the load has failed.
    RegionsLoadFailedPanel(TandrelController& ctrl, QWidget* list);

private:
    void render();

    QPointer<TandrelController> m_ctrl;
    QPointer<QWidget> m_list;
    QAbstractButton* m_retry = nullptr;
    QLabel* m_hint = nullptr;
    NextTurnRedraw m_redraw;
};

}  // namespace tandrel
