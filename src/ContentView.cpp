#include "ContentView.h"

#include "Extensions/NotificationName.h"
#include "Network/Client.h"
#include "Platform/MainQueue.h"
#include "Views/Kit/Windows.h"
#include "Views/Screens/LoginView.h"
#include "Views/Screens/VPNMainView.h"

#include <QEvent>
#include <QVBoxLayout>

namespace tandrel {

ContentView::ContentView(QWidget* parent)
    : QWidget(parent), m_vm(new ContentViewModel(this)), m_layout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("contentView"));
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
    m_stateSubscription = m_vm->state.sink([this](ContentViewModel::ProgramState state) { showScreen(state); });

    QPointer<ContentView> self(this);
    m_showLoginViewObserver = NotificationCenter::defaultCenter().addObserver(
        kShowLoginViewNotification, nullptr, NotificationCenter::Delivery::postingThread, [self](const Notification&) {
            auto setNeedLogin = [self] {
                if (self) {
                    self->m_vm->state = ContentViewModel::ProgramState::needLogin;
                }
            };
            // Widgets live on the main thread; a post from elsewhere must not touch them.
            if (MainQueue::isMainThread()) {
                setNeedLogin();
            } else {
                MainQueue::async(setNeedLogin);
            }
        });
    m_sessionExpiredObserver = NotificationCenter::defaultCenter().addObserver(
        kLogoutNotification, nullptr, NotificationCenter::Delivery::mainQueue, [self](const Notification& note) {
            if (self && note.userInfo.value(Client::logoutReasonKey).toString() == Client::sessionExpiredReason) {
                self->m_vm->sessionExpired = true;
            }
        });
}

ContentView::~ContentView()
{
    NotificationCenter::defaultCenter().removeObserver(m_showLoginViewObserver);
    NotificationCenter::defaultCenter().removeObserver(m_sessionExpiredObserver);
}

bool ContentView::event(QEvent* event)
{
    // Polish reaches this view once, before it and its screens are first shown, so the
    // first-window sizing is queued ahead of the screens' own window sizing.
    if (event->type() == QEvent::Polish) {
        MainQueue::async([] {
            const QList<QWidget*> windows = Windows::windowList();
            if (windows.isEmpty()) {
                return;
            }
            QWidget* first = windows.first();
            Windows::setContentSize(first, kFirstWindowContentSize);
            Windows::center(first);
        });
    }
    return QWidget::event(event);
}

void ContentView::showScreen(ContentViewModel::ProgramState state)
{
    if (m_shownState == state) {
        return;
    }
    m_shownState = state;
    if (m_screen) {
        // The leaving screen may be the caller (the login screen sets the state from its
        // own handler), so it goes away once the call has returned.
        m_layout->removeWidget(m_screen);
        m_screen->hide();
        m_screen->deleteLater();
    }
    if (state == ContentViewModel::ProgramState::needLogin) {
        m_screen = new LoginView(*m_vm, this);
    } else {
        m_screen = new VPNMainView(*m_vm, this);
    }
    m_layout->addWidget(m_screen);
    m_screen->show();
}

}  // namespace tandrel
