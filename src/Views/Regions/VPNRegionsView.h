#pragma once

#include "Models/VPNRegion.h"
#include "Platform/Published.h"
#include "Views/Sheets/SheetStyle.h"

#include <QPointer>
#include <QWidget>

#include <vector>

class QLabel;
class QLineEdit;
class QListView;
class QToolButton;

namespace tandrel {

class TandrelController;
class VPNRegionListModel;
class VPNRegionRow;

// The searchable list of the regions the account may use, in the controller's order, with
// the current region marked. Each time it is shown it asks the controller to reload the
// regions and the plan. The rows are a model's, painted by VPNRegionRow only while in view;
// a click, or Return or Space on the row the arrow keys reached, selects the region.
class VPNRegionsView : public QWidget {
    Q_OBJECT
public:
    explicit VPNRegionsView(TandrelController& ctrl, QWidget* parent = nullptr);

    QString searchTerm() const { return m_searchTerm; }
    // The region ids of the rows now listed, top to bottom.
    QList<qint64> shownRegionIds() const;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildSearchBar();
    QWidget* buildListBox();
    void render();
    void placeCaption();
    void select(qint64 regionId);

    QPointer<TandrelController> m_ctrl;
    QString m_searchTerm;
    NextTurnRedraw m_redraw;
    Cancellable m_regionsSubscription;
    bool m_regionsChanged = true;

    QLineEdit* m_searchField = nullptr;
    QToolButton* m_clearButton = nullptr;
    QWidget* m_listBox = nullptr;
    QListView* m_list = nullptr;
    VPNRegionListModel* m_model = nullptr;
    VPNRegionRow* m_rowDelegate = nullptr;
    QLabel* m_caption = nullptr;
};

}  // namespace tandrel
