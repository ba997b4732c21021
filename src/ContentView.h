#pragma once

#include "ContentViewModel.h"
#include "Platform/NotificationCenter.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class QVBoxLayout;

namespace tandrel {

// The root view: shows the login screen or the main screen by the program state, each
// built fresh (with a new controller) whenever the state changes.
class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(QWidget* parent = nullptr);
    ~ContentView() override;

    ContentViewModel& vm() { return *m_vm; }
    // The screen now shown (LoginView or VPNMainView).
    QWidget* screen() const { return m_screen; }

    // The size the first window gets when the root content first comes on screen.
    static constexpr QSize kFirstWindowContentSize{900, 700};

protected:
    bool event(QEvent* event) override;

private:
    void showScreen(ContentViewModel::ProgramState state);

    ContentViewModel* m_vm;
    QVBoxLayout* m_layout;
    QPointer<QWidget> m_screen;
    std::optional<ContentViewModel::ProgramState> m_shownState;
    Cancellable m_stateSubscription;
    NotificationCenter::Token m_showLoginViewObserver = 0;
    NotificationCenter::Token m_sessionExpiredObserver = 0;
};

}  // namespace tandrel
