#pragma once

#include "Models/VPNRegion.h"

#include <QAbstractListModel>
#include <QHash>
#include <QString>

#include <optional>
#include <vector>

namespace tandrel {

// The rows of the region list: the regions it was last given, narrowed by the search
// term, in their order, with the current region marked. It keeps its own copy of the
// four fields a row shows (the texts shared, not duplicated), so that a view painting
// between the controller's change and the next update still reads a consistent list.
class VPNRegionListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        RegionIdRole = Qt::UserRole + 1,
        SelectedRole,
    };

    // What a row shows of its region.
    struct Row {
        qint64 id = 0;
        QString country_name;
        QString city;
        QString country_code;
        // How many earlier regions of the list share this id (the optimal entry shares its
        // region's): with the id, it tells the rows of one region apart.
        int occurrence = 0;
    };

    explicit VPNRegionListModel(QObject* parent = nullptr);

    // Whether the region stays under the term: its country name or else its city contains
    // the term, ignoring letter case under the user's locale; canonically equivalent
    // spellings match and accents count. Every region matches the empty term.
    static bool matches(const VPNRegion& region, const QString& term);

    void setRegions(const std::vector<VPNRegion>& regions);
    void setSearchTerm(const QString& term);
    void setCurrentRegion(std::optional<qint64> regionId);

    QString searchTerm() const { return m_term; }
    std::optional<qint64> currentRegion() const { return m_current; }
    const Row& regionAt(int row) const
    {
        return m_regions[static_cast<std::size_t>(m_shown[static_cast<std::size_t>(row)])];
    }
    bool isSelected(int row) const { return m_current && *m_current == regionAt(row).id; }
    // A row's place in the list of regions last given (whatever the term), and that list's
    // number: a new list has a new one. With both, what is known of a row outlives a search.
    int regionIndex(int row) const { return m_shown[static_cast<std::size_t>(row)]; }
    int regionCount() const { return static_cast<int>(m_regions.size()); }
    quint64 regionsGeneration() const { return m_generation; }
    // The first shown row of the region, or -1.
    int rowOf(qint64 regionId) const;
    // How many regions of the list have the id.
    int occurrences(qint64 regionId) const { return m_occurrences.value(regionId); }
    // "Germany, Berlin, selected": the names line by line, then the state.
    QString accessibleName(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    void refilter();

    std::vector<Row> m_regions;
    std::vector<int> m_shown;  // indexes into m_regions
    QHash<qint64, int> m_occurrences;
    quint64 m_generation = 0;
    QString m_term;
    std::optional<qint64> m_current;
};

}  // namespace tandrel
