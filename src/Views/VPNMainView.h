#pragma once

#include <QWidget>

class QPushButton;

namespace tandrel {

class ContentViewModel;

// The logged-in screen. For now it offers only "Log out"; regions, the map and the
// connect button come with the connection screens.
class VPNMainView : public QWidget {
    Q_OBJECT
public:
    explicit VPNMainView(ContentViewModel& vm, QWidget* parent = nullptr);

    // The main window's size while this screen shows: compact (300 wide) or full (900).
    static QSize windowSize();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void logOut();

    ContentViewModel& m_vm;
    QPushButton* m_logOutButton;
};

}  // namespace tandrel
