#include "Views/Updater/UpdaterSettingsView.h"

#include "Platform/Updater.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QVBoxLayout>

namespace tandrel {

UpdaterSettingsView::UpdaterSettingsView(Updater& updater, QWidget* parent)
    : QWidget(parent),
      m_updater(updater),
      m_checks(new QCheckBox(QCoreApplication::translate("Tandrel", "Automatically check for updates"), this)),
      m_downloads(new QCheckBox(QCoreApplication::translate("Tandrel", "Automatically download updates"), this))
{
    setObjectName(QStringLiteral("updaterSettingsView"));
    m_checks->setObjectName(QStringLiteral("automaticallyChecksToggle"));
    m_checks->setAccessibleName(m_checks->text());
    m_downloads->setObjectName(QStringLiteral("automaticallyDownloadsToggle"));
    m_downloads->setAccessibleName(m_downloads->text());
    m_checks->setChecked(updater.automaticallyChecksForUpdates());
    m_downloads->setChecked(updater.automaticallyDownloadsUpdates());
    m_downloads->setEnabled(m_checks->isChecked());

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->addWidget(m_checks, 0, Qt::AlignHCenter);
    column->addWidget(m_downloads, 0, Qt::AlignHCenter);

    connect(m_checks, &QCheckBox::toggled, this, [this](bool on) {
        m_updater.setAutomaticallyChecksForUpdates(on);
        m_downloads->setEnabled(on);
    });
    connect(m_downloads, &QCheckBox::toggled, this,
            [this](bool on) { m_updater.setAutomaticallyDownloadsUpdates(on); });
}

}  // namespace tandrel
