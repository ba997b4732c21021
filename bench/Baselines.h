#pragma once

// The plain Qt ways of the screens' jobs, which the benchmarks hold ours against. Each does
// the same job as the screen, as a careful developer would with Qt's own classes:
// - a list: QListView over a QSortFilterProxyModel whose filter folds case and accents the
//   way ours does, with a delegate that paints the same row (flag, divider, two wrapped
//   names, check mark) and measures each row once per width;
// - a map: the same land drawn into a picture while the view stays, one pre-drawn marker
//   blitted per region, and titles measured once and kept apart on the same 64x16 grid.

#include "RegionScreens.h"

#include "Views/Kit/Assets.h"
#include "Views/Map/LandShapes.h"
#include "Views/Map/MapViewForMacOS14.h"
#include "Views/Map/MapViewport.h"
#include "Views/Sheets/SheetStyle.h"

#include <QAbstractListModel>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cmath>
#include <functional>

namespace tandrel::bench {

// ---------------------------------------------------------------------------- the list

class BaselineRegionModel : public QAbstractListModel {
public:
    enum Role { CityRole = Qt::UserRole + 1, CodeRole, IdRole };

    void setRegions(const std::vector<VPNRegion>& regions)
    {
        beginResetModel();
        m_rows.clear();
        m_rows.reserve(regions.size());
        for (const VPNRegion& region : regions) {
            m_rows.push_back({region.id, region.country_name, region.city, region.country_code.toLower()});
        }
        endResetModel();
    }
    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        const Row& row = m_rows[static_cast<std::size_t>(index.row())];
        switch (role) {
            case Qt::DisplayRole:
                return row.country;
            case CityRole:
                return row.city;
            case CodeRole:
                return row.code;
            case IdRole:
                return row.id;
            default:
                return {};
        }
    }

private:
    struct Row {
        qint64 id;
        QString country;
        QString city;
        QString code;
    };
    std::vector<Row> m_rows;
};

// Containment in the country name or the city, both folded as ours are (NFC, lower case
// under the locale).
class BaselineRegionFilter : public QSortFilterProxyModel {
public:
    void setTerm(const QString& term)
    {
        m_needle = fold(term);
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex&) const override
    {
        if (m_needle.isEmpty()) {
            return true;
        }
        const QModelIndex index = sourceModel()->index(row, 0);
        return fold(index.data(Qt::DisplayRole).toString()).contains(m_needle) ||
               fold(index.data(BaselineRegionModel::CityRole).toString()).contains(m_needle);
    }

private:
    QString fold(const QString& text) const { return m_locale.toLower(text.normalized(QString::NormalizationForm_C)); }

    QLocale m_locale;
    QString m_needle;
};

// The row: the same fonts, paddings and pictures as ours; the check mark's room is always
// kept, so a row's height depends on the width alone and is measured once per width.
class BaselineRowDelegate : public QStyledItemDelegate {
public:
    explicit BaselineRowDelegate(QListView* view)
        : QStyledItemDelegate(view),
          m_view(view),
          m_country(SheetStyle::systemFont(16, QFont::DemiBold)),
          m_city(SheetStyle::systemFont(14)),
          m_countryMetrics(m_country),
          m_cityMetrics(m_city)
    {
    }

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override
    {
        const int width = m_view->viewport()->width();
        if (width != m_measuredWidth) {
            m_measuredWidth = width;
            m_heights.clear();
        }
        const auto* proxy = static_cast<const QSortFilterProxyModel*>(index.model());
        const int source = proxy->mapToSource(index).row();
        auto it = m_heights.constFind(source);
        if (it == m_heights.constEnd()) {
            const int names = namesWidth(width);
            const int height =
                m_countryMetrics
                    .boundingRect(QRect(0, 0, names, 1 << 20), Qt::TextWordWrap, index.data(Qt::DisplayRole).toString())
                    .height() +
                4 +
                m_cityMetrics
                    .boundingRect(QRect(0, 0, names, 1 << 20), Qt::TextWordWrap,
                                  index.data(BaselineRegionModel::CityRole).toString())
                    .height();
            it = m_heights.insert(source, std::max(40, height) + 16 + 8);
        }
        return {width, *it};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QRectF shape = QRectF(option.rect).adjusted(16, 4, -16, -4);
        const bool selected = option.state & QStyle::State_Selected;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        QPainterPath background;
        background.addRoundedRect(shape, 10, 10);
        painter->fillPath(background, selected ? SheetStyle::withAlpha(SheetStyle::blue, 0.2)
                                               : SheetStyle::withAlpha(SheetStyle::gray, 0.05));
        const qreal middle = shape.center().y();
        qreal x = shape.left() + 12;
        painter->drawPixmap(QPointF(x, middle - 20), flag(index.data(BaselineRegionModel::CodeRole).toString()));
        x += 40 + 12;
        painter->fillRect(QRectF(x, middle - 15, 1, 30), SheetStyle::withAlpha(SheetStyle::gray, 0.3));
        x += 1 + 12;
        const int names = namesWidth(option.rect.width());
        const QString country = index.data(Qt::DisplayRole).toString();
        const QString city = index.data(BaselineRegionModel::CityRole).toString();
        const int countryHeight =
            m_countryMetrics.boundingRect(QRect(0, 0, names, 1 << 20), Qt::TextWordWrap, country).height();
        const int cityHeight = m_cityMetrics.boundingRect(QRect(0, 0, names, 1 << 20), Qt::TextWordWrap, city).height();
        const qreal top = middle - (countryHeight + 4 + cityHeight) / 2.0;
        painter->setFont(m_country);
        painter->setPen(option.palette.color(QPalette::WindowText));
        painter->drawText(QRectF(x, top, names, countryHeight), Qt::TextWordWrap, country);
        painter->setFont(m_city);
        painter->drawText(QRectF(x, top + countryHeight + 4, names, cityHeight), Qt::TextWordWrap, city);
        if (selected) {
            painter->drawPixmap(QPointF(shape.right() - 12 - 18, middle - 9), m_check);
        }
        painter->restore();
    }

private:
    static int namesWidth(int rowWidth) { return std::max(rowWidth - 32 - 24 - 40 - 12 - 1 - 12 - 12 - 18, 1); }

    const QPixmap& flag(const QString& code) const
    {
        auto it = m_flags.constFind(code);
        if (it == m_flags.constEnd()) {
            it = m_flags.insert(code, Assets::flag(code).pixmap(40, 40));
        }
        return *it;
    }

    QListView* m_view;
    QFont m_country;
    QFont m_city;
    QFontMetrics m_countryMetrics;
    QFontMetrics m_cityMetrics;
    QPixmap m_check = Assets::systemSymbol(QStringLiteral("checkmark.circle.fill"), SheetStyle::blue).pixmap(18, 18);
    mutable QHash<QString, QPixmap> m_flags;
    mutable QHash<int, int> m_heights;
    mutable int m_measuredWidth = -1;
};

// The search field over the rows, in a column like ours; a click on a row selects it and
// tells `selected` (where the program's controller takes the region).
class BaselineList : public QWidget {
public:
    explicit BaselineList(QWidget* parent = nullptr) : QWidget(parent)
    {
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(16, 0, 16, 0);
        field = new QLineEdit(this);
        column->addWidget(field);
        proxy.setSourceModel(&source);
        view = new QListView(this);
        view->setModel(&proxy);
        view->setItemDelegate(new BaselineRowDelegate(view));
        view->setSelectionMode(QAbstractItemView::SingleSelection);
        view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
        view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view->setFrameShape(QFrame::NoFrame);
        column->addWidget(view, 1);
        connect(field, &QLineEdit::textChanged, this, [this](const QString& term) { proxy.setTerm(term); });
        connect(view, &QListView::clicked, this, [this](const QModelIndex& index) {
            if (selected) {
                selected(index.data(BaselineRegionModel::IdRole).toLongLong());
            }
        });
    }

    void show(const std::vector<VPNRegion>& regions)
    {
        source.setRegions(regions);
        settle();
    }
    QWidget* rows() const { return view->viewport(); }

    BaselineRegionModel source;
    BaselineRegionFilter proxy;
    QLineEdit* field = nullptr;
    QListView* view = nullptr;
    std::function<void(qint64)> selected;
};

// ----------------------------------------------------------------------------- the map

class BaselineMap : public QWidget {
public:
    explicit BaselineMap(const std::vector<VPNRegion>& regions, QWidget* parent = nullptr)
        : QWidget(parent), m_land(LandShapes::world()), m_overview(LandShapes::world(LandShapes::Detail::overview))
    {
        m_font.setPixelSize(11);
        const QFontMetricsF metrics(m_font);
        m_titleHeight = metrics.height();
        m_ascent = metrics.ascent();
        // Measured once, with the list.
        for (const VPNRegion& region : regions) {
            m_world.push_back(Mercator::project({region.location.latitude, region.location.longitude}));
            m_titles.push_back(region.city);
            m_widths.push_back(metrics.horizontalAdvance(region.city));
        }
        m_marker = balloon(QColor(0x8E, 0x8E, 0x93));
        m_current = balloon(QColor(0x34, 0xC7, 0x59));
        setMouseTracking(true);
    }

    // What a resize fits into the view.
    MapCoordinateRegion camera = MapViewForMacOS14::initialPosition;

protected:
    void resizeEvent(QResizeEvent*) override { m_viewport = MapViewport::fitting(camera, QSizeF(size())); }

    void mousePressEvent(QMouseEvent* event) override { m_last = event->position(); }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (event->buttons() & Qt::LeftButton) {
            m_viewport.center -= (event->position() - m_last) / m_viewport.scale;
            m_viewport = m_viewport.clamped(QSizeF(size()));
            m_last = event->position();
            update();
        }
    }
    void wheelEvent(QWheelEvent* event) override
    {
        const QSizeF area(size());
        const QPointF anchor = event->position();
        const QPointF world = m_viewport.toWorld(anchor, area);
        m_viewport.scale = std::clamp(m_viewport.scale * std::pow(std::sqrt(2.0), event->angleDelta().y() / 120.0),
                                      MapViewport::minimumScale(area), MapViewport::maximumScale);
        m_viewport.center = world - (anchor - QPointF(area.width() / 2, area.height() / 2)) / m_viewport.scale;
        m_viewport = m_viewport.clamped(area);
        update();
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const QSizeF area(size());
        if (m_landFor.center != m_viewport.center || m_landFor.scale != m_viewport.scale || m_landSize != size()) {
            m_landFor = m_viewport;
            m_landSize = size();
            drawLand();
        }
        painter.drawPixmap(0, 0, m_landPicture);

        // The markers, the current region's last; then the titles on the grid, its first.
        const int columns = width() / 64 + 3;
        const int rows = height() / 16 + 6;
        std::vector<std::vector<QRectF>> grid(static_cast<std::size_t>(columns * rows));
        std::vector<QPointF> tips(m_world.size());
        const QRectF visible = QRectF(rect()).adjusted(-40, -10, 40, 60);
        for (std::size_t index = 0; index < m_world.size(); ++index) {
            QPointF world = m_world[index];
            world.rx() += std::round(m_viewport.center.x() - world.x());
            tips[index] = m_viewport.toScreen(world, area);
            if (index > 0 && visible.contains(tips[index])) {
                painter.drawPixmap(tips[index] - QPointF(13, 31), m_marker);
            }
        }
        painter.drawPixmap(tips[0] - QPointF(17, 41), m_current);
        painter.setFont(m_font);
        for (std::size_t index = 0; index < m_world.size(); ++index) {
            if (!visible.contains(tips[index])) {
                continue;
            }
            const QRectF box(tips[index].x() - m_widths[index] / 2, tips[index].y() + 3, m_widths[index],
                             m_titleHeight);
            const QRectF claimed = box.adjusted(-3, -1, 3, 1);
            const auto cellOf = [](double value, int side, int count) {
                return std::clamp(static_cast<int>(std::floor(value / side)) + 1, 0, count - 1);
            };
            const int left = cellOf(claimed.left(), 64, columns), right = cellOf(claimed.right(), 64, columns);
            const int top = cellOf(claimed.top(), 16, rows), bottom = cellOf(claimed.bottom(), 16, rows);
            bool free = true;
            for (int row = top; free && row <= bottom; ++row) {
                for (int column = left; free && column <= right; ++column) {
                    for (const QRectF& other : grid[static_cast<std::size_t>(row * columns + column)]) {
                        free = free && !other.intersects(box);
                    }
                }
            }
            if (!free) {
                continue;
            }
            for (int row = top; row <= bottom; ++row) {
                for (int column = left; column <= right; ++column) {
                    grid[static_cast<std::size_t>(row * columns + column)].push_back(claimed);
                }
            }
            painter.drawPixmap(QPointF(std::round(box.left() - 3), std::round(box.top() - 3)),
                               title(m_titles[index], m_widths[index]));
        }
    }

private:
    void drawLand()
    {
        const QSizeF area(size());
        m_landPicture = QPixmap(size().expandedTo({1, 1}));
        m_landPicture.fill(QColor(0xA9, 0xCF, 0xEE));
        QPainter land(&m_landPicture);
        land.setRenderHint(QPainter::Antialiasing);
        const LandShapes& shapes = m_viewport.scale < 3000 ? *m_overview : *m_land;
        const QRectF visible(m_viewport.toWorld({0, 0}, area), m_viewport.toWorld({area.width(), area.height()}, area));
        QPen coast(QColor(0xB9, 0xC4, 0xCC), 0.8);
        coast.setCosmetic(true);
        land.setPen(coast);
        land.setBrush(QColor(0xF4, 0xF1, 0xEA));
        for (double copy = std::floor(visible.left()) - 1; copy <= visible.right(); copy += 1) {
            const QPointF origin = m_viewport.toScreen({copy, 0}, area);
            land.setTransform(
                QTransform::fromTranslate(origin.x(), origin.y()).scale(m_viewport.scale, m_viewport.scale));
            for (const LandShapes::Piece& piece : shapes.mercatorPieces()) {
                if (piece.bounds.intersects(visible.translated(-copy, 0))) {
                    land.drawPath(piece.path);
                }
            }
        }
    }

    static QPixmap balloon(const QColor& tint)
    {
        QPixmap picture(26, 36);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Qt::white, 1.5));
        painter.setBrush(tint);
        painter.drawEllipse(QPointF(13, 13), 11, 11);
        painter.drawPolygon(QPolygonF({QPointF(6, 20), QPointF(13, 31), QPointF(20, 20)}));
        return picture;
    }

    const QPixmap& title(const QString& text, double width)
    {
        auto it = m_titlePictures.constFind(text);
        if (it == m_titlePictures.constEnd()) {
            QPixmap picture(QSizeF(width + 6, m_titleHeight + 6).toSize());
            picture.fill(Qt::transparent);
            QPainter painter(&picture);
            painter.setFont(m_font);
            painter.setPen(QColor(255, 255, 255, 220));
            const QPointF baseline(3, 3 + m_ascent);
            for (const QPointF shift : {QPointF(-1.5, 0), QPointF(1.5, 0), QPointF(0, -1.5), QPointF(0, 1.5),
                                        QPointF(-1, -1), QPointF(1, -1), QPointF(-1, 1), QPointF(1, 1)}) {
                painter.drawText(baseline + shift, text);
            }
            painter.setPen(QColor(0x1F, 0x1F, 0x22));
            painter.drawText(baseline, text);
            painter.end();
            it = m_titlePictures.insert(text, picture);
        }
        return *it;
    }

    std::shared_ptr<const LandShapes> m_land;
    std::shared_ptr<const LandShapes> m_overview;
    std::vector<QPointF> m_world;
    QStringList m_titles;
    std::vector<double> m_widths;
    QFont m_font;
    double m_titleHeight = 0;
    double m_ascent = 0;
    QPixmap m_marker;
    QPixmap m_current;
    QHash<QString, QPixmap> m_titlePictures;
    MapViewport m_viewport;
    MapViewport m_landFor{{-1, -1}, 0};
    QSize m_landSize;
    QPixmap m_landPicture;
    QPointF m_last;
};

// The main screen's plain twin: a 300 wide column (a connect button, the status line and
// the list) beside the map.
class BaselineMainScreen : public QWidget {
public:
    explicit BaselineMainScreen(const std::vector<VPNRegion>& regions)
    {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(0, 0, 0, 0);
        auto* column = new QWidget(this);
        column->setFixedWidth(300);
        auto* stack = new QVBoxLayout(column);
        auto* connect = new QLabel(column);
        connect->setPixmap(Assets::image(QStringLiteral("notConnectedButton")).pixmap(150, 150));
        connect->setFixedSize(150 + 2 * 16, 150 + 2 * 16);
        stack->addWidget(connect, 0, Qt::AlignHCenter);
        stack->addWidget(new QLabel(QStringLiteral("Not Connected"), column));
        list = new BaselineList(column);
        stack->addWidget(list, 1);
        row->addWidget(column);
        map = new BaselineMap(regions, this);
        // Ours follows the current region, the first.
        map->camera = {{regions.front().location.latitude, regions.front().location.longitude},
                       MapViewForMacOS14::regionSpan};
        map->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
        row->addWidget(map, 1);
        list->source.setRegions(regions);
    }

    BaselineList* list = nullptr;
    BaselineMap* map = nullptr;
};

}  // namespace tandrel::bench
