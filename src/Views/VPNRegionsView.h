#pragma once

#include "Models/VPNRegion.h"
#include "Views/SheetStyle.h"

#include <QHash>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <vector>

class QLabel;
class QLineEdit;
class QScrollArea;
class QToolButton;
class QVariantAnimation;
class QVBoxLayout;

namespace tandrel {

class TandrelController;

// One region of the list: flag, country and city, and the check mark of the current region.
// A click hands the region's id to `onTap`.
class VPNRegionRow : public QWidget {
    Q_OBJECT
public:
    VPNRegionRow(const VPNRegion& region, bool isSelected, QWidget* parent = nullptr);

    qint64 regionId() const { return m_regionId; }
    bool isSelected() const { return m_isSelected; }
    bool isHovered() const { return m_isHovered; }
    // The region's texts may change between loads (the optimal entry's name does).
    void setRegion(const VPNRegion& region);
    void setSelected(bool selected);

    std::function<void(qint64)> onTap;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QColor targetTint() const;
    void animateLook();

    qint64 m_regionId;
    bool m_isSelected = false;
    bool m_isHovered = false;
    QLabel* m_flag;
    QLabel* m_country;
    QLabel* m_city;
    QLabel* m_check;
    QVariantAnimation* m_look;
    QColor m_tint;
    qreal m_scale = 1.0;
};

// The searchable list of the regions the account may use, in the controller's order, with
// the current region marked. Each time it is shown it asks the controller to reload the
// regions and the plan.
class VPNRegionsView : public QWidget {
    Q_OBJECT
public:
    explicit VPNRegionsView(TandrelController& ctrl, QWidget* parent = nullptr);

    // The regions whose country name or city contains `term` (ignoring letter case under
    // the user's locale), in their order; all of them for an empty term.
    static std::vector<VPNRegion> filteredRegions(const std::vector<VPNRegion>& regions, const QString& term);

    QString searchTerm() const { return m_searchTerm; }
    // The rows now listed, top to bottom.
    QList<VPNRegionRow*> rows() const;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildSearchBar();
    QWidget* buildListBox();
    void render();
    void placeCaption();

    QPointer<TandrelController> m_ctrl;
    QString m_searchTerm;
    NextTurnRedraw m_redraw;

    QLineEdit* m_searchField = nullptr;
    QToolButton* m_clearButton = nullptr;
    QWidget* m_listBox = nullptr;
    QScrollArea* m_scrollArea = nullptr;
    QVBoxLayout* m_rowsLayout = nullptr;
    QLabel* m_caption = nullptr;
    QHash<qint64, QList<VPNRegionRow*>> m_rows;
};

}  // namespace tandrel
