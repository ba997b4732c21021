#include "Views/Regions/VPNRegionListModel.h"

#include <QCoreApplication>
#include <QLocale>

namespace tandrel {
namespace {

QString normalizedForSearch(const QLocale& locale, const QString& text)
{
    // Canonically equivalent spellings (a composed or a decomposed accent) compare equal;
    // the accent itself still counts.
    return locale.toLower(text.normalized(QString::NormalizationForm_C));
}

template <typename Region>
bool matchesNormalized(const QLocale& locale, const Region& region, const QString& needle)
{
    return normalizedForSearch(locale, region.country_name).contains(needle) ||
           normalizedForSearch(locale, region.city).contains(needle);
}

}  // namespace

VPNRegionListModel::VPNRegionListModel(QObject* parent) : QAbstractListModel(parent) {}

bool VPNRegionListModel::matches(const VPNRegion& region, const QString& term)
{
    if (term.isEmpty()) {
        return true;
    }
    const QLocale locale;
    return matchesNormalized(locale, region, normalizedForSearch(locale, term));
}

void VPNRegionListModel::setRegions(const std::vector<VPNRegion>& regions)
{
    beginResetModel();
    ++m_generation;
    m_regions.clear();
    m_regions.reserve(regions.size());
    m_occurrences.clear();
    for (const VPNRegion& region : regions) {
        m_regions.push_back(
            {region.id, region.country_name, region.city, region.country_code, m_occurrences[region.id]++});
    }
    refilter();
    endResetModel();
}

void VPNRegionListModel::setSearchTerm(const QString& term)
{
    if (term == m_term) {
        return;
    }
    beginResetModel();
    m_term = term;
    refilter();
    endResetModel();
}

void VPNRegionListModel::setCurrentRegion(std::optional<qint64> regionId)
{
    if (regionId == m_current) {
        return;
    }
    const std::optional<qint64> previous = std::exchange(m_current, regionId);
    // Only the rows of the region that was and the one that is current change their look.
    for (int row = 0; row < static_cast<int>(m_shown.size()); ++row) {
        const qint64 id = regionAt(row).id;
        if (id == previous || id == m_current) {
            const QModelIndex changed = index(row);
            Q_EMIT dataChanged(changed, changed, {SelectedRole, Qt::AccessibleTextRole});
        }
    }
}

void VPNRegionListModel::refilter()
{
    m_shown.clear();
    m_shown.reserve(m_regions.size());
    if (m_term.isEmpty()) {
        for (int index = 0; index < static_cast<int>(m_regions.size()); ++index) {
            m_shown.push_back(index);
        }
        return;
    }
    // One pass over the regions, in their order: nothing sorted, grouped or de-duplicated.
    const QLocale locale;
    const QString needle = normalizedForSearch(locale, m_term);
    for (int index = 0; index < static_cast<int>(m_regions.size()); ++index) {
        if (matchesNormalized(locale, m_regions[static_cast<std::size_t>(index)], needle)) {
            m_shown.push_back(index);
        }
    }
}

int VPNRegionListModel::rowOf(qint64 regionId) const
{
    for (int row = 0; row < static_cast<int>(m_shown.size()); ++row) {
        if (regionAt(row).id == regionId) {
            return row;
        }
    }
    return -1;
}

QString VPNRegionListModel::accessibleName(int row) const
{
    const Row& region = regionAt(row);
    QStringList parts = region.country_name.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    parts << region.city;
    if (isSelected(row)) {
        parts << QCoreApplication::translate("VPNRegionsView", "selected");
    }
    return parts.join(QStringLiteral(", "));
}

int VPNRegionListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_shown.size());
}

QVariant VPNRegionListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const Row& region = regionAt(index.row());
    switch (role) {
        case Qt::DisplayRole:
            return region.country_name;
        case Qt::AccessibleTextRole:
            return accessibleName(index.row());
        case RegionIdRole:
            return region.id;
        case SelectedRole:
            return isSelected(index.row());
        default:
            return {};
    }
}

}  // namespace tandrel
